// Message buffers: storage, growth, reading back, text and evaluation.
//
// Every append goes through append_atoms, which sizes the block once for the
// whole batch and then writes it; a failed growth leaves the buffer as it was.
#include "kernel/text/binbuf.h"

#include <atomic>
#include <cstdarg>
#include <cstring>

#include "kel/atoms.h"
#include "kel/classes.h"
#include "kel/console.h"
#include "kel/memory.h"
#include "kel/symbols.h"
#include "kernel/core/atoms.h"
#include "kernel/core/console.h"
#include "kernel/core/symbols.h"
#include "kernel/text/atom_text.h"
#include "kernel/text/binbuf_eval.h"

namespace kel {
namespace {

constexpr long empty_size = 4;
constexpr long insert_max = 256;
constexpr long vinsert_max = 32;
constexpr long parse_batch = 256;
constexpr long eval_argument_count = 9;

std::atomic<bool> g_growth_failed{false};
std::atomic<long> g_eval_serial{0};

long round4(long n) { return (n + 3) & ~3L; }

char *types_of(binbuf *x) { return *x->storage; }
char *data_of(binbuf *x) { return *x->storage + x->data_offset; }
long data_used(const binbuf *x) { return x->used - x->data_offset; }

// Back to the empty buffer's layout; the block keeps its size.
void reset(binbuf *x)
{
    x->data_offset = empty_size;
    x->count = 0;
    x->used = empty_size;
    types_of(x)[0] = 0;
    x->generation++;
}

// How append_atoms grows the type region and the block.
struct growth {
    bool slack;        // the type region grows by a quarter more than needed
    bool exact_block;  // the block is resized to exactly the bytes in use
};

constexpr growth growth_insert{true, true};
constexpr growth growth_set{false, true};
constexpr growth growth_parse{true, false};

void write_value(char *p, const atom &a)
{
    switch (a.type) {
    case ATYPE_LONG:
    case ATYPE_DOLLAR: {
        int32_t v = a.word.w_long;
        std::memcpy(p, &v, sizeof v);
        break;
    }
    case ATYPE_FLOAT: {
        double v = a.word.w_float;
        std::memcpy(p, &v, sizeof v);
        break;
    }
    case ATYPE_SYM:
    case ATYPE_DOLLSYM: {
        symbol *s = a.word.w_sym;
        std::memcpy(p, &s, sizeof s);
        break;
    }
    case ATYPE_OBJ: {
        object *o = a.word.w_obj;
        std::memcpy(p, &o, sizeof o);
        break;
    }
    default:
        break;
    }
}

void read_value(const char *p, short type, atom *a)
{
    a->type = type;
    std::memset(&a->word, 0, sizeof a->word);
    switch (type) {
    case ATYPE_LONG:
    case ATYPE_DOLLAR: {
        int32_t v;
        std::memcpy(&v, p, sizeof v);
        a->word.w_long = v;
        break;
    }
    case ATYPE_FLOAT: {
        double v;
        std::memcpy(&v, p, sizeof v);
        a->word.w_float = static_cast<atom_float>(v);
        break;
    }
    case ATYPE_SYM:
    case ATYPE_DOLLSYM:
        std::memcpy(&a->word.w_sym, p, sizeof a->word.w_sym);
        break;
    case ATYPE_OBJ:
        std::memcpy(&a->word.w_obj, p, sizeof a->word.w_obj);
        break;
    default:
        break;
    }
}

// Appends the atoms atom_at(0 .. k-1); type_at(i) is atom_at(i).type, known
// without making the atom (atoms of types a buffer cannot hold are left out).
// False, with the buffer unchanged, when it cannot grow.
template <class TypeAt, class AtomAt> bool append_atoms(binbuf *x, long k, TypeAt type_at, AtomAt atom_at, growth g)
{
    long added = 0, data_bytes = 0;
    for (long i = 0; i < k; i++) {
        long size = binbuf_data_size(type_at(i));
        if (size < 0) continue;
        added++;
        data_bytes += size;
    }
    if (added == 0) return true;

    long old_types = x->data_offset;
    long need = round4(x->count + added + 1);
    long new_types = old_types;
    if (need > old_types) new_types = g.slack ? need + ((need / 4) & ~3L) : need;
    long new_used = x->used + data_bytes + (new_types - old_types);
    long block = sysmem_handlesize(x->storage);
    long want = -1;
    if (g.exact_block) {
        want = new_used;
    } else if (new_used >= block) {
        // Geometric growth keeps parsing linear; used stays exact.
        want = block + block / 2;
        if (want < new_used) want = new_used;
    }
    if (want >= 0 && want < block) {
        handle_shrink(x->storage, want);
    } else if (want > block && sysmem_resizehandle(x->storage, want) != 0) {
        if (want > new_used && sysmem_resizehandle(x->storage, new_used) == 0) {
            want = new_used;  // the generous size was too much; the exact one fits
        } else {
            warning("couldn't grow binbuf to %ld", want);
            g_growth_failed.store(true, std::memory_order_relaxed);
            return false;
        }
    }

    char *base = *x->storage;
    if (new_types != old_types) {
        std::memmove(base + new_types, base + old_types, static_cast<size_t>(x->used - old_types));
        std::memset(base + old_types, 0, static_cast<size_t>(new_types - old_types));
    }
    char *types = base + x->count;
    char *data = base + new_types + (x->used - old_types);
    for (long i = 0; i < k; i++) {
        short type = type_at(i);
        long size = binbuf_data_size(type);
        if (size < 0) continue;
        atom a = atom_at(i);
        *types++ = static_cast<char>(a.type);
        write_value(data, a);
        data += size;
    }
    *types = 0;
    x->count += added;
    x->data_offset = new_types;
    x->used = new_used;
    x->generation++;
    return true;
}

bool append_plain(binbuf *x, long k, const atom *argv, growth g)
{
    return append_atoms(
        x, k, [argv](long i) { return argv[i].type; }, [argv](long i) { return argv[i]; }, g);
}

bool append_box_text(binbuf *x, long k, const atom *argv, growth g)
{
    return append_atoms(
        x, k, [argv](long i) { return atomtext_box_type(&argv[i]); },
        [argv](long i) {
            atom a = argv[i];
            atomtext_box_convert(&a);
            return a;
        },
        g);
}

// binbuf_insert's reading of "#" symbols: "#" + one digit is $digit; "#", a
// digit and a non-digit is a $ symbol of the name after "#".
void convert_hash_symbol(atom *a)
{
    if (a->type != ATYPE_SYM || !a->word.w_sym || !a->word.w_sym->name) return;
    const char *name = a->word.w_sym->name;
    if (name[0] != '#' || name[1] < '0' || name[1] > '9') return;
    if (name[2] == '\0') {
        a->type = ATYPE_DOLLAR;
        a->word.w_long = name[1] - '0';
    } else if (name[2] < '0' || name[2] > '9') {
        if (symbol *s = gensym(name + 1)) {
            a->type = ATYPE_DOLLSYM;
            a->word.w_sym = s;
        }
    }
}

long parse_into(binbuf *x, kel_handle h, long size, bool separators_as_symbols)
{
    g_growth_failed.store(false, std::memory_order_relaxed);
    if (!x || !h) return 1;
    if (size > sysmem_handlesize(h)) size = sysmem_handlesize(h);
    char token[token_buffer_size];
    atom batch[parse_batch];
    long n = 0, position = 0;
    symbol *semicolon = gensym(";"), *comma = gensym(",");
    auto flush = [&] {
        bool ok = append_plain(x, n, batch, growth_parse);
        n = 0;
        return ok && !g_growth_failed.load(std::memory_order_relaxed);
    };
    // The text is re-read through the handle after every batch: gensym and
    // growth never move the caller's handle, but nothing is kept across them.
    while (position < size && atomtext_read(*h, size, &position, token, &batch[n])) {
        if (separators_as_symbols && batch[n].type == ATYPE_SEMI) atom_setsym(&batch[n], semicolon);
        if (separators_as_symbols && batch[n].type == ATYPE_COMMA) atom_setsym(&batch[n], comma);
        if (++n == parse_batch && !flush()) return 1;
    }
    if (n && !flush()) return 1;
    return 0;
}

// --- evaluation ---

struct binbuf_cursor {
    binbuf *x;
    unsigned long generation;
    long index;
    long offset;
};

bool next_atom(void *context, atom *a)
{
    auto *c = static_cast<binbuf_cursor *>(context);
    // A method may have changed the buffer: its cursor means nothing now.
    if (c->x->generation != c->generation) return false;
    return binbuf_getatom(c->x, &c->index, &c->offset, a) == 0;
}

// --- the class ---

void binbuf_free(binbuf *x)
{
    if (x->storage) sysmem_freehandle(x->storage);
    x->storage = nullptr;
}

void *msg_append(binbuf *x, symbol *s, long argc, atom *argv)
{
    binbuf_append(x, s, argc, argv);
    return nullptr;
}

void *msg_set(binbuf *x, symbol *s, long argc, atom *argv)
{
    binbuf_set(x, s, argc, argv);
    return nullptr;
}

}  // namespace

long binbuf_data_size(short type)
{
    switch (type) {
    case ATYPE_LONG:
    case ATYPE_DOLLAR:
        return 4;
    case ATYPE_FLOAT:
        return 8;
    case ATYPE_SYM:
    case ATYPE_OBJ:
    case ATYPE_DOLLSYM:
        return sizeof(void *);
    case ATYPE_SEMI:
    case ATYPE_COMMA:
        return 0;
    default:
        return -1;
    }
}

void binbuf_convert_hash_symbol(atom *a) { convert_hash_symbol(a); }

void binbuf_growth_failure_clear() { g_growth_failed.store(false, std::memory_order_relaxed); }

void binbuf_growth_failure_set() { g_growth_failed.store(true, std::memory_order_relaxed); }

bool binbuf_append_atoms(binbuf *x, const atom *argv, long argc)
{
    if (!x || argc < 0 || (argc > 0 && !argv)) return false;
    return append_plain(x, argc, argv, growth_parse);
}

bool binbuf_growth_failed() { return g_growth_failed.load(std::memory_order_relaxed); }

kel_class *binbuf_class()
{
    static kel_class *c = [] {
        kel_class *made = class_new("binbuf", reinterpret_cast<kel_method>(&binbuf_new),
                                    reinterpret_cast<kel_method>(&binbuf_free), sizeof(binbuf), nullptr, 0);
        if (!made) return made;
        class_addmethod(made, reinterpret_cast<kel_method>(&msg_append), "append", ATYPE_GIMME, 0);
        class_addmethod(made, reinterpret_cast<kel_method>(&msg_set), "set", ATYPE_GIMME, 0);
        return made;  // registered in nobox by kernel start-up, with the other kernel classes
    }();
    return c;
}

bool binbuf_init()
{
    console_set_error_parser(&binbuf_parse_text);
    return binbuf_class() != nullptr;
}

void binbuf_parse_text(const char *text, size_t length, long *argc, atom *argv, long max)
{
    long n = 0, position = 0;
    long size = static_cast<long>(length);
    char token[token_buffer_size];
    while (text && n < max && atomtext_read(text, size, &position, token, &argv[n])) {
        atom &a = argv[n++];
        switch (a.type) {
        case ATYPE_SEMI:
        case ATYPE_COMMA:
        case ATYPE_DOLLAR:
        case ATYPE_DOLLSYM: {
            symbol *s = gensym(atom_string(&a));
            atom_setsym(&a, s ? s : sym_empty);
            break;
        }
        default:
            break;
        }
    }
    if (argc) *argc = n;
}

void binbuf_eval_arguments(long argc, const atom *argv, atom args[binbuf_eval_argument_count + 1])
{
    static_assert(binbuf_eval_argument_count == eval_argument_count, "one argument count for every evaluation");
    atom_setlong(&args[0], g_eval_serial.fetch_add(1, std::memory_order_relaxed));
    for (long i = 1; i <= eval_argument_count; i++) {
        if (argv && i <= argc)
            args[i] = argv[i - 1];
        else
            atom_setlong(&args[i], 0);
    }
}

}  // namespace kel

