// The lines boxes and patchers keep for the saver (patcher_kept.h).
//
// Every box and patcher with kept lines has one entry here; an entry's
// buffers are owned by it and freed with it, so a box that leaves its
// patcher (box_detach) or a patcher that is freed leaves nothing behind.
#include "kernel/patcher/patcher_kept.h"

#include <cstring>
#include <new>
#include <unordered_map>
#include <vector>

#include "kel/atoms.h"
#include "kel/binbuf.h"
#include "kel/classes.h"
#include "kernel/core/memory.h"
#include "kernel/core/objects.h"
#include "kernel/text/patchfile.h"

namespace kel {
namespace {

struct box_lines {
    binbuf *before = nullptr;
    binbuf *after = nullptr;
};

std::unordered_map<const box *, box_lines> g_boxes;
std::unordered_map<const patcher *, binbuf *> g_patchers;

void free_buffer(binbuf *b)
{
    if (b) freeobject(b);
}

bool append_line(binbuf **lines, long argc, const atom *argv)
{
    try {
        if (!*lines) *lines = binbuf_new();
        if (!*lines) throw std::bad_alloc();
        std::vector<atom> line;
        line.reserve(static_cast<size_t>(argc < 0 ? 0 : argc) + 1);
        if (argc > 0) line.insert(line.end(), argv, argv + argc);
        atom semicolon;
        std::memset(&semicolon, 0, sizeof semicolon);
        semicolon.type = ATYPE_SEMI;
        line.push_back(semicolon);
        if (!patchfile_append(*lines, line.data(), static_cast<long>(line.size()))) throw std::bad_alloc();
        return true;
    } catch (const std::bad_alloc &) {
        memory_set_low(true);
        return false;
    }
}

box_lines *entry_of(const box *b)
{
    try {
        return &g_boxes[b];
    } catch (const std::bad_alloc &) {
        memory_set_low(true);
        return nullptr;
    }
}

}  // namespace

bool kept_lines_copy(binbuf *dest, binbuf *from)
{
    if (!dest || !from) return dest != nullptr;
    std::vector<atom> atoms;
    try {
        long index = 0, offset = 0;
        atom a;
        while (binbuf_getatom(from, &index, &offset, &a) == 0) atoms.push_back(a);
    } catch (const std::bad_alloc &) {
        memory_set_low(true);
        return false;
    }
    return atoms.empty() || patchfile_append(dest, atoms.data(), static_cast<long>(atoms.size()));
}

bool box_keep_after(box *b, long argc, const atom *line)
{
    box_lines *e = b ? entry_of(b) : nullptr;
    return e && append_line(&e->after, argc, line);
}

void box_take_before(box *b, binbuf *lines)
{
    if (!lines) return;
    box_lines *e = b ? entry_of(b) : nullptr;
    if (!e) {
        free_buffer(lines);
        return;
    }
    if (!e->before) {
        e->before = lines;
        return;
    }
    if (!kept_lines_copy(e->before, lines)) memory_set_low(true);
    free_buffer(lines);
}

binbuf *box_kept_before(const box *b)
{
    auto it = g_boxes.find(b);
    return it == g_boxes.end() ? nullptr : it->second.before;
}

binbuf *box_kept_after(const box *b)
{
    auto it = g_boxes.find(b);
    return it == g_boxes.end() ? nullptr : it->second.after;
}

void box_kept_free(const box *b)
{
    auto it = g_boxes.find(b);
    if (it == g_boxes.end()) return;
    box_lines lines = it->second;
    g_boxes.erase(it);
    free_buffer(lines.before);
    free_buffer(lines.after);
}

void patcher_take_kept(patcher *p, binbuf *lines)
{
    if (!lines) return;
    if (!p) {
        free_buffer(lines);
        return;
    }
    binbuf **slot = nullptr;
    try {
        slot = &g_patchers[p];
    } catch (const std::bad_alloc &) {
        memory_set_low(true);
        free_buffer(lines);
        return;
    }
    if (!*slot) {
        *slot = lines;
        return;
    }
    if (!kept_lines_copy(*slot, lines)) memory_set_low(true);
    free_buffer(lines);
}

binbuf *patcher_kept(const patcher *p)
{
    auto it = g_patchers.find(p);
    return it == g_patchers.end() ? nullptr : it->second;
}

void patcher_kept_free(const patcher *p)
{
    auto it = g_patchers.find(p);
    if (it == g_patchers.end()) return;
    binbuf *lines = it->second;
    g_patchers.erase(it);
    free_buffer(lines);
}

}  // namespace kel
