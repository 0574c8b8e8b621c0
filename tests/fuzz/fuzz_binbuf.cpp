// Fuzz target: the text form of message buffers (kernel/text/atom_text.h,
// kernel/text/binbuf.h, kernel/text/atombuf.cpp).
//
// For any input:
//   - readatom over the raw bytes always moves forward, stays inside the
//     text, keeps tokens within their buffer and ends;
//   - text -> atoms -> text -> atoms gives the same atoms (types and values;
//     floats within the rounding of the printer, which trims the noise of
//     single precision), and printing is stable: the text printed from the
//     second list reads back to atoms that print as the same text. (One
//     round is not always enough: 2052.369873 prints as "2052.37", which
//     reads back as 2052.370117.)
//   - box text (atombuf) of the same input prints the same text as the
//     buffer when it holds no more than box text's 256 atoms;
//   - evaluating the atoms, as a message box would, reports what it must
//     and never breaks.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "kel/kel.h"
#include "kernel/core/console.h"
#include "kernel/text/atom_text.h"
#include "kernel/text/binbuf.h"
#include "objects/engine.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

struct sink {
    object header;
    long messages;
};

void *sink_anything(sink *x, symbol *, long, atom *)
{
    x->messages++;
    return nullptr;
}

sink *the_sink()
{
    static sink *x = [] {
        kel_class *c = class_new("fuzzsink", nullptr, nullptr, sizeof(sink), nullptr, 0);
        class_addmethod(c, reinterpret_cast<kel_method>(&sink_anything), "anything", ATYPE_GIMME, 0);
        class_register(gensym("nobox"), c);
        auto *made = static_cast<sink *>(object_alloc(c));
        made->messages = 0;
        return made;
    }();
    return x;
}

kel_handle handle_of(const char *bytes, long size)
{
    kel_handle h = sysmem_newhandle(size);
    FUZZ_CHECK(h != nullptr, "no handle");
    if (size) std::memcpy(*h, bytes, static_cast<size_t>(size));
    return h;
}

std::string printed(binbuf *x)
{
    kel_handle h = sysmem_newhandle(0);
    long size = -1;
    FUZZ_CHECK(binbuf_totext(x, h, &size) == 0, "binbuf_totext failed");
    FUZZ_CHECK(size == sysmem_handlesize(h), "the printed text and its handle differ in size");
    std::string text(*h, static_cast<size_t>(size));
    sysmem_freehandle(h);
    return text;
}

binbuf *parsed(const std::string &text)
{
    binbuf *x = binbuf_new();
    FUZZ_CHECK(x != nullptr, "no buffer");
    kel_handle h = handle_of(text.data(), static_cast<long>(text.size()));
    FUZZ_CHECK(binbuf_text(x, h, static_cast<long>(text.size())) == 0, "binbuf_text failed");
    sysmem_freehandle(h);
    return x;
}

bool same_atom(const atom &a, const atom &b)
{
    if (a.type != b.type) return false;
    switch (a.type) {
    case ATYPE_LONG:
    case ATYPE_DOLLAR:
        return a.word.w_long == b.word.w_long;
    case ATYPE_FLOAT: {
        // Trimming moves a float by less than 0.1% of its magnitude (or of 1).
        double x = a.word.w_float, y = b.word.w_float;
        double scale = std::fabs(x) > 1.0 ? std::fabs(x) : 1.0;
        return std::fabs(x - y) <= 1e-3 * scale;
    }
    case ATYPE_SYM:
    case ATYPE_DOLLSYM:
        return a.word.w_sym == b.word.w_sym;
    case ATYPE_SEMI:
    case ATYPE_COMMA:
        return true;
    default:
        return false;  // the tokeniser makes nothing else
    }
}

// Reads the first size bytes of a handle holding all of them.
void check_readatom(const char *bytes, long all, long size)
{
    kel_handle h = handle_of(bytes, all);
    char token[KEL_TOKEN_SIZE + 16];
    std::memset(token, 0x5A, sizeof token);
    long position = 0;
    atom a;
    long tokens = 0;
    while (readatom(token, h, &position, size, &a)) {
        long length = static_cast<long>(strnlen(token, KEL_TOKEN_SIZE));
        FUZZ_CHECK(length < KEL_TOKEN_SIZE, "a token fills its buffer");
        FUZZ_CHECK(static_cast<unsigned char>(token[KEL_TOKEN_SIZE]) == 0x5A, "a token ran past its buffer");
        FUZZ_CHECK(position <= size, "readatom read past the text");
        FUZZ_CHECK(++tokens <= size, "readatom does not move forward");
        FUZZ_CHECK(a.type == ATYPE_LONG || a.type == ATYPE_FLOAT || a.type == ATYPE_SYM || a.type == ATYPE_SEMI ||
                       a.type == ATYPE_COMMA || a.type == ATYPE_DOLLAR || a.type == ATYPE_DOLLSYM,
                   "readatom made an atom of another type");
        if (a.type == ATYPE_SYM || a.type == ATYPE_DOLLSYM) FUZZ_CHECK(a.word.w_sym != nullptr, "a null symbol");
    }
    FUZZ_CHECK(position <= size, "readatom read past the text");
    sysmem_freehandle(h);
}

void check_round_trip(const char *bytes, long size)
{
    binbuf *first = parsed(std::string(bytes, static_cast<size_t>(size)));
    std::string text = printed(first);
    binbuf *second = parsed(text);
    FUZZ_CHECK(second->count == first->count, "the printed text reads back to another number of atoms");
    long i1 = 0, o1 = 0, i2 = 0, o2 = 0;
    atom a, b;
    while (binbuf_getatom(first, &i1, &o1, &a) == 0) {
        FUZZ_CHECK(binbuf_getatom(second, &i2, &o2, &b) == 0, "the printed text reads back shorter");
        FUZZ_CHECK(same_atom(a, b), "an atom read back differs");
    }
    std::string again = printed(second);
    if (again != text) {
        binbuf *third = parsed(again);
        FUZZ_CHECK(printed(third) == again, "printing what was read back does not settle");
        freeobject(third);
    }

    // Box text holds the same atoms, printed the same way.
    if (first->count <= 256) {
        atombuf *box = nullptr;
        kel_handle h = handle_of(bytes, size);
        FUZZ_CHECK(atombuf_text(&box, h, size) == 0, "atombuf_text failed");
        FUZZ_CHECK(box->argc == first->count, "box text holds another number of atoms");
        long box_size = -1;
        FUZZ_CHECK(atombuf_totext(box, h, &box_size) == 0, "atombuf_totext failed");
        FUZZ_CHECK(std::string(*h, static_cast<size_t>(box_size)) == text, "box text prints differently");
        sysmem_freehandle(h);
        atombuf_free(box);
    }

    // Evaluation: into the sink, with a few arguments for the $ forms.
    kel::console_clear();
    atom args[2];
    atom_setlong(&args[0], 3);
    atom_setsym(&args[1], gensym("fuzzsink-name"));
    binbuf_eval(first, 2, args, the_sink());
    freeobject(first);
    freeobject(second);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    kel::engine_init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size > 1 << 16) return 0;
    kel::engine_init();
    const char *bytes = reinterpret_cast<const char *>(data);
    long n = static_cast<long>(size);
    check_readatom(bytes, n, n);
    // A size short of the whole text: tokens must stop at it.
    if (n > 1) check_readatom(bytes, n, n / 2);
    check_round_trip(bytes, n);
    return 0;
}
