// Pictures of patchers. Every box is drawn at its rectangle, by kind, with
// the inlet and outlet marks where the kernel puts the ends of its cords;
// every cord through the points the kernel keeps for it (start, bend points,
// end). Text is measured with a fixed monospace metric, so the picture needs
// no font files and comes out the same everywhere; the browser's monospace
// face draws it.
//
// The output depends only on the model: the same patch gives the same bytes,
// so pictures can be compared and diffed as text.
#include "app/render.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string_view>
#include <system_error>
#include <unordered_map>
#include <vector>

#include "app/svg_writer.h"
#include "kel/atoms.h"
#include "kel/classes.h"
#include "kel/console.h"
#include "kel/symbols.h"
#include "kernel/core/classes.h"
#include "kernel/core/objects.h"
#include "kernel/patcher/patcher.h"
#include "kernel/patcher/patcher_records.h"
#include "kernel/text/atom_text.h"
#include "kernel/wires/outlets.h"
#include "objects/controls.h"
#include "objects/number_box.h"
#include "platform/macroman.h"

namespace kel::app {
namespace {

// Color indexes. Boxes take the light tints (their text stays readable on
// them), cords the strong colours; index 0 is the default look. A cord's
// index has 8 bits: it is taken modulo 16.
constexpr const char *box_colors[16] = {"",        "#f4c7c3", "#fce8b2", "#b7e1cd", "#c6dafc", "#e1bee7",
                                        "#ffccbc", "#d7ccc8", "#cfd8dc", "#b2ebf2", "#f8bbd0", "#dcedc8",
                                        "#fff9c4", "#bbdefb", "#d1c4e9", "#bdbdbd"};
constexpr const char *cord_colors[16] = {"",        "#c62828", "#f9a825", "#2e7d32", "#1565c0", "#6a1b9a",
                                         "#ef6c00", "#5d4037", "#455a64", "#00838f", "#ad1457", "#558b2f",
                                         "#9e9d24", "#0277bd", "#4527a0", "#757575"};

constexpr std::string_view style_sheet = "<style>\n"
                                         ".bg{fill:#ffffff}\n"
                                         "text{font-family:monospace;fill:#111111;white-space:pre}\n"
                                         ".obj,.msg,.ui,.port{fill:#ffffff;stroke:#444444;stroke-width:1}\n"
                                         ".msg{fill:#eeeeee}\n"
                                         ".sub{stroke-width:2}\n"
                                         ".ph{stroke:#b00020;stroke-dasharray:3 2}\n"
                                         ".phm{fill:#b00020}\n"
                                         ".in,.out{fill:#444444}\n"
                                         ".out.t{fill:#1565c0}\n"
                                         ".mark{fill:none;stroke:#444444}\n"
                                         ".dim{fill:none;stroke:#cccccc}\n"
                                         ".knob{fill:#444444}\n"
                                         ".dot{fill:#dddddd}\n"
                                         ".cord{fill:none;stroke:#333333;stroke-width:1}\n"
                                         ".cord.t{stroke-width:2}\n"
                                         ".hid{opacity:0.45}\n"
                                         "</style>\n";

// The monospace metric: a character is 0.6 of the font size wide; a line
// of a 9-point box is 15 pixels high, as the kernel sizes object boxes.
constexpr double char_width_ratio = 0.6;
constexpr int text_inset = 3;
constexpr int comment_lines_max = 200;

int line_height(int font_size) { return (font_size * 5 + 2) / 3; }

std::string color_of_rgb(long r, long g, long b)
{
    auto clamp = [](long v) { return v < 0 ? 0 : v > 255 ? 255 : v; };
    char text[8];
    std::snprintf(text, sizeof text, "#%02lx%02lx%02lx", clamp(r), clamp(g), clamp(b));
    return text;
}

size_t utf8_length(std::string_view s)
{
    size_t n = 0;
    for (char c : s)
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) n++;
    return n;
}

// The byte offset after the first n characters of s.
size_t utf8_prefix(std::string_view s, size_t n)
{
    size_t i = 0;
    while (i < s.size() && n > 0) {
        i++;
        while (i < s.size() && (static_cast<unsigned char>(s[i]) & 0xC0) == 0x80) i++;
        n--;
    }
    return i;
}

struct kind_symbols {
    symbol *newobj, *comment, *message, *keptbox, *patchinlet, *patchoutlet;
    symbol *button, *toggle, *slider, *number, *flonum, *preset, *bpatcher, *vpicture;
};

const kind_symbols &kinds()
{
    static const kind_symbols k{gensym("newobj"),     gensym("comment"),     gensym("message"), gensym("keptbox"),
                                gensym("patchinlet"), gensym("patchoutlet"), gensym("button"),  gensym("toggle"),
                                gensym("slider"),     gensym("number"),      gensym("flonum"),  gensym("preset"),
                                gensym("bpatcher"),   gensym("vpicture")};
    return k;
}

struct rect {
    long left, top, right, bottom;
    long width() const { return right - left; }
    long height() const { return bottom - top; }
};

// The file a bpatcher box names, read from the line it saves ("#P"
// [hidden] "bpatcher" left top width height x y file ...); null when none.
symbol *view_file_name(box *b)
{
    static symbol *const psave = gensym("psave"), *const kind = gensym("bpatcher");
    binbuf *line = binbuf_new();
    if (!line) return nullptr;
    object_method(b, psave, line);
    symbol *file = nullptr;
    long index = 0, offset = 0, after_kind = -1;
    atom a;
    while (binbuf_getatom(line, &index, &offset, &a) == 0 && a.type != ATYPE_SEMI) {
        if (after_kind < 0) {
            if (a.type == ATYPE_SYM && a.word.w_sym == kind) after_kind = 0;
        } else if (++after_kind == 7) {
            if (a.type == ATYPE_SYM) file = a.word.w_sym;
            break;
        }
    }
    freeobject(line);
    return file;
}

// The atoms of the line a box saves after its kind ("#P" [hidden] KIND
// atoms...;), as a new atombuf; null when there are none.
atombuf *saved_layout(box *b, symbol *kind)
{
    static symbol *const psave = gensym("psave");
    binbuf *line = binbuf_new();
    if (!line) return nullptr;
    object_method(b, psave, line);
    std::vector<atom> atoms;
    long index = 0, offset = 0;
    bool after_kind = false;
    atom a;
    while (binbuf_getatom(line, &index, &offset, &a) == 0 && a.type != ATYPE_SEMI) {
        if (after_kind)
            atoms.push_back(a);
        else
            after_kind = a.type == ATYPE_SYM && a.word.w_sym == kind;
    }
    freeobject(line);
    return atoms.empty() ? nullptr : atombuf_new(static_cast<long>(atoms.size()), atoms.data());
}

// What a live control box shows: a toggle's or slider's value and a
// slider's range, a number box's value. Absent for boxes only kept by
// their line, which show what a freshly loaded box would.
struct shown_value {
    double value = 0;
    long range = 0;
};

class renderer {
public:
    renderer(patcher *p, const render_settings &settings, std::string &out)
        : p_(p), settings_(settings), out_(out), w_(out)
    {
    }

