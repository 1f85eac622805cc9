// Replays files through a fuzz target's LLVMFuzzerTestOneInput without libFuzzer, so that the plain
// and sanitizer test runs (any compiler) check every committed seed corpus. Usage: <program> <file
// or folder>...; a folder's files are replayed in name order. Each input is copied into a buffer of
// exactly its size, so a read past the end is caught under AddressSanitizer. A target reports a
// finding by aborting; this answers 1 only when an input cannot be read or when nothing was
// replayed.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
  std::vector<std::string> inputs;
  for (int i = 1; i < argc; ++i) {
    std::error_code error;
    auto first = inputs.size();
    if (std::filesystem::is_directory(argv[i], error)) {
      for (const auto& entry : std::filesystem::directory_iterator(argv[i])) {
        if (entry.is_regular_file()) {
          inputs.push_back(entry.path().string());
        }
      }
    } else {
      inputs.push_back(argv[i]);
    }
    std::sort(inputs.begin() + first, inputs.end());
  }
  for (const std::string& path : inputs) {
    std::ifstream file(path, std::ios::binary);
    std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(file), {}};
    if (!file) {
      fprintf(stderr, "cannot read %s\n", path.c_str());
      return 1;
    }
    // Exactly the input's size, never a zero-size allocation's shared address.
    std::unique_ptr<uint8_t[]> copy(new uint8_t[bytes.empty() ? 1 : bytes.size()]);
    std::copy(bytes.begin(), bytes.end(), copy.get());
    fprintf(stderr, "replay %s (%zu bytes)\n", path.c_str(), bytes.size());
    LLVMFuzzerTestOneInput(copy.get(), bytes.size());
  }
  fprintf(stderr, "%zu inputs replayed\n", inputs.size());
  return inputs.empty() ? 1 : 0;
}
