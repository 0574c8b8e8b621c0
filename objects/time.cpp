// Time objects. All timing goes through clocks; times are milliseconds as
// doubles. Each object may be moved onto a named time base with "clock"; the
// name is looked up again at every use, so a time base that goes away makes
// the object fall back to the global scheduler.
#include "objects/time.h"

#include <cmath>
#include <initializer_list>

#include "kel/kel.h"
#include "kernel/core/calls.h"
#include "kernel/core/classes.h"
#include "kernel/core/objects.h"
#include "kernel/core/symbols.h"
#include "kernel/create/creation.h"
#include "objects/objects.h"

namespace kel {
namespace {

// --- time bases ---

symbol *g_sym_unset = nullptr;
symbol *g_sym_fdelay = nullptr;

// The object a name selects as time base: its value, when that answers
// "unset" (a setclock). Anything else means the global scheduler.
object *time_base(symbol *name)
{
    if (!name || name == sym_empty) return nullptr;
    object *base = bound_object(name);
    return base && zgetfn(base, g_sym_unset) ? base : nullptr;
}

// The name a "clock" message selects: the empty symbol is the global
// scheduler; another name counts only while it names a time base.
bool accept_time_base(symbol *name) { return name == sym_empty || time_base(name) != nullptr; }

void base_fdelay(symbol *name, kel_clock *c, double delay)
{
    if (object *base = time_base(name))
        if (kel_method fn = zgetfn(base, g_sym_fdelay)) {
            call_clock_fdelay(fn, base, c, delay);
            return;
        }
    clock_fdelay(c, delay);
}

void base_unset(symbol *name, kel_clock *c)
{
    if (object *base = time_base(name))
        if (kel_method fn = zgetfn(base, g_sym_unset)) {
            call_clock_unset(fn, base, c);
            return;
        }
    clock_unset(c);
}

// The current time of a base: a setclock's by its mode, else the scheduler's.
double base_time(symbol *name)
{
    double t;
    setclock_getftime(time_base(name), &t);
    return t;
}

// --- metro ---

struct metro {
    object ob;
    double interval;
    bool running;
    double offset;  // the lookahead, negated: the fire-time offset on the global scheduler
    kel_clock *clock;
    symbol *base;
    outlet *out;
};

kel_class *g_metro = nullptr;

void metro_schedule(metro *x, double delay)
{
    if (time_base(x->base))
        base_fdelay(x->base, x->clock, delay);
    else
        clock_fdelay2(x->clock, delay, x->offset);
}

// The bang goes first: a receiver that stops the metro prevents the next tick.
void metro_tick(metro *x)
{
    outlet_bang(x->out);
    if (x->running) metro_schedule(x, x->interval);
}

void metro_bang(metro *x)
{
    x->running = true;
    metro_schedule(x, 0);
}

void metro_stop(metro *x)
{
    x->running = false;
    base_unset(x->base, x->clock);
}

void metro_int(metro *x, long n)
{
    if (n)
        metro_bang(x);
    else
        metro_stop(x);
}

void metro_float(metro *x, double f) { metro_int(x, static_cast<long>(f)); }

void metro_ft1(metro *x, double f) { x->interval = f <= 0.02 ? 0.02 : f; }

void metro_lookahead(metro *x, double f) { x->offset = -f; }

void metro_clock(metro *x, symbol *name)
{
    if (!accept_time_base(name)) return;
    base_unset(x->base, x->clock);
    x->base = name;
    if (x->running) metro_schedule(x, 0);
}

void *metro_new(symbol *, long argc, atom *argv)
{
    auto *x = static_cast<metro *>(object_alloc(g_metro));
    if (!x) return nullptr;
    x->interval = 5;
    if (argc > 0 && argv[0].type == ATYPE_LONG) x->interval = argv[0].word.w_long;
    if (argc > 0 && argv[0].type == ATYPE_FLOAT) x->interval = argv[0].word.w_float;
    if (x->interval < 0.001) x->interval = 0.001;
    x->base = sym_empty;
    for (long i = 1; i < argc && i < 3; i++)
        if (argv[i].type == ATYPE_SYM) x->base = argv[i].word.w_sym;
    x->running = false;
    x->offset = 0;
    x->clock = clock_new(x, as_method(&metro_tick));
    floatin(x, 1);
    x->out = bangout(x);
    return x;
}

void metro_free(metro *x) { freeobject(x->clock); }

// --- delay ---

struct delay {
    object ob;
    double time;
    kel_clock *clock;
    symbol *base;
    outlet *out;
};

kel_class *g_delay = nullptr;

void delay_tick(delay *x) { outlet_bang(x->out); }
void delay_bang(delay *x) { base_fdelay(x->base, x->clock, x->time); }
void delay_ft1(delay *x, double f) { x->time = f < 0 ? 0 : f; }

void delay_float(delay *x, double f)
{
    delay_ft1(x, f);
    delay_bang(x);
}

void delay_int(delay *x, long n) { delay_float(x, static_cast<double>(n)); }
void delay_stop(delay *x) { base_unset(x->base, x->clock); }

void delay_clock(delay *x, symbol *name)
{
    if (!accept_time_base(name)) return;
    base_unset(x->base, x->clock);
    x->base = name;
}

void *delay_new(double time)
{
    auto *x = static_cast<delay *>(object_alloc(g_delay));
    if (!x) return nullptr;
    x->time = time < 0 ? 0 : time;
    x->base = sym_empty;
    x->clock = clock_new(x, as_method(&delay_tick));
    floatin(x, 1);
    x->out = bangout(x);
    return x;
}

void delay_free(delay *x) { freeobject(x->clock); }

// --- pipe ---

constexpr int pipe_max_slots = 9;

struct pipe_slot {
    bool is_float;
    atom_long i;
    atom_float f;
};

struct pipe;

struct pipe_event {
    kel_clock *clock;
    pipe *owner;
    pipe_event *prev, *next;
    pipe_slot values[pipe_max_slots];
};

struct pipe {
    object ob;
    int slots;  // value slots, 1..9; the delay time is the slot after them
    pipe_slot values[pipe_max_slots];
    float time;
    outlet *outs[pipe_max_slots];
    pipe_event *events;  // pending, newest first
    symbol *base;
};

kel_class *g_pipe = nullptr;

void pipe_unlink(pipe_event *e)
{
    pipe *x = e->owner;
    if (e->prev)
        e->prev->next = e->next;
    else
        x->events = e->next;
    if (e->next) e->next->prev = e->prev;
    e->prev = e->next = nullptr;
}

void pipe_event_free(pipe_event *e)
{
    freeobject(e->clock);
    freebytes(e, sizeof(pipe_event));
}

// Sends the copied values from the rightmost outlet to the leftmost.
void pipe_fire(pipe_event *e)
{
    pipe *x = e->owner;
    pipe_unlink(e);
    for (int i = x->slots - 1; i >= 0; i--) {
        if (e->values[i].is_float)
            outlet_float(x->outs[i], e->values[i].f);
        else
            outlet_int(x->outs[i], e->values[i].i);
    }
    pipe_event_free(e);
}

void pipe_bang(pipe *x)
{
    auto *e = static_cast<pipe_event *>(getbytes(sizeof(pipe_event)));
    if (!e) return;
    e->owner = x;
    for (int i = 0; i < x->slots; i++) e->values[i] = x->values[i];
    e->clock = clock_new(e, as_method(&pipe_fire));
    if (!e->clock) {
        freebytes(e, sizeof(pipe_event));
        return;
    }
    e->prev = nullptr;
    e->next = x->events;
    if (x->events) x->events->prev = e;
    x->events = e;
    base_fdelay(x->base, e->clock, x->time < 0 ? 0.0 : static_cast<double>(x->time));
}

void pipe_store(pipe_slot &slot, double v)
{
    if (slot.is_float)
        slot.f = static_cast<atom_float>(v);
    else
        slot.i = static_cast<atom_long>(v);
}

void pipe_int(pipe *x, long n)
{
    if (x->values[0].is_float)
        x->values[0].f = static_cast<atom_float>(n);
    else
        x->values[0].i = static_cast<atom_long>(n);
    pipe_bang(x);
}

void pipe_float(pipe *x, double f)
{
    pipe_store(x->values[0], f);
    pipe_bang(x);
}

// Inlet I (2..10) stores into value slot I, or sets the delay time when it
// is the rightmost.
template <int I> void pipe_in(pipe *x, long n)
{
    static_assert(I - 1 < pipe_max_slots, "int inlets exist only for value slots");
    if (I - 1 < x->slots) pipe_store(x->values[I - 1], static_cast<double>(n));
}

template <int I> void pipe_ft(pipe *x, double f)
{
    if constexpr (I - 1 < pipe_max_slots) {
        if (I - 1 < x->slots) {
            pipe_store(x->values[I - 1], f);
            return;
        }
    }
    x->time = static_cast<float>(f);
}

void pipe_flush(pipe *x)
{
    while (pipe_event *e = x->events) {
        clock_unset(e->clock);
        pipe_fire(e);
    }
}

void pipe_clear(pipe *x)
{
    while (pipe_event *e = x->events) {
        pipe_unlink(e);
        pipe_event_free(e);
    }
}

void pipe_clock(pipe *x, symbol *name)
{
    if (accept_time_base(name)) x->base = name;
}

void *pipe_new(symbol *, long argc, atom *argv)
{
    auto *x = static_cast<pipe *>(object_alloc(g_pipe));
    if (!x) return nullptr;
    if (argc > pipe_max_slots + 1) argc = pipe_max_slots + 1;
    x->events = nullptr;
    x->base = sym_empty;
    x->time = 0;
    x->slots = 1;
    x->values[0] = {false, 0, 0};
    if (argc >= 1) {
        const atom &last = argv[argc - 1];
        x->time = last.type == ATYPE_LONG    ? static_cast<float>(last.word.w_long)
                  : last.type == ATYPE_FLOAT ? last.word.w_float
                                             : 0.0f;
    }
    if (argc >= 2) {
        x->slots = static_cast<int>(argc - 1);
        for (int i = 0; i < x->slots; i++) {
            const atom &a = argv[i];
            if (a.type == ATYPE_FLOAT)
                x->values[i] = {true, 0, a.word.w_float};
            else
                x->values[i] = {false, a.type == ATYPE_LONG ? a.word.w_long : 0, 0};
        }
    }
    // Inlets and outlets from the rightmost to the leftmost.
    static const char *const ft_names[] = {"ft2", "ft3", "ft4", "ft5", "ft6", "ft7", "ft8", "ft9", "ft10"};
    inlet4(x, x, "float", ft_names[x->slots - 1]);  // the delay time
    for (int i = x->slots - 1; i >= 1; i--) {
        if (x->values[i].is_float)
            floatin(x, i + 1);
        else
            intin(x, i + 1);
    }
    for (int i = x->slots - 1; i >= 0; i--) x->outs[i] = x->values[i].is_float ? floatout(x) : intout(x);
    return x;
}

void pipe_free(pipe *x) { pipe_clear(x); }

// --- timer ---

struct timer {
    object ob;
    double start;
    symbol *base;
    outlet *out;
};

kel_class *g_timer = nullptr;

void timer_bang(timer *x) { x->start = base_time(x->base); }
void timer_in1(timer *x) { outlet_float(x->out, base_time(x->base) - x->start); }

void timer_clock(timer *x, symbol *name)
{
    if (accept_time_base(name)) x->base = name;
}

void *timer_new()
{
    auto *x = static_cast<timer *>(object_alloc(g_timer));
    if (!x) return nullptr;
    x->base = sym_empty;
    x->start = base_time(x->base);
    inlet4(x, x, "bang", "in1");
    x->out = floatout(x);
    return x;
}

// --- line ---

struct line {
    object ob;
    double target;
    double grain;
    double current;
    long steps;  // steps left of the running ramp; 0 when none runs
    double increment;
    double ramp_time;  // for the next ramp only; 0 when none is pending
    double last_step;
    bool have_last_step;
    bool end_bang;
    symbol *base;
    bool floats;
    kel_clock *clock;
    outlet *value_out;
    outlet *bang_out;
};

kel_class *g_line = nullptr;

double grain_of(double g) { return g == 0 ? 20 : g < 1 ? 1 : g; }

void line_send(line *x)
{
    if (x->floats)
        outlet_float(x->value_out, x->current);
    else
        outlet_int(x->value_out, static_cast<long>(x->current));
}

// One step of a ramp; the next one is scheduled so that late ticks shorten
// the following delay and the ramp keeps its length.
void line_step(line *x)
{
    double t = base_time(x->base);
    if (x->steps > 0) x->steps--;
    if (x->steps) {
        x->current += x->increment;
        double delay = x->have_last_step ? x->grain - (t - x->last_step) : x->grain;
        x->last_step = t + delay;
        x->have_last_step = true;
        base_fdelay(x->base, x->clock, delay);
        line_send(x);
        x->end_bang = true;
    } else {
        x->current = x->target;
        line_send(x);
        if (x->end_bang) {
            x->end_bang = false;
            outlet_bang(x->bang_out);
        }
    }
}

void line_halt(line *x)
{
    x->steps = 0;
    base_unset(x->base, x->clock);
}

void line_float(line *x, double v)
{
    if (x->ramp_time > 0) {
        double start = x->steps > 0 ? x->current : x->target;
        double span = x->ramp_time < 1 ? 1 : x->ramp_time;
        long n = static_cast<long>((span - 1) / x->grain + 1);
        if (n < 1) n = 1;
        // A running ramp's pending tick stays: a longer ramp reschedules
        // it at its first step, a one-step ramp lets it send the target.
        x->steps = n;
        x->increment = (v - start) / static_cast<double>(n);
        x->current = start;
        x->target = v;
        x->ramp_time = 0;
        x->have_last_step = false;
        line_step(x);
        return;
    }
    x->target = x->current = v;
    line_halt(x);
    x->end_bang = false;
    line_send(x);
}

void line_int(line *x, long n) { line_float(x, static_cast<double>(n)); }
void line_ft1(line *x, double f) { x->ramp_time = f < 0 ? 0 : f; }
void line_ft2(line *x, double f) { x->grain = grain_of(f); }

void line_set(line *x, double v)
{
    x->target = x->current = v;
    line_halt(x);
}

void line_stop(line *x)
{
    x->target = x->current;
    line_halt(x);
    x->end_bang = false;
}

void line_clock(line *x, symbol *name)
{
    if (!accept_time_base(name)) return;
    x->have_last_step = false;
    base_unset(x->base, x->clock);
    x->base = name;
    if (x->steps > 0) base_fdelay(x->base, x->clock, 0);
}

void *line_new(symbol *, long argc, atom *argv)
{
    auto *x = static_cast<line *>(object_alloc(g_line));
    if (!x) return nullptr;
    x->floats = argc > 0 && argv[0].type == ATYPE_FLOAT;
    double initial = 0;
    if (argc > 0 && argv[0].type == ATYPE_LONG) initial = argv[0].word.w_long;
    if (argc > 0 && argv[0].type == ATYPE_FLOAT) initial = argv[0].word.w_float;
    double grain = 0;
    if (argc > 1 && argv[1].type == ATYPE_LONG) grain = argv[1].word.w_long;
    if (argc > 1 && argv[1].type == ATYPE_FLOAT) grain = argv[1].word.w_float;
    x->grain = grain_of(grain);
    x->target = x->current = initial;
    x->steps = 0;
    x->increment = 0;
    x->ramp_time = 0;
    x->last_step = 0;
    x->have_last_step = false;
    x->end_bang = false;
    x->base = sym_empty;
    x->clock = clock_new(x, as_method(&line_step));
    floatin(x, 2);
    floatin(x, 1);
    x->bang_out = bangout(x);
    x->value_out = x->floats ? floatout(x) : intout(x);
    return x;
}

void line_free(line *x) { freeobject(x->clock); }

// --- makenote ---

struct makenote;

struct note_off {
    long pitch;
    kel_clock *clock;
    makenote *owner;
    note_off *prev, *next;
};

struct makenote {
    object ob;
    long velocity;
    long duration;
    note_off pending;  // the sentinel of a circular list, oldest after it
    symbol *base;
    outlet *pitch_out;
    outlet *velocity_out;
};

kel_class *g_makenote = nullptr;

void note_off_unlink(note_off *n)
{
    n->prev->next = n->next;
    n->next->prev = n->prev;
    n->prev = n->next = n;
}

void note_off_free(note_off *n)
{
    freeobject(n->clock);
    freebytes(n, sizeof(note_off));
}

void note_off_fire(note_off *n)
{
    makenote *x = n->owner;
    note_off_unlink(n);
    long pitch = n->pitch;
    note_off_free(n);
    outlet_int(x->velocity_out, 0);
    outlet_int(x->pitch_out, pitch);
}

void makenote_int(makenote *x, long pitch)
{
    outlet_int(x->velocity_out, x->velocity);
    outlet_int(x->pitch_out, pitch);
    auto *n = static_cast<note_off *>(getbytes(sizeof(note_off)));
    if (!n) return;
    n->pitch = pitch;
    n->owner = x;
    n->clock = clock_new(n, as_method(&note_off_fire));
    if (!n->clock) {
        freebytes(n, sizeof(note_off));
        return;
    }
    // Newest at the tail: the oldest follows the sentinel.
    n->next = &x->pending;
    n->prev = x->pending.prev;
    x->pending.prev->next = n;
    x->pending.prev = n;
    double duration = static_cast<double>(x->duration);
    if (time_base(x->base))
        base_fdelay(x->base, n->clock, duration);
    else
        clock_fdelay(n->clock, duration < 0 ? 0 : duration);
}

void makenote_float(makenote *x, double f) { makenote_int(x, static_cast<long>(f)); }
void makenote_in1(makenote *x, long n) { x->velocity = n; }
void makenote_in2(makenote *x, long n) { x->duration = n; }

// Under the global critical section: no note-off fires meanwhile.
void makenote_stop(makenote *x)
{
    critical_enter(nullptr);
    while (x->pending.next != &x->pending) {
        note_off *n = x->pending.next;
        clock_unset(n->clock);
        note_off_fire(n);
    }
    critical_exit(nullptr);
}

void makenote_clear(makenote *x)
{
    critical_enter(nullptr);
    while (x->pending.next != &x->pending) {
        note_off *n = x->pending.next;
        note_off_unlink(n);
        note_off_free(n);
    }
    critical_exit(nullptr);
}

void makenote_clock(makenote *x, symbol *name) { x->base = name; }

void *makenote_new(long velocity, long duration)
{
    auto *x = static_cast<makenote *>(object_alloc(g_makenote));
    if (!x) return nullptr;
    x->velocity = velocity;
    x->duration = duration;
    x->pending.prev = x->pending.next = &x->pending;
    x->pending.clock = nullptr;
    x->pending.owner = x;
    x->base = sym_empty;
    intin(x, 2);
    intin(x, 1);
    x->velocity_out = intout(x);
    x->pitch_out = intout(x);
    return x;
}

void makenote_free(makenote *x) { makenote_stop(x); }

// --- stripnote ---

struct stripnote {
    object ob;
    long velocity;
    outlet *pitch_out;
    outlet *velocity_out;
};

kel_class *g_stripnote = nullptr;

void stripnote_int(stripnote *x, long pitch)
{
    if (!x->velocity) return;
    outlet_int(x->velocity_out, x->velocity);
    outlet_int(x->pitch_out, pitch);
}

void stripnote_float(stripnote *x, double f) { stripnote_int(x, static_cast<long>(f)); }
void stripnote_in1(stripnote *x, long n) { x->velocity = n; }

void *stripnote_new()
{
    auto *x = static_cast<stripnote *>(object_alloc(g_stripnote));
    if (!x) return nullptr;
    x->velocity = 0;
    intin(x, 1);
    x->velocity_out = intout(x);
    x->pitch_out = intout(x);
    return x;
}

// --- sustain ---

struct held_pitch {
    long pitch;
    held_pitch *next;
};

struct sustain {
    object ob;
    long velocity;
    long on;
    held_pitch *held;  // newest first
    outlet *pitch_out;
    outlet *velocity_out;
};

kel_class *g_sustain = nullptr;

void sustain_int(sustain *x, long pitch)
{
    if (x->velocity || !x->on) {
        outlet_int(x->velocity_out, x->velocity);
        outlet_int(x->pitch_out, pitch);
        return;
    }
    auto *h = static_cast<held_pitch *>(getbytes(sizeof(held_pitch)));
    if (!h) return;
    h->pitch = pitch;
    h->next = x->held;
    x->held = h;
}

void sustain_float(sustain *x, double f) { sustain_int(x, static_cast<long>(f)); }
void sustain_in1(sustain *x, long n) { x->velocity = n; }

void sustain_clear(sustain *x)
{
    while (held_pitch *h = x->held) {
        x->held = h->next;
        freebytes(h, sizeof(held_pitch));
    }
}

void sustain_in2(sustain *x, long n)
{
    x->on = n;
    if (n) return;
    while (held_pitch *h = x->held) {
        x->held = h->next;
        long pitch = h->pitch;
        freebytes(h, sizeof(held_pitch));
        outlet_int(x->velocity_out, 0);
        outlet_int(x->pitch_out, pitch);
    }
}

void *sustain_new(long velocity, long on)
{
    auto *x = static_cast<sustain *>(object_alloc(g_sustain));
    if (!x) return nullptr;
    x->velocity = velocity;
    x->on = on;
    x->held = nullptr;
    intin(x, 2);
    intin(x, 1);
    x->velocity_out = intout(x);
    x->pitch_out = intout(x);
    return x;
}

void sustain_free(sustain *x) { sustain_clear(x); }

}  // namespace

bool time_objects_init()
{
    if (g_metro) return true;
    g_sym_unset = gensym("unset");
    g_sym_fdelay = gensym("fdelay");
    const short L = ATYPE_LONG, F = ATYPE_FLOAT, DS = ATYPE_DEFSYM, none = ATYPE_NOTHING;

    bool ok =
        (g_metro = define_class("metro", as_method(&metro_new), as_method(&metro_free), sizeof(metro), class_home::box,
                                {{as_method(&metro_bang), "bang", none},
                                 {as_method(&metro_int), "int", L},
                                 {as_method(&metro_float), "float", F},
                                 {as_method(&metro_stop), "stop", none},
                                 {as_method(&metro_ft1), "ft1", F},
                                 {as_method(&metro_lookahead), "lookahead", F},
                                 {as_method(&metro_clock), "clock", DS}})) &&
        (g_delay = define_class("delay", as_method(&delay_new), as_method(&delay_free), sizeof(delay), class_home::box,
                                {{as_method(&delay_bang), "bang", none},
                                 {as_method(&delay_int), "int", L},
                                 {as_method(&delay_float), "float", F},
                                 {as_method(&delay_ft1), "ft1", F},
                                 {as_method(&delay_stop), "stop", none},
                                 {as_method(&delay_clock), "clock", DS}})) &&
        (g_pipe = define_class("pipe", as_method(&pipe_new), as_method(&pipe_free), sizeof(pipe), class_home::box,
                               {{as_method(&pipe_bang), "bang", none},   {as_method(&pipe_int), "int", L},
                                {as_method(&pipe_float), "float", F},    {as_method(&pipe_flush), "flush", none},
                                {as_method(&pipe_clear), "clear", none}, {as_method(&pipe_clear), "stop", none},
                                {as_method(&pipe_clock), "clock", DS},   {as_method(&pipe_in<2>), "in2", L},
                                {as_method(&pipe_in<3>), "in3", L},      {as_method(&pipe_in<4>), "in4", L},
                                {as_method(&pipe_in<5>), "in5", L},      {as_method(&pipe_in<6>), "in6", L},
                                {as_method(&pipe_in<7>), "in7", L},      {as_method(&pipe_in<8>), "in8", L},
                                {as_method(&pipe_in<9>), "in9", L},      {as_method(&pipe_ft<2>), "ft2", F},
                                {as_method(&pipe_ft<3>), "ft3", F},      {as_method(&pipe_ft<4>), "ft4", F},
                                {as_method(&pipe_ft<5>), "ft5", F},      {as_method(&pipe_ft<6>), "ft6", F},
                                {as_method(&pipe_ft<7>), "ft7", F},      {as_method(&pipe_ft<8>), "ft8", F},
                                {as_method(&pipe_ft<9>), "ft9", F},      {as_method(&pipe_ft<10>), "ft10", F}})) &&
        (g_timer = define_class("timer", as_method(&timer_new), nullptr, sizeof(timer), class_home::box,
                                {{as_method(&timer_bang), "bang", none},
                                 {as_method(&timer_in1), "in1", none},
                                 {as_method(&timer_clock), "clock", DS}})) &&
        (g_line = define_class("line", as_method(&line_new), as_method(&line_free), sizeof(line), class_home::box,
                               {{as_method(&line_int), "int", L},
                                {as_method(&line_float), "float", F},
                                {as_method(&line_ft1), "ft1", F},
                                {as_method(&line_ft2), "ft2", F},
                                {as_method(&line_set), "set", F},
                                {as_method(&line_stop), "stop", none},
                                {as_method(&line_clock), "clock", DS}})) &&
        (g_makenote = define_class("makenote", as_method(&makenote_new), as_method(&makenote_free), sizeof(makenote),
                                   class_home::box,
                                   {{as_method(&makenote_int), "int", L},
                                    {as_method(&makenote_float), "float", F},
                                    {as_method(&makenote_in1), "in1", L},
                                    {as_method(&makenote_in2), "in2", L},
                                    {as_method(&makenote_stop), "stop", none},
                                    {as_method(&makenote_clear), "clear", none},
                                    {as_method(&makenote_clock), "clock", DS}})) &&
        (g_stripnote = define_class("stripnote", as_method(&stripnote_new), nullptr, sizeof(stripnote), class_home::box,
                                    {{as_method(&stripnote_int), "int", L},
                                     {as_method(&stripnote_float), "float", F},
                                     {as_method(&stripnote_in1), "in1", L}})) &&
        (g_sustain = define_class("sustain", as_method(&sustain_new), as_method(&sustain_free), sizeof(sustain),
                                  class_home::box,
                                  {{as_method(&sustain_int), "int", L},
                                   {as_method(&sustain_float), "float", F},
                                   {as_method(&sustain_in1), "in1", L},
                                   {as_method(&sustain_in2), "in2", L},
                                   {as_method(&sustain_clear), "clear", none}}));
    if (!ok) return false;
    const struct {
        const char *name;
        kel_method constructor;
    } constructors[] = {{"metro", as_method(&metro_new)},       {"del", as_method(&delay_new)},
                        {"delay", as_method(&delay_new)},       {"pipe", as_method(&pipe_new)},
                        {"timer", as_method(&timer_new)},       {"line", as_method(&line_new)},
                        {"makenote", as_method(&makenote_new)}, {"stripnote", as_method(&stripnote_new)},
                        {"sustain", as_method(&sustain_new)}};
    for (const auto &c : constructors)
        if (!creation_provide(c.name, c.constructor)) return false;
    return true;
}

}  // namespace kel
