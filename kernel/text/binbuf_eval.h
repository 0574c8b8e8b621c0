// Evaluation: reading a sequence of atoms as messages and sending them.
//
// Shared by binbuf_eval and atombuf_eval, which differ only in how errors
// show atoms and in two conversions of box text (the dialect). Evaluation
// keeps all its state on the stack, so a method it calls may evaluate again;
// it allocates nothing but the symbols that $ symbols expand to.
#pragma once

#include "kel/base.h"

namespace kel {

enum class eval_dialect {
    binbuf,   // receiver errors show symbols as 'name and floats as ?
    atombuf,  // every atom as atom_string shows it; #i1 / #f1 read as 0
};

// The atoms to evaluate, one per call: false at the end, or when the source
// changed under the evaluation (which then stops).
struct atom_source {
    bool (*next)(void *context, atom *a);
    void *context;
};

// A message holds at most this many atoms.
inline constexpr long eval_message_max = 600;

// Evaluates the source's messages. args[0] is argument 0 (what $0 expands to
// in a $ symbol) and args[1 .. nargs] are $1 .. $nargs; with nargs 0 (or args
// null) there are no arguments. The first message goes to target (which may
// be null). Answers what the last delivered message's method returned.
void *evaluate_messages(atom_source source, const atom *args, long nargs, void *target, eval_dialect dialect);

}  // namespace kel
