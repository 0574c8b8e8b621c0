// The MIDI manager's private state, shared by its sources: manager.cpp
// (ports, queue, drivers, preferences) and manager_messages.cpp (the
// sysmidi class and its messages).
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "kel/clocks.h"
#include "kel/midi.h"
#include "midi/queue.h"

namespace kel::midi {

struct sysmidi {
    object ob;
};

struct manager_state {
    sysmidi *manager = nullptr;  // bound to "#SM"
    kel_class *manager_class = nullptr;
    std::vector<object *> drivers;  // in installation order
    midiport *inports = nullptr;
    midiport *outports = nullptr;
    long in_channels = 0;  // 16 per port
    long out_channels = 0;
    bool opened = false;  // openports has been sent
    std::unique_ptr<input_queue> queue;
    std::recursive_mutex port_lock;
    std::atomic<long> next_id{1};
    // Reports held back until MIDI is first used.
    std::vector<std::string> held;
    bool touched = false;
    bool reading_preferences = false;
    qelem *prefs_qelem = nullptr;  // writes the preferences files, once per burst of changes
    bool prefs_dirty = false;      // a change not yet written
    qelem *drop_qelem = nullptr;   // reports bytes the full queue refused
    std::chrono::steady_clock::time_point last_drop_report{};
};

manager_state &state();

// Makes the manager object and binds "#SM"; false when it could not be made.
bool manager_make();
void manager_free();

midiport *port_by_name(symbol *name, long direction);
midiport *port_at(long index, long direction);
object *driver_by_name(symbol *name);
// The default driver when installed, else the first one.
object *default_driver();
// A setting changed: the preferences files are written on the main thread.
void preferences_changed();
// The scheduler's input hook: one packet off the queue.
bool take_one(double start);

}  // namespace kel::midi