using namespace kel;

KEL_API binbuf *binbuf_new(void)
{
    kel_class *c = binbuf_class();
    auto *x = c ? static_cast<binbuf *>(object_alloc(c)) : nullptr;
    if (!x) return nullptr;
    x->storage = sysmem_newhandle(empty_size);
    if (!x->storage) {
        freeobject(x);
        return nullptr;
    }
    std::memset(*x->storage, 0, empty_size);
    x->data_offset = empty_size;
    x->count = 0;
    x->used = empty_size;
    x->generation = 0;
    return x;
}

KEL_API long binbuf_insert(binbuf *x, symbol *, long argc, atom *argv)
{
    if (!x || argc <= 0 || !argv) return 0;
    if (argc > insert_max) {
        warning("message too long");
        argc = insert_max;
    }
    for (long i = 0; i < argc; i++) convert_hash_symbol(&argv[i]);
    atom semicolon;
    semicolon.type = ATYPE_SEMI;
    std::memset(&semicolon.word, 0, sizeof semicolon.word);
    bool ok = append_atoms(
        x, argc + 1, [&](long i) { return i < argc ? argv[i].type : semicolon.type; },
        [&](long i) { return i < argc ? argv[i] : semicolon; }, growth_insert);
    return ok ? 0 : 1;
}

