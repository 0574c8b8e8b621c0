// Loading patcher files: documents (fileload, fileload_type, stringload),
// loads with arguments (intload, abstractions), the recursion guard, the
// argument vectors, and the lines objects write for themselves.
//
// While a file is evaluated, the symbol #N is bound to the loader's front
// object, which passes every "#N" line on to the creation object. Before
// each such line it binds #X to the loader's catcher. When the line makes an
// object, #X is left to that object (which binds it to itself when it reads
// data lines) or unbound; when it makes nothing, the loader keeps the line
// and the "#X" lines after it for the placeholder of the next box, which
// writes them back when the patcher is saved.
//
// The file is evaluated line by line, and the loader looks at each line
// before it is sent. Lines the engine does not act on are kept instead of
// sent, with the box they stood with (patcher_kept.h): "#X" lines when no
// object takes data lines (after a box that does not bind #X, #X is
// unbound, so such lines never reach a box made earlier), records addressed
// to a "#" receiver that nothing is bound to ("#T", "#K", ...), and "#B"
// lines the box just made does not understand. Kept lines go with the box
// they follow, or, after an "#N" line that made nothing, with the next box;
// lines no box takes stay with the patcher. In the lines of message boxes,
// comments and bpatchers, and in inlet and outlet descriptions ("#N comlet"),
// a comma is part of the text, as if escaped.
//
// Every binding a load changes (#N, #P, #B, #X, the load path, the default
// path) is held by a scope object and restored when the load ends, also when
// the file is damaged or ends early, or an exception leaves it.
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "kel/atoms.h"
#include "kel/binbuf.h"
#include "kel/classes.h"
#include "kel/console.h"
#include "kel/outlets.h"
#include "kel/patchfile.h"
#include "kel/path.h"
#include "kel/symbols.h"
#include "kernel/core/atoms.h"
#include "kernel/core/guarded.h"
#include "kernel/core/locks.h"
#include "kernel/core/memory.h"
#include "kernel/core/objects.h"
#include "kernel/core/symbols.h"
#include "kernel/create/creation.h"
#include "kernel/files/collective.h"
#include "kernel/files/path.h"
#include "kernel/patcher/loadbang.h"
#include "kernel/patcher/patcher.h"
#include "kernel/patcher/patcher_kept.h"
#include "kernel/text/binbuf.h"
#include "kernel/text/binbuf_eval.h"
#include "kernel/text/patchfile.h"
#include "kernel/wires/wire_pairs.h"
#include "platform/handles.h"

