// Built-in objects as boxes make them, for tests: the box made from its text
// through the creation object, a recorder on each outlet, and messages
// delivered into any inlet through a real cord.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "atom_support.h"
#include "console_capture.h"
#include "kel/kel.h"
#include "kernel/text/binbuf.h"
#include "kernel/wires/outlets.h"

// Its own namespace: object_support.h has a recorder of another shape.
namespace kel::test::boxes {

using strings = std::vector<std::string>;

inline strings g_seen;

struct recorder {
    object header;
    int index;
};

inline std::string float_text(double f)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g", f);
    return text;
}

inline void *recorder_bang(recorder *r)
{
    g_seen.push_back(std::to_string(r->index) + ":bang");
    return nullptr;
}
inline void *recorder_int(recorder *r, long n)
{
    g_seen.push_back(std::to_string(r->index) + ":int " + std::to_string(n));
    return nullptr;
}
inline void *recorder_float(recorder *r, double f)
{
    g_seen.push_back(std::to_string(r->index) + ":float " + float_text(f));
    return nullptr;
}
inline void *recorder_anything(recorder *r, symbol *s, long argc, atom *argv)
{
    std::string text = std::to_string(r->index) + ":" + s->name;
    for (long i = 0; i < argc; i++) text.append(" ").append(describe(argv[i]));
    g_seen.push_back(text);
    return nullptr;
}

inline kel_class *recorder_class()
{
    static kel_class *c = [] {
        kel_class *made = class_new("box_rig_recorder", nullptr, nullptr, sizeof(recorder), nullptr, 0);
        class_addmethod(made, reinterpret_cast<kel_method>(&recorder_bang), "bang", 0);
        class_addmethod(made, reinterpret_cast<kel_method>(&recorder_int), "int", ATYPE_LONG, 0);
        class_addmethod(made, reinterpret_cast<kel_method>(&recorder_float), "float", ATYPE_FLOAT, 0);
        class_addmethod(made, reinterpret_cast<kel_method>(&recorder_anything), "list", ATYPE_GIMME, 0);
        class_addmethod(made, reinterpret_cast<kel_method>(&recorder_anything), "anything", ATYPE_GIMME, 0);
        class_register(gensym("nobox"), made);
        return made;
    }();
    return c;
}

inline std::vector<atom> parse(const char *text)
{
    std::vector<atom> atoms(64);
    long argc = 0;
    kel::binbuf_parse_text(text, std::strlen(text), &argc, atoms.data(), 64);
    atoms.resize(static_cast<size_t>(argc));
    return atoms;
}

inline object *make_box(const char *text)
{
    std::vector<atom> atoms = parse(text);
    if (atoms.empty() || atoms[0].type != ATYPE_SYM) return nullptr;
    return static_cast<object *>(
        newinstance(atoms[0].word.w_sym, static_cast<long>(atoms.size()) - 1, atoms.data() + 1));
}

// The box made from text, with recorder k on outlet k.
class rig {
public:
    explicit rig(const char *text) : x_(make_box(text))
    {
        source_ = static_cast<recorder *>(object_alloc(recorder_class()));
        cord_ = outlet_new(source_, nullptr);
        if (!x_) return;
        int k = 0;
        for (outlet *o = x_->outlets; o; o = o->next, k++) {
            auto *r = static_cast<recorder *>(object_alloc(recorder_class()));
            r->index = k;
            outlet_add(o, r);
            recorders_.push_back(r);
        }
    }
    ~rig()
    {
        if (x_) freeobject(x_);
        for (recorder *r : recorders_) freeobject(r);
        freeobject(source_);
    }
    rig(const rig &) = delete;
    rig &operator=(const rig &) = delete;

    object *get() const { return x_; }
    int outlets() const { return static_cast<int>(recorders_.size()); }
    int inlets() const
    {
        int n = 1;
        for (inlet *i = x_->inlets; i; i = i->next) n++;
        return n;
    }

    // Delivers a message ("3", "2.5", "1 2", "bang", "set 4", "foo 1") into
    // an inlet through a cord and answers what came out, in order.
    strings send(int inlet_index, const char *text)
    {
        void *to = x_;
        inlet *i = x_->inlets;
        for (int k = 1; k < inlet_index && i; k++) i = i->next;
        if (inlet_index > 0) to = i;
        g_seen.clear();
        outlet_add(cord_, to);
        std::vector<atom> atoms = parse(text);
        auto argc = static_cast<long>(atoms.size());
        if (argc == 1 && atoms[0].type == ATYPE_LONG)
            outlet_int(cord_, atoms[0].word.w_long);
        else if (argc == 1 && atoms[0].type == ATYPE_FLOAT)
            outlet_float(cord_, atoms[0].word.w_float);
        else if (argc > 1 && atoms[0].type != ATYPE_SYM)
            outlet_list(cord_, gensym("list"), argc, atoms.data());
        else if (argc == 1 && atoms[0].word.w_sym == gensym("bang"))
            outlet_bang(cord_);
        else if (argc >= 1)
            outlet_anything(cord_, atoms[0].word.w_sym, argc - 1, atoms.data() + 1);
        outlet_rm(cord_, to);
        return g_seen;
    }

private:
    object *x_;
    recorder *source_;
    outlet *cord_;
    std::vector<recorder *> recorders_;
};

// One message into one inlet and what must come out.
struct exchange {
    int inlet;
    const char *message;
    strings out;
};

struct box_case {
    const char *box;
    std::vector<exchange> steps;
};

inline void run_cases(const std::vector<box_case> &cases)
{
    for (const box_case &c : cases) {
        console_capture console;
        rig r(c.box);
        ASSERT_NE(r.get(), nullptr) << c.box;
        for (const exchange &e : c.steps) EXPECT_EQ(r.send(e.inlet, e.message), e.out) << c.box << " <- " << e.message;
        EXPECT_EQ(console.lines(), strings{}) << c.box;
    }
}

// A recorder bound to a name, for `send`.
class named_recorder {
public:
    explicit named_recorder(const char *name) : name_(gensym(name))
    {
        r_ = static_cast<recorder *>(object_alloc(recorder_class()));
        r_->index = 9;
        name_->thing = &r_->header;
    }
    ~named_recorder()
    {
        name_->thing = nullptr;
        freeobject(r_);
    }
    named_recorder(const named_recorder &) = delete;
    named_recorder &operator=(const named_recorder &) = delete;

private:
    symbol *name_;
    recorder *r_;
};

}  // namespace kel::test::boxes
