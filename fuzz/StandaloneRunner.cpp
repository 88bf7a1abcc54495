// Runs a fuzz target over committed inputs without libFuzzer, so every flavor replays the seed
// corpus and the regression inputs as an ordinary test. Arguments: files or folders.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

static int RunFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", path.string().c_str());
    return 1;
  }
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
  return 0;
}

int main(int argc, char** argv) {
  int runs = 0, failures = 0;
  for (int i = 1; i < argc; ++i) {
    std::filesystem::path arg(argv[i]);
    if (std::filesystem::is_directory(arg)) {
      for (const auto& entry : std::filesystem::recursive_directory_iterator(arg))
        if (entry.is_regular_file()) failures += RunFile(entry.path()), ++runs;
    } else {
      failures += RunFile(arg), ++runs;
    }
  }
  LLVMFuzzerTestOneInput(nullptr, 0);  // the empty input always
  std::printf("%d inputs replayed, %d unreadable\n", runs + 1, failures);
  return failures == 0 && runs > 0 ? 0 : 1;
}
