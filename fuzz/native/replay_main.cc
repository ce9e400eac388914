// A main() for replaying fuzz inputs without libFuzzer (for compilers that
// have no -fsanitize=fuzzer): each file named on the command line is read
// into a heap block of exactly its size and handed to the harness once.
// Exit status 0 when every input ran; a sanitizer report or an abort in the
// harness ends the process with a failure status.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        std::ifstream in(argv[i], std::ios::binary);
        if (!in) {
            std::fprintf(stderr, "cannot read %s\n", argv[i]);
            return 2;
        }
        const std::vector<char> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        // A fresh block of the input's exact size: reads past it are caught.
        const std::unique_ptr<std::uint8_t[]> block(new std::uint8_t[bytes.size()]);
        if (!bytes.empty()) std::memcpy(block.get(), bytes.data(), bytes.size());
        std::fprintf(stderr, "running %s (%zu bytes)\n", argv[i], bytes.size());
        LLVMFuzzerTestOneInput(block.get(), bytes.size());
    }
    return 0;
}
