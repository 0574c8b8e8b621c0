// The scratch folder of a fuzz target that reads its inputs from files: made
// once under /tmp with a path id, and a function that writes one input there.
#ifndef KEL_TESTS_FUZZ_SCRATCH_H
#define KEL_TESTS_FUZZ_SCRATCH_H

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "kel/kel.h"
#include "tests/fuzz/fuzz_check.h"

namespace kel::fuzz {

struct scratch_folder {
    std::string folder;
    short path = 0;

    // Makes the folder /tmp/kel_fuzz_NAME_XXXXXX; the path layer must be up.
    void make(const char *name)
    {
        std::string pattern = std::string("/tmp/kel_fuzz_") + name + "_XXXXXX";
        FUZZ_CHECK(mkdtemp(pattern.data()) != nullptr, "a scratch folder");
        folder = pattern;
        char ignored[1024];
        FUZZ_CHECK(path_frompathname(folder.c_str(), &path, ignored) == 0, "the scratch folder has a path");
    }

    bool write(const char *name, const void *data, size_t size) const
    {
        std::FILE *f = std::fopen((folder + "/" + name).c_str(), "wb");
        if (!f) return false;
        bool ok = std::fwrite(data, 1, size, f) == size;
        return std::fclose(f) == 0 && ok;
    }
};

}  // namespace kel::fuzz

#endif  // KEL_TESTS_FUZZ_SCRATCH_H
