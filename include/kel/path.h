/* SPDX-License-Identifier: MIT (see LICENSE) */
/* kel external SDK: folders, search paths, file lookup and file types.
 *
 * Objects never open files by full name: they ask for a file by name (and
 * the four-character types they accept) and get back the folder it is in,
 * named by a path id, and its type. Open the file afterwards with its name
 * and that path id.
 *
 * Path ids are 16-bit: folders get -1, -2, -3 ... in the order they are first
 * used, and keep their id for the life of the process; 0 means no folder.
 * Names are Mac Roman, NUL-terminated; a file name has at most 255
 * characters, a full name at most MAX_PATH_CHARS - 1.
 *
 * Everything here runs on the main thread (loading, dialogs, the
 * application receiver), except the id <-> folder conversions, which are
 * safe from any thread.
 */
#ifndef KEL_PATH_H
#define KEL_PATH_H

#include "kel/base.h"

KEL_BEGIN_C

/* Buffers: full names (path_topathname ...) and file names (the name
 * buffer of every lookup, which may be rewritten with a found name). */
#define MAX_PATH_CHARS 4096
#define MAX_FILENAME_CHARS 256

/* A four-character code as a 32-bit value, the first character in the high
 * byte: KEL_FOURCC('T','E','X','T') is 0x54455854. */
#define KEL_FOURCC(a, b, c, d)                                                                                         \
    ((long)(((unsigned long)(unsigned char)(a) << 24) | ((unsigned long)(unsigned char)(b) << 16) |                    \
            ((unsigned long)(unsigned char)(c) << 8) | (unsigned long)(unsigned char)(d)))

#define FILETYPE_TEXT KEL_FOURCC('T', 'E', 'X', 'T')       /* text, text patcher */
#define FILETYPE_PATCHER KEL_FOURCC('k', 'e', 'l', 'b')    /* binary patcher */
#define FILETYPE_EXTERNAL KEL_FOURCC('i', 'L', 'a', 'F')   /* external object library */
#define FILETYPE_COLLECTIVE KEL_FOURCC('k', 'l', '@', 'c') /* collective */
#define FILETYPE_APPLICATION KEL_FOURCC('A', 'P', 'P', 'L')
#define FILETYPE_FOLDER KEL_FOURCC('f', 'o', 'l', 'd') /* what folder iteration reports for a folder */

/* --- path lists ---
 *
 * Five lists, each bound (as the thing of its symbol) to its path_list
 * record: "__pathlist_search__", "__pathlist_startup__",
 * "__pathlist_action__", "__pathlist_help__", "__pathlist_default__".
 * Read them; change them only through the functions below. */
typedef struct path_node {
    short path;      /* the folder */
    short root;      /* the folder the list was built from */
    short permanent; /* set for folders that came from the preferences */
    struct path_node *next;
    short parent; /* the folder that held this one when it was added, 0 for a root */
} path_node;

typedef struct path_list {
    path_node *head; /* in search order */
} path_list;

/* The id after *path in list (the first one when *path is 0): 0 and *path
 * set, or 1 and *path set to 0 after the last. */
KEL_API short path_getnext(path_list *list, short *path);
/* Appends the folder (with every sub-folder, and every folder a link in it
 * leads to, when recursive) unless it is there; a folder already in the list
 * is not entered again. 0, or -1 for an unknown id or the file-system root
 * (error "cannot build search path from root directory"). */
KEL_API short path_build(short path, path_list *list, short recursive, short permanent);
/* path_build for a folder given by its full name. 0 or -1. */
KEL_API short path_addnamed(path_list *list, const char *name, short recursive, short permanent);
/* Removes the nodes whose permanent flag is clear (every node when
 * permanent_too is non-zero). */
KEL_API void path_removefromlist(path_list *list, short permanent_too);
/* Sets or clears the permanent flag of the nodes of that folder and of the
 * nodes built from it. */
KEL_API void path_setpermanent(path_list *list, short path, short permanent);

/* The folder of the running program; the vendor support folder (0 when
 * there is none). */
KEL_API short path_getapppath(void);
KEL_API short path_getsupportpath(void);
/* The first folder of the default path (the folder of the patcher being
 * loaded), 0 when it is empty. */
