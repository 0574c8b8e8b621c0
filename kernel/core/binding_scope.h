// A symbol's binding (its `thing`) held for the length of a scope.
#pragma once

#include "kel/base.h"
#include "kernel/core/objects.h"

namespace kel {

// Saves s's binding when made and puts it back when destroyed, also when the
// scope is left early or by an exception. With if_alive, a saved object
// that was freed meanwhile is not put back: the binding is cleared instead.
class binding_scope {
public:
    enum restore { as_saved, if_alive };

    explicit binding_scope(symbol *s, restore how = as_saved) : s_(s), saved_(s->thing), how_(how) {}
    // Saves the binding, then binds s to now.
    binding_scope(symbol *s, object *now, restore how = as_saved) : binding_scope(s, how) { s->thing = now; }
    ~binding_scope() { s_->thing = how_ == as_saved || object_valid_checked(saved_) ? saved_ : nullptr; }
    binding_scope(const binding_scope &) = delete;
    binding_scope &operator=(const binding_scope &) = delete;

    object *saved() const { return saved_; }

private:
    symbol *s_;
    object *saved_;
    restore how_;
};

}  // namespace kel
