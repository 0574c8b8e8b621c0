// The MIDI manager's life: made at start-up, with the drivers the options
// allow, and told to stop at quit. The program calls these; MIDI objects
// and drivers use kel/midi.h.
#pragma once

#include <string>
#include <vector>

#include "kel/midi.h"

namespace kel {

struct midi_start_options {
    bool setup = true;               // false: no driver at all (setoption nomidisetup 1, --midi none)
    bool only_named = false;         // install only the drivers named below (--midi NAMES)
    std::vector<std::string> names;  // driver names: their file names without the extension
    std::string folder;              // the drivers' folder, instead of the one looked for (embedding, tests)
};

// Makes the manager, binds "#SM" to it, installs the drivers of the
// "mididrivers" folder (else the default driver), reads their preferences
// files. Reports that no driver was found, or that one failed to start,
// are held back until MIDI is first used (sysmidi_touch), or posted at
// once with the verbose setting on. Main thread, once.
void midi_start(const midi_start_options &options);

// Sends stop to every driver (input threads end), then frees the drivers,
// the ports and the manager. Main thread.
void midi_stop();

// Whether packets wait on the input queue (a batch run does not end then).
bool midi_pending();

// Posts both port lists (kel's midilist).
void midi_list();

// Parses "--midi" values: "none", or driver names separated by commas.
midi_start_options midi_options_from(const std::string &names, bool nomidisetup);

// --- for tests ---
// Installs an object as a driver (mididriverinfo, setup); true when it
// stays. The manager is made when missing.
bool midi_install_driver(object *driver);
// Writes the preferences file of every driver now.
void midi_write_preferences();
// Reads the preferences files of every driver, as start-up does.
void midi_read_preferences();
// Takes one packet off the queue as the scheduler poll does, at time start;
// true when there was one.
bool midi_poll_one(double start);

}  // namespace kel
