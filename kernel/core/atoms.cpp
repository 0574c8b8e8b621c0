// Atom setters, getters and argument helpers.
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "kel/atoms.h"
#include "kel/classes.h"
#include "kel/console.h"
#include "kel/symbols.h"
#include "kernel/core/atoms.h"
#include "kernel/core/symbols.h"

namespace {

// Reads a decimal integer the way "%ld" does: blanks, an optional sign, digits.
// False when no digit can be read. The value wraps to 32 bits as atom
// integers do.
bool parse_long(const char *text, atom_long *out)
{
    const char *p = text;
    while (std::isspace(static_cast<unsigned char>(*p))) p++;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    if (!std::isdigit(static_cast<unsigned char>(*p))) return false;
    uint32_t value = 0;
    while (std::isdigit(static_cast<unsigned char>(*p))) value = value * 10u + static_cast<uint32_t>(*p++ - '0');
    *out = static_cast<atom_long>(negative ? 0u - value : value);
    return true;
}

// Reads a float the way "%f" does. False when no number can be read.
bool parse_float(const char *text, atom_float *out)
{
    char *end = nullptr;
    errno = 0;
    float value = std::strtof(text, &end);
    if (end == text) return false;
    *out = value;
    return true;
}

bool arg_ok(const void *out, long i, long argc, const atom *argv)
{
    return out && argv && argc > 0 && i >= 0 && i < argc;
}

}  // namespace

KEL_API long atom_setlong(atom *a, long n)
{
    if (!a) return ERR_INVALID_PTR;
    a->type = ATYPE_LONG;
    a->word.w_long = static_cast<atom_long>(static_cast<uint32_t>(n));
    return ERR_NONE;
}

KEL_API long atom_setfloat(atom *a, double x)
{
    if (!a) return ERR_INVALID_PTR;
    a->type = ATYPE_FLOAT;
    a->word.w_float = static_cast<atom_float>(x);
    return ERR_NONE;
}

KEL_API long atom_setsym(atom *a, symbol *s)
{
    if (!a) return ERR_INVALID_PTR;
    a->type = ATYPE_SYM;
    a->word.w_sym = s;
    return ERR_NONE;
}

KEL_API long atom_setobj(atom *a, void *o)
{
    if (!a) return ERR_INVALID_PTR;
    a->type = ATYPE_OBJ;
    a->word.w_obj = static_cast<object *>(o);
    return ERR_NONE;
}

KEL_API atom_long atom_getlong(const atom *a)
{
    if (!a) return 0;
    switch (a->type) {
    case ATYPE_LONG:
        return a->word.w_long;
    case ATYPE_FLOAT:
        return kel::float_to_long(a->word.w_float);
    case ATYPE_SYM: {
        atom_long value = 0;
        const char *name = a->word.w_sym ? a->word.w_sym->name : "";
        if (!parse_long(name, &value)) {
            warning("%s: bad number", name);
            return 0;
        }
        return value;
    }
    default:
        return 0;
    }
}

KEL_API atom_float atom_getfloat(const atom *a)
{
    if (!a) return 0;
    switch (a->type) {
    case ATYPE_FLOAT:
        return a->word.w_float;
    case ATYPE_LONG:
        return static_cast<atom_float>(a->word.w_long);
    case ATYPE_SYM: {
        atom_float value = 0;
        const char *name = a->word.w_sym ? a->word.w_sym->name : "";
        if (!parse_float(name, &value)) {
            warning("%s: bad number", name);
            return 0;
        }
        return value;
    }
    default:
        return 0;
    }
}

KEL_API symbol *atom_getsym(const atom *a)
{
    if (a && a->type == ATYPE_SYM && a->word.w_sym) return a->word.w_sym;
    return kel::sym_empty;
}

KEL_API void *atom_getobj(const atom *a) { return a && a->type == ATYPE_OBJ ? a->word.w_obj : nullptr; }

KEL_API long atom_getcharfix(const atom *a)
{
    if (!a) return 0;
    long v;
    if (a->type == ATYPE_LONG) {
        v = a->word.w_long;
    } else if (a->type == ATYPE_FLOAT) {
        double scaled = static_cast<double>(a->word.w_float) * 255.0;
        if (!(scaled == scaled)) return 0;
        v = scaled >= 255.0 ? 255 : scaled <= 0.0 ? 0 : static_cast<long>(scaled);
    } else {
        return 0;
    }
    return v < 0 ? 0 : v > 255 ? 255 : v;
}

KEL_API long atom_arg_getlong(atom_long *out, long i, long argc, const atom *argv)
{
    if (!arg_ok(out, i, argc, argv)) return -1;
    *out = atom_getlong(argv + i);
    return 0;
}

KEL_API long atom_arg_getfloat(float *out, long i, long argc, const atom *argv)
{
    if (!arg_ok(out, i, argc, argv)) return -1;
    *out = atom_getfloat(argv + i);
    return 0;
}

KEL_API long atom_arg_getdouble(double *out, long i, long argc, const atom *argv)
{
    if (!arg_ok(out, i, argc, argv)) return -1;
    *out = atom_getfloat(argv + i);
    return 0;
}

KEL_API long atom_arg_getsym(symbol **out, long i, long argc, const atom *argv)
{
    if (!arg_ok(out, i, argc, argv)) return -1;
    *out = atom_getsym(argv + i);
    return 0;
}

KEL_API const char *atom_string(const atom *a)
{
    static char buffer[2048];
    if (!a) return "(end)";
    switch (a->type) {
    case ATYPE_NOTHING:
        return "(end)";
    case ATYPE_LONG:
        std::snprintf(buffer, sizeof buffer, "%ld", static_cast<long>(a->word.w_long));
        return buffer;
    case ATYPE_FLOAT:
        std::snprintf(buffer, sizeof buffer, "%.2f", static_cast<double>(a->word.w_float));
        return buffer;
    case ATYPE_SYM:
        return a->word.w_sym ? a->word.w_sym->name : "";
    case ATYPE_OBJ:
        return object_classname(a->word.w_obj)->name;
    case ATYPE_SEMI:
        return ";";
    case ATYPE_COMMA:
        return ",";
    case ATYPE_DOLLAR:
        std::snprintf(buffer, sizeof buffer, "$%ld", static_cast<long>(a->word.w_long));
        return buffer;
    case ATYPE_DOLLSYM:
        std::snprintf(buffer, sizeof buffer, "$%s", a->word.w_sym ? a->word.w_sym->name : "");
        return buffer;
    default:
        return "?";
    }
}

namespace kel {

long atoms_from_format(const char *format, va_list *args, atom *out, long max)
{
    long n = 0;
    for (const char *f = format; *f && n < max; f++) {
        switch (*f) {
        case 'l':
            atom_setlong(&out[n++], va_arg(*args, long));
            break;
        case 'f':
            atom_setfloat(&out[n++], va_arg(*args, double));
            break;
        case 's': {
            symbol *s = va_arg(*args, symbol *);
            atom_setsym(&out[n++], s ? s : sym_empty);
            break;
        }
        case 'o':
            atom_setobj(&out[n++], va_arg(*args, void *));
            break;
        default:
            break;
        }
    }
    return n;
}

}  // namespace kel
