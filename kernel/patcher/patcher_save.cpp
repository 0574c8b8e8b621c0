// Saving a patcher: the messages that rebuild it, written into a binbuf in
// the order the loader reads them (docs/patchfiles.md, "Patcher contents"),
// the save methods of the kernel's box classes, and `saveto`.
//
// What a patcher writes depends only on its contents, never on how or when
// it was made, so a file kel wrote reads back into a patcher that writes the
// same file again, byte for byte, in either form.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "kel/atoms.h"
#include "kel/binbuf.h"
#include "kel/classes.h"
#include "kel/console.h"
#include "kel/patchfile.h"
#include "kel/symbols.h"
#include "kernel/core/atoms.h"
#include "kernel/core/calls.h"
#include "kernel/core/memory.h"
#include "kernel/core/objects.h"
#include "kernel/patcher/patcher.h"
#include "kernel/patcher/patcher_kept.h"
#include "kernel/patcher/patcher_records.h"
#include "kernel/text/binbuf.h"
#include "kernel/text/patchfile.h"

namespace kel {
namespace {

symbol *sym(const char *name) { return gensym(name); }

// The names of the classic font numbers; others are named by their number.
symbol *font_name_of(short number)
{
    switch (number) {
    case 0:
        return sym("Chicago");
    case 1:
    case 3:
        return sym("Geneva");
    case 2:
        return sym("New York");
    case 4:
        return sym("Monaco");
    case 20:
        return sym("Times");
    case 21:
        return sym("Helvetica");
    case 22:
        return sym("Courier");
    case 23:
        return sym("Symbol");
    default: {
        char name[32];
        std::snprintf(name, sizeof name, "font%d", static_cast<int>(number));
        return sym(name);
    }
    }
}

// Appends a box's text line: head atoms, then the text read back unchanged.
void text_line(binbuf *dest, long head_count, const atom *head, atombuf *text)
{
    atombuf_savebox(dest, head_count, head, text);
}

bool own_lines_of_subpatcher(patcher *sub, atombuf *text)
{
    return !sub->from_file && text && (atombuf_misc(text) & 1);
}

void save_contents(patcher *p, binbuf *dest, bool top);

// Set when a line of the save in progress could not be written for lack of
// memory: what was saved is not the patcher, and no file is written from it.
bool g_save_incomplete = false;

// Counts whole saves: what a box shares with others (a table's values) is
// written once per save.
unsigned long g_save_serial = 0;

// Runs part of a save (a box's psave method) so that running out of memory
// marks the save incomplete instead of leaving the method.
template <class F> void save_part(F part)
{
    try {
        part();
    } catch (const std::bad_alloc &) {
        memory_set_low(true);
        g_save_incomplete = true;
    }
}

// Appends lines kept from the file as they came.
void save_kept(binbuf *dest, binbuf *lines)
{
    if (lines && !kept_lines_copy(dest, lines)) g_save_incomplete = true;
}

void save_box(patcher *p, box *b, binbuf *dest)
{
    static symbol *const psave = sym("psave"), *const save2 = sym("save2");
    save_kept(dest, box_kept_before(b));
    if (kel_method fn = zgetfn(b, psave)) call_save(fn, b, dest);
    save_kept(dest, box_kept_after(b));
    long color = (b->flags & BOX_COLOR_MASK) >> BOX_COLOR_SHIFT;
    if (color && !box_saves_own_color(b)) {
        atom line[] = {sym_atom(sym("#B")), sym_atom(sym("color")), int_atom(color)};
        save_message(dest, 3, line);
    }
    if (b->obj && b->obj != &b->header && object_valid(b->obj))
        if (kel_method fn = zgetfn(b->obj, save2)) call_save(fn, b->obj, dest);
    if (b->flags & BOX_FLAG_NOCLICK) {
        atom line[] = {sym_atom(sym("#P")), sym_atom(sym("noclick"))};
        save_message(dest, 2, line);
    }
    if (b->flags & BOX_FLAG_BACKGROUND) {
        atom line[] = {sym_atom(sym("#P")), sym_atom(sym("background"))};
        save_message(dest, 2, line);
    }
    const box_naming &naming = patcher_box_naming();
    if (symbol *name = naming.get ? naming.get(p, b) : nullptr) {
        atom line[] = {sym_atom(sym("#P")), sym_atom(sym("objectname")), sym_atom(name)};
        save_message(dest, 3, line);
    }
}

// Box numbers as connect lines count them (newest 0). A box's own
// save_number is 16-bit, so the numbers of larger patchers are kept here.
using box_numbers = std::unordered_map<const box *, long>;

void save_cord(patchcord *c, const box_numbers &numbers, binbuf *dest)
{
    atom line[6 + 2 * cord_bends_max];
    long n = 0;
    line[n++] = sym_atom(sym("#P"));
    if (c->hidden) line[n++] = sym_atom(sym("hidden"));
    line[n++] = sym_atom(sym(c->npoints > 1 ? "fasten" : "connect"));
    line[n++] = int_atom(numbers.at(c->src));
    line[n++] = int_atom(c->outlet);
    line[n++] = int_atom(numbers.at(c->dst));
    line[n++] = int_atom(c->inlet);
    for (int k = 1; k < c->npoints && k <= cord_bends_max; k++) {
        line[n++] = int_atom(c->x[k]);
        line[n++] = int_atom(c->y[k]);
    }
    save_message(dest, n, line);
    if (c->color) {
        atom color[] = {sym_atom(sym("#P")), sym_atom(sym("lcolor")), int_atom(c->color)};
        save_message(dest, 3, color);
    }
}

// Steps 2 to 7: from "#N vpatcher" to "#P pop".
void save_contents(patcher *p, binbuf *dest, bool top)
{
    p->save_font_number = -1;
    p->save_font_size = 0;
    p->save_linecount = 1;
    atom head[] = {sym_atom(sym("#N")),     sym_atom(sym("vpatcher")), int_atom(p->window.left),
                   int_atom(p->window.top), int_atom(p->window.right), int_atom(p->window.bottom)};
    save_message(dest, 6, head);
    if (p->origin_x || p->origin_y) {
        atom line[] = {sym_atom(sym("#P")), sym_atom(sym("origin")), int_atom(p->origin_x), int_atom(p->origin_y)};
        save_message(dest, 4, line);
    }
    if (p->bglock) {
        atom line[] = {sym_atom(sym("#P")), sym_atom(sym("setbglock")), int_atom(1)};
        save_message(dest, 3, line);
    }
    save_kept(dest, patcher_kept(p));

    std::vector<box *> boxes;
    box_numbers numbers;
    for (box *b = p->boxes; b; b = b->next) boxes.push_back(b);
    numbers.reserve(boxes.size());
    for (size_t k = 0; k < boxes.size(); k++) {
        boxes[k]->save_number = static_cast<short>(k);
        numbers[boxes[k]] = static_cast<long>(k);
    }
    for (size_t k = boxes.size(); k-- > 0;) save_box(p, boxes[k], dest);

    std::vector<patchcord *> cords;
    for (patchcord *c = p->cords; c; c = c->next) cords.push_back(c);
    std::sort(cords.begin(), cords.end(), [](const patchcord *a, const patchcord *b) {
        short ax = a->x[a->npoints], bx = b->x[b->npoints], ay = a->y[a->npoints], by = b->y[b->npoints];
        if (ax != bx) return ax < bx;
        if (ay != by) return ay < by;
        return a->serial < b->serial;
    });
    for (patchcord *c : cords) save_cord(c, numbers, dest);

    atom pop[] = {sym_atom(sym("#P")), sym_atom(sym("pop")), int_atom(1)};
    save_message(dest, !top && p->window.visible ? 3 : 2, pop);
}

void *patcher_saveto_method(patcher *p, symbol *name, long binary)
{
    patcher_write(p, name->name, p->path, binary ? 1 : 0);
    return nullptr;
}

}  // namespace

font_of_box font_word_decode(long w)
{
    static const short sizes[8] = {9, 10, 12, 14, 14, 18, 20, 24};
    if (w >= 0 && w <= 7) return {3, sizes[w]};
    if (w >= 8 && w <= 12) return {3, static_cast<short>(w)};
    if (w >= 13 && w <= 65535) return {static_cast<short>((w >> 3) & 0x1FFF), sizes[w & 7]};
    return {static_cast<short>((w >> 16) & 0x7FFF), static_cast<short>(w & 0xFFFF)};
}

unsigned long patcher_save_serial() { return g_save_serial; }

void patcher_save_addmethods(kel_class *c)
{
    class_addmethod(c, reinterpret_cast<kel_method>(&patcher_saveto_method), "saveto", ATYPE_SYM, ATYPE_DEFLONG, 0);
}

void patcher_save_font(patcher *p, binbuf *dest, long font_word, symbol *name)
{
    font_of_box f = font_word_decode(font_word);
    if (f.number == p->save_font_number && f.size == p->save_font_size) return;
    p->save_font_number = f.number;
    p->save_font_size = f.size;
    atom line[] = {sym_atom(sym("#P")), sym_atom(sym("window")), sym_atom(sym("setfont")),
                   sym_atom(name ? name : font_name_of(f.number)), float_atom(f.size)};
    save_message(dest, 5, line);
}

long box_line_head(box *b, bool user, symbol *kind, long nints, const long *ints, atom *head)
{
    long n = 0;
    head[n++] = sym_atom(sym("#P"));
    if (b->flags & BOX_FLAG_HIDDEN) head[n++] = sym_atom(sym("hidden"));
    if (user) head[n++] = sym_atom(sym("user"));
    head[n++] = sym_atom(kind);
    for (long k = 0; k < nints && k < 8; k++) head[n++] = int_atom(ints[k]);
    return n;
}

bool save_message(binbuf *dest, long argc, const atom *argv)
{
    std::vector<atom> line;
    try {
        line.assign(argv, argv + argc);
        atom semicolon;
        std::memset(&semicolon, 0, sizeof semicolon);
        semicolon.type = ATYPE_SEMI;
        line.push_back(semicolon);
    } catch (const std::bad_alloc &) {
        memory_set_low(true);
        g_save_incomplete = true;
        return false;
    }
    for (atom &a : line) binbuf_convert_hash_symbol(&a);
    if (patchfile_append(dest, line.data(), static_cast<long>(line.size()))) return true;
    g_save_incomplete = true;
    return false;
}

long patcher_write(patcher *p, const char *name, short path, short binary)
{
    binbuf *b = binbuf_new();
    if (!b) {
        ouchstring("Out of memory");
        return 1;
    }
    binbuf_growth_failure_clear();
    g_save_incomplete = false;
    atom head[] = {sym_atom(sym("kel")), sym_atom(sym("v2"))};
    save_message(b, 2, head);
    patcher_save(p, b);
    if (binbuf_growth_failed() || g_save_incomplete) {
        ouchstring("Out of memory");
        freeobject(b);
        return 1;
    }
    // A patcher read only in part from a damaged file does not hold all the
    // file held: before the file is replaced, the original is kept beside
    // it, so nothing that was in it is lost.
    const bool own_file = p->damaged && p->filename && patchfile_same_file(p->filename->name, p->path, name, path);
    if (own_file) {
        std::string kept;
        if (patchfile_keep_original(name, path, &kept) != 0) {
            error("%s: not saved: the original could not be kept", name);
            freeobject(b);
            return 1;
        }
        post("%s: the file was read only in part; its original is kept as %s", name, kept.c_str());
    }
    long result = binbuf_write(b, name, path, binary);
    freeobject(b);
    if (result == 0 && own_file) p->damaged = false;
    return result;
}

// --- the kernel box classes' save methods ---

namespace {

// A newobj box's lines: its font and line count when they change, the
// lines that build its object (a subpatcher's contents, the kept lines of
// a placeholder, or what the object's save method writes), then its text.
void newobj_save_lines(newobj_box *nb, binbuf *dest)
{
    static symbol *const save = sym("save");
    patcher *p = nb->b.owner;
    patcher_save_font(p, dest, nb->font, nb->font_name);
    if (nb->linecount != p->save_linecount) {
        atom line[] = {sym_atom(sym("#P")), sym_atom(sym("window")), sym_atom(sym("linecount")),
                       int_atom(nb->linecount)};
        save_message(dest, 4, line);
        p->save_linecount = nb->linecount;
    }
    // The lines that build the object itself, when it has any: the box
    // then takes the object they made (newobj) instead of making it again
    // from its text (newex).
    bool own_lines = false;
    object *x = nb->b.obj;
    if (is_patcher(x)) {
        auto *sub = reinterpret_cast<patcher *>(x);
        if (own_lines_of_subpatcher(sub, nb->text)) {
            save_contents(sub, dest, false);
            own_lines = true;
        }
    } else if (nb->kept) {
        long index = 0, offset = 0;
        atom a;
        std::vector<atom> lines;
        while (binbuf_getatom(nb->kept, &index, &offset, &a) == 0) {
            binbuf_convert_hash_symbol(&a);
            lines.push_back(a);
        }
        if (!patchfile_append(dest, lines.data(), static_cast<long>(lines.size()))) g_save_incomplete = true;
        own_lines = true;
    } else if (object_valid(x) && x != &nb->b.header) {
        if (kel_method fn = zgetfn(x, save)) {
            call_save(fn, x, dest);
            own_lines = true;
        }
    }
    const box_rect &r = nb->b.rect;
    long ints[] = {r.left, r.top, r.right - r.left, nb->font};
    atom head[16];
    long n = box_line_head(&nb->b, false, sym(own_lines ? "newobj" : "newex"), 4, ints, head);
    text_line(dest, n, head, nb->text);
}

}  // namespace

// Each runs as a part of the save (save_part): running out of memory marks
// the save incomplete.

void *newobj_psave(newobj_box *nb, binbuf *dest)
{
    save_part([&] { newobj_save_lines(nb, dest); });
    return nullptr;
}

void *comment_psave(comment_box *cb, binbuf *dest)
{
    patcher_save_font(cb->b.owner, dest, cb->font, cb->font_name);
    const box_rect &r = cb->b.rect;
    long ints[] = {r.left, r.top, r.right - r.left, cb->font};
    atom head[16];
    long n = box_line_head(&cb->b, false, sym("comment"), 4, ints, head);
    text_line(dest, n, head, cb->text);
    return nullptr;
}

void *kept_psave(kept_box *kb, binbuf *dest)
{
    save_part([&] {
        atom head[16];
        long n = box_line_head(&kb->b, kb->user, kb->kind, 0, nullptr, head);
        std::vector<atom> line(head, head + n);
        if (kb->layout) line.insert(line.end(), kb->layout->argv, kb->layout->argv + kb->layout->argc);
        save_message(dest, static_cast<long>(line.size()), line.data());
    });
    return nullptr;
}

void *port_psave(port_box *pb, binbuf *dest)
{
    save_part([&] {
        atom head[16];
        long n =
            box_line_head(&pb->b, false, sym((pb->b.flags & BOX_FLAG_INLET) ? "inlet" : "outlet"), 0, nullptr, head);
        std::vector<atom> line(head, head + n);
        if (pb->layout) line.insert(line.end(), pb->layout->argv, pb->layout->argv + pb->layout->argc);
        save_message(dest, static_cast<long>(line.size()), line.data());
    });
    return nullptr;
}

}  // namespace kel

using namespace kel;

KEL_API void patcher_save(patcher *p, binbuf *dest)
{
    if (!p || !dest) return;
    g_save_serial++;
    try {
        save_contents(p, dest, true);
    } catch (const std::bad_alloc &) {
        memory_set_low(true);
        g_save_incomplete = true;
        ouchstring("Out of memory");
    }
}
