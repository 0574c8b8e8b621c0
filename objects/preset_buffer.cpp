// The current preset buffer and the functions objects store their state
// with (kel/preset.h).
#include <cstdarg>
#include <new>

#include "kel/atoms.h"
#include "kel/classes.h"
#include "kel/memory.h"
#include "kel/preset.h"
#include "kel/symbols.h"
#include "kernel/core/atoms.h"
#include "kernel/core/memory.h"
#include "objects/preset.h"

namespace kel {
namespace {

std::vector<atom> *g_current = nullptr;

constexpr long store_max = 32;

// Appends head then body and the semicolon that ends a message; a message
// that does not fit leaves the buffer as it was.
void append(const atom *head, long head_count, const atom *body, long body_count)
{
    if (!g_current || head_count + body_count <= 0) return;
    const size_t was = g_current->size();
    try {
        g_current->insert(g_current->end(), head, head + head_count);
        if (body_count > 0 && body) g_current->insert(g_current->end(), body, body + body_count);
        atom semicolon;
        semicolon.type = ATYPE_SEMI;
        semicolon.word.w_long = 0;
        g_current->push_back(semicolon);
    } catch (const std::bad_alloc &) {
        g_current->resize(was);
        memory_set_low(true);
    }
}

void append_message(void *x, symbol *selector, long n)
{
    atom value;
    atom_setlong(&value, n);
    if (x) preset_store_message(static_cast<object *>(x), selector, 1, &value);
}

}  // namespace

void preset_store_message(object *x, symbol *selector, long argc, const atom *argv)
{
    if (!g_current || !x || !selector) return;
    atom head[3];
    atom_setobj(&head[0], x);
    atom_setsym(&head[1], object_classname(x));
    atom_setsym(&head[2], selector);
    append(head, 3, argv, argc);
}

std::vector<atom> *preset_buffer_exchange(std::vector<atom> *buffer)
{
    std::vector<atom> *was = g_current;
    g_current = buffer;
    return was;
}

}  // namespace kel

using namespace kel;

KEL_API void preset_int(void *x, long n)
{
    static symbol *const int_ = gensym("int");
    append_message(x, int_, n);
}

KEL_API void preset_set(void *x, long n)
{
    static symbol *const set = gensym("set");
    append_message(x, set, n);
}

KEL_API void preset_store(const char *format, ...)
{
    if (!g_current || !format) return;
    atom argv[store_max];
    va_list args;
    va_start(args, format);
    const long n = atoms_from_format(format, &args, argv, store_max);
    va_end(args);
    append(argv, n, nullptr, 0);
}
