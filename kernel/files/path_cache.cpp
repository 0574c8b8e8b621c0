// The path cache: what files the folders of the search path and of the
// default path hold, so that a lookup is one hash lookup instead of a look
// into every folder.
//
// Each cache is an object of class "pathcache" holding a hashtab keyed by
// file names without their registered extension; each value is a
// "filename_entry" holding, in the order the folders were entered, a list of
// "file_entry" records: the file's full name, its folder, its type and
// whether it is a link. The table owns the filename entries, a filename
// entry owns its list, and the list owns its file entries.
//
// A cache can be behind the disk: entries of files that are gone are
// deleted when a lookup meets them, and new files are found by the lookups
// that still look into the folders after a cache miss.
#include <algorithm>
#include <string>
#include <vector>

#include "kel/classes.h"
#include "kel/hashtab.h"
#include "kel/linklist.h"
#include "kel/symbols.h"
#include "kernel/files/path.h"
#include "kernel/files/path_private.h"
#include "platform/files.h"

namespace {

struct file_entry {
    object header;
    symbol *name;
    short path;
    long type;
    short shortcut;
};

struct filename_entry {
    object header;
    linklist *files;
};

struct pathcache {
    object header;
    hashtab *table;
};

constexpr long cache_slots = 2039;

void filename_entry_free(filename_entry *x)
{
    if (x->files) freeobject(x->files);
}

void pathcache_free(pathcache *x)
{
    if (x->table) freeobject(x->table);
}

kel_class *make_class(const char *name, kel_method free_method, long size)
{
    kel_class *c = class_new(name, nullptr, free_method, size, nullptr, 0);
    if (c) class_register(nullptr, c);
    return c;
}

kel_class *file_entry_class()
{
    static kel_class *c = make_class("file_entry", nullptr, sizeof(file_entry));
    return c;
}

kel_class *filename_entry_class()
{
    static kel_class *c =
        make_class("filename_entry", reinterpret_cast<kel_method>(&filename_entry_free), sizeof(filename_entry));
    return c;
}

kel_class *pathcache_class()
{
    static kel_class *c = make_class("pathcache", reinterpret_cast<kel_method>(&pathcache_free), sizeof(pathcache));
    return c;
}

pathcache *g_search_cache = nullptr;
pathcache *g_default_cache = nullptr;

pathcache *&cache_of(kel::cache_which which)
{
    return which == kel::cache_which::search ? g_search_cache : g_default_cache;
}

filename_entry *name_entry(pathcache *cache, symbol *key)
{
    void *found = nullptr;
    if (hashtab_lookup(cache->table, key, &found) == 0 && found) return static_cast<filename_entry *>(found);
    if (!filename_entry_class()) return nullptr;
    auto *entry = static_cast<filename_entry *>(object_alloc(filename_entry_class()));
    if (!entry) return nullptr;
    entry->files = linklist_new();
    if (!entry->files || hashtab_store(cache->table, key, entry) != 0) {
        freeobject(entry);
        return nullptr;
    }
    return entry;
}

// A file entry's file as it is now: false when it is gone (or a link that
// leads nowhere any more); a link is followed to its target.
bool current_file(const file_entry *entry, short *path, long *type, std::string *name)
{
    std::string folder;
    if (!kel::path_folder_of(entry->path, &folder)) return false;
    const std::string os = kel::os_name_in(folder, entry->name->name);
    kel::platform::file_status st;
    if (kel::platform::file_stat(os, &st) != 0 || st.kind != kel::platform::entry_kind::file) return false;
    if (!st.link) {
        *path = entry->path;
        *type = entry->type;
        *name = entry->name->name;
        return true;
    }
    std::string target;
    if (kel::platform::canonical_path(os, &target) != 0) return false;
    const short target_path = kel::path_id_of_folder(kel::platform::parent_folder(target));
    const std::string target_name = kel::kernel_name(kel::platform::last_component(target));
    if (!target_path || target_name.size() >= MAX_FILENAME_CHARS) return false;
    *path = target_path;
    *type = kel::file_type_of(target);
    *name = target_name;
    return true;
}

}  // namespace

