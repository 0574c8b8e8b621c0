#include "objects/controls_support.h"

#include <cstring>

#include "kernel/core/atoms.h"
#include "kernel/core/objects.h"
#include "kernel/core/symbols.h"

namespace kel {
void control_line_take(control_line *line, long argc, const atom *argv)
{
    if (argc < 0 || !argv) argc = 0;
    if (argc > control_line_max) argc = control_line_max;
    for (long i = 0; i < control_line_max; i++) atom_setlong(&line->atoms[i], 0);
    for (long i = 0; i < argc; i++) line->atoms[i] = argv[i];
    line->count = argc;
}

void control_line_set(control_line *line, long i, const atom &a)
{
    if (i < 0 || i >= control_line_max) return;
    line->atoms[i] = a;
}

void control_line_save(box *b, binbuf *dest, symbol *kind, const control_line *line, long full, const atom *absent)
{
    long count = line->count;
    if (full > control_line_max) full = control_line_max;
    for (long i = full - 1; i >= count; i--) {
        if (!atom_same(line->atoms[i], absent[i])) {
            count = i + 1;
            break;
        }
    }
    atom head[16 + control_line_max];
    long n = box_line_head(b, false, kind, 0, nullptr, head);
    for (long i = 0; i < count; i++) head[n++] = line->atoms[i];
    save_message(dest, n, head);
}

patcher *control_target_patcher(long argc, const atom *argv, long *first)
{
    *first = 0;
    if (argc > 0 && argv[0].type == ATYPE_OBJ && is_patcher(argv[0].word.w_obj)) {
        *first = 1;
        return reinterpret_cast<patcher *>(argv[0].word.w_obj);
    }
    if (object *current = bindings().P->thing; is_patcher(current)) return reinterpret_cast<patcher *>(current);
    return nullptr;
}

}  // namespace kel
