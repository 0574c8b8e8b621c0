// Evaluation of atom sequences as messages.
//
// The walk keeps a current receiver, initially the caller's target. A
// semicolon clears it; with no receiver the next atom names one; with a
// receiver, the atoms up to the next semicolon or comma are resolved into a
// message and sent with typedmess. A comma keeps the receiver for the next
// message. Errors skip to the next semicolon or comma.
#include "kernel/text/binbuf_eval.h"

#include <cstdio>
#include <cstring>

#include "kel/atoms.h"
#include "kel/classes.h"
#include "kel/console.h"
#include "kel/symbols.h"
#include "kernel/core/symbols.h"

namespace kel {
namespace {

struct walk {
    atom_source source;
    const atom *args;
    long nargs;
    eval_dialect dialect;
    atom current;
    bool have;  // current holds an atom; false at the end

    void advance() { have = source.next(source.context, &current); }
    bool at_separator() const { return current.type == ATYPE_SEMI || current.type == ATYPE_COMMA; }
    // Leaves the walk on the next semicolon or comma, or at the end.
    void skip_message()
    {
        while (have && !at_separator()) advance();
    }
};

const char *name_of(const symbol *s) { return s && s->name ? s->name : ""; }

// How a receiver error shows the atom that caused it.
void report_receiver(const char *format, const atom &a, eval_dialect dialect)
{
    if (dialect == eval_dialect::binbuf && a.type == ATYPE_SYM) {
        char shown[2048];
        std::snprintf(shown, sizeof shown, "'%s", name_of(a.word.w_sym));
        error(format, shown);
    } else if (dialect == eval_dialect::binbuf && a.type == ATYPE_FLOAT) {
        error(format, "?");
    } else {
        error(format, atom_string(&a));
    }
}

// A $ symbol's expansion: its first character selects an argument (0 .. the
// argument count), whose text replaces that character. Null when there are
// no arguments or the first character selects none.
symbol *expand(const symbol *s, const walk &w)
{
    const char *name = name_of(s);
    if (!w.args || w.nargs <= 0) return nullptr;
    if (name[0] < '0' || name[0] > '9' || name[0] - '0' > w.nargs) return nullptr;
    char text[4096];
    std::snprintf(text, sizeof text, "%s%s", atom_string(&w.args[name[0] - '0']), name + 1);
    return gensym(text);
}

bool is_dollar_in_range(const walk &w, atom_long n) { return w.args && n >= 1 && n <= w.nargs; }

// The object the current atom names, or null after reporting why there is
// none.
object *resolve_receiver(const walk &w)
{
    const atom &a = w.current;
    switch (a.type) {
    case ATYPE_SYM:
        if (a.word.w_sym && a.word.w_sym->thing) return a.word.w_sym->thing;
        report_receiver("%s: no such object", a, w.dialect);
        return nullptr;
    case ATYPE_DOLLAR: {
        if (!is_dollar_in_range(w, a.word.w_long)) {
            report_receiver("%s: argument out of range", a, w.dialect);
            return nullptr;
        }
        const atom &arg = w.args[a.word.w_long];
        if (arg.type != ATYPE_SYM) {
            error("%s: not a symbol", atom_string(&arg));
            return nullptr;
        }
        if (arg.word.w_sym && arg.word.w_sym->thing) return arg.word.w_sym->thing;
        error("%s: no such object", name_of(arg.word.w_sym));
        return nullptr;
    }
    case ATYPE_DOLLSYM: {
        symbol *s = expand(a.word.w_sym, w);
        if (!s) {
            report_receiver("%s: argument out of range", a, w.dialect);
            return nullptr;
        }
        if (s->thing) return s->thing;
        error("%s: no such object", s->name);
        return nullptr;
    }
    default:
        report_receiver("%s: not a symbol", a, w.dialect);
        return nullptr;
    }
}

bool is_hash_zero(const symbol *s, char kind)
{
    const char *name = name_of(s);
    return name[0] == '#' && name[1] == kind && name[2] >= '1' && name[2] <= '9' && name[3] == '\0';
}

// The message atom for the current atom; false for an atom no message can
// hold (reported).
bool resolve_argument(const walk &w, atom *out)
{
    const atom &a = w.current;
    switch (a.type) {
    case ATYPE_LONG:
    case ATYPE_FLOAT:
        *out = a;
        return true;
    case ATYPE_SYM:
        *out = a;
        if (w.dialect == eval_dialect::atombuf) {
            if (is_hash_zero(a.word.w_sym, 'i')) atom_setlong(out, 0);
            if (is_hash_zero(a.word.w_sym, 'f')) atom_setfloat(out, 0.0);
        }
        return true;
    case ATYPE_DOLLAR:
        if (is_dollar_in_range(w, a.word.w_long)) {
            *out = w.args[a.word.w_long];
            return true;
        }
        if (w.dialect == eval_dialect::atombuf)
            error("\"$\" variable out of range (%d)", static_cast<int>(a.word.w_long));
        else
            error("\"$\" variable out of range");
        {
            char name[32];
            std::snprintf(name, sizeof name, "$%ld", static_cast<long>(a.word.w_long));
            atom_setsym(out, gensym(name));
        }
        return true;
    case ATYPE_DOLLSYM:
        if (symbol *s = expand(a.word.w_sym, w)) {
            atom_setsym(out, s);
            return true;
        }
        error(w.dialect == eval_dialect::atombuf ? "\"$\" symbol variable out of range"
                                                 : "\"$\" variable out of range");
        atom_setsym(out, a.word.w_sym);
        return true;
    default:
        if (w.dialect == eval_dialect::atombuf)
            error("bad argument (%d)", static_cast<int>(a.type));
        else
            report_receiver("%s: bad argument", a, w.dialect);
        return false;
    }
}

}  // namespace

void *evaluate_messages(atom_source source, const atom *args, long nargs, void *target, eval_dialect dialect)
{
    walk w{source, args, args ? nargs : 0, dialect, {}, false};
    auto *receiver = static_cast<object *>(target);
    void *result = nullptr;
    atom message[eval_message_max];

    w.advance();
    while (w.have) {
        if (w.current.type == ATYPE_SEMI) {
            receiver = nullptr;
            w.advance();
            continue;
        }
        if (w.current.type == ATYPE_COMMA) {  // no receiver, or an empty message
            w.advance();
            continue;
        }
        if (!receiver) {
            receiver = resolve_receiver(w);
            if (receiver)
                w.advance();
            else
                w.skip_message();
            continue;
        }

        long n = 0;
        bool broken = false;
        for (; w.have && !w.at_separator(); w.advance()) {
            if (n == eval_message_max) {
                ouchstring("Message stack overflow");
                broken = true;
                break;
            }
            if (!resolve_argument(w, &message[n])) {
                broken = true;
                break;
            }
            n++;
        }
        if (broken) {
            w.skip_message();
        } else if (n > 0) {
            switch (message[0].type) {
            case ATYPE_SYM:
                result = typedmess(receiver, message[0].word.w_sym, n - 1, message + 1);
                break;
            case ATYPE_LONG:
                result = typedmess(receiver, n == 1 ? sym_int : sym_list, n, message);
                break;
            case ATYPE_FLOAT:
                result = typedmess(receiver, n == 1 ? sym_float : sym_list, n, message);
                break;
            default:
                error("badly formed message");
                break;
            }
        }
        // A comma keeps the receiver: step over it here, before the top of
        // the loop would take it for a separator without one.
        if (w.have && w.current.type == ATYPE_COMMA) w.advance();
    }
    return result;
}

}  // namespace kel
