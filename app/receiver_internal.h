// What the parts of the application receiver share: its record, the
// get-command reply, and the functions that add each group of commands to
// the receiver's class.
#pragma once

#include "kel/kel.h"

namespace kel::app {

struct receiver {
    object ob;
};

template <class F> kel_method as_receiver_method(F *f) { return reinterpret_cast<kel_method>(f); }

// The get commands' answer: the object bound to the receiver name gets the
// value through its `int` (or `float`) method. Nothing happens when nothing
// is bound, when what is bound is not a live object (some names are bound
// to plain records), or when it has neither that method nor an `anything`
// method that takes every message.
void reply_int(symbol *receiver_name, long value);
void reply_float(symbol *receiver_name, double value);
// The same for any message: `list` for getboxcolor, `windows` for getsystem.
void reply_message(symbol *receiver_name, symbol *selector, long argc, atom *argv);

// Sends a message to the receiver itself, as system and runtime do.
void receiver_resend(symbol *selector, long argc, atom *argv);

// setoption KEYWORD VALUES...: each value taken as an integer (an int as it
// is, a float truncated toward zero, anything else 0), then stored and
// acted on; a keyword kel does not know is ignored.
void receiver_setoption(receiver *x, symbol *s, long argc, atom *argv);

// Each group of commands, added to the class while it is being built.
void receiver_add_settings(kel_class *c);
void receiver_add_files(kel_class *c);
void receiver_add_window(kel_class *c);

}  // namespace kel::app
