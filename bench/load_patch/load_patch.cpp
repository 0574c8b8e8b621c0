// Writes the 10,000-box load patch (load_patch.h) to the file named by its
// one argument, for runs of the kel program on it.
//
// Usage: kel_load_patch FILE
#include <cstdio>
#include <fstream>

#include "bench/load_patch/load_patch.h"

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: kel_load_patch FILE\n");
        return 2;
    }
    std::ofstream out(argv[1], std::ios::binary);
    out << kel::bench::load_patch_text();
    out.close();
    if (!out) {
        std::fprintf(stderr, "kel_load_patch: %s: cannot write the patch\n", argv[1]);
        return 1;
    }
    return 0;
}
