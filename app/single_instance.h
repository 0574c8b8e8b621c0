// One interactive kel per preferences folder: the first listens on a
// Unix-domain socket; a later interactive launch hands its document to it
// and exits.
//
// The socket lies in $XDG_RUNTIME_DIR, else in a folder of the user's own
// (mode 0700) in the temporary folder, named from a key (the preferences
// folder): a run with another --prefs is another engine. Only peers of the same user
// are served or trusted. A socket left by a run that died (nobody accepts on
// it) is taken over.
#pragma once

#include <cstddef>
#include <string>

namespace kel::app {

enum class instance_role {
    first,      // listening: forwarded documents will arrive at the queue service
    forwarded,  // another kel took the document: this launch is done
    alone,      // no socket could be had: runs on its own, as batch runs do
};

// Connects to the running kel of key (the full name of the preferences
// folder, and what else sets one engine apart) and forwards document (a full
// name, or empty), or else listens. Main thread, at start-up, before the
// kernel runs anything.
instance_role single_instance_start(const std::string &key, const std::string &document);

// The pid of the kel a forwarded launch reached.
long single_instance_peer();

// Stops listening and removes the socket. Safe when never started.
void single_instance_stop();

// The message a launch sends: "kel1", the name's length as 4 bytes
// big-endian, then the name's bytes (a full operating-system name, no NUL).
inline constexpr std::size_t forward_name_limit = 4096;
std::string forward_message(const std::string &name);

// Reads a message from the bytes received so far. complete: *name holds the
// name; more: the bytes are a valid beginning; refused: not a message (bad
// magic, a length over forward_name_limit, a NUL in the name, or bytes after
// its end).
enum class forward_parse { complete, more, refused };
forward_parse forward_message_parse(const char *data, std::size_t size, std::string *name);

}  // namespace kel::app
