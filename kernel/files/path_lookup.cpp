// File lookup: finding a file by name (and acceptable types) in the open
// collectives, the default path and the search path.
//
// A lookup never changes the caller's name buffer unless it succeeds; then
// the buffer holds the found file's own name, which (name, path id) opens.
#include <string>
#include <vector>

#include "kel/console.h"
#include "kernel/core/guarded.h"
#include "kernel/core/memory.h"
#include "kernel/files/collective.h"
#include "kernel/files/path.h"
#include "kernel/files/path_private.h"
#include "platform/files.h"

namespace kel {
namespace {

// What one kind of lookup accepts and where it looks.
struct lookup_rules {
    const long *types = nullptr;  // accepted in folders; count 0: any type
    short count = 0;
    bool collectives = true;        // the open collectives come first
    bool extensions = false;        // with a type list, retry with the types' extensions
    bool extended_message = false;  // which error a standalone application that searches collectives only posts
};

struct found_file {
    short path = 0;
    long type = 0;
    std::string name;
};

// The file at an operating-system name, when it is one of the accepted
// types; a link is followed to its target.
bool accept_file(const std::string &os, const lookup_rules &rules, found_file *out)
{
    platform::file_status st;
    if (platform::file_stat(os, &st) != 0 || st.kind != platform::entry_kind::file) return false;
    std::string file = os;
    if (st.link && platform::canonical_path(os, &file) != 0) return false;
    const long type = file_type_of(file);
    if (!type_in_list(type, rules.types, rules.count)) return false;
    const std::string name = kernel_name(platform::last_component(file));
    if (name.empty() || name.size() >= MAX_FILENAME_CHARS) return false;
    const short path = path_id_of_folder(platform::parent_folder(file));
    if (!path) return false;
    *out = {path, type, name};
    return true;
}

// Checking one folder for a plain or relative name.
bool check_folder(short folder, const std::string &name, const lookup_rules &rules, found_file *out)
{
    std::string os;
    return !name.empty() && file_os_name(folder, name.c_str(), &os) && accept_file(os, rules, out);
}

bool search_list(const path_list *list, const std::string &name, const lookup_rules &rules, found_file *out)
{
    for (const path_node *node = list->head; node; node = node->next)
        if (check_folder(node->path, name, rules, out)) return true;
    if (!rules.extensions || rules.count <= 0) return false;
    const std::vector<std::string> extensions = extensions_for(rules.types, rules.count);
    for (const path_node *node = list->head; node; node = node->next)
        for (const std::string &extension : extensions)
            if (check_folder(node->path, name + extension, rules, out)) return true;
    return false;
}

bool search_cache(cache_which which, const std::string &name, const lookup_rules &rules, found_file *out)
{
    return cache_lookup(which, name, rules.types, rules.count, &out->path, &out->type, &out->name);
}

bool search_collectives(const std::string &name, bool with_extensions, const lookup_rules &rules, found_file *out)
{
    long type = 0;
    std::string stored;
    short id = collective_find(name.c_str(), 0, rules.types, rules.count, &type, &stored);
    if (id == collective_not_found && with_extensions && rules.count > 0) {
        for (const std::string &extension : extensions_for(rules.types, rules.count)) {
            id = collective_find((name + extension).c_str(), 0, rules.types, rules.count, &type, &stored);
            if (id != collective_not_found) break;
        }
    }
    if (id == collective_not_found) return false;
    *out = {id, type, stored};
    return true;
}

bool locate(const char *asked, const lookup_rules &rules, found_file *out)
{
    if (bounded_length(asked, MAX_PATH_CHARS) <= 0) return false;
    std::string name = asked;
    const name_parts parts = classify_name(name);

    // 1. A full name is looked at where it points.
    std::string os;
    if ((parts.kind == name_kind::root || parts.kind == name_kind::vendor) && full_name_to_os(name, &os) &&
        accept_file(os, rules, out))
        return true;

    // 2. Otherwise a name with a folder part is known by its last component,
    // which only the collectives are asked for.
    bool folder_part = false;
    if (parts.kind != name_kind::relative && name.find_first_of(":/\\") != std::string::npos) {
        name = last_name_component(name);
        folder_part = true;
        if (name.empty()) return false;
    }

    // 3. The open collectives in opening order (any type for locatefile,
    // else the listed ones), then, for a name without a folder part and with
    // a type list, again with each extension registered for the listed types.
    if (rules.collectives && search_collectives(name, !folder_part, rules, out)) return true;
    if (folder_part) return false;

    if (rules.collectives && path_standalone_collective_only()) {
        if (rules.extended_message)
            error("%s: no such file in collective", asked);
        else
            error("%s: can't find in collective", asked);
        return false;
    }

    // 4. The default path, then the search path, each through its cache
    // when there is one. A relative name is not a cache key.
    const bool cacheable = parts.kind != name_kind::relative && name.size() < MAX_FILENAME_CHARS;
    const bool default_cache = cacheable && cache_exists(cache_which::default_path);
    const bool search_cache_there = cacheable && cache_exists(cache_which::search);
    if (default_cache && (search_cache(cache_which::default_path, name, rules, out) ||
                          (search_cache_there && search_cache(cache_which::search, name, rules, out))))
        return true;
    if (search_list(path_list_default(), name, rules, out)) return true;
    if (!default_cache && search_cache_there && search_cache(cache_which::search, name, rules, out)) return true;
    return search_list(path_list_search(), name, rules, out);
}

short locate_into(char *name, short *outpath, long *outtype, const lookup_rules &rules)
{
    if (!name) return 1;
    try {
        found_file found;
        if (!locate(name, rules, &found)) return 1;
        copy_out(found.name, name, MAX_FILENAME_CHARS);
        if (outpath) *outpath = found.path;
        if (outtype) *outtype = found.type;
        return 0;
    } catch (const std::bad_alloc &) {
        report_out_of_memory("locatefile");
        return 1;
    }
}

// The own name of a folder, as the kernel spells it.
std::string folder_name(short path)
{
    std::string os;
    return path_folder_of(path, &os) ? kernel_name(platform::last_component(os)) : std::string();
}

// The first search-path folder named name among those that are base or
// directly inside it (any folder of the search path when base is 0).
bool named_folder(const char *name, short base, short *outpath)
{
    for (const path_node *node = path_list_search()->head; node; node = node->next) {
        if (base && node->path != base && node->parent != base) continue;
        if (folder_name(node->path) == name) {
            *outpath = node->path;
            return true;
        }
    }
    return false;
}

short find_named_folder(const char *name, short base, short *outpath)
{
    if (!name || !outpath || !name[0]) return 1;
    try {
        return named_folder(name, base, outpath) ? 0 : 1;
    } catch (const std::bad_alloc &) {
        report_out_of_memory("find_named_folder");
        return 1;
    }
}

}  // namespace
}  // namespace kel

