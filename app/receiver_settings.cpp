// The kel receiver's settings: the numeric settings with their set and get
// commands and the range each set command accepts, the time and loop
// commands, the box colour table, the console rectangle, the context code,
// remembered dialog folders and the setoption keywords.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <utility>

#include "app/receiver_internal.h"
#include "app/settings.h"
#include "kernel/core/atoms.h"
#include "kernel/files/path.h"
#include "kernel/time/scheduler.h"

namespace kel::app {
namespace {

enum class value_kind { integer, real };

// A setting with a number for value. The set command takes an int or a
// float (set_kind) and changes the setting only when the value lies in the
// accepted range; out-of-range values are ignored without a word. The get
// command answers through the receiver's int or float method (get_kind).
struct numeric_setting {
    const char *set_name;  // null: there is only a get command
    const char *get_name;  // null: there is only a set command
    value_kind set_kind;
    value_kind get_kind;
    double low;     // the lowest value accepted ...
    bool low_open;  // ... or, when set, the bound itself is refused
    double high;
    double (*read)();
    void (*write)(double);
};

constexpr double unbounded = HUGE_VAL;
constexpr auto I = value_kind::integer;
constexpr auto R = value_kind::real;

app_settings &s() { return settings(); }
bool truth(double v) { return v != 0; }

// The range checks of every set command are in this one table.
constexpr numeric_setting numeric_settings[] = {
    // time and the main loop
    {"setsleep", "getsleep", I, I, 0, false, unbounded, [] { return double(sched_config().sleep.load()); },
     [](double v) { sched_config().sleep.store(int(v)); }},
    // The loop waits for the next event interval when it wakes; waking it
    // now starts the new period at once.
    {"seteventinterval", "geteventinterval", I, I, 0, true, unbounded,
     [] { return double(sched_config().event_interval.load()); },
     [](double v) {
         sched_config().event_interval.store(int(v));
         main_loop_wake();
     }},
    {"setslop", "getslop", R, R, 1, false, unbounded, [] { return sched_config().slop.load(); },
     [](double v) { sched_config().slop.store(v); }},
    {"setpollthrottle", "getpollthrottle", I, I, 0, true, unbounded,
     [] { return double(sched_config().poll_throttle.load()); },
     [](double v) { sched_config().poll_throttle.store(int(v)); }},
    {"setqueuethrottle", "getqueuethrottle", I, I, 0, true, unbounded,
     [] { return double(sched_config().queue_throttle.load()); },
     [](double v) { sched_config().queue_throttle.store(int(v)); }},
    // The scheduler timer never runs faster than 1 ms.
    {"interval", "sendinterval", R, R, 1, false, 20, [] { return sched_config().scheduler_interval.load(); },
     [](double v) { sched_config().scheduler_interval.store(v); }},
    {nullptr, "checkpreempt", I, I, 0, false, 0, [] { return double(sched_state().overdrive_requested.load()); },
     nullptr},
    // patcher windows
    {"setdefaultpatcherwidth", "getdefaultpatcherwidth", I, I, 100, true, unbounded,
     [] { return double(s().default_patcher_width); }, [](double v) { s().default_patcher_width = int(v); }},
    {"setdefaultpatcherheight", "getdefaultpatcherheight", I, I, 100, true, unbounded,
     [] { return double(s().default_patcher_height); }, [](double v) { s().default_patcher_height = int(v); }},
    // Kept as an interval; a rate of 0 Hz (or below) has none.
    {"refreshrate", "getrefreshrate", R, R, 0, true, unbounded, [] { return 1000.0 / s().refresh_interval; },
     [](double v) { s().refresh_interval = 1000.0 / v; }},
    {"enablerefresh", "getenablerefresh", I, I, -unbounded, false, unbounded, [] { return double(s().enable_refresh); },
     [](double v) { s().enable_refresh = truth(v); }},
    {"fixwidthratio", "getfixwidthratio", R, R, -unbounded, false, unbounded, [] { return s().fix_width_ratio; },
     [](double v) { s().fix_width_ratio = v; }},
    {"setfloatkelwindow", "getfloatkelwindow", I, I, -unbounded, false, unbounded,
     [] { return double(s().float_console); }, [](double v) { s().float_console = truth(v); }},
    // flags
    {"setmirrortoconsole", "getmirrortoconsole", I, I, -unbounded, false, unbounded,
     [] { return double(s().mirror_to_console); }, [](double v) { s().mirror_to_console = truth(v); }},
    {"autoboxedit", "getautoboxedit", I, I, -unbounded, false, unbounded, [] { return double(s().auto_box_edit); },
     [](double v) { s().auto_box_edit = truth(v); }},
    {"selecttextonclick", "getselecttextonclick", I, I, -unbounded, false, unbounded,
     [] { return double(s().select_text_on_click); }, [](double v) { s().select_text_on_click = truth(v); }},
    {"setdlgtofilepath", "getsetdlgtofilepath", I, I, -unbounded, false, unbounded,
     [] { return double(s().dialog_to_file_path); }, [](double v) { s().dialog_to_file_path = truth(v); }},
    {"macsmartquotes", nullptr, I, I, -unbounded, false, unbounded, [] { return double(s().macsmartquotes); },
     [](double v) { s().macsmartquotes = truth(v); }},
    {"notypeinfo", nullptr, I, I, -unbounded, false, unbounded, [] { return double(s().notypeinfo); },
     [](double v) { s().notypeinfo = truth(v); }},
    {"bpatcher", nullptr, I, I, -unbounded, false, unbounded, [] { return double(s().bpatcher_option); },
     [](double v) { s().bpatcher_option = int(v) & 0xff; }},
    {"modifiers", nullptr, I, I, -unbounded, false, unbounded, [] { return double(s().modifiers); },
     [](double v) { s().modifiers = int(v); }},
    {"disablewindowanimation", nullptr, I, I, -unbounded, false, unbounded,
     [] { return double(s().disable_window_animation); }, [](double v) { s().disable_window_animation = int(v); }},
    // answers only
    {nullptr, "getruntime", I, I, 0, false, 0, [] { return 1.0; }, nullptr},
    {nullptr, "getenablepathcache", I, I, 0, false, 0, [] { return double(path_cache_enabled()); }, nullptr},
};

void numeric_set(const numeric_setting &n, double v)
{
    const bool above_low = n.low_open ? v > n.low : v >= n.low;
    if (above_low && v <= n.high) n.write(v);
}

template <size_t K> void set_integer(receiver *, long v) { numeric_set(numeric_settings[K], double(v)); }

template <size_t K> void set_real(receiver *, double v) { numeric_set(numeric_settings[K], v); }

template <size_t K> void get_value(receiver *, symbol *to)
{
    const numeric_setting &n = numeric_settings[K];
    if (n.get_kind == value_kind::real)
        reply_float(to, n.read());
    else
        reply_int(to, long(n.read()));
}

template <size_t K> void add_numeric(kel_class *c)
{
    const numeric_setting &n = numeric_settings[K];
    if (n.set_name) {
        if (n.set_kind == value_kind::real)
            class_addmethod(c, as_receiver_method(&set_real<K>), n.set_name, ATYPE_FLOAT, 0);
        else
            class_addmethod(c, as_receiver_method(&set_integer<K>), n.set_name, ATYPE_LONG, 0);
    }
    if (n.get_name) class_addmethod(c, as_receiver_method(&get_value<K>), n.get_name, ATYPE_SYM, 0);
}

template <size_t... K> void add_numerics(kel_class *c, std::index_sequence<K...>) { (add_numeric<K>(c), ...); }

// --- time ---

void receiver_set(receiver *, double ms) { timer_time_set(ms); }

void do_preempt(receiver *, symbol *, long argc, atom *argv)
{
    const bool on = argc > 0 && argv[0].word.w_long != 0;
    if (sched_state().overdrive_requested.load() != on) sched_set_overdrive(on);
}

// Overdrive changes how the main loop runs: it is switched on the main
// thread at the next queue service.
void receiver_preempt(receiver *x, long on)
{
    atom a;
    a.type = ATYPE_LONG;
    a.word.w_long = on;
    defer_low(x, as_receiver_method(&do_preempt), nullptr, 1, &a);
}

// --- box colours ---

int channel(long v) { return int(std::clamp(v, 0L, 255L)); }

void receiver_boxcolor(receiver *, long index, long red, long green, long blue, long)
{
    // Entry 0 is the default colour and stays as it is. Headless, nothing
    // is redrawn whatever the fifth value says.
    if (index < 1 || index >= box_color_count) return;
    s().box_colors[size_t(index)] = {channel(red), channel(green), channel(blue)};
}

void receiver_getboxcolor(receiver *, long index, symbol *to)
{
    if (index < 0 || index >= box_color_count) return;
    const rgb &c = s().box_colors[size_t(index)];
    atom list[3];
    const int values[3] = {c.red, c.green, c.blue};
    for (int i = 0; i < 3; i++) {
        list[i].type = ATYPE_LONG;
        list[i].word.w_long = values[i];
    }
    reply_message(to, sym_list, 3, list);
}

// --- the console window and the context code ---

void receiver_setkelwindowsize(receiver *, long top, long left, long bottom, long right)
{
    window_rect &r = s().console_rect;
    r.top = int(top);
    r.left = int(left);
    r.bottom = int(std::max(bottom, top + 15));
    r.right = int(std::max(right, left + 115));
}

void receiver_setcontext(receiver *, long n) { utils_setcontext(nullptr, n); }
void receiver_usecontext(receiver *, long on) { utils_usecontext(short(on != 0)); }

// setdialogpath folder key: the key is four characters, cut at the first
// blank, as the remembered-folders file writes it.
void receiver_setdialogpath(receiver *, symbol *folder, symbol *key)
{
    std::string k(key->name, strnlen(key->name, 4));
    if (size_t blank = k.find(' '); blank != std::string::npos) k.resize(blank);
    std::string &remembered = s().dialog_folders[k];
    if (remembered == folder->name) return;
    remembered = folder->name;
    s().dialog_folders_changed = true;
}

// --- setoption ---

// Every option value is read as an integer: an int as it is, a float
// truncated toward zero, anything else 0.
long option_value(const atom &a)
{
    if (a.type == ATYPE_LONG) return a.word.w_long;
    if (a.type == ATYPE_FLOAT) return float_to_long(a.word.w_float);  // saturating: a huge float is no fault
    return 0;
}

constexpr int max_option_values = 3;

struct option_keyword {
    const char *keyword;
    void (*apply)(const char *keyword, int count, const long *values);
};

void option_flag(const char *keyword, int, const long *values) { s().options[keyword] = int(values[0]); }

// Add new keywords here; a keyword not in the table is ignored.
constexpr option_keyword option_keywords[] = {
    {"overdrive", [](const char *, int, const long *v) { sched_set_overdrive(v[0] != 0); }},
    {"noloadbangdisable", [](const char *, int, const long *v) { noloadbangdisable_set(char(v[0] != 0)); }},
    {"setdlgtofilepath", [](const char *, int, const long *v) { s().dialog_to_file_path = v[0] != 0; }},
    // The third value, a font name, chooses among installed fonts: there
    // are none headless, so number and size are kept as given.
    {"deffont",
     [](const char *, int count, const long *v) {
         if (count < 2) return;
         s().default_font = int(v[0]);
         s().default_font_size = int(v[1]);
     }},
    {"allwindowsactive", &option_flag},
    {"kelwindowvisible", &option_flag},
    {"extendedpreview", &option_flag},
    {"drawmenubar", &option_flag},
    {"cantclosetoplevelpatchers", &option_flag},
    {"nomidisetup", &option_flag},
    // Acted on by a standalone program only; a plain kel searches what it
    // was given.
    {"usesearchpath",
     [](const char *keyword, int count, const long *v) {
         option_flag(keyword, count, v);
         if (v[0] && path_standalone()) path_add_application_trees();
     }},
    {"searchformissingfiles",
     [](const char *keyword, int count, const long *v) {
         option_flag(keyword, count, v);
         if (path_standalone()) path_set_standalone(true, v[0] != 0);
     }},
};

}  // namespace

void receiver_setoption(receiver *, symbol *, long argc, atom *argv)
{
    if (argc < 1 || argv[0].type != ATYPE_SYM) return;
    long values[max_option_values] = {};
    const int count = int(std::min<long>(argc - 1, max_option_values));
    for (int i = 0; i < count; i++) values[i] = option_value(argv[i + 1]);
    for (const option_keyword &k : option_keywords)
        if (std::strcmp(k.keyword, argv[0].word.w_sym->name) == 0) {
            k.apply(k.keyword, count, values);
            return;
        }
}

void receiver_add_settings(kel_class *c)
{
    add_numerics(c, std::make_index_sequence<std::size(numeric_settings)>{});
    class_addmethod(c, as_receiver_method(&receiver_set), "set", ATYPE_FLOAT, 0);
    class_addmethod(c, as_receiver_method(&receiver_preempt), "preempt", ATYPE_LONG, 0);
    class_addmethod(c, as_receiver_method(&receiver_boxcolor), "boxcolor", ATYPE_LONG, ATYPE_LONG, ATYPE_LONG,
                    ATYPE_LONG, ATYPE_DEFLONG, 0);
    class_addmethod(c, as_receiver_method(&receiver_getboxcolor), "getboxcolor", ATYPE_LONG, ATYPE_SYM, 0);
    class_addmethod(c, as_receiver_method(&receiver_setkelwindowsize), "setkelwindowsize", ATYPE_LONG, ATYPE_LONG,
                    ATYPE_LONG, ATYPE_LONG, 0);
    class_addmethod(c, as_receiver_method(&receiver_setcontext), "setcontext", ATYPE_LONG, 0);
    class_addmethod(c, as_receiver_method(&receiver_usecontext), "usecontext", ATYPE_LONG, 0);
    class_addmethod(c, as_receiver_method(&receiver_setdialogpath), "setdialogpath", ATYPE_SYM, ATYPE_SYM, 0);
    class_addmethod(c, as_receiver_method(&receiver_setoption), "setoption", ATYPE_GIMME, 0);
}

}  // namespace kel::app
