// What the patcher tests share: a fresh folder to load patches from, a
// `probe` class that notes every message it gets (and through which inlet),
// a stand-in for the application receiver `kel`, and saving to text.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "call_log.h"
#include "console_capture.h"
#include "kel/kel.h"
#include "kernel/files/path.h"
#include "kernel/patcher/loadbang.h"
#include "kernel/patcher/patcher.h"
#include "temp_dir.h"

namespace kel::test {

// probe NAME [INLETS [OUTLETS]]: notes "NAME selector args" for what reaches
// its leftmost inlet and "NAME@k selector args" for its extra inlet k; notes
// "new NAME args" when made. A negative INLETS makes that many int inlets
// (which refuse bang). `send k selector args` sends out of outlet k.
struct probe {
    object header;
    symbol *name;
    long inlet_number;
    long outlets;
    outlet *out[8];
};

inline void probe_note(probe *x, symbol *s, long argc, const atom *argv)
{
    std::string text = x->name->name;
    long k = proxy_getinlet(x);
    if (k) text += "@" + std::to_string(k);
    text.append(1, ' ').append(s->name);
    for (long i = 0; i < argc; i++) text.append(1, ' ').append(atom_string(&argv[i]));
    note("%s", text.c_str());
}

inline void *probe_anything(probe *x, symbol *s, long argc, atom *argv)
{
    static symbol *const send = gensym("send");
    if (s == send && argc >= 2 && argv[0].type == ATYPE_LONG && argv[1].type == ATYPE_SYM) {
        long k = argv[0].word.w_long;
        if (k >= 0 && k < x->outlets) outlet_anything(x->out[k], argv[1].word.w_sym, argc - 2, argv + 2);
        return nullptr;
    }
    probe_note(x, s, argc, argv);
    return nullptr;
}

inline void *probe_bang(probe *x)
{
    probe_note(x, gensym("bang"), 0, nullptr);
    return nullptr;
}

inline void *probe_int(probe *x, long n)
{
    atom a;
    atom_setlong(&a, n);
    probe_note(x, gensym("int"), 1, &a);
    return nullptr;
}

inline void *probe_float(probe *x, double f)
{
    atom a;
    atom_setfloat(&a, f);
    probe_note(x, gensym("float"), 1, &a);
    return nullptr;
}

inline void *probe_in(probe *x, long n)
{
    atom a;
    atom_setlong(&a, n);
    probe_note(x, gensym("in"), 1, &a);
    return nullptr;
}

inline void *probe_list(probe *x, symbol *, long argc, atom *argv)
{
    probe_note(x, gensym("list"), argc, argv);
    return nullptr;
}

inline void *probe_new(symbol *, long argc, atom *argv)
{
    kel_class *c = class_findbyname(gensym("box"), gensym("probe"));
    auto *x = c ? static_cast<probe *>(object_alloc(c)) : nullptr;
    if (!x) return nullptr;
    x->name = argc > 0 && argv[0].type == ATYPE_SYM ? argv[0].word.w_sym : gensym("probe");
    long inlets = argc > 1 ? atom_getlong(&argv[1]) : 0;
    x->outlets = argc > 2 ? atom_getlong(&argv[2]) : 1;
    if (x->outlets > 8) x->outlets = 8;
    for (long k = inlets; k >= 1; k--) proxy_new(x, k, &x->inlet_number);
    for (long k = -inlets; k >= 1; k--) intin(x, k);
    for (long k = x->outlets - 1; k >= 0; k--) x->out[k] = outlet_new(x, nullptr);
    std::string text = "new";
    for (long i = 0; i < argc; i++) text.append(1, ' ').append(atom_string(&argv[i]));
    note("%s", text.c_str());
    return x;
}

inline kel_class *probe_class()
{
    static kel_class *c = [] {
        kel_class *made = class_new("probe", reinterpret_cast<kel_method>(&probe_new), nullptr, sizeof(probe), nullptr,
                                    ATYPE_GIMME, 0);
        class_addmethod(made, reinterpret_cast<kel_method>(&probe_bang), "bang", 0);
        class_addmethod(made, reinterpret_cast<kel_method>(&probe_int), "int", ATYPE_LONG, 0);
        class_addmethod(made, reinterpret_cast<kel_method>(&probe_float), "float", ATYPE_FLOAT, 0);
        class_addmethod(made, reinterpret_cast<kel_method>(&probe_list), "list", ATYPE_GIMME, 0);
        for (const char *in : {"in1", "in2", "in3"})
            class_addmethod(made, reinterpret_cast<kel_method>(&probe_in), in, ATYPE_LONG, 0);
        class_addmethod(made, reinterpret_cast<kel_method>(&probe_anything), "anything", ATYPE_GIMME, 0);
        class_register(gensym("box"), made);
        return made;
    }();
    return c;
}

// The application receiver accepts the "kel v2" line that files begin with.
inline void *stand_in_anything(object *, symbol *, long, atom *) { return nullptr; }

inline object *stand_in_kel()
{
    static object *x = [] {
        kel_class *c = class_new("kel stand-in", nullptr, nullptr, sizeof(object), nullptr, 0);
        class_addmethod(c, reinterpret_cast<kel_method>(&stand_in_anything), "anything", ATYPE_GIMME, 0);
        class_register(gensym("nobox"), c);
        return static_cast<object *>(object_alloc(c));
    }();
    return x;
}

class PatcherTest : public testing::Test {
protected:
    void SetUp() override
    {
        probe_class();
        ASSERT_TRUE(dir.ok());
        root = std::filesystem::canonical(dir.path()).string();
        path = path_id_of_folder(root);
        ASSERT_NE(path, 0);
        saved_kel = gensym("kel")->thing;
        if (!saved_kel) gensym("kel")->thing = stand_in_kel();
        live_before = patcher_live_count();
        g_log.clear();
    }
    void TearDown() override
    {
        patcher_free_all();
        EXPECT_EQ(patcher_live_count(), live_before) << "every patcher is freed";
        gensym("kel")->thing = saved_kel;
        g_log.clear();
    }

