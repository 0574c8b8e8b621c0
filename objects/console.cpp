// The `print` class: every message it receives becomes one console line,
// "label: message". The label is the first argument as typed (any atom),
// `print` when there is none.
#include "objects/console.h"

#include <string>

#include "kel/atoms.h"
#include "kel/classes.h"
#include "kel/console.h"
#include "kel/symbols.h"
#include "kernel/core/classes.h"
#include "kernel/core/guarded.h"
#include "kernel/create/creation.h"
#include "objects/objects.h"

namespace kel {
namespace {

struct print_object {
    object header;
    atom label;
};

method_entry *g_print_class = nullptr;

std::string label_of(const print_object *x) { return atom_string(&x->label); }

// One line: the label, ": ", and the parts joined by blanks. The whole line
// is posted at once, so lines from other threads never cut into it.
void post_line(const print_object *x, const std::string &rest)
{
    std::string line = label_of(x);
    line.append(": ").append(rest);
    post("%s", line.c_str());
}

void append_atoms(std::string *out, long argc, const atom *argv)
{
    for (long i = 0; i < argc; i++) {
        if (i) out->append(1, ' ');
        out->append(atom_string(&argv[i]));
    }
}

// The single-value lines need no memory: the label's text is posted
// before anything else uses atom_string's buffer.
void *print_bang(print_object *x)
{
    post("%s: bang", atom_string(&x->label));
    return nullptr;
}

void *print_int(print_object *x, long n)
{
    post("%s: %ld", atom_string(&x->label), n);
    return nullptr;
}

void *print_float(print_object *x, double f)
{
    post("%s: %f", atom_string(&x->label), f);
    return nullptr;
}

void *print_list(print_object *x, symbol *, long argc, atom *argv)
{
    guarded("print", [&] {
        std::string rest;
        append_atoms(&rest, argc, argv);
        post_line(x, rest);
    });
    return nullptr;
}

void *print_anything(print_object *x, symbol *s, long argc, atom *argv)
{
    guarded("print", [&] {
        std::string rest = s && s->name ? s->name : "";
        rest.append(1, ' ');
        append_atoms(&rest, argc, argv);
        post_line(x, rest);
    });
    return nullptr;
}

// Bringing the console window to the front is the window layer's.
void *print_dblclick(print_object *) { return nullptr; }

void *print_new(symbol *, long argc, atom *argv)
{
    define_builder_class(&g_print_class, "print", as_method(&print_new), nullptr, sizeof(print_object), {ATYPE_GIMME},
                         [] {
                             addbang(as_method(&print_bang));
                             addint(as_method(&print_int));
                             addfloat(as_method(&print_float));
                             addmess(as_method(&print_list), "list", ATYPE_GIMME, 0);
                             addmess(as_method(&print_anything), "anything", ATYPE_GIMME, 0);
                             addmess(as_method(&print_dblclick), "dblclick", ATYPE_CANT, 0);
                         });
    auto *x = g_print_class ? static_cast<print_object *>(newobject(g_print_class)) : nullptr;
    if (!x) return nullptr;
    if (argc > 0 && argv)
        x->label = argv[0];
    else
        atom_setsym(&x->label, gensym("print"));
    return x;
}

}  // namespace

bool print_init() { return creation_provide("print", as_method(&print_new)); }

}  // namespace kel
