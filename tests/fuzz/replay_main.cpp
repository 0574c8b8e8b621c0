// Replays a fuzz target's corpus without the fuzzer: the ordinary build links
// this with each target, and a test runs it over tests/fuzz/corpus/<name>/.
//
//     fuzz_x_replay PATH...
//
// Each PATH is an input file or a folder of them (not descended into); the
// inputs run in name order, each announced on stderr first so that a crash
// names its input. An input that violates an invariant aborts. Exits 1 when
// a folder is missing or no input was found, so that a lost corpus fails.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size);
// Optional, as for the fuzzer: a target that needs set-up defines it.
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int *argc, char ***argv);

namespace {

namespace fs = std::filesystem;

bool collect(const fs::path &path, std::vector<fs::path> *inputs)
{
    std::error_code error;
    if (fs::is_regular_file(path, error)) {
        inputs->push_back(path);
        return true;
    }
    if (!fs::is_directory(path, error)) {
        std::fprintf(stderr, "replay: %s: no such file or folder\n", path.c_str());
        return false;
    }
    std::vector<fs::path> found;
    for (const fs::directory_entry &entry : fs::directory_iterator(path, error))
        if (entry.is_regular_file(error)) found.push_back(entry.path());
    if (error) {
        std::fprintf(stderr, "replay: %s: %s\n", path.c_str(), error.message().c_str());
        return false;
    }
    std::sort(found.begin(), found.end());
    inputs->insert(inputs->end(), found.begin(), found.end());
    return true;
}

bool read_input(const fs::path &path, std::string *bytes)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    bytes->assign(std::istreambuf_iterator<char>(in), {});
    return !in.bad();
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s INPUT-OR-FOLDER...\n", argv[0]);
        return 2;
    }
    if (LLVMFuzzerInitialize != nullptr) LLVMFuzzerInitialize(&argc, &argv);

    std::vector<fs::path> inputs;
    bool ok = true;
    for (int i = 1; i < argc; ++i) ok = collect(argv[i], &inputs) && ok;
    if (!ok) return 1;
    if (inputs.empty()) {
        std::fprintf(stderr, "replay: no inputs found\n");
        return 1;
    }

    std::string bytes;
    for (const fs::path &path : inputs) {
        std::fprintf(stderr, "replay: %s\n", path.c_str());
        if (!read_input(path, &bytes)) {
            std::fprintf(stderr, "replay: %s: cannot read\n", path.c_str());
            return 1;
        }
        // As the fuzzer does: a block of exactly the input's size (so that ASan
        // sees a read past its end), never null, even for an empty input.
        std::unique_ptr<std::uint8_t[]> input(new std::uint8_t[bytes.size()]);
        std::copy(bytes.begin(), bytes.end(), input.get());
        LLVMFuzzerTestOneInput(input.get(), bytes.size());
    }
    std::printf("replay: %zu inputs, no invariant broken\n", inputs.size());
    return 0;
}
