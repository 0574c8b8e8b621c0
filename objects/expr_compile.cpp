// Expression compiler: atoms to text, text to tokens, tokens to nodes in
// prefix order.
//
// The parse finds, in each span, the binary operator of lowest precedence
// outside any grouping, taking the rightmost among equals, so that operators
// of one precedence group from the left; it emits that operator, then its
// left part, then its right part.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kel/console.h"
#include "kel/symbols.h"
#include "objects/expr.h"
#include "objects/expr_ops.h"

namespace kel {
namespace {

enum class token_type : uint8_t {
    int_const,
    float_const,
    op,
    name,
    function,
    table,
    lparen,
    rparen,
    lbracket,
    rbracket,
    inlet,
    symbol,
};

struct token {
    token_type type;
    uint8_t op;    // operator id
    uint8_t kind;  // inlet kind
    uint8_t slot;  // inlet slot 0-8
    int32_t i;
    float f;
    symbol *s;
    short start;  // name: its span in the text
    short length;
    short match;  // grouping: the index of the other bracket
};

struct compiler {
    const char *text;
    token tokens[expr_text_max + 1];
    int count;
    expr_program *p;
    int out;
};

bool is_name_char(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '#';
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Reads an inlet reference "$" kind digits at text[at]; *end is set past it.
// kind_out/slot_out get the reference. False after the error is posted.
bool scan_inlet(compiler &c, int at, int *end, uint8_t *kind_out, uint8_t *slot_out)
{
    const char *t = c.text;
    int i = at + 1;
    uint8_t kind;
    switch (t[i]) {
    case 'i':
    case 'I':
        kind = expr_kind_int;
        break;
    case 'f':
    case 'F':
        kind = expr_kind_float;
        break;
    case 's':
    case 'S':
        kind = expr_kind_symbol;
        break;
    case '~':
        kind = expr_kind_signal;
        break;
    default:
        post("expr: syntax error %s", t + at);
        return false;
    }
    i++;
    if (!is_digit(t[i])) {
        post("expr: syntax error %s", t + at);
        return false;
    }
    long n = 0;
    while (is_digit(t[i])) {
        if (n < 1000) n = n * 10 + (t[i] - '0');
        i++;
    }
    if (n < 1 || n > expr_slots) {
        post("expr: inlet out of range: %s", t + at);
        return false;
    }
    expr_slot &slot = c.p->slots[n - 1];
    if (slot.kind != expr_kind_none && slot.kind != kind) {
        post("expr: inlets can only have one type: %s", t + at);
        return false;
    }
    slot.kind = kind;
    *kind_out = kind;
    *slot_out = static_cast<uint8_t>(n - 1);
    *end = i;
    return true;
}

struct operator_spelling {
    const char *text;
    uint8_t op;
};

// Longest spellings first, so that "<=" is not read as "<" then "=".
constexpr operator_spelling g_spellings[] = {
    {"||", op_lor}, {"&&", op_land}, {"!=", op_ne},  {"==", op_eq},  {">=", op_ge},  {"<=", op_le},  {">>", op_shr},
    {"<<", op_shl}, {"|", op_bor},   {"^", op_bxor}, {"&", op_band}, {">", op_gt},   {"<", op_lt},   {"-", op_sub},
    {"+", op_add},  {"%", op_mod},   {"/", op_div},  {"*", op_mul},  {"~", op_bnot}, {"!", op_lnot}, {",", op_comma},
};

bool scan(compiler &c)
{
    const char *t = c.text;
    int i = 0;
    c.count = 0;
    while (t[i]) {
        if (t[i] == ' ' || t[i] == '\t') {
            i++;
            continue;
        }
        if (c.count > expr_text_max) return false;  // cannot happen: a token takes a character
        token &k = c.tokens[c.count];
        k = token{};
        const char ch = t[i];
        if (ch == '(' || ch == ')' || ch == '[' || ch == ']') {
            k.type = ch == '('   ? token_type::lparen
                     : ch == ')' ? token_type::rparen
                     : ch == '[' ? token_type::lbracket
                                 : token_type::rbracket;
            i++;
            c.count++;
            continue;
        }
        if (ch == ';') {
            post("expr: ';' not implemented\n");
            return false;
        }
        if (ch == '=' && t[i + 1] != '=') {
            post("expr: =");
            return false;
        }
        bool matched = false;
        for (const operator_spelling &s : g_spellings) {
            const size_t n = std::strlen(s.text);
            if (std::strncmp(t + i, s.text, n) == 0) {
                k.type = token_type::op;
                k.op = s.op;
                i += static_cast<int>(n);
                matched = true;
                break;
            }
        }
        if (matched) {
            c.count++;
            continue;
        }
        if (is_digit(ch) || ch == '.') {
            int j = i;
            bool is_float = false;
            while (is_digit(t[j])) j++;
            if (t[j] == '.') {
                is_float = true;
                j++;
                while (is_digit(t[j])) j++;
            }
            if ((t[j] == 'e' || t[j] == 'E') &&
                (is_digit(t[j + 1]) || ((t[j + 1] == '+' || t[j + 1] == '-') && is_digit(t[j + 2])))) {
                is_float = true;
                j += 2;
                while (is_digit(t[j])) j++;
            }
            char number[expr_text_max + 1];
            std::memcpy(number, t + i, static_cast<size_t>(j - i));
            number[j - i] = '\0';
            if (is_float) {
                k.type = token_type::float_const;
                k.f = static_cast<float>(std::strtod(number, nullptr));
            } else {
                k.type = token_type::int_const;
                k.i = static_cast<int32_t>(static_cast<uint32_t>(std::strtoull(number, nullptr, 10)));
            }
            i = j;
            c.count++;
            continue;
        }
        if (ch == '$') {
            int end;
            if (!scan_inlet(c, i, &end, &k.kind, &k.slot)) return false;
            k.type = token_type::inlet;
            i = end;
            c.count++;
            continue;
        }
        if (ch == '"') {
            int j = i + 1;
            while (t[j] && t[j] != '"') j++;
            if (!t[j]) {
                post("expr: missing '\"'");
                return false;
            }
            if (j == i + 1) {
                post("expr: empty symbol: %s", t + i);
                return false;
            }
            if (t[i + 1] == '$') {
                int end;
                if (!scan_inlet(c, i + 1, &end, &k.kind, &k.slot)) return false;
                if (end != j || k.kind != expr_kind_symbol) {
                    post("expr: bad symbol name: %s", t + i);
                    return false;
                }
                k.type = token_type::inlet;
            } else {
                for (int m = i + 1; m < j; m++)
                    if (!is_name_char(t[m])) {
                        post("expr: bad symbol name: %s", t + i);
                        return false;
                    }
                char name[expr_text_max + 1];
                std::memcpy(name, t + i + 1, static_cast<size_t>(j - i - 1));
                name[j - i - 1] = '\0';
                k.type = token_type::symbol;
                k.s = gensym(name);
            }
            i = j + 1;
            c.count++;
            continue;
        }
        if (is_name_char(ch)) {
            int j = i;
            while (is_name_char(t[j])) j++;
            k.type = token_type::name;
            k.start = static_cast<short>(i);
            k.length = static_cast<short>(j - i);
            i = j;
            c.count++;
            continue;
        }
        post("expr: syntax error %s", t + i);
        return false;
    }
    return true;
}

void token_name(const compiler &c, const token &k, char *out)
{
    std::memcpy(out, c.text + k.start, static_cast<size_t>(k.length));
    out[k.length] = '\0';
}

// Unary minus, functions and table names; bracket matching.
bool classify(compiler &c)
{
    int stack[expr_text_max + 1];
    int depth = 0;
    for (int i = 0; i < c.count; i++) {
        token &k = c.tokens[i];
        if (k.type == token_type::op && k.op == op_sub) {
            const bool first = i == 0;
            const token_type prev = first ? token_type::op : c.tokens[i - 1].type;
            if (first || prev == token_type::op || prev == token_type::lparen || prev == token_type::lbracket)
                k.op = op_neg;
        } else if (k.type == token_type::name) {
            char name[expr_text_max + 1];
            token_name(c, k, name);
            const token_type next = i + 1 < c.count ? c.tokens[i + 1].type : token_type::op;
            if (next == token_type::lparen) {
                const int f = expr_function_find(name);
                if (f < 0) {
                    post("expr: function %s not found", name);
                    return false;
                }
                k.type = token_type::function;
                k.i = f;
            } else if (next == token_type::lbracket) {
                k.type = token_type::table;
                k.s = gensym(name);
            } else {
                post("expr: bad string '%s'", name);
                return false;
            }
        } else if (k.type == token_type::lparen || k.type == token_type::lbracket) {
            stack[depth++] = i;
        } else if (k.type == token_type::rparen || k.type == token_type::rbracket) {
            const token_type open = k.type == token_type::rparen ? token_type::lparen : token_type::lbracket;
            if (depth == 0 || c.tokens[stack[depth - 1]].type != open) {
                post("expr: prenthesis or brackets not matched");
                return false;
            }
            const int o = stack[--depth];
            c.tokens[o].match = static_cast<short>(i);
            k.match = static_cast<short>(o);
        }
    }
    if (depth > 0) {
        post("expr: an open %s not matched",
             c.tokens[stack[depth - 1]].type == token_type::lparen ? "parenthesis" : "bracket");
        return false;
    }
    return true;
}

bool is_unary(const token &k) { return k.type == token_type::op && op_is_unary(k.op); }

bool emit(compiler &c, const expr_node &n)
{
    if (c.out >= expr_nodes_max - 1) return false;  // cannot happen: a node per token at most
    c.p->nodes[c.out++] = n;
    return true;
}

bool parse(compiler &c, int lo, int hi, bool symbols_allowed);

// The comma-separated arguments in (lo, hi) of the function token f.
bool parse_arguments(compiler &c, int f, int lo, int hi)
{
    const token &fn = c.tokens[f];
    const long wanted = expr_function_arity(fn.i);
    int starts[expr_text_max + 1];
    int ends[expr_text_max + 1];
    long n = 0;
    if (hi > lo) {
        int start = lo;
        for (int i = lo; i < hi; i++) {
            const token &k = c.tokens[i];
            if (k.type == token_type::lparen || k.type == token_type::lbracket) {
                i = k.match;
            } else if (k.type == token_type::op && k.op == op_comma) {
                starts[n] = start;
                ends[n++] = i;
                start = i + 1;
            }
        }
        starts[n] = start;
        ends[n++] = hi;
    }
    if (n != wanted) {
        post("expr: function '%s' needs %ld arguments", expr_function_name(fn.i), wanted);
        return false;
    }
    expr_node node;
    node.type = expr_node_type::function;
    node.index = static_cast<uint16_t>(fn.i);
    if (!emit(c, node)) return false;
    for (long a = 0; a < n; a++)
        if (!parse(c, starts[a], ends[a], true)) return false;
    return true;
}

bool parse_leaf(compiler &c, const token &k, bool symbols_allowed)
{
    expr_node node;
    switch (k.type) {
    case token_type::int_const:
        node.type = expr_node_type::int_const;
        node.i = k.i;
        break;
    case token_type::float_const:
        node.type = expr_node_type::float_const;
        node.f = k.f;
        break;
    case token_type::inlet:
        node.type = expr_node_type::inlet;
        node.kind = k.kind;
        node.index = k.slot;
        break;
    case token_type::symbol:
        if (!symbols_allowed) {
            post("expr: symbols allowed for functions only");
            return false;
        }
        node.type = expr_node_type::symbol;
        node.s = k.s;
        break;
    default:
        post("expr: missing operand");
        return false;
    }
    return emit(c, node);
}

bool parse(compiler &c, int lo, int hi, bool symbols_allowed)
{
    if (hi <= lo) {
        post("expr: missing operand");
        return false;
    }
    int split = -1;
    int lowest = 1000;
    for (int i = lo; i < hi; i++) {
        const token &k = c.tokens[i];
        if (k.type == token_type::lparen || k.type == token_type::lbracket) {
            i = k.match;
            continue;
        }
        if (k.type != token_type::op || op_is_unary(k.op)) continue;
        const int prec = op_precedence(k.op);
        if (prec <= lowest) {
            lowest = prec;
            split = i;
        }
    }
    if (split >= 0) {
        const token &k = c.tokens[split];
        if (k.op == op_comma) {
            post("expr: illegal comma");
            return false;
        }
        if (split == lo) {
            post("expr: not a uniary operator");
            return false;
        }
        if (split == hi - 1) {
            post("expr: mission operand");
            return false;
        }
        expr_node node;
        node.type = expr_node_type::op;
        node.index = k.op;
        return emit(c, node) && parse(c, lo, split, false) && parse(c, split + 1, hi, false);
    }
    const token &first = c.tokens[lo];
    if (is_unary(first)) {
        if (hi - lo == 1) {
            post("expr: missing operand");
            return false;
        }
        expr_node node;
        node.type = expr_node_type::op;
        node.index = first.op;
        return emit(c, node) && parse(c, lo + 1, hi, false);
    }
    if (hi - lo == 1) return parse_leaf(c, first, symbols_allowed);
    if (hi - lo == 2 && is_unary(c.tokens[lo + 1])) {
        post("ex_paprse: unary operator should be first");
        return false;
    }
    switch (first.type) {
    case token_type::lparen:
        if (first.match == lo + 1) {
            post("expr: empty '%s'", "()");
            return false;
        }
        if (first.match != hi - 1) break;
        return parse(c, lo + 1, hi - 1, false);
    case token_type::function: {
        const int close = c.tokens[lo + 1].match;
        if (close != hi - 1) break;
        return parse_arguments(c, lo, lo + 2, close);
    }
    case token_type::table: {
        if (c.tokens[lo + 1].type != token_type::lbracket) {
            post("expr: tables need left bracket");
            return false;
        }
        const int close = c.tokens[lo + 1].match;
        if (close == lo + 2) {
            post("expr: empty '%s'", "[]");
            return false;
        }
        if (close != hi - 1) break;
        expr_node node;
        node.type = expr_node_type::table;
        node.s = first.s;
        return emit(c, node) && parse(c, lo + 2, close, false);
    }
    default:
        break;
    }
    post("expr: missing operation");
    return false;
}

}  // namespace

bool expr_atoms_to_text(long argc, const atom *argv, char *text, long size)
{
    long used = 0;
    text[0] = '\0';
    bool ok = true;
    for (long i = 0; i < argc; i++) {
        char piece[64];
        const atom &a = argv[i];
        switch (a.type) {
        case ATYPE_LONG:
            std::snprintf(piece, sizeof piece, "%ld ", static_cast<long>(a.word.w_long));
            break;
        case ATYPE_FLOAT: {
            // Nine significant digits read back as the same 32-bit float; a
            // point keeps an integral value a float constant.
            const float f = a.word.w_float;
            if (f != f)
                std::snprintf(piece, sizeof piece, "0. ");
            else if (std::isinf(f))
                std::snprintf(piece, sizeof piece, "%s1e39 ", f < 0 ? "-" : "");
            else {
                std::snprintf(piece, sizeof piece, "%.9g", static_cast<double>(f));
                if (!std::strpbrk(piece, ".e")) std::strcat(piece, ".");
                std::strcat(piece, " ");
            }
            break;
        }
        case ATYPE_SYM: {
            const char *name = a.word.w_sym ? a.word.w_sym->name : "";
            const long n = static_cast<long>(std::strlen(name));
            if (used + n + 1 > size - 1) {
                post("expr: args truncated");
                return false;
            }
            std::memcpy(text + used, name, static_cast<size_t>(n));
            used += n;
            text[used++] = ' ';
            text[used] = '\0';
            continue;
        }
        case ATYPE_SEMI:
            std::snprintf(piece, sizeof piece, "; ");
            break;
        case ATYPE_COMMA:
            std::snprintf(piece, sizeof piece, ", ");
            break;
        case ATYPE_DOLLAR:
            std::snprintf(piece, sizeof piece, "$ ");
            break;
        default:
            post("argstostr: wrong type %ld", static_cast<long>(a.type));
            ok = false;
            continue;
        }
        const long n = static_cast<long>(std::strlen(piece));
        if (used + n > size - 1) {
            post("expr: args truncated");
            return false;
        }
        std::memcpy(text + used, piece, static_cast<size_t>(n + 1));
        used += n;
    }
    return ok;
}

bool expr_compile(const char *text, expr_program *p)
{
    static compiler c;  // 8 KB of tokens: kept off the stack; compilation is main-thread only
    c.text = text;
    c.p = p;
    c.out = 0;
    for (expr_slot &s : p->slots) s = expr_slot{};
    for (expr_node &n : p->nodes) n = expr_node{};
    if (!scan(c) || !classify(c)) return false;
    if (c.count == 0) {
        post("expr: missing operand");
        return false;
    }
    if (!parse(c, 0, c.count, false)) return false;
    p->nodes[c.out] = expr_node{};
    expr_translate(p);
    return true;
}

}  // namespace kel
