// Path ids, the five path lists and the preference strings.
//
// Invariants of the path table: slot s (1 <= s <= highest) holds the folder
// of id -s; slots are never reused or emptied, so an id names the same
// folder for the life of the process; no two slots hold the same folder
// identity (device, inode and birth time, platform/files.h), because every
// new id is looked up by identity first. A slot's recorded name is the folder's canonical name when it was
// last found; it follows the folder when it is found again under a new name.
//
// Invariants of a path list: no folder appears twice, so a walk that enters
// only folders it has just appended ends even when links make loops.
#include "kernel/files/path.h"
#include "kernel/core/guarded.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "kel/classes.h"
#include "kel/console.h"
#include "kel/memory.h"
#include "kel/symbols.h"
#include "kernel/core/memory.h"
#include "kernel/core/objects.h"
#include "kernel/core/symbols.h"
#include "kernel/files/path_private.h"
#include "platform/files.h"

// The records promised to externals: field order as declared, sizes
// following the platform.
static_assert(offsetof(path_node, path) == 0 && offsetof(path_node, root) == sizeof(short) &&
                  offsetof(path_node, permanent) == 2 * sizeof(short) &&
                  offsetof(path_node, next) > offsetof(path_node, permanent) &&
                  offsetof(path_node, parent) == offsetof(path_node, next) + sizeof(void *),
              "path_node: path, root, permanent, next, parent");
static_assert(offsetof(path_list, head) == 0 && sizeof(path_list) == sizeof(void *), "path_list is its head");
static_assert(sizeof(fileref) == MAX_PATH_CHARS, "fileref is a full name");
static_assert(offsetof(fileinfo, type) == 0 && offsetof(fileinfo, creator) == sizeof(long) &&
                  offsetof(fileinfo, flags) == 2 * sizeof(long),
              "fileinfo: type, creator, flags");
static_assert(offsetof(fileinfo_extended, info) == 0 && offsetof(fileinfo_extended, created) == sizeof(fileinfo) &&
                  offsetof(fileinfo_extended, modified) == sizeof(fileinfo) + sizeof(unsigned long) &&
                  offsetof(fileinfo_extended, size) == sizeof(fileinfo) + 2 * sizeof(unsigned long),
              "fileinfo_extended: info, created, modified, size");