namespace kel {
namespace {

// One file being evaluated; loads nest (abstractions). The contexts form a
// stack through `outer`, innermost at g_current.
struct load_context {
    binbuf *pending = nullptr;    // the kept lines of an "#N" line that made nothing
    object *unclaimed = nullptr;  // what the last "#N" line made, other than a patcher, until a box takes it
    box *newest = nullptr;        // the box the last line made, until an "#N" line or a pop: kept lines follow it
    load_context *outer = nullptr;
    // Where the line being sent came from: the file, the line each message
    // begins on (text files only) and the number of the message.
    const char *file = nullptr;
    std::vector<long> lines;
    long message = -1;
};

// The names of the files being loaded, innermost first (the recursion
// guard).
struct guard_entry {
    symbol *name;
    guard_entry *outer;
};

load_context *g_current = nullptr;
guard_entry *g_guard = nullptr;
bool g_outermost = false;  // a load that is not nested is in progress
object *g_front = nullptr;
object *g_catcher = nullptr;
bool g_making_record = false;  // front_anything is making an "#N" line's object

constexpr long document_arguments = 9;

load_context *current_load() { return g_current; }

atom semi_atom()
{
    atom a;
    std::memset(&a, 0, sizeof a);
    a.type = ATYPE_SEMI;
    return a;
}

// Appends a whole line (its atoms, ended by a semicolon) to *lines (made
// when null). A line that cannot be kept for lack of memory raises the
// memory-low flag: the load does not give the file back whole.
void keep_atoms(binbuf **lines, const std::vector<atom> &line)
{
    try {
        if (!*lines) *lines = binbuf_new();
        if (!*lines) throw std::bad_alloc();
        if (!patchfile_append(*lines, line.data(), static_cast<long>(line.size()))) throw std::bad_alloc();
    } catch (const std::bad_alloc &) {
        memory_set_low(true);
    }
}

// Appends "receiver selector args;" to *lines.
void keep_line(binbuf **lines, symbol *receiver, symbol *selector, long argc, atom *argv)
{
    std::vector<atom> line;
    try {
        line.reserve(static_cast<size_t>(argc) + 3);
        line.push_back(sym_atom(receiver));
        line.push_back(sym_atom(selector));
        line.insert(line.end(), argv, argv + argc);
        line.push_back(semi_atom());
    } catch (const std::bad_alloc &) {
        memory_set_low(true);
        return;
    }
    keep_atoms(lines, line);
}

patcher *patcher_being_built()
{
    object *p = bindings().P->thing;
    return is_patcher(p) ? reinterpret_cast<patcher *>(p) : nullptr;
}

// The box kept lines follow now: the newest box of this load, while it is
// still in the patcher being built.
box *kept_lines_box(load_context *ctx)
{
    patcher *p = patcher_being_built();
    if (!ctx || !ctx->newest || !p) return nullptr;
    return patcher_box_of(p, &ctx->newest->header) == ctx->newest ? ctx->newest : nullptr;
}

// Lines kept for a box that never came: they go with the box before them,
// else with the patcher.
void settle_pending(load_context *ctx)
{
    if (!ctx || !ctx->pending) return;
    binbuf *lines = ctx->pending;
    ctx->pending = nullptr;
    if (box *b = kept_lines_box(ctx)) {
        long index = 0, offset = 0;
        atom a;
        std::vector<atom> line;
        try {
            while (binbuf_getatom(lines, &index, &offset, &a) == 0) {
                line.push_back(a);
                if (a.type != ATYPE_SEMI) continue;
                box_keep_after(b, static_cast<long>(line.size()) - 1, line.data());
                line.clear();
            }
        } catch (const std::bad_alloc &) {
            memory_set_low(true);
        }
        freeobject(lines);
    } else if (patcher *p = patcher_being_built()) {
        patcher_take_kept(p, lines);
    } else {
        freeobject(lines);
    }
}

void drop_pending(load_context *ctx)
{
    if (ctx && ctx->pending) {
        freeobject(ctx->pending);
        ctx->pending = nullptr;
    }
}

// A load that is cut short frees what an "#N" line made for a box that
// never came.
void drop_unclaimed(load_context *ctx)
{
    if (!ctx) return;
    object *x = ctx->unclaimed;
    ctx->unclaimed = nullptr;
    if (building().load_abort && object_valid_checked(x)) freeobject(x);
}

bool guarded_now(symbol *name)
{
    for (guard_entry *e = g_guard; e; e = e->outer)
        if (e->name == name) return true;
    return false;
}

// For the whole of one load: the file's name on the recursion guard and,
// for a load that is not nested, the outermost state (the loadbang queue is
// cleared on entry and delivered on exit, the abort flag starts and ends
// cleared).
class load_guard {
public:
    explicit load_guard(symbol *name) : entry_{name, g_guard}, nested_(g_outermost)
    {
        building_state &bs = building();
        if (!nested_) {
            if (!loadbang_suspended()) loadbang_clearqueue();
            g_outermost = true;
            bs.load_abort = 0;
            bs.load_boxes = 0;
        }
        g_guard = &entry_;
    }
    ~load_guard()
    {
        g_guard = entry_.outer;
        if (!nested_) {
            g_outermost = false;
            building().load_abort = 0;
            if (!loadbang_suspended()) loadbang_dequeue();
        }
    }
    load_guard(const load_guard &) = delete;
    load_guard &operator=(const load_guard &) = delete;

private:
    guard_entry entry_;
    const bool nested_;
};

// While a file is evaluated: its load context on the stack, #N bound to the
// front, the load path and the default path set to the file's folder. The
// destructor restores, in this order: the context (its kept lines freed,
// and under an abort what its last "#N" line made for no box),
// #N, #P, #B and #X (the last two only when what they held is still an
// object), the load path and the default path.
class load_scope {
public:
    load_scope(load_context *ctx, short path)
        : ctx_(ctx), n_(bindings().N->thing), p_(bindings().P->thing), b_(bindings().B->thing), x_(bindings().X->thing),
          load_path_(building().load_path), making_record_(g_making_record)
    {
        g_making_record = false;  // the lines of this file make their own objects
        // The default path to put back is made now, so that putting it back
        // needs no memory; without it, the default path stays as it is.
        const bool restorable = path_default_prepare(path_getdefault(), &default_path_);
        ctx_->outer = g_current;
        g_current = ctx_;
        building().load_path = path;
        if (restorable) path_setdefault(path, 0);
        if (g_front) bindings().N->thing = g_front;
    }
    ~load_scope()
    {
        const binding_symbols &b = bindings();
        drop_pending(ctx_);
        drop_unclaimed(ctx_);
        g_current = ctx_->outer;
        b.N->thing = n_;
        b.P->thing = p_;
        b.B->thing = object_valid_checked(b_) ? b_ : nullptr;
        b.X->thing = object_valid_checked(x_) ? x_ : nullptr;
        building().load_path = load_path_;
        path_default_install(&default_path_);
        g_making_record = making_record_;
    }
    load_scope(const load_scope &) = delete;
    load_scope &operator=(const load_scope &) = delete;