KEL_API short path_getdefault(void);
/* Replaces the default path with the folder (and its sub-folders when
 * recursive), unless the folder is in the search path: then nothing
 * changes. */
KEL_API void path_setdefault(short path, short recursive);

/* Preference strings: type 0 the start-up folder's name (always
 * "kel-startup"), 1 search folder number index (from 1), 2 the action folder,
 * 3 the help folder. The getter answers 1 when the value is the empty
 * symbol, else 0. */
KEL_API short path_getprefstring(long type, long index, symbol **value);
KEL_API void path_setprefstring(long type, long index, symbol *value);

/* --- lookup ---
 *
 * The name buffer of a lookup holds at least MAX_FILENAME_CHARS bytes: on
 * success the name of the file found is written into it (it differs from
 * the name asked for when a link was followed, an extension appended, or the
 * name had a folder part). Lookups post nothing, except in a standalone
 * application that does not search for missing files. */

/* The open collectives, then the default path, then the search path; a type
 * list (numtypes > 0) limits the types accepted and lets extensions
 * registered for them be tried. 0 and *outpath, *outtype when found; 1 when
 * not (name unchanged). */
KEL_API short locatefile_extended(char *name, short *outpath, long *outtype, const long *typelist, short numtypes);
/* Patchers: binary ("kelb", *binflag 1) or text ("TEXT", *binflag 0). */
KEL_API short locatefile(char *name, short *outpath, short *binflag);
/* One type (0: any) and a creator (0: any; files here have none, so a
 * creator never refuses one). */
KEL_API short locatefiletype(char *name, short *outpath, long filetype, long creator);
/* The default path then the search path, without collectives. */
KEL_API short locatefilelist(char *name, short *outpath, long *outtype, const long *typelist, short numtypes);
/* A folder of the search path by its own name. 0 when found. */
KEL_API short nameinpath(const char *name, short *outpath);
/* The same among path and the search-path folders directly inside it. */
KEL_API short path_nameinpath(const char *name, short path, short *outpath);
/* A system folder by name: near the application folder first, then near
 * the support folder, then anywhere in the search path. */
KEL_API short path_sysnameinpath(const char *name, short *outpath);
/* When name in path is a link, follows it: name becomes the target's name
 * and *outpath its folder. 0, or an error code when there is no such file or
 * the link leads nowhere. */
KEL_API short path_resolvefile(char *name, short path, short *outpath);

/* --- names ---
 *
 * Three styles: colon (":a:b" relative, "Volume:a:b"), slash ("./a/b",
 * "/a/b", "Volume:/a/b") and backslash (".\a\b", "\a\b", "Volume:\a\b").
 * Full names produced here are slash style; on this system they are
 * ordinary absolute file names ("/home/me/x.pat"). The volume "VND" stands
 * for the support folder ("VND:/help/x.pat"). */
enum {
    PATH_STYLE_NATIVE = 1, /* slash on this system */
    PATH_STYLE_COLON = 2,
    PATH_STYLE_SLASH = 3,
    PATH_STYLE_BACKSLASH = 4
};
enum {
    PATH_TYPE_KEEP = 0,     /* keep the name's form */
    PATH_TYPE_ABSOLUTE = 1, /* a full name */
    PATH_TYPE_RELATIVE = 2, /* relative to the application folder */
    PATH_TYPE_ROOT = 3,     /* from the root of the system volume */
    PATH_TYPE_SUPPORT = 4   /* on the "VND" volume (inside the support folder) */
};

/* Converts src into dst (MAX_PATH_CHARS bytes; src and dst may be the same
 * buffer). 0, or -1 for a null argument, a name that cannot take the form
 * asked for, or a result too long. */
KEL_API short path_nameconform(const char *src, char *dst, long style, long type);
/* 1 for names beginning with ":", "./" or ".\", else 0. */
KEL_API short path_nameisrelative(const char *name);
/* The separator a name uses: ':' unless it is followed by '/' or '\'. */
KEL_API char path_getseparator(const char *name);

/* The full name of file in path (the folder's own name when file is NULL or
 * empty) into name (MAX_PATH_CHARS bytes). 0, or -1 for an unknown id, a
 * file that does not exist, or a name too long. */