namespace kel {
namespace {

constexpr long initial_slots = 1024;
constexpr long slot_growth = 512;
constexpr long max_slot = 32767;  // ids are 16-bit: -1 .. -32767
constexpr long max_search_preference = 32767;
constexpr long initial_search_preferences = 16;

struct path_slot {
    platform::file_identity identity;
    char *name;  // operating-system name, from the system heap
};

struct identity_hash {
    size_t operator()(const platform::file_identity &id) const
    {
        return std::hash<std::uint64_t>()(id.inode * 1000003u ^ id.device ^ static_cast<std::uint64_t>(id.birth));
    }
};

std::mutex g_table_lock;
path_slot *g_slots = nullptr;
long g_capacity = 0;
long g_highest = 0;
std::unordered_map<platform::file_identity, short, identity_hash> g_index;

// A list as it is bound to its symbol. The room behind the record holds an
// object header of zeros, so that a message sent to the symbol meets a dead
// magic instead of a read past the record.
struct bound_list {
    path_list list;
    unsigned char header_room[sizeof(object)];
};

bound_list g_bound_search{};
bound_list g_bound_startup{};
bound_list g_bound_action{};
bound_list g_bound_help{};
bound_list g_bound_default{};
path_list &g_search = g_bound_search.list;
path_list &g_startup = g_bound_startup.list;
path_list &g_action = g_bound_action.list;
path_list &g_help = g_bound_help.list;
path_list &g_default = g_bound_default.list;

std::string g_application_os;  // canonical
std::string g_support_os;      // canonical, or empty
short g_application_id = 0;
short g_support_id = 0;
bool g_installed = false;
bool g_standalone = false;
bool g_search_missing_files = true;

std::vector<symbol *> g_search_preferences;
symbol *g_startup_preference = nullptr;
symbol *g_action_preference = nullptr;
symbol *g_help_preference = nullptr;

symbol *empty_symbol() { return gensym(""); }

// --- the table (caller holds g_table_lock) ---

bool table_grow()
{
    const long capacity = g_capacity ? g_capacity + slot_growth : initial_slots;
    void *grown = g_slots ? sysmem_resizeptrclear(g_slots, capacity * static_cast<long>(sizeof(path_slot)))
                          : sysmem_newptrclear(capacity * static_cast<long>(sizeof(path_slot)));
    if (!grown) return false;
    g_slots = static_cast<path_slot *>(grown);
    g_capacity = capacity;
    return true;
}

char *heap_copy(const std::string &text)
{
    auto *copy = static_cast<char *>(sysmem_newptr(static_cast<long>(text.size() + 1)));
    if (copy) std::memcpy(copy, text.c_str(), text.size() + 1);
    return copy;
}

// The id of a folder known by identity and canonical name; 0 when the table
// cannot take another.
short table_id(const platform::file_identity &identity, const std::string &canonical)
{
    std::lock_guard guard(g_table_lock);
    auto found = g_index.find(identity);
    if (found != g_index.end()) {
        path_slot &slot = g_slots[-found->second];
        if (canonical != slot.name) {
            // Found under another name: keep the recorded name while it still
            // leads to this folder, else follow the folder (it was renamed).
            platform::file_status st;
            if (platform::file_stat(slot.name, &st) != 0 || st.kind != platform::entry_kind::folder ||
                !(st.identity == identity)) {
                if (char *renamed = heap_copy(canonical)) {
                    sysmem_freeptr(slot.name);
                    slot.name = renamed;
                }
            }
        }
        return found->second;
    }
    const long slot = g_highest + 1;
    if (slot > max_slot) return 0;
    if (slot >= g_capacity && !table_grow()) return 0;
    char *name = heap_copy(canonical);
    if (!name) return 0;
    const auto id = static_cast<short>(-slot);
    try {
        g_index.emplace(identity, id);
    } catch (const std::bad_alloc &) {
        sysmem_freeptr(name);
        return 0;
    }
    g_slots[slot] = {identity, name};
    g_highest = slot;
    return id;
}

// --- lists ---

path_node *node_new(short path, short root, short parent, short permanent)
{
    auto *node = static_cast<path_node *>(getbytes(sizeof(path_node)));
    if (!node) return nullptr;
    *node = {path, root, permanent, nullptr, parent};
    return node;
}

path_node *list_tail(path_list *list)
{
    path_node *tail = list->head;
    while (tail && tail->next) tail = tail->next;
    return tail;
}

path_node *list_find(const path_list *list, short path)
{
    for (path_node *node = list->head; node; node = node->next)
        if (node->path == path) return node;
    return nullptr;
}

void list_clear(path_list *list, bool permanent_too)
{
    path_node **link = &list->head;
    while (path_node *node = *link) {
        if (permanent_too || !node->permanent) {
            *link = node->next;
            freebytes(node, sizeof(path_node));
        } else {
            link = &node->next;
        }
    }
}

// Appends nodes at the tail, keeping the set of the list's folders.
class list_appender {
public:
    explicit list_appender(path_list *list) : list_(list), tail_(list_tail(list))
    {
        for (path_node *node = list->head; node; node = node->next) present_.insert(node->path);
    }
    bool contains(short path) const { return present_.count(path) != 0; }
    bool append(short path, short root, short parent, short permanent)
    {
        path_node *node = node_new(path, root, parent, permanent);
        if (!node) return false;
        if (tail_)
            tail_->next = node;
        else
            list_->head = node;
        tail_ = node;
        present_.insert(path);
        return true;
    }

private:
    path_list *list_;
    path_node *tail_;
    std::unordered_set<short> present_;
};

// The cache of a list: only the search and default lists have one.
bool cache_of(const path_list *list, cache_which *which)
{
    if (list == &g_search)
        *which = cache_which::search;
    else if (list == &g_default)
        *which = cache_which::default_path;
    else
        return false;
    return true;
}

// One level of the walk: a folder and the names in it still to look at.
struct walk_frame {
    short path;
    std::string os;
    std::vector<std::string> names;
    size_t next = 0;
};

// The sub-folders of a folder, depth first in name order, each appended
// before the walk enters it. The walk keeps its own stack, so deep trees
// cost memory, not native stack.
void walk_tree(short root, const std::string &root_os, list_appender &list, short permanent,
               std::vector<short> *appended)
{
    std::vector<walk_frame> stack;
    stack.push_back({root, root_os, {}, 0});
    if (platform::folder_names(root_os, false, &stack.back().names) != 0)
        return;  // an unreadable folder ends its branch
    while (!stack.empty()) {
        walk_frame &frame = stack.back();
        if (frame.next >= frame.names.size()) {
            stack.pop_back();
            continue;
        }
        const std::string child = platform::join(frame.os, frame.names[frame.next++]);
        platform::file_status st;
        if (platform::file_stat(child, &st) != 0 || st.kind != platform::entry_kind::folder) continue;
        std::string canonical = child;
        if (st.link && platform::canonical_path(child, &canonical) != 0) continue;
        if (path_is_root_folder(canonical)) continue;
        const short id = table_id(st.identity, canonical);
        if (id == 0 || list.contains(id)) continue;
        if (!list.append(id, root, frame.path, permanent)) continue;
        appended->push_back(id);
        walk_frame next{id, canonical, {}, 0};
        if (platform::folder_names(canonical, false, &next.names) == 0) stack.push_back(std::move(next));
    }
}

short build(short path, path_list *list, bool recursive, short permanent)
{
    std::string os;
    if (!list || !path_folder_of(path, &os)) return -1;
    if (recursive && path_is_root_folder(os)) {
        error("cannot build search path from root directory");
        return -1;
    }
    list_appender appender(list);
    std::vector<short> appended;
    if (!appender.contains(path)) {
        if (!appender.append(path, path, 0, permanent)) return -1;
        appended.push_back(path);
    } else if (permanent) {
        list_find(list, path)->permanent = permanent;
    }
    if (recursive) walk_tree(path, os, appender, permanent, &appended);
    if (cache_which which; cache_of(list, &which) && cache_exists(which))
        for (short id : appended) cache_add_folder(which, id);
    return 0;
}

void bind_lists()
{
    const struct {
        const char *name;
        path_list *list;
    } bindings[] = {
        {"__pathlist_search__", &g_search}, {"__pathlist_startup__", &g_startup}, {"__pathlist_action__", &g_action},
        {"__pathlist_help__", &g_help},     {"__pathlist_default__", &g_default},
    };
    // The lists are plain records, not objects: dispatch to these names is
    // refused by the object check, and readers cast the thing back.
    static_assert(offsetof(bound_list, list) == 0, "the thing is the list record");
    for (const auto &b : bindings) gensym(b.name)->thing = reinterpret_cast<object *>(b.list);
}

void preferences_reset()
{
    g_search_preferences.assign(initial_search_preferences, empty_symbol());
    g_startup_preference = gensym("kel-startup");
    g_action_preference = empty_symbol();
    g_help_preference = empty_symbol();
}

// The folder, when it is one, by its canonical name.
bool canonical_folder(const std::string &os, std::string *canonical)
{
    platform::file_status st;
    return !os.empty() && platform::canonical_path(os, canonical) == 0 && platform::file_stat(*canonical, &st) == 0 &&
           st.kind == platform::entry_kind::folder;
}

std::string find_support_folder(const std::string &application)
{
    const std::string parent = platform::parent_folder(application);
    std::vector<std::string> candidates = {platform::join(application, "kel"), platform::join(parent, "kel"),
                                           platform::join(parent, "share/kel")};
    for (const std::string &data : platform::data_folders()) candidates.push_back(platform::join(data, "kel"));
    for (const std::string &candidate : candidates) {
        std::string canonical;
        if (canonical_folder(candidate, &canonical)) return canonical;
    }
    return {};
}

void add_application_trees()
{
    if (g_support_id) build(g_support_id, &g_search, true, 0);
    // An installed program's folder holds other programs: not searched.
    if (g_application_id && !g_installed) build(g_application_id, &g_search, true, 0);
}

void post_list(const path_list *list)
{
    for (const path_node *node = list->head; node; node = node->next) {
        std::string os;
        if (path_folder_of(node->path, &os)) post(" %s", full_kernel_name(os).c_str());
    }
}

void store_folder_preference(long type, long index, symbol *folder, path_list *list)
{
    path_setprefstring(type, index, folder);
    if (folder && folder->name[0]) path_addnamed(list, folder->name, 1, 1);
}

}  // namespace

// --- shared with the other path sources ---

bool path_is_root_folder(const std::string &os_name) { return os_name == "/"; }
std::string application_os_folder() { return g_application_os; }
std::string support_os_folder() { return g_support_os; }
bool path_standalone_collective_only() { return g_standalone && !g_search_missing_files; }

bool path_standalone() { return g_standalone; }

bool list_contains(const path_list *list, short path) { return list && list_find(list, path) != nullptr; }

short path_id_of_folder(const std::string &os_name)
{
    platform::file_status st;
    if (os_name.empty() || platform::file_stat(os_name, &st) != 0 || st.kind != platform::entry_kind::folder) return 0;
    std::string canonical;
    if (platform::canonical_path(os_name, &canonical) != 0) return 0;
    try {
        return table_id(st.identity, canonical);
    } catch (const std::bad_alloc &) {
        return 0;
    }
}

bool path_folder_of(short path, std::string *os_name)
{
    std::lock_guard guard(g_table_lock);
    if (path >= 0 || -path > g_highest) return false;  // collectives (positive ids) hold no folder
    *os_name = g_slots[-path].name;
    return true;
}

path_list *path_list_search() { return &g_search; }
path_list *path_list_startup() { return &g_startup; }
path_list *path_list_action() { return &g_action; }
path_list *path_list_help() { return &g_help; }
path_list *path_list_default() { return &g_default; }

std::string path_application_name() { return full_kernel_name(g_application_os); }
std::string path_support_name() { return g_support_os.empty() ? std::string() : full_kernel_name(g_support_os); }

long path_table_capacity()
{
    std::lock_guard guard(g_table_lock);
    return g_capacity;
}

long path_table_used()
{
    std::lock_guard guard(g_table_lock);
    return g_highest;
}

bool path_init(const path_setup &setup)
{
    fileformat_init();
    cache_free(cache_which::search);
    cache_free(cache_which::default_path);
    for (path_list *list : {&g_search, &g_startup, &g_action, &g_help, &g_default}) list_clear(list, true);
    bind_lists();
    preferences_reset();
    g_standalone = setup.standalone;
    g_search_missing_files = true;
    g_application_os.clear();
    g_support_os.clear();
    g_application_id = g_support_id = 0;

    std::string application;
    if (!canonical_folder(setup.application_folder.empty() ? platform::executable_folder() : setup.application_folder,
                          &application))
        return false;
    g_application_os = application;
    g_application_id = path_id_of_folder(application);
    if (!g_application_id) return false;
    g_installed = platform::last_component(application) == "bin";
    // The default path starts empty: the application folder is a build tree
    // or a folder of programs, and lookups try the default path before the
    // search path.

    std::string support;
    if (setup.support_folder.empty())
        support = find_support_folder(application);
    else if (!canonical_folder(setup.support_folder, &support))
        support.clear();
    if (!support.empty() && (g_support_id = path_id_of_folder(support)) != 0) g_support_os = support;
    return true;
}

std::string path_library_folder()
{
    if (g_installed) return platform::join(g_application_os, KEL_LIBRARY_FROM_PROGRAM);
    return KEL_LIBRARY_FOLDER;
}

void search_folders_from_environment(search_folders *folders)
{
    const std::string user = platform::user_data_folder();
    folders->user = user.empty() ? std::string() : platform::join(user, "kel");
    folders->library = path_library_folder();
    if (const char *list = std::getenv("KEL_PATH"))
        for (std::string &folder : platform::split_folder_list(list)) folders->named.push_back(std::move(folder));
}

void path_search_start(const search_folders &folders)
{
    // recursive: with its sub-folders; reported: a missing folder is an error.
    const auto add = [](const std::string &folder, bool recursive, bool reported) {
        if (folder.empty()) return;
        const short id = path_id_of_folder(folder);
        if (id && build(id, &g_search, recursive, 1) == 0) return;
        if (reported && !id) error("%s: no such folder", full_kernel_name(folder).c_str());
    };
    try {
        add(folders.document, false, false);
        add(folders.working, false, false);
        for (const std::string &folder : folders.named) add(folder, true, true);
        add(folders.user, true, false);
        add(folders.library, true, false);
    } catch (const std::bad_alloc &) {
        report_out_of_memory("path_search_start");
    }
}

void path_shutdown() { tempcopies_delete_all(); }

void path_set_standalone(bool standalone, bool search_missing_files)
{
    g_standalone = standalone;
    g_search_missing_files = search_missing_files;
}

void path_add_application_trees() { add_application_trees(); }

void path_setsearchpath(long n, symbol *folder) { store_folder_preference(1, n, folder, &g_search); }
void path_sethelppath(symbol *folder) { store_folder_preference(3, 0, folder, &g_help); }
void path_setactionpath(symbol *folder) { store_folder_preference(2, 0, folder, &g_action); }

void path_sendapppath(symbol *receiver)
{
    if (!receiver || !object_valid_checked(receiver->thing) || g_application_os.empty()) return;
    typedmess(receiver->thing, gensym(path_application_name().c_str()), 0, nullptr);
}

void path_pathtest(symbol *name, long n)
{
    char full[MAX_PATH_CHARS];
    const short result = path_topotentialname(static_cast<short>(n), name ? name->name : "", full);
    post("result is %d", result);
    if (result == 0) post("filename is %s and vol is %d", full, static_cast<int>(static_cast<short>(n)));
}

void path_cache_enable(bool on)
{
    if (!on) {
        cache_free(cache_which::search);
        cache_free(cache_which::default_path);
        return;
    }
    const struct {
        cache_which which;
        path_list *list;
    } caches[] = {{cache_which::search, &g_search}, {cache_which::default_path, &g_default}};
    for (const auto &c : caches) {
        if (cache_exists(c.which)) continue;
        cache_create(c.which);
        for (path_node *node = c.list->head; node; node = node->next) cache_add_folder(c.which, node->path);
    }
}

bool path_cache_enabled() { return cache_exists(cache_which::search); }

void path_post_lists()
{
    post("-- startup paths:");
    short startup = 0;
    std::string os;
    if (nameinpath("kel-startup", &startup) == 0 && path_folder_of(startup, &os))
        post(" %s", full_kernel_name(os).c_str());
    else
        post(" <no named path>");
    post_list(&g_startup);
    post("-- search paths:");
    post_list(&g_search);
    post("-- help paths:");
    post_list(&g_help);
    post("-- action paths:");
    post_list(&g_action);
    post("-- current default paths:");
    post_list(&g_default);
}

bool path_default_prepare(short path, default_path_aside *aside)
{
    *aside = default_path_aside{};
    aside->path = path;
    if (list_contains(&g_search, path)) {
        aside->made = true;  // path_setdefault leaves the default path alone
        return true;
    }
    path_list list{nullptr};
    object *cache = nullptr;
    try {
        if (cache_exists(cache_which::default_path) && !(cache = cache_make())) throw std::bad_alloc();
        std::string os;
        if (path_folder_of(path, &os)) {
            if (build(path, &list, false, 0) != 0 || !list_contains(&list, path)) throw std::bad_alloc();
            if (cache)
                for (path_node *node = list.head; node; node = node->next) cache_enter_folder(cache, node->path);
        }
    } catch (const std::bad_alloc &) {
        memory_set_low(true);
        list_clear(&list, true);
        if (cache) freeobject(cache);
        return false;
    }
    aside->head = list.head;
    aside->cache = cache;
    aside->made = aside->changes = true;
    return true;
}

void path_default_install(default_path_aside *aside)
{
    const short path = aside->path;
    path_list made{aside->head};
    object *cache = aside->cache;
    const bool usable = (cache != nullptr) == cache_exists(cache_which::default_path);
    const bool changes = aside->changes;
    if (!aside->made) return;
    *aside = default_path_aside{};
    if (!usable) {
        list_clear(&made, true);
        if (cache) freeobject(cache);
        path_setdefault(path, 0);
        return;
    }
    if (!changes) return;
    path_list replaced{g_default.head};
    g_default.head = made.head;
    object *replaced_cache = cache_swap(cache_which::default_path, cache);
    list_clear(&replaced, true);
    if (replaced_cache) freeobject(replaced_cache);
}

}  // namespace kel

