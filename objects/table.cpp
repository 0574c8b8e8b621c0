// table NAME / vtable SIZE LEFT TOP RIGHT BOTTOM FLAGS [RANGE] [NAME]: boxes
// over a shared record of 32-bit integers.
//
// Invariants: a record's values array always holds `size` entries (at least
// one, at most table_size_max); a record bound to a name is that name's
// `thing` until its last client goes; each box is a client of exactly one
// record. A box's read position, load position and pending index lie inside
// its record's size, also after a resize.
#include "objects/table.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <vector>

#include "kel/kel.h"
#include "kernel/core/atoms.h"
#include "kernel/core/objects.h"
#include "kernel/core/symbols.h"
#include "kernel/create/creation.h"
#include "kernel/patcher/patcher.h"
#include "objects/objects.h"

namespace kel {

struct table_record {
    object header;
    int32_t *values;
    long size;
    long range;
    symbol *name;  // bound to it, or null for a private record
    long clients;
    long flags;                      // bits 1, 2, 4, 8 (display; 4 also: no missing-file warning), 16 (saved)
    short display_a, display_b;      // two small display settings, kept for the file
    short left, top, right, bottom;  // the editor window's rectangle
    unsigned long generation;        // bumped by every write
    unsigned long saved_in;          // the save that last wrote the values
    bool window_open;
};

namespace {

constexpr long default_size = 128;
constexpr long flag_no_warning = 4;
constexpr long flag_saved = 16;
constexpr short default_rect[4] = {100, 100, 400, 300};
constexpr long set_chunk = 128;

struct table_box {
    object header;
    table_record *record;
    int32_t pending;
    bool has_pending;
    bool load_mode;
    long load_position;
    long read_position;
    bool just_positioned;
    outlet *values_out;
    outlet *bang_out;
};

kel_class *g_record_class = nullptr;
kel_class *g_box_class = nullptr;

symbol *s_table() { return gensym("table"); }
symbol *s_T() { return gensym("#T"); }

long clamp_index(const table_record *t, long i) { return std::clamp(i, 0L, t->size - 1); }

// --- the record ---

void record_changed(table_record *t) { t->generation++; }

// Resizes to n entries (at least 1), new ones zero; false, contents kept,
// when n passes the limit or memory runs out.
bool record_resize(table_record *t, long n)
{
    n = std::max(n, 1L);
    if (n > table_size_max) return false;
    auto *fresh = static_cast<int32_t *>(sysmem_newptrclear(n * static_cast<long>(sizeof(int32_t))));
    if (!fresh) return false;
    if (t->values) std::memcpy(fresh, t->values, static_cast<size_t>(std::min(n, t->size)) * sizeof(int32_t));
    // A reader on the scheduler thread never sees the array it reads freed.
    critical_enter(nullptr);
    int32_t *old = t->values;
    t->values = fresh;
    t->size = n;
    critical_exit(nullptr);
    if (old) sysmem_freeptr(old);
    record_changed(t);
    return true;
}

void record_free(table_record *t)
{
    if (t->name && t->name->thing == &t->header) t->name->thing = nullptr;
    if (s_T()->thing == &t->header) s_T()->thing = nullptr;
    if (t->values) sysmem_freeptr(t->values);
    t->values = nullptr;
}

void set_from(table_record *t, long argc, atom *argv)
{
    if (argc < 1) return;
    if (argv[0].type != ATYPE_LONG && argv[0].type != ATYPE_FLOAT) {
        error("tabwind_set: bad onset");
        return;
    }
    long at = std::max<long>(atom_getlong(&argv[0]), 0L);
    for (long k = 1; k < argc && at < t->size; k++, at++) {
        if (argv[k].type != ATYPE_LONG && argv[k].type != ATYPE_FLOAT) {
            error("tabwind: bad input");
            break;
        }
        t->values[at] = wrap32(atom_getlong(&argv[k]));
    }
    record_changed(t);
}

void *record_set(table_record *t, symbol *, long argc, atom *argv)
{
    set_from(t, argc, argv);
    return nullptr;
}

void *record_list(table_record *t, symbol *, long argc, atom *argv)
{
    if (argc >= 2) {
        t->values[clamp_index(t, atom_getlong(&argv[0]))] = wrap32(atom_getlong(&argv[1]));
        record_changed(t);
    }
    return nullptr;
}

void do_size(table_record *t, symbol *, long argc, atom *argv)
{
    if (argc > 0 && !record_resize(t, atom_getlong(&argv[0]))) error("table: not enough memory");
}
void do_range(table_record *t, symbol *, long argc, atom *argv)
{
    if (argc > 0) t->range = std::max<long>(atom_getlong(&argv[0]), 1L);
}

void *record_size(table_record *t, long n)
{
    atom a = int_atom(n);
    defer(t, as_method(&do_size), nullptr, 1, &a);
    return nullptr;
}
void *record_tabrange(table_record *t, long n)
{
    atom a = int_atom(n);
    defer(t, as_method(&do_range), nullptr, 1, &a);
    return nullptr;
}
void *record_clear(table_record *t)
{
    std::fill(t->values, t->values + t->size, 0);
    record_changed(t);
    return nullptr;
}
void *record_const(table_record *t, long v)
{
    std::fill(t->values, t->values + t->size, wrap32(v));
    record_changed(t);
    return nullptr;
}
void *record_flags(table_record *t, long saved, long a, long b, long c)
{
    long bits = t->flags & ~(flag_saved | 1 | 2 | 8);
    if (saved) bits |= flag_saved;
    if (a) bits |= 1;
    if (b) bits |= 2;
    if (c) bits |= 8;
    t->flags = bits;
    return nullptr;
}
// The editor window is the user interface's: headless, its state is kept.
void *record_open(table_record *t)
{
    t->window_open = true;
    return nullptr;
}
void *record_wclose(table_record *t)
{
    t->window_open = false;
    return nullptr;
}

// The kernel's value interface: every entry as an integer atom, and writing
// atoms from index 0.
long record_getvalueof(table_record *t, long *ac, atom **av)
{
    if (!ac || !av) return ERR_GENERIC;
    if (!*ac || !*av) {
        *av = static_cast<atom *>(getbytes(t->size * static_cast<long>(sizeof(atom))));
        if (!*av) return ERR_GENERIC;
        *ac = t->size;
    }
    const long n = std::min(*ac, t->size);
    for (long k = 0; k < n; k++) atom_setlong(&(*av)[k], t->values[k]);
    *ac = n;
    return ERR_NONE;
}
long record_setvalueof(table_record *t, long ac, atom *av)
{
    for (long k = 0; k < ac && k < t->size; k++) t->values[k] = wrap32(atom_getlong(&av[k]));
    record_changed(t);
    return ERR_NONE;
}

table_record *record_new(long size)
{
    auto *t = static_cast<table_record *>(object_alloc(g_record_class));
    if (!t) return nullptr;
    std::memset(reinterpret_cast<char *>(t) + sizeof(object), 0, sizeof(table_record) - sizeof(object));
    t->range = default_size;
    t->flags = 1;
    t->left = default_rect[0];
    t->top = default_rect[1];
    t->right = default_rect[2];
    t->bottom = default_rect[3];
    if (!record_resize(t, size)) {
        freeobject(t);
        return nullptr;
    }
    t->generation = 0;
    return t;
}

// Reads a table file (either form): the symbol `table`, then the values.
// False after the error is posted; the record is then as it was.
bool record_read(table_record *t, const char *file, short path, const char *shown)
{
    binbuf *b = binbuf_new();
    if (!b) return false;
    long type = 0;
    bool ok = patchfile_read(b, file, path, &type) == 0;
    if (!ok) error("%s: read failed", shown);
    std::vector<int32_t> values;
    if (ok) {
        long index = 0, offset = 0;
        atom a;
        ok = binbuf_getatom(b, &index, &offset, &a) == 0 && a.type == ATYPE_SYM && a.word.w_sym == s_table();
        if (!ok) error("%s: not a function table", shown);
        bool baggage = false;
        while (ok && binbuf_getatom(b, &index, &offset, &a) == 0) {
            if (a.type == ATYPE_LONG || a.type == ATYPE_FLOAT) {
                if (baggage) continue;
                if (static_cast<long>(values.size()) >= table_size_max) {
                    error("table: not enough memory");
                    ok = false;
                    break;
                }
                values.push_back(wrap32(atom_getlong(&a)));
            } else if (a.type != ATYPE_SEMI) {  // a text file's line ends are no baggage
                baggage = true;
            }
        }
        if (ok && baggage) warning("extra baggage after table");
    }
    freeobject(b);
    if (!ok) return false;
    if (!record_resize(t, static_cast<long>(values.size()))) {
        error("table: not enough memory");
        return false;
    }
    if (!values.empty()) std::copy(values.begin(), values.end(), t->values);
    record_changed(t);
    return true;
}

// --- the box ---

void box_leave(table_box *x)
{
    table_record *t = x->record;
    x->record = nullptr;
    if (t && --t->clients <= 0) freeobject(t);
}

void box_join(table_box *x, table_record *t)
{
    t->clients++;
    x->record = t;
    x->read_position = x->load_position = 0;
    x->just_positioned = false;
}

// Keeps the box's cursors inside its record's size.
void box_clamp(table_box *x)
{
    const long last = x->record->size - 1;
    x->read_position = std::min(x->read_position, last);
    x->load_position = std::min(x->load_position, x->record->size);
}

void send_entry(table_box *x, long i)
{
    box_clamp(x);
    outlet_int(x->values_out, x->record->values[clamp_index(x->record, i)]);
}

void *box_int(table_box *x, long i)
{
    table_record *t = x->record;
    box_clamp(x);
    if (x->load_mode) {
        if (x->load_position < t->size) {
            t->values[x->load_position++] = wrap32(i);
            record_changed(t);
        }
        return nullptr;
    }
    if (x->has_pending) {
        x->has_pending = false;
        t->values[clamp_index(t, i)] = x->pending;
        record_changed(t);
        return nullptr;
    }
    send_entry(x, i);
    return nullptr;
}

void *box_float(table_box *x, double f) { return box_int(x, float_to_long(f)); }

void *box_in1(table_box *x, long v)
{
    x->pending = wrap32(v);
    x->has_pending = true;
    x->load_mode = false;
    return nullptr;
}

void *box_list(table_box *x, symbol *, long argc, atom *argv)
{
    if (argc < 2) {
        if (argc == 1) box_int(x, atom_getlong(&argv[0]));
        return nullptr;
    }
    box_in1(x, atom_getlong(&argv[1]));
    return box_int(x, atom_getlong(&argv[0]));
}

void *box_cancel(table_box *x)
{
    x->has_pending = false;
    return nullptr;
}

void *box_quantile(table_box *x, long n)
{
    outlet_int(x->values_out, table_quantile(x->record, static_cast<double>(n) / 32768.0));
    return nullptr;
}
void *box_fquantile(table_box *x, double f)
{
    outlet_int(x->values_out, table_quantile(x->record, f));
    return nullptr;
}
void *box_bang(table_box *x) { return box_quantile(x, rerand() & 0x7FFF); }

void *box_sum(table_box *x)
{
    outlet_int(x->values_out, wrap32(static_cast<long>(table_sum(x->record))));
    return nullptr;
}

void *box_inv(table_box *x, long n)
{
    const table_record *t = x->record;
    long k = 0, best_index = 0;
    int32_t best = INT32_MIN;
    for (; k < t->size && t->values[k] <= n; k++) {
        if (t->values[k] > best) {
            best = t->values[k];
            best_index = k;
        }
    }
    if (best == n && k > 0)
        outlet_int(x->values_out, best_index);
    else
        outlet_int(x->values_out, k > 0 ? k - 1 : 0);
    return nullptr;
}

void *box_length(table_box *x)
{
    outlet_int(x->values_out, x->record->size);
    return nullptr;
}

void *box_min(table_box *x)
{
    const table_record *t = x->record;
    outlet_int(x->values_out, *std::min_element(t->values, t->values + t->size));
    return nullptr;
}
void *box_max(table_box *x)
{
    const table_record *t = x->record;
    outlet_int(x->values_out, *std::max_element(t->values, t->values + t->size));
    return nullptr;
}

void *box_step(table_box *x, long direction)
{
    box_clamp(x);
    if (!x->just_positioned) {
        const long n = x->record->size;
        x->read_position = ((x->read_position + direction) % n + n) % n;
    }
    x->just_positioned = false;
    send_entry(x, x->read_position);
    return nullptr;
}
void *box_next(table_box *x) { return box_step(x, 1); }
void *box_prev(table_box *x) { return box_step(x, -1); }

void *box_goto(table_box *x, long n)
{
    x->read_position = clamp_index(x->record, n);
    x->just_positioned = true;
    return nullptr;
}

void *box_dump(table_box *x, symbol *, long argc, atom *argv)
{
    table_record *t = x->record;
    long lo = argc > 0 ? atom_getlong(&argv[0]) : 0;
    long hi = argc > 1 ? atom_getlong(&argv[1]) : t->size - 1;
    if (hi < lo) {
        error("table: dump: bad arguments");
        return nullptr;
    }
    lo = clamp_index(t, lo);
    hi = clamp_index(t, hi);
    for (long k = lo; k <= hi && k < x->record->size; k++)
        if (!outlet_int(x->values_out, x->record->values[k])) break;  // delivery failed: stop
    return nullptr;
}

void *box_set(table_box *x, symbol *, long argc, atom *argv)
{
    set_from(x->record, argc, argv);
    return nullptr;
}
void *box_const(table_box *x, long v) { return record_const(x->record, v); }
void *box_clear(table_box *x) { return record_clear(x->record); }
void *box_size(table_box *x, long n) { return record_size(x->record, n); }
void *box_tabrange(table_box *x, long n) { return record_tabrange(x->record, n); }

// The n bits of entry i whose highest bit is hi: a range inside 32 bits, or
// an error.
bool bit_range(long hi, long n)
{
    if (n < 1 || n > 32 || hi > 31 || hi < n - 1) {
        error("table: bad bit range: top bit %ld, %ld bits", hi, n);
        return false;
    }
    return true;
}
uint32_t bit_mask(long n) { return n >= 32 ? 0xFFFFFFFFu : ((1u << n) - 1u); }

void *box_setbits(table_box *x, long i, long hi, long n, long v)
{
    if (!bit_range(hi, n)) return nullptr;
    table_record *t = x->record;
    const long at = clamp_index(t, i);
    const long shift = hi - n + 1;
    const uint32_t mask = bit_mask(n) << shift;
    const uint32_t bits = (static_cast<uint32_t>(static_cast<uint16_t>(v)) & bit_mask(n)) << shift;
    t->values[at] = static_cast<int32_t>((static_cast<uint32_t>(t->values[at]) & ~mask) | bits);
    record_changed(t);
    return nullptr;
}

void *box_getbits(table_box *x, long i, long hi, long n)
{
    if (!bit_range(hi, n)) return nullptr;
    const table_record *t = x->record;
    const uint32_t word = static_cast<uint32_t>(t->values[clamp_index(t, i)]);
    outlet_int(x->values_out, static_cast<long>((word >> (hi - n + 1)) & bit_mask(n)));
    return nullptr;
}

void *box_load(table_box *x)
{
    x->load_mode = true;
    x->load_position = 0;
    return nullptr;
}
void *box_normal(table_box *x)
{
    x->load_mode = false;
    return nullptr;
}

void *box_send(table_box *x, symbol *, long argc, atom *argv)
{
    if (argc < 1 || argv[0].type != ATYPE_SYM) {
        error("table: missing or incorrect arguments to send");
        return nullptr;
    }
    object *to = bound_object(argv[0].word.w_sym);
    if (!to) return nullptr;
    table_record *t = x->record;
    long value = 0;
    if (argc == 1) {
        value = table_quantile(t, static_cast<double>(rerand() & 0x7FFF) / 32768.0);
    } else if (argv[1].type == ATYPE_SYM && argv[1].word.w_sym == gensym("length")) {
        value = t->size;
    } else {
        const long at = clamp_index(t, atom_getlong(&argv[1]));
        if (argc > 2 && argv[2].type == argv[1].type) {
            t->values[at] = wrap32(atom_getlong(&argv[2]));
            record_changed(t);
        }
        value = t->values[at];
    }
    atom a = int_atom(value);
    typedmess(to, sym_int, 1, &a);
    return nullptr;
}

void *box_refer(table_box *x, symbol *name)
{
    table_record *other = table_find(name);
    if (!other || other == x->record) return nullptr;
    box_leave(x);
    box_join(x, other);
    return nullptr;
}

// The name of a table file as the user gave it, found on the search path.
bool find_file(symbol *name, char *file, short *path)
{
    static const long types[] = {FILETYPE_PATCHER, FILETYPE_TEXT};
    std::strncpy(file, name->name, MAX_FILENAME_CHARS - 1);
    file[MAX_FILENAME_CHARS - 1] = '\0';
    long type = 0;
    return locatefile_extended(file, path, &type, types, 2) == 0;
}

void do_read(table_box *x, symbol *, long argc, atom *argv)
{
    if (argc < 1 || argv[0].type != ATYPE_SYM) {
        error("table: read: no file name (there is no file dialog here)");
        return;
    }
    symbol *name = argv[0].word.w_sym;
    char file[MAX_FILENAME_CHARS];
    short path = 0;
    if (!find_file(name, file, &path)) {
        error("%s: can't open", name->name);
        return;
    }
    if (record_read(x->record, file, path, name->name)) box_clamp(x);
}

// Writes a table file: the symbol `table`, then the values.
bool record_write(table_record *t, const char *file, short path, bool binary)
{
    binbuf *b = binbuf_new();
    if (!b) return false;
    std::vector<atom> line{sym_atom(s_table())};
    for (long k = 0; k < t->size; k++) line.push_back(int_atom(t->values[k]));
    bool ok = binbuf_insert(b, nullptr, static_cast<long>(line.size()), line.data()) == 0 &&
              binbuf_write(b, file, path, binary ? 1 : 0) == 0;
    freeobject(b);
    return ok;
}

void do_write(table_box *x, symbol *, long argc, atom *argv)
{
    if (argc < 1 || argv[0].type != ATYPE_SYM) {
        error("table: write: no file name (there is no file dialog here)");
        return;
    }
    if (!record_write(x->record, argv[0].word.w_sym->name, path_getdefault(), false))
        error("table: error while saving");
}

void *box_read(table_box *x, symbol *s, long argc, atom *argv)
{
    defer(x, as_method(&do_read), s, static_cast<short>(argc), argv);
    return nullptr;
}
void *box_write(table_box *x, symbol *s, long argc, atom *argv)
{
    defer(x, as_method(&do_write), s, static_cast<short>(argc), argv);
    return nullptr;
}

void *box_open(table_box *x) { return record_open(x->record); }
void *box_wclose(table_box *x) { return record_wclose(x->record); }
// The editor's state: headless there is no window to describe.
void *box_info(table_box *) { return nullptr; }

void *box_flags(table_box *x, long saved, long a, long b, long c) { return record_flags(x->record, saved, a, b, c); }

// Presets keep a table's contents as "set" lines; until presets exist, the
// lines are made and dropped.
void *box_preset(table_box *) { return nullptr; }

long encode_display(short v) { return v < 0 ? v + 100 : v; }
short decode_display(long v) { return static_cast<short>(v >= 50 ? v - 100 : v); }

// "#N vtable size left top right bottom flags range [name]", then, for a
// table saved with its patcher, its values as "#T set start v..." lines
// (once per save: a second box of the same name in the file needs none).
void *box_save(table_box *x, binbuf *dest)
{
    table_record *t = x->record;
    const long flag_word = 10000 * encode_display(t->display_a) + 100 * encode_display(t->display_b) + t->flags;
    std::vector<atom> line{sym_atom(gensym("#N")), sym_atom(gensym("vtable")), int_atom(t->size),
                           int_atom(t->left),      int_atom(t->top),           int_atom(t->right),
                           int_atom(t->bottom),    int_atom(flag_word),        int_atom(t->range)};
    if (t->name) line.push_back(sym_atom(t->name));
    bool ok = binbuf_insert(dest, nullptr, static_cast<long>(line.size()), line.data()) == 0;
    if ((t->flags & flag_saved) && t->saved_in != patcher_save_serial()) {
        t->saved_in = patcher_save_serial();
        for (long start = 0; start < t->size && ok; start += set_chunk) {
            line = {sym_atom(s_T()), sym_atom(gensym("set")), int_atom(start)};
            for (long k = start; k < std::min(start + set_chunk, t->size); k++) line.push_back(int_atom(t->values[k]));
            ok = binbuf_insert(dest, nullptr, static_cast<long>(line.size()), line.data()) == 0;
        }
    }
    if (!ok) error("table: error while saving");
    return nullptr;
}

void box_free(table_box *x) { box_leave(x); }

// The record for a box: shared through the name, or private; loaded from a
// file of that name when nothing holds it and the flags ask for one.
table_record *record_for(symbol *name, long size, long flags)
{
    if (name && name->name[0]) {
        if (table_record *shared = table_find(name)) return shared;
        if (name->thing) {
            error("%s: already exists", name->name);
            name = nullptr;
        }
    } else {
        name = nullptr;
    }
    table_record *t = record_new(size);
    if (!t) {
        error("table: not enough memory");
        return nullptr;
    }
    t->flags = flags;
    if (!name) return t;
    if (!(flags & flag_saved)) {
        char file[MAX_FILENAME_CHARS];
        short path = 0;
        if (find_file(name, file, &path))
            record_read(t, file, path, name->name);
        else if (!(flags & flag_no_warning))
            warning("%s: can't open", name->name);
    }
    t->name = name;
    name->thing = &t->header;
    return t;
}

table_box *box_new_with(table_record *t)
{
    auto *x = static_cast<table_box *>(object_alloc(g_box_class));
    if (!x) {
        if (t->clients == 0) freeobject(t);
        return nullptr;
    }
    std::memset(reinterpret_cast<char *>(x) + sizeof(object), 0, sizeof(table_box) - sizeof(object));
    intin(x, 1);
    x->bang_out = bangout(x);
    x->values_out = outlet_new(x, nullptr);
    box_join(x, t);
    return x;
}

void *table_new(symbol *name)
{
    table_record *t = record_for(name, default_size, 1);
    return t ? box_new_with(t) : nullptr;
}

bool is_number(const atom &a) { return a.type == ATYPE_LONG || a.type == ATYPE_FLOAT; }

void *vtable_new(symbol *, long argc, atom *argv)
{
    long size = default_size, range = default_size, flag_word = 1;
    long rect[4] = {default_rect[0], default_rect[1], default_rect[2], default_rect[3]};
    symbol *name = nullptr;
    long k = 0;
    if (argc >= 6 && std::all_of(argv, argv + 6, is_number)) {
        size = std::max<long>(atom_getlong(&argv[0]), 1L);
        for (int r = 0; r < 4; r++) rect[r] = atom_getlong(&argv[1 + r]);
        flag_word = atom_getlong(&argv[5]);
        k = 6;
        if (k < argc && is_number(argv[k])) range = std::max<long>(atom_getlong(&argv[k++]), 1L);
    }
    if (k < argc && argv[k].type == ATYPE_SYM) name = argv[k].word.w_sym;
    if (size > table_size_max) {
        error("table: not enough memory");
        return nullptr;
    }
    if (rect[2] - rect[0] < 50 || rect[3] - rect[1] < 50 || std::any_of(rect, rect + 4, [](long v) { return v < 0; }))
        std::copy(default_rect, default_rect + 4, rect);
    const long bits = ((flag_word % 100) + 100) % 100;
    table_record *t = record_for(name, size, bits);
    if (!t) return nullptr;
    if (t->clients == 0) {  // a record of its own: the line describes it
        t->range = range;
        t->display_a = decode_display(flag_word / 10000);
        t->display_b = decode_display((flag_word / 100) % 100);
        t->left = static_cast<short>(rect[0]);
        t->top = static_cast<short>(rect[1]);
        t->right = static_cast<short>(rect[2]);
        t->bottom = static_cast<short>(rect[3]);
        if (size != t->size && !record_resize(t, size)) {
            error("table: not enough memory");
            freeobject(t);
            return nullptr;
        }
    }
    // The "#T" lines after this one write into the record.
    s_T()->thing = &t->header;
    return box_new_with(t);
}

}  // namespace

table_record *table_find(symbol *name)
{
    if (!name || !g_record_class) return nullptr;
    object *x = name->thing;
    return object_valid_checked(x) && object_class(x) == g_record_class ? reinterpret_cast<table_record *>(x) : nullptr;
}

table_record *table_of(object *x)
{
    return g_box_class && object_valid_checked(x) && object_class(x) == g_box_class
               ? reinterpret_cast<table_box *>(x)->record
               : nullptr;
}

bool table_read_file(table_record *t, const char *file, short path) { return record_read(t, file, path, file); }

bool table_write_file(table_record *t, const char *file, short path, bool binary)
{
    return record_write(t, file, path, binary);
}

long table_size(const table_record *t) { return t->size; }
int32_t table_get(const table_record *t, long index) { return t->values[index]; }
void table_set(table_record *t, long index, int32_t value)
{
    t->values[index] = value;
    record_changed(t);
}

double table_sum(const table_record *t)
{
    double sum = 0;
    for (long k = 0; k < t->size; k++) sum += t->values[k];
    return sum;
}

long table_quantile(const table_record *t, double fraction)
{
    const double sum = table_sum(t);
    if (sum == 0) return 0;
    double remainder = fraction * sum;
    for (long k = 0; k < t->size; k++) {
        remainder -= t->values[k];
        if (remainder <= 0) return k;
    }
    return t->size - 1;
}

bool table_init()
{
    if (g_box_class) return true;
    const short L = ATYPE_LONG, F = ATYPE_FLOAT, G = ATYPE_GIMME, S = ATYPE_SYM;
    g_record_class = define_class("table", nullptr, as_method(&record_free), sizeof(table_record), class_home::nobox,
                                  {{as_method(&record_list), "list", G},
                                   {as_method(&record_set), "set", G},
                                   {as_method(&record_size), "size", L},
                                   {as_method(&record_tabrange), "tabrange", L},
                                   {as_method(&record_clear), "clear"},
                                   {as_method(&record_const), "const", L},
                                   {as_method(&record_open), "front"},
                                   {as_method(&record_open), "open"},
                                   {as_method(&record_wclose), "wclose"},
                                   {as_method(&record_getvalueof), "getvalueof", ATYPE_CANT},
                                   {as_method(&record_setvalueof), "setvalueof", ATYPE_CANT}});
    if (!g_record_class) return false;
    class_addmethod(g_record_class, as_method(&record_flags), "flags", L, L, L, L, 0);
    g_box_class = define_class("table", as_method(&table_new), as_method(&box_free), sizeof(table_box), class_home::box,
                               {{as_method(&box_int), "int", L},
                                {as_method(&box_float), "float", F},
                                {as_method(&box_in1), "in1", L},
                                {as_method(&box_list), "list", G},
                                {as_method(&box_cancel), "cancel"},
                                {as_method(&box_bang), "bang"},
                                {as_method(&box_quantile), "quantile", L},
                                {as_method(&box_fquantile), "fquantile", F},
                                {as_method(&box_sum), "sum"},
                                {as_method(&box_inv), "inv", L},
                                {as_method(&box_length), "length"},
                                {as_method(&box_min), "min"},
                                {as_method(&box_max), "max"},
                                {as_method(&box_next), "next"},
                                {as_method(&box_prev), "prev"},
                                {as_method(&box_goto), "goto", L},
                                {as_method(&box_dump), "dump", G},
                                {as_method(&box_set), "set", G},
                                {as_method(&box_const), "const", L},
                                {as_method(&box_clear), "clear"},
                                {as_method(&box_size), "size", L},
                                {as_method(&box_tabrange), "tabrange", L},
                                {as_method(&box_load), "load"},
                                {as_method(&box_normal), "normal"},
                                {as_method(&box_send), "send", G},
                                {as_method(&box_refer), "refer", S},
                                {as_method(&box_read), "read", G},
                                {as_method(&box_write), "write", G},
                                {as_method(&box_open), "open"},
                                {as_method(&box_wclose), "wclose"},
                                {as_method(&box_open), "dblclick", ATYPE_CANT},
                                {as_method(&box_info), "info", ATYPE_CANT},
                                {as_method(&box_preset), "preset"},
                                {as_method(&box_save), "save", ATYPE_CANT},
                                {as_method(&record_getvalueof), "getvalueof", ATYPE_CANT}},
                               ATYPE_DEFSYM);
    if (!g_box_class) return false;
    class_addmethod(g_box_class, as_method(&box_setbits), "setbits", L, L, L, L, 0);
    class_addmethod(g_box_class, as_method(&box_getbits), "getbits", L, L, L, 0);
    class_addmethod(g_box_class, as_method(&box_flags), "flags", L, L, L, L, 0);
    return creation_provide("table", as_method(&table_new)) && creation_provide("vtable", as_method(&vtable_new));
}

}  // namespace kel