    void write(const std::string &name, const std::string &bytes) const
    {
        std::ofstream(root + "/" + name, std::ios::binary) << bytes;
    }
    std::string read(const std::string &name) const
    {
        std::ifstream in(root + "/" + name, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    patcher *load(const std::string &name, const std::string &text)
    {
        write(name, text);
        return static_cast<patcher *>(fileload(name.c_str(), path));
    }
    // The patcher's contents as patcher_save writes them, printed.
    static std::string saved(patcher *p)
    {
        binbuf *b = binbuf_new();
        patcher_save(p, b);
        kel_handle h = sysmem_newhandle(0);
        long size = 0;
        binbuf_totext(b, h, &size);
        std::string text(*h, static_cast<size_t>(size));
        sysmem_freehandle(h);
        freeobject(b);
        return text;
    }
    static std::vector<std::string> logged()
    {
        std::vector<std::string> out;
        size_t from = 0;
        while (!g_log.empty() && from <= g_log.size()) {
            size_t bar = g_log.find(" | ", from);
            out.push_back(g_log.substr(from, bar == std::string::npos ? std::string::npos : bar - from));
            if (bar == std::string::npos) break;
            from = bar + 3;
        }
        return out;
    }
    // The box that shows a patcher object as its contents, by number.
    static box *nth(patcher *p, long n) { return patcher_box_at(p, n); }
    static object *object_of(patcher *p, long n) { return patcher_box_at(p, n)->obj; }

    temp_dir dir{"kel-patcher"};
    std::string root;
    short path = 0;
    object *saved_kel = nullptr;
    long live_before = 0;
};

// The head of every patch the tests write.
// One message of a scripted gesture: a selector and its arguments, sent to
// a box as a cord would.
struct step {
    const char *selector;
    std::vector<atom> args;
};

inline void run_steps(box *b, const std::vector<step> &steps)
{
    for (const step &s : steps)
        typedmess(b, gensym(s.selector), static_cast<long>(s.args.size()), const_cast<atom *>(s.args.data()));
}

inline std::string patch(const std::string &body) { return "#N vpatcher 10 20 410 320;\r\n" + body + "#P pop;\r\n"; }

}  // namespace kel::test