using namespace kel;

KEL_API short path_getnext(path_list *list, short *path)
{
    if (!list || !path) return 1;
    path_node *node = list->head;
    if (*path != 0) {
        node = list_find(list, *path);
        node = node ? node->next : nullptr;
    }
    *path = node ? node->path : 0;
    return node ? 0 : 1;
}

KEL_API short path_build(short path, path_list *list, short recursive, short permanent)
{
    try {
        return build(path, list, recursive != 0, permanent ? 1 : 0);
    } catch (const std::bad_alloc &) {
        report_out_of_memory("path_build");
        return -1;
    }
}

KEL_API short path_addnamed(path_list *list, const char *name, short recursive, short permanent)
{
    if (!list || !name) return -1;
    try {
        std::string os;
        if (!full_name_to_os(name, &os)) return -1;
        const short id = path_id_of_folder(os);
        return id ? build(id, list, recursive != 0, permanent ? 1 : 0) : -1;
    } catch (const std::bad_alloc &) {
        report_out_of_memory("path_addnamed");
        return -1;
    }
}

KEL_API void path_removefromlist(path_list *list, short permanent_too)
{
    if (list) list_clear(list, permanent_too != 0);
}

KEL_API void path_setpermanent(path_list *list, short path, short permanent)
{
    if (!list) return;
    for (path_node *node = list->head; node; node = node->next)
        if (node->path == path || node->root == path) node->permanent = permanent ? 1 : 0;
}

