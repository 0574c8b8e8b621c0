// Box text: a count and that many atoms in one getbytes block.
//
// Invariant: a record made here is exactly record_size(argc) bytes, so it can
// be given back knowing only its count. Operations that change the atoms
// make the new record first and free the old one last, so argv may point
// into the record being replaced, and a failure leaves it in place.
#include <cstddef>
#include <cstring>

#include "kel/atoms.h"
#include "kel/binbuf.h"
#include "kel/console.h"
#include "kel/memory.h"
#include "kel/symbols.h"
#include "kernel/text/atom_text.h"
#include "kernel/text/binbuf_eval.h"

static_assert(offsetof(atombuf, argc) == 0, "atombuf: the count comes first");
static_assert(offsetof(atombuf, argv) == sizeof(void *), "atombuf: the atoms follow the count, aligned");

namespace kel {
namespace {

constexpr long text_max = 256;  // box text holds at most this many atoms
constexpr long eval_args_max = 19;
constexpr long count_max = 1L << 24;  // far beyond any box; keeps sizes in range

long record_size(long count) { return static_cast<long>(offsetof(atombuf, argv) + count * sizeof(atom)); }

atom *atoms_of(atombuf *x) { return x->argv; }
long count_of(const atombuf *x) { return x ? x->argc : 0; }

atombuf *make(long count)
{
    if (count < 0 || count > count_max) return nullptr;
    auto *x = static_cast<atombuf *>(getbytes(record_size(count)));
    if (x) x->argc = static_cast<int32_t>(count);
    return x;
}

void clear_atom(atom *a)
{
    a->type = ATYPE_NOTHING;
    std::memset(&a->word, 0, sizeof a->word);
}

// Installs the record made from *x's atoms [0, keep) followed by argv read
// as box text, or argv followed by them when before is set.
long rebuild(atombuf **x, long keep, long argc, const atom *argv, bool before)
{
    if (!x) return 1;
    if (argc < 0 || !argv) argc = 0;
    atombuf *old = *x;
    if (keep > count_of(old)) keep = count_of(old);
    atombuf *made = make(keep + argc);
    if (!made) return 1;
    atom *out = atoms_of(made);
    atom *added = before ? out : out + keep;
    if (keep) std::memcpy(before ? out + argc : out, atoms_of(old), static_cast<size_t>(keep) * sizeof(atom));
    for (long i = 0; i < argc; i++) {
        added[i] = argv[i];
        atomtext_box_convert(&added[i]);
    }
    if (old) atombuf_free(old);
    *x = made;
    return 0;
}

struct array_cursor {
    const atom *atoms;
    long count;
    long index;
};

bool next_atom(void *context, atom *a)
{
    auto *c = static_cast<array_cursor *>(context);
    if (c->index >= c->count) return false;
    *a = c->atoms[c->index++];
    return true;
}

}  // namespace
}  // namespace kel

using namespace kel;

KEL_API atombuf *atombuf_new(long argc, const atom *argv)
{
    if (argc < 0) argc = 0;
    atombuf *x = make(argc);
    if (!x) return nullptr;
    for (long i = 0; i < argc; i++) {
        if (argv)
            atoms_of(x)[i] = argv[i];
        else
            clear_atom(&atoms_of(x)[i]);
    }
    return x;
}

KEL_API void atombuf_free(atombuf *x)
{
    if (x) freebytes(x, record_size(x->argc));
}

KEL_API long atombuf_text(atombuf **x, kel_handle h, long size)
{
    if (!x) return 1;
    atom parsed[text_max];
    long n = 0;
    if (h) {
        if (size > sysmem_handlesize(h)) size = sysmem_handlesize(h);
        char token[token_buffer_size];
        atom a;
        long position = 0;
        while (atomtext_read(*h, size, &position, token, &a)) {
            if (n == text_max) {
                check_failed("atombuf_text");
                break;
            }
            parsed[n++] = a;
        }
    }
    atombuf *made = atombuf_new(n, parsed);
    if (!made) return 1;
    atombuf_free(*x);
    *x = made;
    return 0;
}

KEL_API long atombuf_totext(atombuf *x, kel_handle h, long *size)
{
    handle_writer out(h);
    char text[atom_text_max];
    short previous = ATYPE_NOTHING;
    for (long i = 0; i < count_of(x); i++) {
        const atom &a = atoms_of(x)[i];
        if (atomtext_blank_between(previous, a.type)) out.put(" ", 1);
        out.put(text, atomtext_print(&a, text));
        previous = a.type;
    }
    return out.finish(size) ? 0 : 1;
}

KEL_API void *atombuf_eval(atombuf *x, long argc, atom *argv, void *target)
{
    long count = count_of(x);
    if (count <= 0) return nullptr;
    atom args[eval_args_max + 1];
    long nargs = argv && argc > 0 ? (argc < eval_args_max ? argc : eval_args_max) : 0;
    atom_setlong(&args[0], 0);
    for (long i = 0; i < nargs; i++) args[i + 1] = argv[i];
    // Box text is evaluated from a copy: a method it calls may replace or
    // free the record (a box receiving `set` from its own message). Records
    // longer than box text allows are read in place.
    atom copy[text_max];
    const atom *atoms = atoms_of(x);
    if (count <= text_max) {
        std::memcpy(copy, atoms, static_cast<size_t>(count) * sizeof(atom));
        atoms = copy;
    }
    array_cursor cursor{atoms, count, 0};
    return evaluate_messages({&next_atom, &cursor}, nargs ? args : nullptr, nargs, target, eval_dialect::atombuf);
}

KEL_API long atombuf_replace(atombuf **x, symbol *, long argc, atom *argv) { return rebuild(x, 0, argc, argv, false); }

KEL_API long atombuf_append(atombuf **x, symbol *, long argc, atom *argv)
{
    return rebuild(x, x ? count_of(*x) : 0, argc, argv, false);
}

KEL_API long atombuf_prepend(atombuf **x, symbol *, long argc, atom *argv)
{
    return rebuild(x, x ? count_of(*x) : 0, argc, argv, true);
}

KEL_API long atombuf_firstatom(atombuf *x, atom *a)
{
    if (count_of(x) <= 0 || !a) return 1;
    *a = atoms_of(x)[0];
    return 0;
}

KEL_API long atombuf_next(atombuf *x, long *index, atom *a)
{
    if (!index || !a || *index < 0 || *index >= count_of(x)) return 1;
    *a = atoms_of(x)[(*index)++];
    return 0;
}

KEL_API long atombuf_subst(atombuf *x, const atom *a, long index)
{
    if (!a || index < 0 || index >= count_of(x)) return 1;
    atoms_of(x)[index] = *a;
    return 0;
}

KEL_API long atombuf_misc(atombuf *x)
{
    long bits = 0;
    long count = count_of(x);
    if (count > 0) {
        const atom &first = atoms_of(x)[0];
        if (first.type == ATYPE_SYM && first.word.w_sym &&
            (first.word.w_sym == gensym("patcher") || first.word.w_sym == gensym("p")))
            bits |= 1;
    }
    for (long i = 0; i < count; i++) {
        short type = atoms_of(x)[i].type;
        if (type == ATYPE_SEMI || type == ATYPE_COMMA) {
            bits |= 2;
            break;
        }
    }
    return bits;
}
