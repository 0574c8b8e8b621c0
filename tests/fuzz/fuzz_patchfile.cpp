// Fuzz target: the binary patcher reader (kernel/patchfile.h).
//
// For any input, taken both as a whole file and as the records after a good
// version word:
//   - the reader never breaks, answers 0 or 1, and a refused input leaves
//     the buffer empty (nothing half-loaded);
//   - what it accepts writes back, and the written file reads again to the
//     same atoms (types and values; symbols by identity, floats by bits);
//   - the writer's form is canonical: writing what it read back gives the
//     same bytes again.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "kel/kel.h"
#include "kernel/core/console.h"
#include "kernel/text/binbuf.h"
#include "kernel/text/patchfile.h"
#include "objects/engine.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

std::vector<atom> atoms_of(binbuf *x)
{
    std::vector<atom> out;
    long index = 0, offset = 0;
    atom a;
    while (binbuf_getatom(x, &index, &offset, &a) == 0) out.push_back(a);
    return out;
}

bool same_atoms(const std::vector<atom> &a, const std::vector<atom> &b)
{
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); i++) {
        if (a[i].type != b[i].type) return false;
        switch (a[i].type) {
        case ATYPE_SYM:
        case ATYPE_DOLLSYM:
            if (a[i].word.w_sym != b[i].word.w_sym) return false;
            break;
        case ATYPE_FLOAT:
            if (std::memcmp(&a[i].word.w_float, &b[i].word.w_float, sizeof(atom_float)) != 0) return false;
            break;
        case ATYPE_SEMI:
        case ATYPE_COMMA:
            break;
        default:
            if (a[i].word.w_long != b[i].word.w_long) return false;
        }
    }
    return true;
}

void check_file(const unsigned char *data, size_t size)
{
    kel::console_clear();
    binbuf *first = binbuf_new();
    FUZZ_CHECK(first != nullptr, "no buffer");
    const long result = kel::patchfile_read_bytes(first, data, size, "fuzz");
    FUZZ_CHECK(result == 0 || result == 1, "result is 0 or 1");
    const std::vector<atom> read = atoms_of(first);
    FUZZ_CHECK(read.size() == static_cast<size_t>(first->count), "every atom reads back from the buffer");
    if (result != 0) {
        FUZZ_CHECK(first->count == 0, "a refused file leaves the buffer empty");
        freeobject(first);
        return;
    }
    std::vector<atom> decoded;
    const kel::patchfile_status status = kel::patchfile_decode(data, size, "fuzz", &decoded);
    FUZZ_CHECK(kel::patchfile_last_read_partial()
                   ? status == kel::patchfile_status::damaged || status == kel::patchfile_status::repaired
                   : status == kel::patchfile_status::ok,
               "the decoder agrees with the reader");
    FUZZ_CHECK(!kel::patchfile_last_read_partial() || !decoded.empty(), "a file read in part keeps whole messages");
    FUZZ_CHECK(same_atoms(decoded, read), "the buffer holds what was decoded");

    std::vector<unsigned char> written;
    FUZZ_CHECK(kel::patchfile_encode(first, &written), "what was read can be written");
    binbuf *second = binbuf_new();
    FUZZ_CHECK(second != nullptr, "no buffer");
    FUZZ_CHECK(kel::patchfile_read_bytes(second, written.data(), written.size(), "fuzz") == 0,
               "what was written reads again");
    FUZZ_CHECK(same_atoms(atoms_of(second), read), "written and read again gives the same atoms");
    std::vector<unsigned char> again;
    FUZZ_CHECK(kel::patchfile_encode(second, &again), "written again");
    FUZZ_CHECK(again == written, "the written form is canonical");
    freeobject(first);
    freeobject(second);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    kel::engine_init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size > 1 << 16) return 0;
    kel::engine_init();
    check_file(data, size);
    std::vector<unsigned char> with_version = {0x02, 0x00, 0x00, 0x00};
    with_version.insert(with_version.end(), data, data + size);
    check_file(with_version.data(), with_version.size());
    return 0;
}
