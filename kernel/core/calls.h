// Calling stored functions.
//
// The kernel keeps every function it is given (methods, free methods, clock,
// queue and thread functions, quit tasks, deferred calls, attribute
// accessors and filters, constructors) as the generic kel_method and calls
// it back through the signature it was registered with. Casting a function
// pointer to another function type and calling it is the one dangerous line
// of the kernel, so it is written here and nowhere else: every caller below
// takes the stored pointer and the arguments, casts once and calls. Code
// elsewhere may cast a function *to* kel_method to store it; it never casts
// one back to call it.
//
// Why the cast is safe. The stored function's real parameters are, in
// declared order, the object (or the argument the function was registered
// with) followed by word-sized integers and pointers and doubles, as the
// class registration (or the API that took the function) promised; a
// caller passes exactly that sequence, so every supported calling convention
// puts each argument where the function reads it. Pointer parameters differ
// only in their pointee type (a pointer to the external's own record where
// the caller says `void *`), which no calling convention distinguishes. The word
// callers pass sixteen words to methods that may declare fewer: the extra
// trailing arguments are ignored by the callee, and the caller removes them,
// in every C calling convention we build for. A method that returns nothing
// may be called as one returning void *: the kernel reads the result only of
// the methods that answer one.
//
// Clang's function-type sanitizer checks every call through a pointer
// against the called function's real type and would report each of these
// calls, so each caller carries KEL_CALLS_THROUGH_CAST, which turns that one
// check off for the caller alone; every other call in the program stays
// checked. The callers are inline and small, so a call through them costs
// what the direct call costs.
#pragma once

#include <cstdint>
#include <utility>

#include "kel/base.h"

#if defined(__clang__)
#define KEL_CALLS_THROUGH_CAST __attribute__((no_sanitize("function")))
#else
#define KEL_CALLS_THROUGH_CAST
#endif

struct binbuf;
struct kel_clock;