KEL_API long binbuf_vinsert(binbuf *x, const char *format, ...)
{
    if (!x || !format) return 0;
    atom argv[vinsert_max];
    va_list args;
    va_start(args, format);
    const long n = atoms_from_format(format, &args, argv, vinsert_max);
    va_end(args);
    return binbuf_insert(x, nullptr, n, argv);
}

KEL_API long binbuf_append(binbuf *x, symbol *, long argc, atom *argv)
{
    if (!x || argc <= 0 || !argv) return 0;
    return append_box_text(x, argc, argv, growth_insert) ? 0 : 1;
}

KEL_API long binbuf_set(binbuf *x, symbol *, long argc, atom *argv)
{
    if (!x) return 1;
    if (argc < 0 || !argv) argc = 0;
    // The block grows before the old contents are dropped, so that a failure
    // leaves them in place; after that, nothing can fail.
    long added = 0, data_bytes = 0;
    for (long i = 0; i < argc; i++) {
        long size = binbuf_data_size(atomtext_box_type(&argv[i]));
        if (size < 0) continue;
        added++;
        data_bytes += size;
    }
    long need = round4(added + 1) + data_bytes;
    if (need > sysmem_handlesize(x->storage) && sysmem_resizehandle(x->storage, need) != 0) {
        warning("couldn't grow binbuf to %ld", need);
        g_growth_failed.store(true, std::memory_order_relaxed);
        return 1;
    }
    reset(x);
    if (added == 0) {
        handle_shrink(x->storage, empty_size);
        return 0;
    }
    return append_box_text(x, argc, argv, growth_set) ? 0 : 1;
}

