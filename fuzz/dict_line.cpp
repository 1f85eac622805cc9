// Fuzzes the dictionary line parser: any bytes parse without fault, and a line that
// defines a name marshals back to a line that parses to the same name and value.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "config/DictLL.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* buf = reinterpret_cast<const char*>(data);
  size_t pos = 0;
  while (pos < size) {
    std::string line, name, value;
    size_t used = DictLL_UnmarshalLine(buf + pos, size - pos, &line, &name, &value);
    if (used == 0 || used > size - pos) {
      abort();
    }
    pos += used;
    if (name.empty()) {
      continue;
    }
    std::string out;
    DictLL_MarshalLine(&out, name, value);
    std::string line2, name2, value2;
    if (DictLL_UnmarshalLine(out.data(), out.size(), &line2, &name2, &value2) != out.size() ||
        name2 != name || value2 != value) {
      abort();
    }
  }
  // The same bytes split as a file is read (any line end).
  pos = 0;
  while (pos < size) {
    size_t lineLen = 0;
    size_t used = DictLL_SplitFileLine(buf + pos, size - pos, &lineLen);
    if (used == 0 || used > size - pos || lineLen > used) {
      abort();
    }
    std::string name, value;
    DictLL_ParseLine(std::string(buf + pos, lineLen), &name, &value);
    pos += used;
  }
  return 0;
}