    // The patcher current when the load began (#P).
    object *outer_patcher() const { return p_; }

private:
    load_context *ctx_;
    object *n_, *p_, *b_, *x_;
    short load_path_;
    bool making_record_;
    default_path_aside default_path_;
};

// --- the front of #N and the catcher of #X ---

// The receiver of a table's value lines ("#T set ..."), bound by the table an
// "#N vtable" line makes.
symbol *table_lines()
{
    static symbol *const t = gensym("#T");
    return t;
}

void *front_anything(object *, symbol *s, long argc, atom *argv)
{
    load_context *ctx = current_load();
    const binding_symbols &b = bindings();
    settle_pending(ctx);
    drop_unclaimed(ctx);
    if (ctx) ctx->newest = nullptr;
    b.X->thing = g_catcher;
    // A table this line makes binds #T for the value lines after it; after
    // a line that made nothing they are kept with its placeholder.
    table_lines()->thing = nullptr;
    g_newest_object = nullptr;
    const bool was_making = g_making_record;
    g_making_record = true;
    void *made;
    try {
        made = typedmess(creation_object(), s, argc, argv);
    } catch (...) {
        g_making_record = was_making;
        throw;
    }
    g_making_record = was_making;
    if (object_valid(g_newest_object)) {  // just answered by a constructor
        if (b.X->thing == g_catcher) b.X->thing = nullptr;
        if (ctx && !is_patcher(g_newest_object)) ctx->unclaimed = g_newest_object;
        return made;
    }
    if (ctx) keep_line(&ctx->pending, b.N, s, argc, argv);
    return made;
}

void *catcher_anything(object *, symbol *s, long argc, atom *argv)
{
    load_context *ctx = current_load();
    if (ctx && ctx->pending) keep_line(&ctx->pending, bindings().X, s, argc, argv);
    return nullptr;
}

object *make_forwarder(const char *name, kel_method fn)
{
    kel_class *c = class_new(name, nullptr, nullptr, sizeof(object), nullptr, 0);
    if (!c) return nullptr;
    class_addmethod(c, fn, "anything", ATYPE_GIMME, 0);
    class_register(sym_nobox, c);
    return static_cast<object *>(object_alloc(c));
}

// --- evaluating a buffer ---

bool is_sym(const atom &a, symbol *s) { return a.type == ATYPE_SYM && a.word.w_sym == s; }

// A record the engine has no receiver for: "#" and a capital letter (the
// records of the file format), with nothing bound to the name.
bool is_unbound_record(symbol *s)
{
    const char *name = s->name;
    return name[0] == '#' && name[1] >= 'A' && name[1] <= 'Z' && !s->thing;
}

// The line, without its semicolon, is kept with the box it follows (or for
// the next box, after an "#N" line that made nothing).
void keep_record(load_context *ctx, const std::vector<atom> &line)
{
    if (!ctx) return;
    box *b = ctx->pending ? nullptr : kept_lines_box(ctx);
    if (b)
        box_keep_after(b, static_cast<long>(line.size()) - 1, line.data());
    else
        keep_atoms(&ctx->pending, line);
}

// True when the line is one the engine does not act on: it is then kept,
// not sent.
bool keep_unacted(load_context *ctx, const std::vector<atom> &line)
{
    if (line.empty() || line[0].type != ATYPE_SYM || line.size() < 2) return false;
    const binding_symbols &b = bindings();
    static symbol *const anything = gensym("anything");
    symbol *receiver = line[0].word.w_sym;
    if (receiver == b.X) {
        object *x = b.X->thing;
        if (x && x != g_catcher) return false;
        keep_record(ctx, line);
        return true;
    }
    if (receiver == b.B) {
        object *x = b.B->thing;
        patcher *p = patcher_being_built();
        if (!x || !p || line[1].type != ATYPE_SYM || !object_valid_checked(x)) return false;
        // Mostly the box the line before made: found without a walk.
        box *target = ctx && ctx->newest && &ctx->newest->header == x && ctx->newest->owner == p ? ctx->newest
                                                                                                 : patcher_box_of(p, x);
        if (!target || &target->header != x || zgetfn(x, line[1].word.w_sym) || zgetfn(x, anything)) return false;
        box_keep_after(target, static_cast<long>(line.size()) - 1, line.data());
        return true;
    }
    if (is_unbound_record(receiver)) {
        keep_record(ctx, line);
        return true;
    }
    return false;
}

// "#P [hidden] message|comment|bpatcher ..." and "#N comlet ...": box text
// and descriptions, in which a comma is text, not the end of a message.
bool is_box_text_line(const std::vector<atom> &line)
{
    static symbol *const hidden = gensym("hidden"), *const message = gensym("message"),
                         *const comment = gensym("comment"), *const bpatcher = gensym("bpatcher"),
                         *const comlet = gensym("comlet");
    if (line.size() >= 2 && is_sym(line[0], bindings().N) && is_sym(line[1], comlet)) return true;
    if (line.size() < 2 || !is_sym(line[0], bindings().P)) return false;
    size_t k = is_sym(line[1], hidden) ? 2 : 1;
    if (k >= line.size()) return false;
    return is_sym(line[k], message) || is_sym(line[k], comment) || is_sym(line[k], bpatcher);
}

bool is_pop_line(const std::vector<atom> &line)
{
    static symbol *const pop = gensym("pop");
    return line.size() >= 2 && is_sym(line[0], bindings().P) && is_sym(line[1], pop);
}

// The atom source of a load: the buffer's lines, each looked at before the
// evaluation takes its first atom (by then the line before it has been
// sent). See the comment at the top of the file. A line is read whole only
// when its receiver makes it one that may be kept; the others are looked at
// by their first atoms and then passed on as the buffer gives them.
struct line_filter {
    line_filter(binbuf *buffer, load_context *context) : b(buffer), ctx(context) { line.reserve(16); }

