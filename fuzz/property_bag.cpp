// Fuzzes the property bag's text form: any text reads without fault in both classes; a
// bag whose keys and values hold no NUL byte (escaping ends at the first) writes a text
// that reads back to the same bag; Decode undoes Encode for any bytes up to the first NUL.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "runtime/PropertyManager.h"
#include "runtime/QrPropertyManager.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);

  PropertyManager plain;
  bool plainOk = plain.FromString(input);
  QrPropertyManagerPtr counted = new QrPropertyManager();
  bool countedOk = counted->FromString(input);
  if (plain.ToString() != counted->ToString() || (plainOk != countedOk && !input.empty())) {
    abort();
  }
  const bool noNul =
      input.find('\0') == std::string::npos && input.find("/00") == std::string::npos;
  PropertyManager again;
  if (noNul && !again.FromString(plain.ToString()) && plain.Count() > 0) {
    abort();
  }
  if (noNul && (again.ToString() != plain.ToString() || again.Count() != plain.Count())) {
    abort();
  }

  std::string decoded;
  PropertyManager::Decode(input, &decoded);  // any result; must not fault
  std::string encoded;
  PropertyManager::Encode(input, &encoded);
  std::string roundTrip;
  if (!PropertyManager::Decode(encoded, &roundTrip) ||
      roundTrip != input.substr(0, input.find('\0'))) {
    abort();
  }
  return 0;
}
