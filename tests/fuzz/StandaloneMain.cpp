// Runs a fuzz target over the files of its corpus, so the corpora serve as ordinary
// regression tests in builds without libFuzzer.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size);

namespace
{
constexpr std::uintmax_t c_iMaxInput = 1 << 20;

int RunFile(const std::filesystem::path &path)
{
    if (std::filesystem::file_size(path) > c_iMaxInput)
        return 0;
    std::ifstream in(path, std::ios::binary);
    const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // An exact-size heap copy, so that AddressSanitizer sees any read past the input.
    auto *copy = new std::uint8_t[bytes.size() + 1];
    std::copy(bytes.begin(), bytes.end(), copy);
    LLVMFuzzerTestOneInput(copy, bytes.size());
    delete[] copy;
    return 1;
}
}  // namespace

int main(int argc, char **argv)
{
    int iRun = 0;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path arg(argv[i]);
        if (std::filesystem::is_directory(arg)) {
            for (const auto &entry : std::filesystem::recursive_directory_iterator(arg))
                if (entry.is_regular_file())
                    iRun += RunFile(entry.path());
        } else {
            iRun += RunFile(arg);
        }
    }
    std::printf("%d inputs run\n", iRun);
    return iRun > 0 ? 0 : 1;
}