    static constexpr size_t head_atoms = 3;  // enough for "#P hidden message"

    binbuf *b;
    load_context *ctx;
    long index = 0, offset = 0;
    std::vector<atom> line;  // the line's first atoms, or all of it
    size_t next = 0;         // the next atom of `line` to pass on
    bool line_done = true;   // no atom of the line is left in the buffer
    bool commas_are_text = false;
    bool pop = false;
    // The state before the line being evaluated.
    patcher *p = nullptr;
    box *head = nullptr;
    object *x = nullptr;

    // Reads atoms of the line into `line` until it holds `count` or the line
    // ends.
    void read_into_line(size_t count)
    {
        while (!line_done && line.size() < count) {
            // Each atom is read in place: the buffer writes its fields one
            // by one, and copying the atom at once right after would wait
            // for them.
            atom &a = line.emplace_back();
            if (binbuf_getatom(b, &index, &offset, &a) != 0) {
                line.pop_back();
                line_done = true;
            } else if (a.type == ATYPE_SEMI) {
                line_done = true;
            }
        }
    }

    bool may_be_kept() const
    {
        if (line.size() < 2 || line[0].type != ATYPE_SYM) return false;
        const binding_symbols &s = bindings();
        symbol *receiver = line[0].word.w_sym;
        return receiver == s.X || receiver == s.B || is_unbound_record(receiver);
    }

