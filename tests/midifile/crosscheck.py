"""Cross-checks the file forms against two independent MIDI tools: csvmidi
and midicsv (the MIDI <-> CSV converters) and the mido library.

    crosscheck.py MIDIFILE_TOOL FIXTURE_DIR

1. Each committed CSV becomes a file through csvmidi; the tool must read it
   into the times mido computes (the exact time, cut to whole ms: never
   later, less than 1 ms earlier) and the same bytes; a format-1 file is
   refused.
2. A written file (written.txt) reads in midicsv and in mido with the
   expected ticks (ms x 0.192, rounded on the running total) and bytes.
3. Written then read, a file on the 96-tick grid keeps its ticks, and a
   second copy is the same file.
Exits 77 (skipped) when a tool is missing.
"""
import os
import subprocess
import sys
import tempfile
from fractions import Fraction

try:
    import mido
except ImportError:
    print("mido is not installed: skipped")
    sys.exit(77)

TOOL, FIXTURES = sys.argv[1], sys.argv[2]
failures = []


def check(condition, what):
    if not condition:
        failures.append(what)


def run(*args):
    return subprocess.run(args, capture_output=True, text=True)


def ours(path):
    r = run(TOOL, "read", path)
    events = []
    for line in r.stdout.splitlines() if r.returncode == 0 else []:
        words = line.split()
        if words[1] == "sysex":
            events.append((int(words[0]), "sysex", [int(w) for w in words[2:]]))
        else:
            events.append((int(words[0]), "msg", [int(w) for w in words[1:]]))
    return r.returncode, r.stdout, merge(events)


def merge(events):
    """Joins the parts of one system-exclusive message (same time)."""
    out = []
    for e in events:
        if out and e[1] == "sysex" and out[-1][1] == "sysex" and out[-1][0] == e[0]:
            out[-1] = (out[-1][0], "sysex", out[-1][2] + e[2])
        else:
            out.append(e)
    return out


def expected(path):
    f = mido.MidiFile(path)
    division = f.ticks_per_beat & 0xFFFF  # mido reads it signed
    timecode = division & 0x8000
    tempo = 500000
    now = Fraction(0)
    events = []
    for msg in f.tracks[0]:
        if timecode:
            frames = 256 - (division >> 8)
            now += Fraction(msg.time * 1000, frames * (division & 0xFF))
        else:
            now += Fraction(msg.time * tempo, division * 1000)
        if msg.is_meta:
            if msg.type == "set_tempo" and not timecode:
                tempo = msg.tempo
            continue
        if msg.type == "sysex":
            events.append((now, "sysex", list(msg.data)))
        else:
            events.append((now, "msg", msg.bytes()))
    return merge_exact(events)


def merge_exact(events):
    out = []
    for e in events:
        if out and e[1] == "sysex" and out[-1][1] == "sysex" and out[-1][0] == e[0]:
            out[-1] = (out[-1][0], "sysex", out[-1][2] + e[2])
        else:
            out.append(e)
    return out