KEL_API short path_getapppath(void) { return g_application_id; }
KEL_API short path_getsupportpath(void) { return g_support_id; }
KEL_API short path_getdefault(void) { return g_default.head ? g_default.head->path : 0; }

KEL_API void path_setdefault(short path, short recursive)
{
    if (list_contains(&g_search, path)) return;
    try {
        const bool cached = cache_exists(cache_which::default_path);
        cache_free(cache_which::default_path);
        list_clear(&g_default, true);
        if (cached) cache_create(cache_which::default_path);
        std::string os;
        if (!path_folder_of(path, &os)) return;
        // The root folder is never walked; as a default folder it stands alone.
        build(path, &g_default, recursive && !path_is_root_folder(os), 0);
    } catch (const std::bad_alloc &) {
        report_out_of_memory("path_setdefault");
    }
}

KEL_API short path_getprefstring(long type, long index, symbol **value)
{
    symbol *found = empty_symbol();
    switch (type) {
    case 0:
        found = gensym("kel-startup");
        break;
    case 1:
        if (!g_search_preferences.empty()) {
            const long size = static_cast<long>(g_search_preferences.size());
            index = index < 1 ? 1 : index > size ? size : index;
            found = g_search_preferences[index - 1];
        }
        break;
    case 2:
        found = g_action_preference;
        break;
    case 3:
        found = g_help_preference;
        break;
    default:
        break;
    }
    if (value) *value = found;
    return found == empty_symbol() ? 1 : 0;
}

KEL_API void path_setprefstring(long type, long index, symbol *value)
{
    symbol *stored = empty_symbol();
    if (value && value->name[0]) {
        char conformed[MAX_PATH_CHARS];
        stored = path_nameconform(value->name, conformed, 0, 0) == 0 ? gensym(conformed) : value;
    }
    switch (type) {
    case 0:
        g_startup_preference = stored;
        break;
    case 1: {
        // The table grows to the highest index set; an index past the 16-bit
        // range is refused rather than sized for.
        if (index > max_search_preference) return;
        if (index < 1) index = 1;
        try {
            if (static_cast<long>(g_search_preferences.size()) < index)
                g_search_preferences.resize(static_cast<size_t>(index), empty_symbol());
        } catch (const std::bad_alloc &) {
            report_out_of_memory("path_setprefstring");
            return;
        }
        g_search_preferences[static_cast<size_t>(index - 1)] = stored;
        break;
    }
    case 2:
        g_action_preference = stored;
        break;
    case 3:
        g_help_preference = stored;
        break;
    default:
        break;
    }
}
