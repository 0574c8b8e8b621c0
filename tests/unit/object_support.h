// Built-in objects under test: made by name as a box would make them, their
// outlets connected to recorders that note every message (with the logical
// time), messages sent into any inlet.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "atom_support.h"
#include "call_log.h"
#include "kel/kel.h"
#include "kernel/text/binbuf.h"
#include "kernel/time/scheduler.h"
#include "kernel/wires/outlets.h"
#include "sched_support.h"

namespace kel::test {

// Makes an object from box text: "metro 100", "pipe 1 2.5 1000".
inline object *make_object(const char *text)
{
    atom argv[64];
    long argc = 0;
    binbuf_parse_text(text, std::strlen(text), &argc, argv, 64);
    if (argc < 1 || argv[0].type != ATYPE_SYM) return nullptr;
    return static_cast<object *>(newinstance(argv[0].word.w_sym, argc - 1, argv + 1));
}

inline outlet *outlet_at(object *x, int index)
{
    outlet *o = x->outlets;
    while (o && index-- > 0) o = o->next;
    return o;
}

inline int outlet_count(object *x)
{
    int n = 0;
    for (outlet *o = x->outlets; o; o = o->next) n++;
    return n;
}

inline int inlet_count(object *x)
{
    int n = 0;
    for (inlet *i = x->inlets; i; i = i->next) n++;
    return n;
}

// The object itself for inlet 0, else its extra inlet.
inline object *inlet_at(object *x, int index)
{
    if (index == 0) return x;
    inlet *i = x->inlets;
    while (i && --index > 0) i = i->next;
    return reinterpret_cast<object *>(i);
}

// Sends "selector args" (box-text syntax) into an inlet as a cord would
// deliver it: "int 7", "bang", "float 100" (into a float inlet), "set foo";
// "list 10 100" goes through the kernel's list delivery, which spreads a
// list over the inlets of an object without a list method.
inline void send_text(object *x, const char *text, int inlet = 0)
{
    atom argv[64];
    long argc = 0;
    binbuf_parse_text(text, std::strlen(text), &argc, argv, 64);
    if (argc < 1 || argv[0].type != ATYPE_SYM) return;
    if (argv[0].word.w_sym == gensym("list"))
        stdlist(inlet_at(x, inlet), argv[0].word.w_sym, argc - 1, argv + 1);
    else
        typedmess(inlet_at(x, inlet), argv[0].word.w_sym, argc - 1, argv + 1);
}

// Notes "TAG@TIME message" for everything it receives.
struct recorder {
    object ob;
    const char *tag;
};

inline void recorder_note(recorder *r, const std::string &message)
{
    note("%s@%g %s", r->tag, sched_now(), message.c_str());
}

inline void recorder_bang(recorder *r) { recorder_note(r, "bang"); }
inline void recorder_int(recorder *r, long n) { recorder_note(r, std::to_string(n)); }

inline void recorder_float(recorder *r, double f)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g", f);
    recorder_note(r, std::string("f") + text);
}

inline void recorder_anything(recorder *r, symbol *s, long argc, atom *argv)
{
    std::string text = s->name;
    for (long i = 0; i < argc; i++) text.append(" ").append(describe(argv[i]));
    recorder_note(r, text);
}

inline kel_class *recorder_class()
{
    static kel_class *c = [] {
        kel_class *k = class_new("recorder", nullptr, nullptr, sizeof(recorder), nullptr, 0);
        class_addmethod(k, reinterpret_cast<kel_method>(&recorder_bang), "bang", 0);
        class_addmethod(k, reinterpret_cast<kel_method>(&recorder_int), "int", ATYPE_LONG, 0);
        class_addmethod(k, reinterpret_cast<kel_method>(&recorder_float), "float", ATYPE_FLOAT, 0);
        class_addmethod(k, reinterpret_cast<kel_method>(&recorder_anything), "list", ATYPE_GIMME, 0);
        class_addmethod(k, reinterpret_cast<kel_method>(&recorder_anything), "anything", ATYPE_GIMME, 0);
        return k;
    }();
    return c;
}

// A recorder on an outlet of x; freed with the fixture that owns it.
class recorders {
public:
    ~recorders()
    {
        for (object *r : made_) freeobject(r);
    }
    object *attach(object *x, int outlet_index, const char *tag)
    {
        auto *r = static_cast<recorder *>(object_alloc(recorder_class()));
        r->tag = tag;
        outlet_add(outlet_at(x, outlet_index), r);
        made_.push_back(&r->ob);
        return &r->ob;
    }

private:
    std::vector<object *> made_;
};

// Fires every clock due up to t in order, placing time at each clock's own
// fire time on the way (as virtual time does).
inline void run_until(double t)
{
    double next;
    while (sched_next_clock_time(&next) && next <= t) {
        if (next > timer_time()) sched_place_time(next);
        sched_poll();
    }
    if (t > timer_time()) sched_place_time(t);
    sched_set_now(t);
}

// Objects made for one test, with the scheduler at a known start; every
// object made through make() is freed afterwards (forget() frees one early).
class ObjectTest : public SchedTest {
protected:
    void SetUp() override
    {
        SchedTest::SetUp();
        g_log.clear();
    }
    void TearDown() override
    {
        for (object *x : made_) freeobject(x);
        made_.clear();
        SchedTest::TearDown();
    }
    object *make(const char *text)
    {
        object *x = make_object(text);
        if (x) made_.push_back(x);
        return x;
    }
    void forget(object *x)
    {
        std::erase(made_, x);
        freeobject(x);
    }
    recorders rec_;
    std::vector<object *> made_;
};

}  // namespace kel::test