KEL_API short path_topathname(short path, const char *file, char *name);
/* The same for a file that need not exist yet. */
KEL_API short path_topotentialname(short path, const char *file, char *name);
/* A full name split into its folder and file name (MAX_FILENAME_CHARS
 * bytes; empty when the name is a folder's). The folder must exist, the
 * file need not. 0 or -1. */
KEL_API short path_frompathname(const char *name, short *path, char *filename);

/* A file reference: the full name of a file or folder. */
typedef struct fileref {
    char name[MAX_PATH_CHARS];
} fileref;

/* The reference of file in path (the folder itself for NULL or "").
 * 0, or -1 for an unknown id. */
KEL_API short path_tospec(short path, const char *file, fileref *ref);
/* The id of the folder a reference names (allocated when new); 0 when
 * it names no folder. genpath is the same. */
KEL_API short path_new(const fileref *ref);
KEL_API short genpath(const fileref *ref);
/* The file name of a reference (MAX_FILENAME_CHARS bytes). 0 or -1. */
KEL_API short path_namefromspec(const fileref *ref, char *name);
/* The full name of file in path in the native style (MAX_PATH_CHARS
 * bytes); as path_topotentialname. */
KEL_API short path_translate(short path, const char *file, char *name);
/* The name of the volume holding path: empty on this system, which has one
 * root. 0; for an unknown id -1 and the error "path_volumename: ASI_HFSpec
 * err %d". */
KEL_API short path_volumename(short path, char *name);

/* --- folders and files --- */

/* Iterates over a folder's entries in name order (hidden entries, names
 * beginning with '.', are left out). A link is reported as what it leads
 * to. */
typedef struct path_folder path_folder;
/* NULL for an unknown id or a folder that cannot be read. */
KEL_API path_folder *path_openfolder(short path);
/* 1 and the next entry: its name (MAX_FILENAME_CHARS bytes), its type
 * (FILETYPE_FOLDER for a folder) and whether it is a folder; 0 at the end. */
KEL_API short path_foldernextfile(path_folder *folder, long *filetype, char *name, short *isfolder);
/* The reference of the entry last returned. 0 or -1. */
KEL_API short path_foldergetspec(path_folder *folder, fileref *ref);
KEL_API void path_closefolder(path_folder *folder);

#define FILEINFO_ALIAS 1  /* the name is a link (a shortcut) */
#define FILEINFO_FOLDER 2 /* the name is (or leads to) a folder */

/* Files here carry no type of their own: the type comes from the name's
 * extension (file-type registry below) and, where that is ambiguous or
 * unknown, from the file's first bytes. For a link, the target's. */
typedef struct fileinfo {
    long type;
    long creator; /* always 0 */
    long flags;   /* FILEINFO_ALIAS, FILEINFO_FOLDER */
} fileinfo;

typedef struct fileinfo_extended {
    fileinfo info;
    unsigned long created;  /* local seconds since 1904-01-01 (the modification date where no birth date is kept) */
    unsigned long modified; /* local seconds since 1904-01-01 */
    int64_t size;           /* bytes; 0 for a folder */
} fileinfo_extended;

/* 0, or the file-system error code (-43: no such file). */
KEL_API short path_fileinfo(const char *name, short path, fileinfo *info);
KEL_API short path_extendedfileinfo(const char *name, short path, fileinfo_extended *info);
/* Types and creators are not stored here: 0 when the file exists. */
KEL_API short path_setfileinfo(const char *name, short path, const fileinfo *info);
KEL_API short path_getmoddate(short path, unsigned long *date);
KEL_API short path_getfilemoddate(const char *name, short path, unsigned long *date);
/* 1 when the file is a resource file. */
KEL_API short path_fileisresource(const char *name, short path);

/* Copies the file into the system's temporary folder under a fresh name
 * (a unique symbol's name and the file's extension): 0, *outpath and
 * outname (MAX_FILENAME_CHARS bytes), or an error code. The copy is deleted
 * when the application quits. */
KEL_API short path_copytotempfile(const char *name, short path, char *outname, short *outpath);