    void draw();

private:
    bool shown(const box *b) const { return settings_.hidden || !(b->flags & BOX_FLAG_HIDDEN); }
    void measure(long *x0, long *y0, long *x1, long *y1);
    void draw_box(box *b);
    void draw_cord(patchcord *c);
    void draw_text_lines(const rect &r, int font_size, std::string_view utf8, bool clip, long max_lines);
    void draw_marks(box *b, const rect &r);
    void draw_kept(kept_box *kb, const rect &r, const char *fill);
    void draw_layout(symbol *kind, const atombuf *layout, const rect &r, const char *fill, const shown_value *shown);
    void draw_label(const rect &r, std::string_view utf8);
    void draw_placeholder_mark(const rect &r);
    void begin_rect(const char *cls, const rect &r, const char *fill);
    void box_text_utf8(atombuf *text, bool line_breaks);
    void wrap(std::string_view utf8, size_t max_chars, size_t max_lines);
    // Appends a path command with one point ("M12 30") to numbers_.
    void path_to(char command, long x, long y)
    {
        numbers_ += command;
        append_number(numbers_, x);
        numbers_ += ' ';
        append_number(numbers_, y);
    }

    patcher *p_;
    const render_settings &settings_;
    std::string &out_;
    svg_writer w_;
    std::vector<box *> boxes_;
    std::vector<patchcord *> cords_;
    std::string macroman_, utf8_, numbers_;
    std::vector<std::string_view> lines_;
};

void renderer::measure(long *x0, long *y0, long *x1, long *y1)
{
    const patcher_window &win = p_->window;
    long width = win.right - win.left, height = win.bottom - win.top;
    if (width <= 0) width = 400;
    if (height <= 0) height = 300;
    long min_x = 0, min_y = 0, max_x = width, max_y = height;
    auto take = [&](long x, long y) {
        min_x = std::min(min_x, x - 10);
        min_y = std::min(min_y, y - 10);
        max_x = std::max(max_x, x + 10);
        max_y = std::max(max_y, y + 10);
    };
    for (box *b : boxes_) {
        take(b->rect.left, b->rect.top);
        take(b->rect.right, b->rect.bottom);
    }
    for (patchcord *c : cords_)
        for (int i = 0; i <= c->npoints && i < cord_points_max; i++) take(c->x[i], c->y[i]);
    *x0 = min_x;
    *y0 = min_y;
    *x1 = max_x;
    *y1 = max_y;
}

void renderer::draw()
{
    for (box *b = p_->boxes; b; b = b->next)
        if (shown(b)) boxes_.push_back(b);
    std::reverse(boxes_.begin(), boxes_.end());  // oldest first: the newest box is drawn on top
    for (patchcord *c = p_->cords; c; c = c->next) {
        if (c->hidden && !settings_.hidden) continue;
        if (!shown(c->src) || !shown(c->dst)) continue;
        cords_.push_back(c);
    }
    std::reverse(cords_.begin(), cords_.end());

    long x0, y0, x1, y1;
    measure(&x0, &y0, &x1, &y1);
    out_ += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    numbers_.clear();
    append_number(numbers_, x0);
    numbers_ += ' ';
    append_number(numbers_, y0);
    numbers_ += ' ';
    append_number(numbers_, x1 - x0);
    numbers_ += ' ';
    append_number(numbers_, y1 - y0);
    w_.begin("svg")
        .attr_raw("xmlns", "http://www.w3.org/2000/svg")
        .attr_raw("xmlns:xlink", "http://www.w3.org/1999/xlink")
        .attr("width", x1 - x0)
        .attr("height", y1 - y0)
        .attr_raw("viewBox", numbers_)
        .attr_raw("font-size", "9");
    w_.raw("\n");
    w_.begin("title").text(settings_.title).end("title");
    w_.raw(style_sheet);
    w_.begin("rect").attr_raw("class", "bg").attr("x", x0).attr("y", y0).attr("width", x1 - x0).attr("height", y1 - y0);
    w_.empty();
    for (box *b : boxes_) draw_box(b);
    for (patchcord *c : cords_) draw_cord(c);
    w_.end("svg");
}

// The box's text atoms as the box shows them, in UTF-8 (into utf8_). A
// semicolon ends a line only with line_breaks (comments); in the one-line
// boxes it is followed by a blank, so that the message after it shows.
void renderer::box_text_utf8(atombuf *text, bool line_breaks)
{
    macroman_.clear();
    utf8_.clear();
    if (!text) return;
    char printed[atom_text_max];
    short previous = ATYPE_NOTHING;
    for (long i = 0; i < text->argc; i++) {
        const atom &a = text->argv[i];
        if (atomtext_blank_between(previous, a.type)) macroman_ += ' ';
        long n = atomtext_print(&a, printed);
        if (a.type == ATYPE_SEMI && !line_breaks)
            macroman_ += "; ";
        else
            macroman_.append(printed, static_cast<size_t>(n > 0 ? n : 0));
        previous = a.type;
    }
    toolbox::console_text_to_utf8(macroman_, utf8_);
}

// Breaks utf8 into lines of at most max_chars characters (into lines_): at
// line ends, else at the last blank that fits, else anywhere. Stops after
// max_lines lines, so that a long text costs no more than what is shown.
void renderer::wrap(std::string_view utf8, size_t max_chars, size_t max_lines)
{
    lines_.clear();
    if (max_chars < 1) max_chars = 1;
    while (!utf8.empty() && lines_.size() < max_lines) {
        size_t end = utf8.find('\n');
        std::string_view para = utf8.substr(0, end);
        utf8 = end == std::string_view::npos ? std::string_view() : utf8.substr(end + 1);
        if (!para.empty() && para.back() == '\r') para.remove_suffix(1);
        do {
            const size_t cut = utf8_prefix(para, max_chars);
            if (cut >= para.size()) {
                lines_.push_back(para);
                break;
            }
            const size_t blank = para.substr(0, cut + 1).rfind(' ');
            if (blank != std::string_view::npos && blank > 0) {
                lines_.push_back(para.substr(0, blank));
                para.remove_prefix(blank + 1);
            } else {
                lines_.push_back(para.substr(0, cut));
                para.remove_prefix(cut);
            }
        } while (!para.empty() && lines_.size() < max_lines);
    }
}

void renderer::draw_text_lines(const rect &r, int font_size, std::string_view utf8, bool clip, long max_lines)
{
    // A font word may give any size: none means the default, and the
    // metric stays within sizes that can be read.
    font_size = font_size <= 0 ? 9 : std::clamp(font_size, 4, 128);
    const double char_width = font_size * char_width_ratio;
    const long inner = r.width() - 2 * text_inset;
    const auto max_chars = static_cast<size_t>(inner > 0 ? inner / char_width : 1);
    const int step = line_height(font_size);
    // A one-line box lower than a line of its font centres its text.
    const long first = std::max<long>(font_size, std::min<long>(step, r.height()));
    if (clip) max_lines = std::max(1L, r.height() / step);
    // One line more than is shown tells whether there is more.
    wrap(utf8, max_chars, static_cast<size_t>(max_lines) + 1);
    long count = static_cast<long>(lines_.size());
    const bool cut = count > max_lines;
    if (cut) count = max_lines;
    for (long i = 0; i < count; i++) {
        std::string_view line = lines_[static_cast<size_t>(i)];
        w_.begin("text").attr("x", r.left + text_inset).attr("y", r.top + i * step + (first + font_size) / 2 - 1);
        if (font_size != 9) w_.attr("font-size", static_cast<long>(font_size));
        if (cut && i == count - 1) {
            // The last line shown says that more follows.
            if (utf8_length(line) >= max_chars && max_chars > 1)
                line = line.substr(0, utf8_prefix(line, max_chars - 1));
            w_.text(line).text("\xE2\x80\xA6").end("text");
        } else {
            w_.text(line).end("text");
        }
    }
}

void renderer::begin_rect(const char *cls, const rect &r, const char *fill)
{
    w_.begin("rect")
        .attr_raw("class", cls)
        .attr("x", r.left)
        .attr("y", r.top)
        .attr("width", std::max(0L, r.width()))
        .attr("height", std::max(0L, r.height()));
    if (fill && *fill) w_.attr_raw("fill", fill);
}

// A placeholder (its class, or its file, was not found) is marked in its
// top right corner.
void renderer::draw_placeholder_mark(const rect &r)
{
    numbers_.clear();
    path_to('M', r.right - 6, r.top);
    numbers_ += 'H';
    append_number(numbers_, r.right);
    numbers_ += 'V';
    append_number(numbers_, r.top + 6);
    numbers_ += 'Z';
    w_.begin("path").attr_raw("class", "phm").attr_raw("d", numbers_);
    w_.empty();
}

void renderer::draw_label(const rect &r, std::string_view utf8) { draw_text_lines(r, 9, utf8, true, 1); }

// Inlet marks on the top edge and outlet marks on the bottom edge, centred
// where the kernel puts the ends of the cords at them; an outlet of one
// message type (int, float, bang, ...) is marked apart from one of any.
void renderer::draw_marks(box *b, const rect &r)
{
    object *x = b->obj;
    if (!object_valid(x)) return;
    const long inlets = object_inlet_count(x);
    for (long n = 0; n < inlets; n++) {
        short ex, ey;
        cord_end_point(b, n, &ex, &ey);
        w_.begin("rect")
            .attr_raw("class", "in")
            .attr("x", static_cast<long>(ex) - 3)
            .attr("y", r.top)
            .attr_raw("width", "6")
            .attr_raw("height", "2");
        w_.empty();
    }
    const long outlets = object_outlet_count(x);
    const long spacing = outlets >= 2 ? (r.width() - 10) / (outlets - 1) : 0;
    long n = 0;
    for (outlet *o = x->outlets; o && n < outlets; o = o->next, n++) {
        w_.begin("rect")
            .attr_raw("class", o->type ? "out t" : "out")
            .attr("x", r.left + n * spacing + 5 - 3)
            .attr("y", r.bottom - 2)
            .attr_raw("width", "6")
            .attr_raw("height", "2");
        w_.empty();
    }
}

long layout_long(const atombuf *layout, long i, long fallback)
{
    if (!layout || i >= layout->argc) return fallback;
    const atom &a = layout->argv[i];
    return a.type == ATYPE_LONG || a.type == ATYPE_FLOAT ? atom_getlong(&a) : fallback;
}

void renderer::draw_kept(kept_box *kb, const rect &r, const char *fill)
{
    if (kb->user) {
        // An external user-interface class that is not here.
        begin_rect("ui ph", r, fill);
        w_.empty();
        draw_label(r, kb->kind && kb->kind->name ? kb->kind->name : "");
        draw_placeholder_mark(r);
        return;
    }
    draw_layout(kb->kind, kb->layout, r, fill, nullptr);
}

// A box by its kind and its line's atoms; shown: the live box's value.
void renderer::draw_layout(symbol *kind, const atombuf *layout, const rect &r, const char *fill,
                           const shown_value *shown)
{
    const kind_symbols &k = kinds();
    const long cx = (r.left + r.right) / 2, cy = (r.top + r.bottom) / 2;
    // A number box may carry its own background colour: left top width size
    // min max flags font, then the text's colour and the background's (red,
    // green, blue from 0 to 255 each).
    const bool numeric = kind == k.number || kind == k.flonum;
    const bool own_colors = numeric && layout && layout->argc >= 14;
    std::string background;
    if (own_colors)
        background =
            color_of_rgb(layout_long(layout, 11, 255), layout_long(layout, 12, 255), layout_long(layout, 13, 255));
    begin_rect(kind == k.bpatcher ? "ui sub" : "ui", r,
               kind == k.button ? nullptr
               : own_colors     ? background.c_str()
                                : fill);
    w_.empty();
    if (kind == k.button) {
        w_.begin("circle")
            .attr_raw("class", "mark")
            .attr("cx", cx)
            .attr("cy", cy)
            .attr("r", std::max(1L, std::min(r.width(), r.height()) / 2 - 2));
        if (fill && *fill) w_.attr_raw("fill", fill);
        w_.empty();
    } else if (kind == k.toggle) {
        // An X, drawn faintly while the toggle is off (as when its patch is
        // loaded).
        w_.begin("path").attr_raw("class", shown && shown->value != 0 ? "mark" : "dim");
        numbers_.clear();
        path_to('M', r.left + 3, r.top + 3);
        path_to('L', r.right - 3, r.bottom - 3);
        path_to('M', r.right - 3, r.top + 3);
        path_to('L', r.left + 3, r.bottom - 3);
        w_.attr_raw("d", numbers_);
        w_.empty();
    } else if (kind == k.slider) {
        // The knob at the value's height in the range (0, at the bottom,
        // when the patch is loaded).
        long knob = r.bottom - 5;
        if (shown && shown->range > 1) {
            const double at = std::clamp(shown->value / static_cast<double>(shown->range - 1), 0.0, 1.0);
            knob -= static_cast<long>(at * static_cast<double>(std::max(0L, r.height() - 8)));
        }
        w_.begin("line")
            .attr_raw("class", "mark")
            .attr("x1", cx)
            .attr("y1", r.top + 3)
            .attr("x2", cx)
            .attr("y2", r.bottom - 3);
        w_.empty();
        w_.begin("rect")
            .attr_raw("class", "knob")
            .attr("x", r.left + 2)
            .attr("y", knob)
            .attr("width", std::max(0L, r.width() - 4))
            .attr_raw("height", "3");
        w_.empty();
    } else if (kind == k.number || kind == k.flonum) {
        // The value a loaded box shows is its minimum when that is set and
        // positive, else 0.
        const long flags = layout_long(layout, 6, 0);
        long size = layout_long(layout, 3, 9);
        if (size <= 7 || size > 96) size = 9;
        std::string value;
        double minimum = 0;
        if ((flags & 1) && layout && layout->argc > 4) minimum = atom_getfloat(&layout->argv[4]);
        if (minimum < 0) minimum = 0;
        if (shown) minimum = shown->value;
        char printed[64];
        if (kind == k.flonum) {
            atomtext_float(static_cast<float>(minimum), printed);
        } else {
            std::snprintf(printed, sizeof printed, "%ld", static_cast<long>(minimum));
        }
        value = printed;
        numbers_.clear();
        path_to('M', r.left + 1, r.top + 2);
        path_to('L', r.left + 6, cy);
        path_to('L', r.left + 1, r.bottom - 2);
        numbers_ += 'Z';
        w_.begin("path").attr_raw("class", "knob").attr_raw("d", numbers_);
        w_.empty();
        rect inner{r.left + 6, r.top, r.right, r.bottom};
        if (own_colors) {
            w_.begin("text")
                .attr("x", inner.left + text_inset)
                .attr("y", r.top + (line_height(static_cast<int>(size)) + size) / 2 - 1)
                .attr_raw("style", "fill:" + color_of_rgb(layout_long(layout, 8, 0), layout_long(layout, 9, 0),
                                                          layout_long(layout, 10, 0)));
            if (size != 9) w_.attr("font-size", size);
            w_.text(value).end("text");
        } else {
            draw_text_lines(inner, static_cast<int>(size), value, true, 1);
        }
    } else if (kind == k.preset) {
        // The slots, empty when nothing was stored in the file.
        for (long y = r.top + 4; y + 4 <= r.bottom; y += 9)
            for (long x = r.left + 4; x + 4 <= r.right; x += 9) {
                w_.begin("circle").attr_raw("class", "dot").attr("cx", x + 2).attr("cy", y + 2).attr_raw("r", "2");
                w_.empty();
            }
    } else if (kind == k.bpatcher) {
        // It shows the patcher file named by its seventh atom.
        utf8_.clear();
        if (layout && layout->argc > 6 && layout->argv[6].type == ATYPE_SYM)
            toolbox::console_text_to_utf8(layout->argv[6].word.w_sym->name, utf8_);
        draw_label(r, utf8_);
    } else {
        // A picture, or a kind kept by its layout that has no look of its own.
        if (kind == k.vpicture) {
            numbers_.clear();
            path_to('M', r.left, r.top);
            path_to('L', r.right, r.bottom);
            w_.begin("path").attr_raw("class", "dim").attr_raw("d", numbers_);
            w_.empty();
        } else {
            draw_label(r, kind && kind->name ? kind->name : "");
        }
    }
}

void renderer::draw_box(box *b)
{
    const kind_symbols &k = kinds();
    const rect r{b->rect.left, b->rect.top, b->rect.right, b->rect.bottom};
    const unsigned color = (b->flags & BOX_COLOR_MASK) >> BOX_COLOR_SHIFT;
    const char *fill = box_colors[color & 0xF];
    symbol *name = patcher_box_naming().get ? patcher_box_naming().get(p_, b) : nullptr;
    symbol *cls = object_classname(b);
    const bool sub = b->obj && object_valid(b->obj) && is_patcher(b->obj);
    std::string link;
    if (sub && settings_.link) link = settings_.link(reinterpret_cast<patcher *>(b->obj));

    if (!link.empty()) {
        std::string href;
        url_path_escape(link, href);
        w_.begin("a").attr("xlink:href", href);
    }
    w_.begin("g");
    if (b->flags & BOX_FLAG_HIDDEN) w_.attr_raw("class", "hid");
    if (name && name->name && *name->name) {
        utf8_.clear();
        toolbox::console_text_to_utf8(name->name, utf8_);
        w_.begin("title").text(utf8_).end("title");
    }
    if (cls == k.newobj) {
        auto *nb = reinterpret_cast<newobj_box *>(b);
        const bool placeholder = (b->flags & BOX_FLAG_PLACEHOLDER) != 0;
        begin_rect(placeholder ? "obj ph" : sub ? "obj sub" : "obj", r, fill);
        w_.empty();
        box_text_utf8(nb->text, false);
        draw_text_lines(r, font_word_decode(nb->font).size, utf8_, true, 1);
        if (placeholder) draw_placeholder_mark(r);
    } else if (cls == k.comment) {
        auto *cb = reinterpret_cast<comment_box *>(b);
        box_text_utf8(cb->text, true);
        const char *ink = cord_colors[color & 0xF];
        if (*ink) {
            w_.begin("g").attr_raw("style", std::string("fill:") + ink);
        }
        draw_text_lines(r, font_word_decode(cb->font).size, utf8_, false, comment_lines_max);
        if (*ink) w_.end("g");
    } else if (cls == k.message) {
        begin_rect("msg", r, fill);
        w_.attr_raw("rx", "4");
        w_.empty();
        box_text_utf8(box_text(b), false);
        draw_text_lines(r, 9, utf8_, true, 1);
    } else if (cls == k.patchinlet || cls == k.patchoutlet) {
        begin_rect("port", r, fill);
        w_.empty();
        // An arrow pointing into the patcher (inlet) or out of it (outlet).
        const long cx = (r.left + r.right) / 2, inset = std::max(2L, r.height() / 4);
        const bool in = cls == k.patchinlet;
        numbers_.clear();
        path_to('M', r.left + inset, in ? r.top + inset : r.bottom - inset);
        path_to('L', r.right - inset, in ? r.top + inset : r.bottom - inset);
        path_to('L', cx, in ? r.bottom - inset : r.top + inset);
        numbers_ += 'Z';
        w_.begin("path").attr_raw("class", "knob").attr_raw("d", numbers_);
        w_.empty();
    } else if (cls == k.keptbox) {
        draw_kept(reinterpret_cast<kept_box *>(b), r, fill);
    } else if (cls == k.button || cls == k.toggle || cls == k.slider || cls == k.number || cls == k.flonum ||
               cls == k.preset) {
        // A control box: drawn from the line it saves, with its value.
        atombuf *layout = saved_layout(b, cls);
        shown_value shown;
        shown.value = cls == k.number || cls == k.flonum ? number_box_value(b) : static_cast<double>(control_value(b));
        shown.range = control_range(b);
        draw_layout(cls, layout, r, fill, &shown);
        if (layout) atombuf_free(layout);
    } else if (cls == k.bpatcher) {
        // A view of a patcher file: the file's name, or, when the file was
        // not found, a placeholder.
        const bool placeholder = (b->flags & BOX_FLAG_PLACEHOLDER) != 0;
        begin_rect(placeholder ? "ui ph" : "ui sub", r, fill);
        w_.empty();
        utf8_.clear();
        symbol *file = sub ? reinterpret_cast<patcher *>(b->obj)->filename : view_file_name(b);
        toolbox::console_text_to_utf8(file && file->name ? file->name : cls->name, utf8_);
        draw_label(r, utf8_);
        if (placeholder) draw_placeholder_mark(r);
    } else {
        // A box of a user-interface class: its rectangle and class name.
        begin_rect("ui", r, fill);
        w_.empty();
        utf8_.clear();
        toolbox::console_text_to_utf8(cls && cls->name ? cls->name : "", utf8_);
        draw_label(r, utf8_);
    }
    draw_marks(b, r);
    w_.end("g");
    if (!link.empty()) w_.end("a");
}

void renderer::draw_cord(patchcord *c)
{
    outlet *o = nullptr;
    object *x = c->src->obj;
    if (object_valid(x) && !object_class(x)->tiny) {
        o = x->outlets;
        for (long n = 0; o && n < c->outlet; n++) o = o->next;
    }
    const char *cls = o && o->type ? (c->hidden ? "cord t hid" : "cord t") : (c->hidden ? "cord hid" : "cord");
    numbers_.clear();
    const int last = std::min<int>(c->npoints, cord_points_max - 1);
    for (int i = 0; i <= last; i++) {
        if (i) numbers_ += ' ';
        append_number(numbers_, static_cast<long>(c->x[i]));
        numbers_ += ',';
        append_number(numbers_, static_cast<long>(c->y[i]));
    }
    w_.begin("polyline").attr_raw("class", cls).attr_raw("points", numbers_);
    const char *ink = cord_colors[c->color & 0xF];
    if (*ink) w_.attr_raw("stroke", ink);
    w_.empty();
}

// --- files ---

// Writes text to name whole, through a new file beside it renamed over it.
bool write_file(const std::filesystem::path &name, const std::string &text)
{
    std::error_code ec;
    std::filesystem::path temporary = name;
    temporary += ".part";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        if (!out) return false;
        out.write(text.data(), static_cast<std::streamsize>(text.size()));
        out.flush();
        if (!out) {
            out.close();
            std::filesystem::remove(temporary, ec);
            return false;
        }
    }
    std::filesystem::rename(temporary, name, ec);
    if (ec) {
        std::filesystem::remove(temporary, ec);
        return false;
    }
    return true;
}

