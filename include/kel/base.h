/* SPDX-License-Identifier: MIT (see LICENSE) */
/* kel external SDK: the records every other header builds on.
 *
 * Layouts in this file are promised to externals: the kernel checks them with
 * static assertions, and an external built against another layout is refused
 * when it is loaded (KEL_SDK_VERSION and sizeof(atom)).
 */
#ifndef KEL_BASE_H
#define KEL_BASE_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
#define KEL_BEGIN_C extern "C" {
#define KEL_END_C }
#else
#define KEL_BEGIN_C
#define KEL_END_C
#endif

#if defined(_WIN32)
#define KEL_API __declspec(dllexport)
#else
#define KEL_API __attribute__((visibility("default")))
#endif

#if defined(__GNUC__)
#define KEL_PRINTF(fmt, first) __attribute__((format(printf, fmt, first)))
#else
#define KEL_PRINTF(fmt, first)
#endif

/* Raised whenever a promised layout or a calling contract changes. */
#define KEL_SDK_VERSION 1

KEL_BEGIN_C

/* Kernel status codes of the newer API. */
enum { ERR_NONE = 0, ERR_GENERIC = -1, ERR_INVALID_PTR = -2, ERR_DUPLICATE = -3 };

/* Atom types; the same numbers are the argument types of method tables. */
enum {
    ATYPE_NOTHING = 0,   /* end of an argument list */
    ATYPE_LONG = 1,      /* 32-bit integer */
    ATYPE_FLOAT = 2,     /* 32-bit float (methods receive a double) */
    ATYPE_SYM = 3,       /* symbol */
    ATYPE_OBJ = 4,       /* object pointer */
    ATYPE_DEFLONG = 5,   /* optional integer, 0 when absent */
    ATYPE_DEFFLOAT = 6,  /* optional float, 0.0 when absent */
    ATYPE_DEFSYM = 7,    /* optional symbol, the empty symbol when absent */
    ATYPE_GIMME = 8,     /* (object, selector, argc, argv) */
    ATYPE_CANT = 9,      /* not callable by message */
    ATYPE_SEMI = 10,     /* ; */
    ATYPE_COMMA = 11,    /* , */
    ATYPE_DOLLAR = 12,   /* $n */
    ATYPE_DOLLSYM = 13,  /* a symbol containing $n */
    ATYPE_GIMMEBACK = 14 /* (object, selector, argc, argv, result atom) */
};

/* An integer as atoms and typed messages carry it: 32 bits, wrapping. */
typedef int32_t atom_long;
/* A float as atoms carry it; typed methods receive floats as double. */
typedef float atom_float;
/* A raw argument word of object_method and its kin: integers and pointers. */
typedef intptr_t kel_word;

struct object;

/* The unique record of a name. Obtained only through gensym; never freed,
 * never moved; two names are equal when their symbols are the same pointer. */
typedef struct symbol {
    const char *name;
    struct object *thing; /* the object bound to the name, or NULL */
} symbol;

union atom_word {
    atom_long w_long;
    atom_float w_float;
    symbol *w_sym;
    struct object *w_obj;
};

/* A tagged value: one of the ATYPE_ codes and its word. An array of atoms is
 * a contiguous run of these records. */
typedef struct atom {
    short type;
    union atom_word word;
} atom;

/* Any function stored in a method table. Methods are called with the object
 * first and then their declared arguments: integers (declare them `long`)
 * and pointers one word each, floats as double. */
typedef void (*kel_method)(void);

/* One entry of a method table. Built through the class API only. */
typedef struct method_entry {
    symbol *selector;
    kel_method method;
    char types[8]; /* argument types, ATYPE_NOTHING-terminated, at most 7 */
} method_entry;

/* The value of `magic` while an object is alive. */
#define OBJ_MAGIC 0x68CEBD9B

struct inlet;
struct outlet;

/* The header every object begins with: externals embed it as the first member
 * of their own record. Instances of `tiny` classes have only the first two
 * fields. */
typedef struct object {
    method_entry *messlist; /* the class's first method; the entry before is the table header */
    int32_t magic;          /* OBJ_MAGIC while alive, 0 once freed */
    struct inlet *inlets;   /* extra inlets, leftmost first */
    struct outlet *outlets; /* outlets, leftmost first */
} object;

/* A class record; reached only through the class API. */
typedef struct kel_class kel_class;

/* Every external built with these headers carries the SDK version and the
 * atom size it was compiled with; kel refuses a library whose stamp does not
 * match its own. The definition is weak, so any number of files of one
 * library may include this header. */
struct kel_sdk_stamp {
    long version;
    long atom_size;
};
#if !defined(KEL_BUILDING_KERNEL) && defined(__GNUC__)
__attribute__((weak, visibility("default"))) struct kel_sdk_stamp kel_external_sdk = {KEL_SDK_VERSION,
                                                                                      (long)sizeof(atom)};
#endif

KEL_END_C

#endif /* KEL_BASE_H */