    // Starts the next line that is to be sent; false at the end.
    bool begin_line()
    {
        for (;;) {
            ctx->message++;
            line.clear();
            next = 0;
            line_done = false;
            read_into_line(head_atoms);
            if (line.empty()) return false;
            if (!may_be_kept()) break;
            read_into_line(SIZE_MAX);
            if (!keep_unacted(ctx, line)) break;
        }
        before_line();
        return true;
    }

    // After a line was sent: a box it made takes the lines kept for it and
    // is followed by the next kept lines; when it did not bind #X to
    // itself, #X is unbound, so that data lines after it are kept instead of
    // reaching an object made earlier.
    void after_line()
    {
        if (pop) {
            ctx->newest = nullptr;
            return;
        }
        // The patcher a line began in outlives the line: only a load cut
        // short frees patchers, after the evaluation.
        if (!p || !object_valid(&p->header) || !p->boxes || p->boxes == head) return;
        box *made = p->boxes;
        if (ctx->pending) {
            box_take_before(made, ctx->pending);
            ctx->pending = nullptr;
        }
        ctx->newest = made;
        const binding_symbols &s = bindings();
        if (s.X->thing == x) s.X->thing = nullptr;
        table_lines()->thing = nullptr;  // "#T" lines belong to the "#N" line before a box
    }

    void before_line()
    {
        pop = is_pop_line(line);
        if (pop) settle_pending(ctx);
        commas_are_text = is_box_text_line(line);
        p = patcher_being_built();
        head = p ? p->boxes : nullptr;
        x = bindings().X->thing;
    }