// The subpatchers of p (boxes oldest first), depth first, each after its
// patcher.
void collect_subpatchers(patcher *p, std::vector<patcher *> &out)
{
    std::vector<box *> boxes;
    for (box *b = p->boxes; b; b = b->next) boxes.push_back(b);
    for (auto it = boxes.rbegin(); it != boxes.rend(); ++it) {
        object *x = (*it)->obj;
        if (!x || !object_valid(x) || !is_patcher(x) || x == &p->header) continue;
        auto *sub = reinterpret_cast<patcher *>(x);
        out.push_back(sub);
        collect_subpatchers(sub, out);
    }
}

std::string document_title(const run_options &options)
{
    const std::filesystem::path file(options.file);
    std::string title = file.filename().string();
    std::error_code ec;
    const auto size = std::filesystem::file_size(file, ec);
    if (!ec) title += " (" + std::to_string(size) + " bytes)";
    return title;
}

}  // namespace

void render_patcher(patcher *p, const render_settings &settings, std::string &out)
{
    renderer r(p, settings, out);
    r.draw();
}

bool render_document(patcher *p, const run_options &options)
{
    namespace fs = std::filesystem;
    const std::string title = document_title(options);
    const std::string stem = fs::path(options.file).stem().string();

    std::vector<patcher *> subs;
    std::unordered_map<patcher *, std::string> files;  // each subpatcher's file, in the folder
    fs::path folder;
    if (!options.render_dir.empty()) {
        folder = fs::path(options.render_dir);
        std::error_code ec;
        fs::create_directory(folder, ec);
        if (!fs::is_directory(folder, ec)) {
            error("%s: could not be written: not a folder", options.render_dir.c_str());
            return false;
        }
        collect_subpatchers(p, subs);
        for (size_t i = 0; i < subs.size(); i++) files[subs[i]] = stem + "-" + std::to_string(i + 1) + ".svg";
    }
    // Links from the top-level picture lead into the folder; links between
    // pictures in the folder stay in it.
    std::string top_prefix;
    if (!options.render.empty() && !folder.empty()) {
        std::error_code ec;
        const fs::path out_folder = fs::absolute(fs::path(options.render), ec).parent_path();
        fs::path relative = fs::absolute(folder, ec).lexically_relative(out_folder);
        if (relative.empty()) relative = fs::absolute(folder, ec);
        top_prefix = relative.generic_string();
        if (!top_prefix.empty() && top_prefix.back() != '/') top_prefix += '/';
        if (top_prefix == "./") top_prefix.clear();
    }
    auto link_with = [&](const std::string &prefix) {
        return [&files, prefix](patcher *sub) {
            auto it = files.find(sub);
            return it == files.end() ? std::string() : prefix + it->second;
        };
    };

    bool ok = true;
    std::string text;
    auto render_to = [&](patcher *which, const std::string &picture_title, const std::string &prefix,
                         const fs::path &name, const std::string &shown_name) {
        render_settings settings;
        settings.hidden = options.render_hidden;
        settings.title = picture_title;
        if (!folder.empty()) settings.link = link_with(prefix);
        // A picture never replaces the patch it is drawn from.
        std::error_code same_ec;
        if (fs::equivalent(name, fs::path(options.file), same_ec)) {
            error("%s: could not be written: it is the patch being drawn", shown_name.c_str());
            ok = false;
            return;
        }
        text.clear();
        render_patcher(which, settings, text);
        if (!write_file(name, text)) {
            error("%s: could not be written", shown_name.c_str());
            ok = false;
        }
    };
    if (!options.render.empty()) render_to(p, title, top_prefix, fs::path(options.render), options.render);
    if (!folder.empty()) {
        if (options.render.empty()) {
            const fs::path name = folder / (stem + ".svg");
            render_to(p, title, "", name, name.string());
        }
        for (patcher *sub : subs) {
            std::string sub_title = title;
            const char *t = patcher_title(sub);
            if (t && *t) {
                std::string utf8;
                toolbox::console_text_to_utf8(t, utf8);
                sub_title += ": " + utf8;
            }
            const fs::path name = folder / files[sub];
            render_to(sub, sub_title, "", name, name.string());
        }
    }
    return ok;
}

}  // namespace kel::app