namespace kel {

// --- messages: a method of a class, with its object first ---

// bang: the object alone; loadbang, freebang and their kin are such methods too.
KEL_CALLS_THROUGH_CAST inline void *call_bang(kel_method fn, void *x)
{
    return reinterpret_cast<void *(*)(void *)>(fn)(x);
}

KEL_CALLS_THROUGH_CAST inline void *call_int(kel_method fn, void *x, long n)
{
    return reinterpret_cast<void *(*)(void *, long)>(fn)(x, n);
}

KEL_CALLS_THROUGH_CAST inline void *call_float(kel_method fn, void *x, double f)
{
    return reinterpret_cast<void *(*)(void *, double)>(fn)(x, f);
}

// Two integers: the fixfix message of inlets.
KEL_CALLS_THROUGH_CAST inline void *call_fixfix(kel_method fn, void *x, long a, long b)
{
    return reinterpret_cast<void *(*)(void *, long, long)>(fn)(x, a, b);
}

// ATYPE_GIMME: the selector and the atoms as they came.
KEL_CALLS_THROUGH_CAST inline void *call_gimme(kel_method fn, void *x, symbol *s, long argc, atom *argv)
{
    return reinterpret_cast<void *(*)(void *, symbol *, long, atom *)>(fn)(x, s, argc, argv);
}

// ATYPE_GIMMEBACK: as gimme, with an atom for the answer.
KEL_CALLS_THROUGH_CAST inline long call_gimmeback(kel_method fn, void *x, symbol *s, long argc, atom *argv,
                                                  atom *result)
{
    return reinterpret_cast<long (*)(void *, symbol *, long, atom *, atom *)>(fn)(x, s, argc, argv, result);
}

// A gimme constructor of the creation object: no object yet.
KEL_CALLS_THROUGH_CAST inline void *call_gimme_constructor(kel_method fn, symbol *s, long argc, atom *argv)
{
    return reinterpret_cast<void *(*)(symbol *, long, atom *)>(fn)(s, argc, argv);
}

// --- object_method and object_new: sixteen raw words ---
// Every such method is called with sixteen words; one declaring fewer ignores the rest.

KEL_CALLS_THROUGH_CAST inline void *call_words(kel_method fn, void *x, const kel_word *w)
{
    using words_method =
        void *(*)(void *, kel_word, kel_word, kel_word, kel_word, kel_word, kel_word, kel_word, kel_word, kel_word,
                  kel_word, kel_word, kel_word, kel_word, kel_word, kel_word, kel_word);
    return reinterpret_cast<words_method>(fn)(x, w[0], w[1], w[2], w[3], w[4], w[5], w[6], w[7], w[8], w[9], w[10],
                                              w[11], w[12], w[13], w[14], w[15]);
}

// The forwarder of another object family: the object, the selector, the words.
KEL_CALLS_THROUGH_CAST inline void *call_selector_words(kel_method fn, void *x, symbol *s, const kel_word *w)
{
    using forward_method =
        void *(*)(void *, symbol *, kel_word, kel_word, kel_word, kel_word, kel_word, kel_word, kel_word, kel_word,
                  kel_word, kel_word, kel_word, kel_word, kel_word, kel_word, kel_word, kel_word);
    return reinterpret_cast<forward_method>(fn)(x, s, w[0], w[1], w[2], w[3], w[4], w[5], w[6], w[7], w[8], w[9], w[10],
                                                w[11], w[12], w[13], w[14], w[15]);
}

// A class's constructor given the words alone.
KEL_CALLS_THROUGH_CAST inline void *call_constructor_words(kel_method fn, const kel_word *w)
{
    using constructor = void *(*)(kel_word, kel_word, kel_word, kel_word, kel_word, kel_word, kel_word, kel_word,
                                  kel_word, kel_word, kel_word, kel_word, kel_word, kel_word, kel_word, kel_word);
    return reinterpret_cast<constructor>(fn)(w[0], w[1], w[2], w[3], w[4], w[5], w[6], w[7], w[8], w[9], w[10], w[11],
                                             w[12], w[13], w[14], w[15]);
}

// --- typed dispatch: one call shape ---

// One converted argument of a typed message: a word or a double.
union call_arg {
    intptr_t word;
    double real;
};

template <bool Real> struct call_arg_type {
    using type = intptr_t;
};
template <> struct call_arg_type<true> {
    using type = double;
};

template <bool Real> inline typename call_arg_type<Real>::type call_arg_get(const call_arg &a)
{
    if constexpr (Real)
        return a.real;
    else
        return a.word;
}

// The method of a call shape: the arguments at positions I..., each a double
// where bit I of RealMask is set and a word elsewhere, after the object.
template <unsigned RealMask, size_t... I>
KEL_CALLS_THROUGH_CAST inline void *call_shape(kel_method fn, void *x, const call_arg *a, std::index_sequence<I...>)
{
    using shape = void *(*)(void *, typename call_arg_type<((RealMask >> I) & 1) != 0>::type...);
    return reinterpret_cast<shape>(fn)(x, call_arg_get<((RealMask >> I) & 1) != 0>(a[I])...);
}

// The same without the object: the constructors of the creation object.
template <unsigned RealMask, size_t... I>
KEL_CALLS_THROUGH_CAST inline void *call_shape_constructor(kel_method fn, const call_arg *a, std::index_sequence<I...>)
{
    using shape = void *(*)(typename call_arg_type<((RealMask >> I) & 1) != 0>::type...);
    return reinterpret_cast<shape>(fn)(call_arg_get<((RealMask >> I) & 1) != 0>(a[I])...);
}

// --- methods the kernel looks up by name and calls with its own arguments ---

// checkin: may the outlet of this type connect here? Non-zero refuses.
KEL_CALLS_THROUGH_CAST inline long call_checkin(kel_method fn, void *x, symbol *type)
{
    return reinterpret_cast<long (*)(void *, symbol *)>(fn)(x, type);
}

// An answer about the object alone: decorator, parentpatcher.
KEL_CALLS_THROUGH_CAST inline void *call_query(kel_method fn, void *x)
{
    return reinterpret_cast<void *(*)(void *)>(fn)(x);
}

// An answer about the object and a name: attr_get, attr_gettarget.
KEL_CALLS_THROUGH_CAST inline void *call_named_query(kel_method fn, void *x, symbol *name)
{
    return reinterpret_cast<void *(*)(void *, symbol *)>(fn)(x, name);
}

// psave and save2: the object writes itself into dest.
KEL_CALLS_THROUGH_CAST inline void *call_save(kel_method fn, void *x, binbuf *dest)
{
    return reinterpret_cast<void *(*)(void *, binbuf *)>(fn)(x, dest);
}

// subpatcher: the index-th patcher the object holds, or null.
KEL_CALLS_THROUGH_CAST inline void *call_subpatcher(kel_method fn, void *x, long index, void *arg)
{
    return reinterpret_cast<void *(*)(void *, long, void *)>(fn)(x, index, arg);
}

// pclose: the owner hears that its patcher closes.
KEL_CALLS_THROUGH_CAST inline void *call_pclose(kel_method fn, void *owner, void *patcher)
{
    return reinterpret_cast<void *(*)(void *, void *)>(fn)(owner, patcher);
}

// unset: the owner of a clock hears that the clock stops.
// A named connection's client method: (client, server, argument).
KEL_CALLS_THROUGH_CAST inline void *call_connection(kel_method fn, void *client, void *server, void *argument)
{
    return reinterpret_cast<void *(*)(void *, void *, void *)>(fn)(client, server, argument);
}

KEL_CALLS_THROUGH_CAST inline void call_clock_unset(kel_method fn, void *owner, kel_clock *c)
{
    reinterpret_cast<void (*)(void *, kel_clock *)>(fn)(owner, c);
}

// fdelay: the owner of a clock sets it to fire after ms.
KEL_CALLS_THROUGH_CAST inline void call_clock_fdelay(kel_method fn, void *owner, kel_clock *c, double ms)
{
    reinterpret_cast<void (*)(void *, kel_clock *, double)>(fn)(owner, c, ms);
}

// --- attributes ---

KEL_CALLS_THROUGH_CAST inline long call_attr_get(kel_method fn, void *x, object *attr, long *ac, atom **av)
{
    return reinterpret_cast<long (*)(void *, object *, long *, atom **)>(fn)(x, attr, ac, av);
}

KEL_CALLS_THROUGH_CAST inline long call_attr_set(kel_method fn, void *x, object *attr, long ac, atom *av)
{
    return reinterpret_cast<long (*)(void *, object *, long, atom *)>(fn)(x, attr, ac, av);
}

// The filter method of a filter object, called with the filter first.
KEL_CALLS_THROUGH_CAST inline long call_attr_filter(kel_method fn, void *filter, void *x, object *attr, long ac,
                                                    atom *av)
{
    return reinterpret_cast<long (*)(void *, void *, object *, long, atom *)>(fn)(filter, x, attr, ac, av);
}

// The procedure a procedure filter was given: a setter's arguments.
KEL_CALLS_THROUGH_CAST inline long call_filter_procedure(kel_method fn, void *x, object *attr, long ac, atom *av)
{
    return reinterpret_cast<long (*)(void *, object *, long, atom *)>(fn)(x, attr, ac, av);
}

// getattrnames of a class that lists its attributes itself.
KEL_CALLS_THROUGH_CAST inline long call_attr_getnames(kel_method fn, void *x, long *count, symbol ***names)
{
    return reinterpret_cast<long (*)(void *, long *, symbol ***)>(fn)(x, count, names);
}

// --- callbacks ---

// A class's free method.
KEL_CALLS_THROUGH_CAST inline void call_free(kel_method fn, void *x) { reinterpret_cast<void (*)(void *)>(fn)(x); }

// A function with the argument it was given: clocks, qelems, quit tasks, threads.
KEL_CALLS_THROUGH_CAST inline void call_task(kel_method fn, void *arg) { reinterpret_cast<void (*)(void *)>(fn)(arg); }

// A deferred call: the object, the selector and the atoms it was given.
KEL_CALLS_THROUGH_CAST inline void call_deferred(kel_method fn, void *x, symbol *s, long argc, atom *argv)
{
    reinterpret_cast<void (*)(void *, symbol *, long, atom *)>(fn)(x, s, argc, argv);
}

// An external library's entry point, `int main(void)`, as the loader found it.
KEL_CALLS_THROUGH_CAST inline int call_library_main(void *entry) { return reinterpret_cast<int (*)(void)>(entry)(); }

}  // namespace kel
