// Replays fuzz inputs (files or folders of files) through LLVMFuzzerTestOneInput when the
// compiler has no libFuzzer, so seed corpora still run in every build.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

static void runFile(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

int main(int argc, char** argv) {
    size_t count = 0;
    for (int i = 1; i < argc; ++i) {
        std::filesystem::path p(argv[i]);
        if (std::filesystem::is_directory(p)) {
            for (const auto& e : std::filesystem::recursive_directory_iterator(p)) {
                if (e.is_regular_file()) {
                    runFile(e.path());
                    ++count;
                }
            }
        } else if (std::filesystem::is_regular_file(p)) {
            runFile(p);
            ++count;
        }
    }
    LLVMFuzzerTestOneInput(nullptr, 0);
    std::printf("replayed %zu inputs\n", count);
    return 0;
}
