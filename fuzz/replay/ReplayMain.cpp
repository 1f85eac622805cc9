// Replays a seed corpus (a folder, in name order, or one file) through a fuzz target without
// libFuzzer, for the plain and sanitizer test runs. Each input gets a buffer of exactly its size
// (AddressSanitizer sees a read past it). A finding aborts; 1 means unreadable or nothing replayed.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  std::vector<fs::path> inputs{argc > 1 ? argv[1] : ""};
  if (fs::is_directory(inputs[0])) {
    inputs.assign(fs::directory_iterator(inputs[0]), fs::directory_iterator());
    std::sort(inputs.begin(), inputs.end());
  }
  for (const fs::path& path : inputs) {
    std::ifstream file(path, std::ios::binary);
    std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(file), {}};
    if (!file) {
      fprintf(stderr, "cannot read %s\n", path.c_str());
      return 1;
    }
    // Never a zero-size allocation's shared address.
    std::unique_ptr<uint8_t[]> copy(new uint8_t[std::max<size_t>(bytes.size(), 1)]);
    std::copy(bytes.begin(), bytes.end(), copy.get());
    fprintf(stderr, "replay %s (%zu bytes)\n", path.c_str(), bytes.size());
    LLVMFuzzerTestOneInput(copy.get(), bytes.size());
  }
  fprintf(stderr, "%zu inputs replayed\n", inputs.size());
  return inputs.empty() ? 1 : 0;
}