KEL_API long binbuf_text(binbuf *x, kel_handle h, long size)
{
    if (!x) return 1;
    reset(x);
    if (parse_into(x, h, size, false) == 0) return 0;
    reset(x);
    return 1;
}

KEL_API long binbuf_addtext(binbuf *x, kel_handle h, long size)
{
    if (!x) return 1;
    long count = x->count, data_bytes = data_used(x);
    if (parse_into(x, h, size, true) == 0) return 0;
    // Back to what the buffer held before the call: the batches appended so
    // far are cut off. The type region may have grown meanwhile (moving the
    // data up with it); it keeps its new size.
    x->count = count;
    x->used = x->data_offset + data_bytes;
    types_of(x)[count] = 0;
    x->generation++;
    return 1;
}

KEL_API long binbuf_totext(binbuf *x, kel_handle h, long *size)
{
    handle_writer out(h);
    if (x) {
        char text[atom_text_max];
        short previous = ATYPE_NOTHING;
        long index = 0, offset = 0;
        atom a;
        while (binbuf_getatom(x, &index, &offset, &a) == 0) {
            if (atomtext_blank_between(previous, a.type)) out.put(" ", 1);
            out.put(text, atomtext_print(&a, text));
            previous = a.type;
        }
    }
    return out.finish(size) ? 0 : 1;
}

KEL_API long binbuf_getatom(binbuf *x, long *index, long *offset, atom *a)
{
    if (!x || !index || !offset || !a) return 1;
    long i = *index, o = *offset;
    if (i < 0 || i >= x->count || o < 0) {
        a->type = ATYPE_NOTHING;
        std::memset(&a->word, 0, sizeof a->word);
        return 1;
    }
    short type = static_cast<unsigned char>(types_of(x)[i]);
    long size = binbuf_data_size(type);
    if (size < 0 || o + size > data_used(x)) {
        a->type = ATYPE_NOTHING;
        std::memset(&a->word, 0, sizeof a->word);
        return 1;
    }
    read_value(data_of(x) + o, type, a);
    *index = i + 1;
    *offset = o + size;
    return 0;
}

KEL_API long binbuf_delete(binbuf *x, long from_index, long to_index, long from_offset, long to_offset)
{
    if (!x || from_index < 0 || to_index < from_index || to_index > x->count) return 1;
    // The cursors come from callers: both must be atom boundaries.
    const char *types = types_of(x);
    long offset = 0;
    for (long i = 0; i < to_index; i++) {
        if (i == from_index && offset != from_offset) return 1;
        offset += binbuf_data_size(static_cast<unsigned char>(types[i]));
    }
    if (from_index == to_index && offset != from_offset) return 1;
    if (offset != to_offset) return 1;
    if (from_index == to_index) return 0;

    char *base = *x->storage;
    std::memmove(base + from_index, base + to_index, static_cast<size_t>(x->count - to_index + 1));
    char *data = base + x->data_offset;
    std::memmove(data + from_offset, data + to_offset, static_cast<size_t>(data_used(x) - to_offset));
    x->count -= to_index - from_index;
    x->used -= to_offset - from_offset;
    x->generation++;
    return 0;
}

KEL_API void *binbuf_eval(binbuf *x, long argc, atom *argv, void *target)
{
    if (!x) return nullptr;
    atom args[eval_argument_count + 1];
    binbuf_eval_arguments(argc, argv, args);
    binbuf_cursor cursor{x, x->generation, 0, 0};
    return evaluate_messages({&next_atom, &cursor}, args, eval_argument_count, target, eval_dialect::binbuf);
}

KEL_API long readatom(char *token, kel_handle h, long *position, long size, atom *a)
{
    if (!h || !position || !a) return 0;
    char scratch[token_buffer_size];
    if (!token) token = scratch;
    long available = sysmem_handlesize(h);
    if (size > available) size = available;
    return atomtext_read(*h, size, position, token, a) ? 1 : 0;
}