    bool take(atom *a)
    {
        for (;;) {
            if (next < line.size()) {
                *a = line[next++];
                break;
            }
            if (!line_done) {
                if (binbuf_getatom(b, &index, &offset, a) != 0) {
                    line_done = true;
                    return false;
                }
                if (a->type == ATYPE_SEMI) line_done = true;
                break;
            }
            after_line();
            if (!begin_line()) return false;
        }
        if (commas_are_text && a->type == ATYPE_COMMA) {
            static symbol *const comma = gensym(",");
            atom_setsym(a, comma);
        }
        return true;
    }
};

bool next_filtered(void *context, atom *a)
{
    try {
        return static_cast<line_filter *>(context)->take(a);
    } catch (const std::bad_alloc &) {
        memory_set_low(true);
        return false;
    }
}

// A document's arguments: "#0" .. "#9", so that $n in the file becomes the
// symbol "#n", which a later save writes back as $n.
void document_vector(atom args[document_arguments + 1])
{
    for (long n = 0; n <= document_arguments; n++) {
        char name[3] = {'#', static_cast<char>('0' + n), '\0'};
        atom_setsym(&args[n], gensym(name));
    }
}

bool is_patcher_buffer(binbuf *b)
{
    static symbol *const kel = gensym("kel"), *const hash_n = gensym("#N"), *const sym_new = gensym("new");
    long index = 0, offset = 0;
    atom first;
    if (binbuf_getatom(b, &index, &offset, &first) != 0 || first.type != ATYPE_SYM) return false;
    return first.word.w_sym == kel || first.word.w_sym == hash_n || first.word.w_sym == sym_new;
}

// A document is evaluated with "#0" .. "#9" (a binary one as bf_singlefast
// evaluates one), a load with arguments as binbuf_eval evaluates a buffer.
void *evaluate(binbuf *b, load_context *ctx, bool document, long form, long argc, atom *argv)
{
    line_filter filter(b, ctx);
    atom args[document_arguments + 1];
    static_assert(document_arguments == binbuf_eval_argument_count, "one argument count for every load");
    if (!document) {
        binbuf_eval_arguments(argc, argv, args);
        return evaluate_messages({&next_filtered, &filter}, args, binbuf_eval_argument_count, nullptr,
                                 eval_dialect::binbuf);
    }
    document_vector(args);
    return evaluate_messages({&next_filtered, &filter}, args, document_arguments, nullptr,
                             form == FILETYPE_PATCHER ? eval_dialect::atombuf : eval_dialect::binbuf);
}

// The guard knows files by their own names: a document opened with a folder
// part is the same file as the abstraction found by its name alone.
symbol *guard_name(const char *name)
{
    const char *base = name;
    for (const char *c = name; *c; c++)
        if (*c == '/' || *c == ':' || *c == '\\') base = c + 1;
    return gensym(*base ? base : name);
}

std::string folder_text(short path)
{
    char folder[MAX_PATH_CHARS];
    if (!path || path_topathname(path, nullptr, folder) != 0) return std::string();
    return std::string(folder).append("/");
}

// Frees the patchers made since serial_before that match, newest first.
// Each pass frees the newest match older than the last one freed, so the
// walk ends even when freeing one frees others or leaves one alive.
template <class Match> void free_made_since(unsigned long serial_before, Match match)
{
    unsigned long below = patcher_serial_now() + 1;
    for (;;) {
        patcher *found = nullptr;
        for (patcher *p = patcher_live_first(); p && p->serial > serial_before; p = p->live_next)
            if (p->serial < below && !p->freeing && match(p)) {
                found = p;
                break;
            }
        if (!found) return;
        below = found->serial;
        freeobject(found);
    }
}

// The patcher a file built: patchers made by this load at its top level
// (parent: the patcher current when the load began, in no box). The one
// the evaluation answered when it is such a patcher, else the newest; the
// others would belong to nothing and are freed.
patcher *take_result(unsigned long serial_before, object *outer, void *answered)
{
    auto made_here = [&](patcher *p) {
        object *parent = p->parent ? &p->parent->header : nullptr;
        return parent == outer && !p->container && !p->owner_object && !p->freeing;
    };
    patcher *result = nullptr;
    for (patcher *p = patcher_live_first(); p && p->serial > serial_before; p = p->live_next)
        if (made_here(p) && (!result || p == answered)) result = p;
    if (result) free_made_since(serial_before, [&](patcher *p) { return p != result && made_here(p); });
    return result;
}

struct load_request {
    const char *name;
    short path;
    long type;  // FILETYPE_TEXT, FILETYPE_PATCHER, 0: the file decides
    long argc;
    atom *argv;
    bool document;         // evaluated with "#0" .. "#9"
    bool report_unusable;  // a file that is not a patcher is reported
};

void *load_file(const load_request &r)
{
    bool unfinished = false;  // the file ended inside a patcher
    if (!r.name || !*r.name) return nullptr;
    if (r.type && r.type != FILETYPE_TEXT && r.type != FILETYPE_PATCHER) return nullptr;
    // Memory that runs low while the file is found, read or evaluated
    // leaves out what the file describes.
    const bool low_before = memory_is_low();
    long form = patchfile_type(r.name, r.path);
    if (!form) {
        fileinfo info;
        if (path_fileinfo(r.name, r.path, &info) == 0) {  // there, but neither form
            if (r.report_unusable) error("%s: not a patcher file", r.name);
            return nullptr;
        }
        form = FILETYPE_TEXT;  // missing: the reader reports it
    }

    symbol *name = gensym(r.name);
    symbol *guarded = guard_name(r.name);
    const binding_symbols &b = bindings();
    if (guarded_now(guarded)) {
        object *current = b.P->thing;
        short folder = is_patcher(current) ? reinterpret_cast<patcher *>(current)->path : r.path;
        error("patcher attempting to load itself: %s%s", folder_text(folder).c_str(), r.name);
        error("perhaps you have mistakenly named a patcher file the same name as an object it contains. this is not "
              "permitted.");
        return nullptr;
    }

    // A file that cannot be read for lack of memory cuts short the load it
    // is part of (an abstraction's): loads give the whole patch or nothing.
    binbuf *contents = binbuf_new();
    if (!contents) {
        error("%s: can't load, out of memory", r.name);
        if (patcher_loading()) building().load_abort = 1;
        return nullptr;
    }
    if (long err = binbuf_read(contents, r.name, r.path, form == FILETYPE_PATCHER ? 1 : 0); err != 0) {
        if (err == toolbox::memFullErr && patcher_loading()) building().load_abort = 1;
        freeobject(contents);
        return nullptr;
    }
    // A damaged binary file gives what was sound before its damage.
    const bool partial = patchfile_last_read_partial();
    std::vector<long> lines = patchfile_take_message_lines();
    if (!is_patcher_buffer(contents)) {
        // Tables and plain text belong to modules and windows not built
        // here.
        if (r.report_unusable) error("%s: not a patcher file", r.name);
        freeobject(contents);
        return nullptr;
    }

    building_state &bs = building();
    load_guard guard(guarded);
    // A file that joins one pair a million times says so once, with a count.
    duplicate_reports_quiet quiet;
    patcher *result = nullptr;
    {
        load_context ctx;
        ctx.file = r.name;
        ctx.lines = std::move(lines);
        load_scope scope(&ctx, r.path);
        const unsigned long serial_before = patcher_serial_now();

        void *answered = nullptr;
        try {
            {
                lockout_scope lockout;
                answered = evaluate(contents, &ctx, r.document, form, r.argc, r.argv);
            }
            // While memory is low no object is made by name: what loaded is
            // not the patch the file describes.
            if (!low_before && memory_is_low() && !bs.load_abort) bs.load_abort = 1;

            // A file that ends inside a patcher still gives what it built.
            for (int depth = 0; depth < 1000; depth++) {
                object *current = b.P->thing;
                if (current == scope.outer_patcher() || !is_patcher(current)) break;
                patcher_pop(reinterpret_cast<patcher *>(current), 0);
                unfinished = true;
            }
        } catch (const std::bad_alloc &) {
            // The load stopped where memory ran out: the rest of the file is
            // not loaded.
            bs.load_abort = 1;
        }
        if (unfinished) error("%s: file ends inside a patcher", r.name);
        if (bs.load_abort) {
            // Nothing of a load cut short is kept: neither an object made
            // for a box that never came, nor a patcher no box shows.
            drop_unclaimed(&ctx);
            free_made_since(serial_before, [](patcher *p) { return !p->container && !p->owner_object; });
        }
        result = take_result(serial_before, scope.outer_patcher(), answered);
    }
    freeobject(contents);
    // So does memory that ran short while the load's state was put back.
    if (!low_before && memory_is_low() && !bs.load_abort) bs.load_abort = 1;

    if (bs.load_abort) {
        if (bs.load_abort == 1) error("%s: can't load, out of memory", r.name);
        if (result) freeobject(result);
        result = nullptr;
    } else if (result) {
        atom info[3];
        atom_setsym(&info[0], name);
        atom_setlong(&info[1], r.path);
        atom_setlong(&info[2], form == FILETYPE_PATCHER ? 1 : 0);
        typedmess(result, gensym("filename"), 3, info);
        result->damaged = partial;
        result->cut_short = unfinished;
    }
    return result;
}

// load_file, which a container running out of memory may leave (the load's
// own state is put back by its scopes on the way).
void *guarded_load(const load_request &r)
{
    return guarded(r.name ? r.name : "load", static_cast<void *>(nullptr), [&] { return load_file(r); });
}

// The creation object's loader of abstractions: a patcher file found for a
// name typed in an object box, loaded with the box's arguments.
object *load_abstraction(symbol *, short path, symbol *filename, long type, long argc, atom *argv)
{
    load_request r{filename->name, path, type, argc, argv, false, false};
    auto *p = static_cast<patcher *>(guarded_load(r));
    if (!p) return nullptr;
    patcher_mark_from_file(p);
    p->window.title = filename;
    return &p->header;
}

}  // namespace

bool patcher_loading() { return g_outermost || g_current; }

const char *patcher_loading_file() { return g_current ? g_current->file : nullptr; }

const char *patcher_loading_document()
{
    const load_context *ctx = g_current;
    while (ctx && ctx->outer) ctx = ctx->outer;
    return ctx ? ctx->file : nullptr;
}

std::string patcher_load_position()
{
    const load_context *c = g_current;
    if (!c || !c->file || c->message < 0 || c->message >= static_cast<long>(c->lines.size())) return {};
    return std::string(c->file) + ":" + std::to_string(c->lines[static_cast<size_t>(c->message)]) + ": ";
}

bool load_making_record() { return g_making_record; }

binbuf *load_take_pending_lines()
{
    load_context *ctx = current_load();
    if (!ctx) return nullptr;
    binbuf *lines = ctx->pending;
    ctx->pending = nullptr;
    ctx->unclaimed = nullptr;
    const binding_symbols &b = bindings();
    if (b.X->thing == g_catcher) b.X->thing = nullptr;
    return lines;
}

void patcher_load_init()
{
    if (!g_front) g_front = make_forwarder("#N loader", reinterpret_cast<kel_method>(&front_anything));
    if (!g_catcher) g_catcher = make_forwarder("#X catcher", reinterpret_cast<kel_method>(&catcher_anything));
    creation_set_abstraction_loader(&load_abstraction);
    collective_set_patcher_opener([](const char *name, short id) { return fileload(name, id); });
}

}  // namespace kel

using namespace kel;

KEL_API void *fileload(const char *name, short path) { return fileload_type(name, path, 0); }

KEL_API void *fileload_type(const char *name, short path, long type)
{
    return guarded_load({name, path, type, 0, nullptr, true, true});
}

KEL_API void *stringload(const char *name)
{
    if (!name || !*name) return nullptr;
    char found[MAX_FILENAME_CHARS];
    std::strncpy(found, name, sizeof found - 1);
    found[sizeof found - 1] = '\0';
    static const long types[] = {FILETYPE_PATCHER, FILETYPE_TEXT};
    short path = 0;
    long type = 0;
    if (locatefile_extended(found, &path, &type, types, 2) != 0) {
        error("%s: can't find file", name);
        return nullptr;
    }
    void *result = guarded_load({found, path, 0, 0, nullptr, true, true});
    if (result) typedmess(result, gensym("front"), 0, nullptr);
    return result;
}

KEL_API void *intload(const char *name, short path, long, long argc, atom *argv, long flag)
{
    if (argc < 0 || !argv) argc = 0;
    return guarded_load({name, path, 0, argc, argv, false, flag != 0});
}
