// Without libFuzzer each target is an ordinary program that feeds every file
// of the directories (or the files) named on its command line through
// LLVMFuzzerTestOneInput once: the seed corpora replay as tests.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace fs = std::filesystem;

int main(int argc, char** argv) {
  if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
  std::vector<fs::path> files;
  for (int i = 1; i < argc; ++i) {
    std::error_code ec;
    if (!fs::is_directory(argv[i], ec)) files.emplace_back(argv[i]);
    for (const auto& entry : fs::directory_iterator(argv[i], ec))
      if (entry.is_regular_file()) files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  bool ok = !files.empty();
  for (const fs::path& path : files) {
    // A copy of exactly the file's size, so that a read past the end is seen
    // by the sanitizers as it would be under libFuzzer.
    std::ifstream in(path, std::ios::binary);
    ok = ok && in;
    std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(data.empty() ? nullptr : data.data(), data.size());
  }
  std::printf("%s: %zu inputs replayed\n", argc > 0 ? argv[0] : "replay", files.size());
  return ok ? 0 : 1;
}
