// Expressions: a small C-like language over 32-bit integers, 32-bit floats,
// symbols and tables, compiled once into an array of nodes in prefix order
// and evaluated on demand. Used by the `expr` and `if` boxes and by
// externals through expr_new / expr_eval.
//
// Invariant: a compiled expression's node array is a complete prefix
// expression ended by a node of type none; every inlet node it holds
// refers to a slot whose kind is the node's kind.
#pragma once

#include <cstdint>

#include "kel/base.h"

namespace kel {

// Inlet kinds, numbered as expr_new reports them.
enum expr_kind : uint8_t { expr_kind_none = 0, expr_kind_int, expr_kind_float, expr_kind_symbol, expr_kind_signal };

inline constexpr int expr_slots = 9;
inline constexpr int expr_text_max = 256;
// A text of 256 characters has at most 256 tokens, and each token becomes
// at most one node; one more ends the array.
inline constexpr int expr_nodes_max = expr_text_max + 1;

// A value during evaluation: int, float or symbol.
struct expr_value {
    enum type_code : uint8_t { none = 0, int_value = 1, float_value = 2, symbol_value = 3 } type = none;
    union {
        int32_t i;
        float f;
        symbol *s;
    };
    expr_value() : i(0) {}
};

enum class expr_node_type : uint8_t {
    none,         // ends the array
    int_const,    // i
    float_const,  // f
    op,           // index: operator id
    table,        // s: the table's name; its index expression follows
    function,     // index: function table entry; its arguments follow
    symbol,       // s: a quoted symbol
    inlet,        // index: slot 0-8; kind: the slot's kind
};

struct expr_node {
    expr_node_type type = expr_node_type::none;
    uint8_t kind = expr_kind_none;
    uint16_t index = 0;
    union {
        int32_t i;
        float f;
        symbol *s;
    };
    expr_node() : i(0) {}
};

struct expr_slot {
    uint8_t kind = expr_kind_none;
    expr_value value;
};

struct expr_program {
    expr_slot slots[expr_slots];
    expr_node nodes[expr_nodes_max];
};

// Writes argv as the expression's text (at most 256 characters, cut with
// "expr: args truncated"). False when the text was cut or held an atom of
// a type that has no text; the error is posted.
bool expr_atoms_to_text(long argc, const atom *argv, char *text, long size);

// Compiles text into p: slot kinds and nodes. False after the error is
// posted; p is then unusable.
bool expr_compile(const char *text, expr_program *p);

// Evaluates p with its current slot values. False after an error is posted;
// *result is then unchanged. Allocates nothing.
bool expr_evaluate(const expr_program *p, expr_value *result);

// The number of arguments of a function table entry and its name.
int expr_function_arity(int index);
const char *expr_function_name(int index);

// The `expr` box class and expr_new's objects; set up on first use.
bool expr_init();

// True when x is a live expression object.
bool expr_is_expression(const void *x);

}  // namespace kel