/* Permissions for opening files. */
enum {
    PATH_PERM_DEFAULT = 0, /* read and write when allowed, else read */
    PATH_PERM_READ = 1,
    PATH_PERM_WRITE = 2,
    PATH_PERM_READWRITE = 3
};

struct sysfile;

/* Opening: name is a file name in path, a relative name (":a:b", "./a/b")
 * from path, or a full name (path is then ignored). Only regular files are
 * opened. 0, or the file-system error code (-43: no such file). */
KEL_API short path_opensysfile(const char *name, short path, struct sysfile **f, short perm);
/* An operating-system file descriptor, which the caller closes. */
KEL_API short path_openfile(const char *name, short path, int *fd, short perm);
/* Creating (for reading and writing): an existing file is opened with its
 * contents, which the caller cuts with the file's length. The type is
 * implied by the name here. Failure posts "%s: error %d creating file". */
KEL_API short path_createsysfile(const char *name, short path, long type, struct sysfile **f);
KEL_API short path_createfile(const char *name, short path, long type, int *fd);
/* A new folder inside path: 0 and its id, or an error code. */
KEL_API short path_createfolder(short path, const char *name, short *newpath);
/* Deletes a file, a link (not what it leads to) or an empty folder. */
KEL_API short path_deletefile(const char *name, short path);
/* Copies a file, replacing dstname in dstpath (srcname when dstname is
 * NULL or empty) as a whole: the copy is written beside it and renamed over
 * it ("%s: error %d renaming file" when that fails). 0 or an error code. */
KEL_API short path_copyfile(short srcpath, const char *srcname, short dstpath, const char *dstname);

/* Resource files are ordinary files here. The open ones answer the
 * resource file's reference number (> 0), or -1. */
KEL_API short path_openresfile(const char *name, short path);
KEL_API short path_createresfile(const char *name, short path);
KEL_API short path_openressysfile(const char *name, short path, struct sysfile **f, short perm);
KEL_API short path_createressysfile(const char *name, short path, long type, struct sysfile **f);

/* --- file types ---
 *
 * Registered formats map extensions to types: ".txt" TEXT, ".kle" iLaF,
 * ".exe" APPL, ".pat" kelb, ".klb" kelb, ".pat" TEXT, ".klf" kl@c, ".help"
 * kelb and TEXT. Sniffers recognise a type by a file's first bytes. */

/* The type code of a name: its first four characters, padded with spaces. */
KEL_API long fileformat_type(const char *name);
/* Registers (extension, type); the extension is kept lower case with its
 * dot. nosub: the extension is never cut off nor appended to names. A pair
 * already registered changes nothing. 0 or -1. */
KEL_API short fileformat_register(const char *extension, long type, short nosub, const char *description);
/* The part of the file name from its last '.' (MAX_FILENAME_CHARS bytes),
 * or "" when it has none. */
KEL_API void fileformat_suffix(const char *name, char *suffix);
/* Cuts a registered extension (one registered for a listed type, when
 * numtypes > 0) that is not nosub off name: its length, or 0. */
KEL_API long fileformat_stripsuffix(char *name, const long *typelist, short numtypes);

/* A sniffer's test: data holds the count leading bytes the file has (up to
 * the sniffer's byte count); pattern the sniffer's bytes (-1: any byte) or
 * NULL. Non-zero when the bytes are of the type. */
typedef long (*fileformat_test)(const unsigned char *data, long count, const short *pattern, long patternlength);
/* One sniffer per type: a later one for a type that has one is discarded
 * (answering -1). A null test matches the pattern of bytecount values.
 * 0 or -1. */
KEL_API short fileformat_installsniffer(long type, long bytecount, fileformat_test test, const short *pattern);
/* 1 and *outtype when a sniffer of a listed type (of any type when numtypes
 * is 0) recognises the file's first bytes; the first listed wins. */
KEL_API short fileformat_sniff(const char *name, short path, const long *typelist, short numtypes, long *outtype);
/* A type list (room for 4): flags 2 iLaF, 1 kelb and TEXT, 4 kl@c, in that
 * order. */
KEL_API void typelist_make(long *types, short *numtypes, long flags);

KEL_END_C

#endif /* KEL_PATH_H */