using namespace kel;

KEL_API short locatefile_extended(char *name, short *outpath, long *outtype, const long *typelist, short numtypes)
{
    lookup_rules rules;
    rules.types = typelist;
    rules.count = typelist && numtypes > 0 ? numtypes : 0;
    rules.extensions = true;
    rules.extended_message = true;
    return locate_into(name, outpath, outtype, rules);
}

KEL_API short locatefile(char *name, short *outpath, short *binflag)
{
    static const long patchers[] = {FILETYPE_PATCHER, FILETYPE_TEXT};
    lookup_rules rules;
    rules.types = patchers;
    rules.count = 2;
    long type = 0;
    const short result = locate_into(name, outpath, &type, rules);
    if (result == 0 && binflag) *binflag = type == FILETYPE_PATCHER ? 1 : 0;
    return result;
}

KEL_API short locatefiletype(char *name, short *outpath, long filetype, long creator)
{
    // Files here have no creator, so a creator asked for refuses nothing.
    (void)creator;
    lookup_rules rules;
    rules.types = &filetype;
    rules.count = filetype ? 1 : 0;
    return locate_into(name, outpath, nullptr, rules);
}

KEL_API short locatefilelist(char *name, short *outpath, long *outtype, const long *typelist, short numtypes)
{
    lookup_rules rules;
    rules.types = typelist;
    rules.count = typelist && numtypes > 0 ? numtypes : 0;
    rules.collectives = false;
    rules.extensions = true;
    return locate_into(name, outpath, outtype, rules);
}

KEL_API short nameinpath(const char *name, short *outpath) { return find_named_folder(name, 0, outpath); }

KEL_API short path_nameinpath(const char *name, short path, short *outpath)
{
    if (path == 0) return 1;
    return find_named_folder(name, path, outpath);
}

KEL_API short path_sysnameinpath(const char *name, short *outpath)
{
    if (!name || !outpath || !name[0]) return 1;
    try {
        std::vector<short> bases = {path_getapppath()};
        const std::string application = application_os_folder();
        platform::file_status st;
        const std::string support_inside = platform::join(application, "support");
        if (!application.empty() && platform::file_stat(support_inside, &st) == 0 &&
            st.kind == platform::entry_kind::folder)
            bases.push_back(path_id_of_folder(support_inside));
        bases.push_back(path_getsupportpath());
        for (short base : bases)
            if (base && named_folder(name, base, outpath)) return 0;
        return named_folder(name, 0, outpath) ? 0 : 1;
    } catch (const std::bad_alloc &) {
        report_out_of_memory("path_sysnameinpath");
        return 1;
    }
}

KEL_API short path_resolvefile(char *name, short path, short *outpath)
{
    if (!name || !outpath) return -1;
    try {
        std::string os;
        if (!file_os_name(path, name, &os)) return toolbox::dirNFErr;
        platform::file_status st;
        if (int err = platform::file_stat(os, &st)) return platform::toolbox_error(err);
        if (!st.link) {
            *outpath = path;
            return 0;
        }
        std::string target;
        if (int err = platform::canonical_path(os, &target)) return platform::toolbox_error(err);
        const std::string leaf = kernel_name(platform::last_component(target));
        const short folder = path_id_of_folder(platform::parent_folder(target));
        if (!folder) return toolbox::dirNFErr;
        if (!copy_out(leaf, name, MAX_FILENAME_CHARS)) return toolbox::bdNamErr;
        *outpath = folder;
        return 0;
    } catch (const std::bad_alloc &) {
        report_out_of_memory("path_resolvefile");
        return -1;
    }
}
