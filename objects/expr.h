// Expressions: a small C-like language over 32-bit integers, 32-bit floats,
// symbols and tables, compiled once into an array of nodes in prefix order
// and evaluated on demand. Used by the `expr` and `if` boxes and by
// externals through expr_new / expr_eval.
//
// Beside the nodes, compilation writes the same expression as a flat
// postfix program that a loop runs over a fixed stack of values, without
// recursion or allocation; the nodes stay the description of the
// expression and the reference the program is checked against.
//
// Invariant: a compiled expression's node array is a complete prefix
// expression ended by a node of type none; every inlet node it holds
// refers to a slot whose kind is the node's kind. Its program computes what
// a walk over the nodes computes, with the same posts in the same order.
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

// One step of the flat program. Operands are pushed left first; an
// operator replaces its operands on the stack by its result.
enum class expr_code : uint8_t {
    end,           // the result is the one value on the stack
    walk,          // no program: evaluate by walking the nodes
    push_int,      // i
    push_float,    // f
    push_symbol,   // s
    push_slot,     // arg: slot 0-8 of a value kind
    bad_inlet,     // an inlet without a value kind: post and fail
    bad_node,      // arg: a node type no evaluation knows: post and fail
    unary,         // arg: operator id
    binary,        // arg: operator id; left and right on the stack
    binary_int,    // arg: operator id; left on the stack, right the constant i
    binary_float,  // arg: operator id; left on the stack, right the constant f
    binary_slot,   // arg: operator id; left on the stack, right slot index (i)
    table_read,    // s: the table's name; the index on the stack
    table_arg,     // the symbol on the stack names the table of a table function
    call,          // arg: function table entry; its arguments on the stack
    // The three commonest operators in the forms binary, binary_int and
    // binary_slot, with the operator in the code.
    add,
    sub,
    mul,
    add_int,
    sub_int,
    mul_int,
    add_slot,
    sub_slot,
    mul_slot,
};

struct expr_step {
    expr_code code = expr_code::end;
    uint8_t arg = 0;
    uint16_t at = 0;  // the node the step comes from, for error texts
    union {
        int32_t i;
        float f;
        symbol *s;
    };
    expr_step() : i(0) {}
};

// A text of at most 256 tokens gives at most one step per node plus one per
// table function, whose parentheses make no node; one more ends the program.
inline constexpr int expr_steps_max = expr_nodes_max;

struct expr_program {
    expr_slot slots[expr_slots];
    uint16_t value_slots = 0;  // bit k: slot k has a value kind (int, float or symbol)
    expr_node nodes[expr_nodes_max];
    expr_step steps[expr_steps_max];
};

// Writes argv as the expression's text (at most 256 characters, cut with
// "expr: args truncated"). False when the text was cut or held an atom of
// a type that has no text; the error is posted.
bool expr_atoms_to_text(long argc, const atom *argv, char *text, long size);

// Compiles text into p: slot kinds, nodes and program. False after the
// error is posted; p is then unusable.
bool expr_compile(const char *text, expr_program *p);

// Writes p's program and value_slots from its slot kinds and nodes. A node
// array that does not fit the program leaves a program that walks the nodes.
void expr_translate(expr_program *p);

// Evaluates p with its current slot values by running its program. False
// after an error is posted; *result is then unchanged. Allocates nothing.
bool expr_evaluate(const expr_program *p, expr_value *result);

// The same by a recursive walk over the nodes: the reference the program
// must agree with, result for result and post for post.
bool expr_evaluate_nodes(const expr_program *p, expr_value *result);

// The number of arguments of a function table entry and its name.
int expr_function_arity(int index);
const char *expr_function_name(int index);

// The `expr` box class and expr_new's objects; set up on first use.
bool expr_init();

// True when x is a live expression object.
bool expr_is_expression(const void *x);

}  // namespace kel
