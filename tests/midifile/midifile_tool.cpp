// The file forms from the command line, for the cross-checks against other
// MIDI tools:
//   midifile_tool read FILE.mid     the events, one a line: "MS BYTE ..." with
//                                   the absolute time in ms; "MS sysex DATA ..."
//                                   for a system-exclusive message (its data
//                                   bytes, without 240 and 247); or the reason
//                                   the file was refused, with exit status 1
//   midifile_tool write LIST OUT    LIST: "DELTA BYTE ..." per event (up to four
//                                   bytes); OUT: the Standard MIDI File of it
//   midifile_tool copy IN OUT       read IN and write what was read to OUT
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "objects/midifile.h"

namespace {

bool load(const char *name, std::vector<uint8_t> *out)
{
    std::ifstream in(name, std::ios::binary);
    if (!in) return false;
    out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

bool save(const char *name, const std::vector<uint8_t> &bytes)
{
    std::ofstream out(name, std::ios::binary);
    out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

const char *reason(kel::smf_result r)
{
    switch (r) {
    case kel::smf_result::ok:
        return "ok";
    case kel::smf_result::multi_track:
        return "single-track only";
    case kel::smf_result::bad_header:
        return "bad header";
    case kel::smf_result::bad_file:
        return "bad midi file";
    case kel::smf_result::no_memory:
        return "out of memory";
    }
    return "?";
}

int read_file(const char *name, kel::midi_sequence *s)
{
    std::vector<uint8_t> bytes;
    if (!load(name, &bytes)) {
        std::printf("%s: can't open\n", name);
        return 1;
    }
    bool accepted = false;
    const kel::smf_result r = kel::smf_read(bytes.data(), bytes.size(), false, s, &accepted);
    if (r != kel::smf_result::ok) {
        std::printf("%s\n", reason(r));
        return 1;
    }
    return 0;
}

void print(const kel::midi_sequence *s)
{
    uint64_t time = 0;
    bool in_sysex = false;
    std::string line;
    for (kel::midi_cursor c = kel::midi_sequence_begin(s); !kel::midi_cursor_done(c); kel::midi_cursor_next(&c)) {
        const kel::midi_event &e = *kel::midi_cursor_event(c);
        time += e.delta;
        if (e.bytes[0] == kel::midi_null_status) continue;
        if (in_sysex || e.bytes[0] == 0xF0) {
            if (!in_sysex) line = std::to_string(time) + " sysex";
            in_sysex = true;
            for (uint8_t b : e.bytes) {
                if (b == 0xF7) {
                    in_sysex = false;
                    break;
                }
                if (b != 0xF0) line += " " + std::to_string(b);
            }
            if (!in_sysex) std::printf("%s\n", line.c_str());
            continue;
        }
        std::printf("%llu", static_cast<unsigned long long>(time));
        for (int k = 0; k < kel::midi_message_length(e.bytes[0]); k++) std::printf(" %d", e.bytes[k]);
        std::printf("\n");
    }
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: midifile_tool read FILE | write LIST OUT | copy IN OUT\n");
        return 2;
    }
    kel::midi_sequence s;
    kel::midi_sequence_init(&s);
    int status = 0;
    if (std::strcmp(argv[1], "read") == 0) {
        status = read_file(argv[2], &s);
        if (!status) print(&s);
    } else if (argc > 3 && std::strcmp(argv[1], "write") == 0) {
        std::ifstream in(argv[2]);
        std::string text;
        while (std::getline(in, text)) {
            std::istringstream words(text);
            uint64_t delta = 0;
            if (!(words >> delta)) continue;
            uint8_t bytes[4] = {};
            unsigned value = 0;
            for (int k = 0; k < 4 && words >> value; k++) bytes[k] = static_cast<uint8_t>(value);
            kel::midi_sequence_append_after(&s, delta, bytes);
        }
        std::vector<uint8_t> out;
        status = kel::smf_write(&s, &out) && save(argv[3], out) ? 0 : 1;
    } else if (argc > 3 && std::strcmp(argv[1], "copy") == 0) {
        status = read_file(argv[2], &s);
        std::vector<uint8_t> out;
        if (!status) status = kel::smf_write(&s, &out) && save(argv[3], out) ? 0 : 1;
    } else {
        status = 2;
    }
    kel::midi_sequence_clear(&s);
    return status;
}
