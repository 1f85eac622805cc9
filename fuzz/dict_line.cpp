// Fuzzes the dictionary line parser: any bytes parse without fault, and a line that defines a name
// marshals back to a line that parses to the same name and value.
#include "FuzzSupport.h"
#include "config/DictLL.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* buf = reinterpret_cast<const char*>(data);
  for (size_t pos = 0; pos < size;) {
    std::string line, name, value, out, line2, name2, value2;
    size_t used = DictLL_UnmarshalLine(buf + pos, size - pos, &line, &name, &value);
    Require(used != 0 && used <= size - pos, "a line read nothing or past the end");
    pos += used;
    if (!name.empty()) {
      DictLL_MarshalLine(&out, name, value);
      Require(DictLL_UnmarshalLine(out.data(), out.size(), &line2, &name2, &value2) == out.size() &&
                  name2 == name && value2 == value,
              "a marshalled line reads back otherwise");
    }
  }
  return 0;
}