with tempfile.TemporaryDirectory() as scratch:
    # 1. csvmidi's files, read as mido reads them.
    for name in ("tempo", "timecode", "sysex", "metas", "format1"):
        mid = os.path.join(scratch, name + ".mid")
        r = run("csvmidi", os.path.join(FIXTURES, name + ".csv"), mid)
        check(r.returncode == 0, "%s: csvmidi failed: %s" % (name, r.stderr))
        status, text, got = ours(mid)
        if name == "format1":
            check(status == 1 and text.strip() == "single-track only", "format1: not refused: " + text)
            continue
        check(status == 0, "%s: not read: %s" % (name, text))
        want = expected(mid)
        check(len(got) == len(want), "%s: %d events, mido has %d" % (name, len(got), len(want)))
        for g, w in zip(got, want):
            ok = g[1] == w[1] and g[2] == w[2] and 0 <= w[0] - g[0] < 1
            check(ok, "%s: event %s, mido %s (%.3f ms)" % (name, g, w[1:], float(w[0])))

    # 2. A file the writer made, read by midicsv and by mido.
    written = os.path.join(scratch, "written.mid")
    check(run(TOOL, "write", os.path.join(FIXTURES, "written.txt"), written).returncode == 0, "write failed")
    total = 0
    want = []
    with open(os.path.join(FIXTURES, "written.txt")) as listing:
        for line in listing:
            words = [int(w) for w in line.split()]
            total += words[0]
            if words[1] != 254:
                want.append(((total * 48 + 125) // 250, words[1:]))
    end_tick = (total * 48 + 125) // 250
    csv = run("midicsv", written).stdout.splitlines()
    check(csv[0] == "0, 0, Header, 0, 1, 96", "written: header " + csv[0])
    rows = [[w.strip() for w in line.split(",")] for line in csv if line.startswith("1,")]
    kinds = {"Note_on_c": 0x90, "Note_off_c": 0x80, "Program_c": 0xC0, "Control_c": 0xB0, "Pitch_bend_c": 0xE0}
    got = []
    for row in rows:
        tick, kind, values = int(row[1]), row[2], [int(v) for v in row[3:] if v.lstrip("-").isdigit()]
        if kind in kinds:
            status = kinds[kind] | values[0]
            data = values[1:]
            if kind == "Pitch_bend_c":
                data = [values[1] & 0x7F, values[1] >> 7]
            got.append((tick, [status] + data))
        elif kind == "System_exclusive":
            got.append((tick, [0xF0] + values[1:]))
        elif kind == "System_exclusive_packet":
            got.append((tick, values[1:]))
        elif kind == "End_track":
            check(tick == end_tick, "written: end of track at %d, not %d" % (tick, end_tick))
    parts = []
    for tick, b in want:
        # The writer's sysex parts: F0 and its bytes, then F7 packets.
        parts.append((tick, b))
    check(got == parts, "written: midicsv reads %s, expected %s" % (got, parts))
    f = mido.MidiFile(written)
    check(f.ticks_per_beat == 96 and f.type == 0 and len(f.tracks) == 1, "written: mido header")
    tick = 0
    seen = []
    for msg in f.tracks[0]:
        tick += msg.time
        if not msg.is_meta:
            seen.append((tick, msg.bytes() if msg.type != "sysex" else list(msg.data)))
    mido_want = []
    for t, b in want:
        if b[0] == 0xF0:
            mido_want.append((t, b[1:]))
        elif b[0] < 0x80:
            mido_want.append((t, [v for v in b if v != 0xF7]))
        else:
            mido_want.append((t, b[: 2 if 0xC0 <= b[0] < 0xE0 else 3]))
    check(seen == mido_want, "written: mido reads %s, expected %s" % (seen, mido_want))
    check(tick == end_tick, "written: mido's end of track at %d" % tick)

    # 3. Written and read back: the 96-tick grid is kept.
    original = os.path.join(scratch, "sysex.mid")
    copy1, copy2 = os.path.join(scratch, "copy1.mid"), os.path.join(scratch, "copy2.mid")
    check(run(TOOL, "copy", original, copy1).returncode == 0, "copy failed")
    check(run(TOOL, "copy", copy1, copy2).returncode == 0, "second copy failed")

    def ticks(path):
        lines = run("midicsv", path).stdout.splitlines()
        return [(int(l.split(",")[1]), l.split(",")[2].strip()) for l in lines
                if l.startswith("1,") and "_c" in l.split(",")[2]]

    check(ticks(original) == ticks(copy1), "grid: %s became %s" % (ticks(original), ticks(copy1)))
    with open(copy1, "rb") as a, open(copy2, "rb") as b:
        check(a.read() == b.read(), "grid: a copy of a copy differs")

for f in failures:
    print("FAIL:", f)
sys.exit(1 if failures else 0)