namespace kel {

bool cache_exists(cache_which which) { return cache_of(which) != nullptr; }

object *cache_make()
{
    if (!pathcache_class() || !file_entry_class()) return nullptr;
    auto *made = static_cast<pathcache *>(object_alloc(pathcache_class()));
    if (!made) return nullptr;
    made->table = hashtab_new(cache_slots);
    if (!made->table) {
        freeobject(made);
        return nullptr;
    }
    return &made->header;
}

object *cache_swap(cache_which which, object *cache)
{
    pathcache *&installed = cache_of(which);
    object *replaced = installed ? &installed->header : nullptr;
    installed = reinterpret_cast<pathcache *>(cache);
    return replaced;
}

void cache_create(cache_which which)
{
    pathcache *&cache = cache_of(which);
    if (!cache) cache = reinterpret_cast<pathcache *>(cache_make());
}

void cache_free(cache_which which)
{
    pathcache *&cache = cache_of(which);
    if (cache) freeobject(cache);
    cache = nullptr;
}

void cache_add_folder(cache_which which, short path)
{
    if (pathcache *cache = cache_of(which)) cache_enter_folder(&cache->header, path);
}

void cache_enter_folder(object *cache_object, short path)
{
    auto *cache = reinterpret_cast<pathcache *>(cache_object);
    std::string folder;
    std::vector<std::string> names;
    if (!cache || !path_folder_of(path, &folder) || platform::folder_names(folder, false, &names) != 0) return;
    for (const std::string &os : names) {
        const std::string full = platform::join(folder, os);
        platform::file_status st;
        if (platform::file_stat(full, &st) != 0 || st.kind != platform::entry_kind::file) continue;
        const std::string name = kernel_name(os);
        if (name.size() >= MAX_FILENAME_CHARS) continue;
        filename_entry *entry = name_entry(cache, gensym(strip_registered_extension(name).c_str()));
        if (!entry) continue;
        auto *file = static_cast<file_entry *>(object_alloc(file_entry_class()));
        if (!file) continue;
        file->name = gensym(name.c_str());
        file->path = path;
        file->type = file_type_of(full);
        file->shortcut = st.link ? 1 : 0;
        if (linklist_append(entry->files, file) < 0) freeobject(file);
    }
}

bool cache_lookup(cache_which which, const std::string &name, const long *types, short count, short *outpath,
                  long *outtype, std::string *found)
{
    pathcache *cache = cache_of(which);
    if (!cache) return false;
    const std::string base = strip_registered_extension(name);
    symbol *key = gensym(base.c_str());
    void *value = nullptr;
    if (hashtab_lookup(cache->table, key, &value) != 0 || !value) return false;
    auto *entry = static_cast<filename_entry *>(value);

    std::vector<file_entry *> files(static_cast<size_t>(linklist_getsize(entry->files)));
    files.resize(static_cast<size_t>(
        linklist_makearray(entry->files, reinterpret_cast<void **>(files.data()), static_cast<long>(files.size()))));

    // Takes a file when it is still there and of an accepted type; an entry
    // whose file is gone is deleted.
    auto take = [&](file_entry *&file) {
        short path = 0;
        long type = 0;
        std::string current;
        if (!current_file(file, &path, &type, &current)) {
            linklist_chuckptr(entry->files, file);
            freeobject(file);
            file = nullptr;
            return false;
        }
        if (!type_in_list(type, types, count)) return false;
        *outpath = path;
        *outtype = type;
        *found = current;
        return true;
    };

    // What the folders are searched for when there is no cache, in the same
    // order, so that a cache never changes an answer: the exact name in every
    // folder; then, for a name without a registered extension and with a
    // type list, folder by folder, the name with each extension of a listed
    // type.
    bool hit = false;
    for (file_entry *&file : files)
        if (file && name == file->name->name && (hit = take(file))) break;
    if (!hit && base == name && count > 0 && types) {
        const std::vector<std::string> extensions = extensions_for(types, count);
        std::vector<short> folders;
        for (const file_entry *file : files)
            if (file && std::find(folders.begin(), folders.end(), file->path) == folders.end())
                folders.push_back(file->path);
        for (size_t f = 0; f < folders.size() && !hit; f++)
            for (size_t e = 0; e < extensions.size() && !hit; e++)
                for (file_entry *&file : files)
                    if (file && file->path == folders[f] && name + extensions[e] == file->name->name &&
                        (hit = take(file)))
                        break;
    }
    if (linklist_getsize(entry->files) == 0) hashtab_delete(cache->table, key);
    return hit;
}

}  // namespace kel
