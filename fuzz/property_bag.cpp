// Fuzzes the property bag's text form: both classes read any text alike; a bag without NUL bytes
// (escaping ends at the first) reads back from its text; Decode undoes Encode up to a NUL.
#include "FuzzSupport.h"
#include "runtime/PropertyManager.h"
#include "runtime/QrPropertyManager.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input = FuzzReader(data, size).Rest();
  PropertyManager plain;
  bool plainOk = plain.FromString(input);
  QrPropertyManagerPtr counted = new QrPropertyManager();
  bool countedOk = counted->FromString(input);
  Require(plain.ToString() == counted->ToString() && (plainOk == countedOk || input.empty()),
          "the two classes read the text differently");
  if (input.find('\0') == std::string::npos && input.find("/00") == std::string::npos) {
    PropertyManager again;
    Require(again.FromString(plain.ToString()) || plain.Count() == 0, "the written text fails");
    Require(again.ToString() == plain.ToString() && again.Count() == plain.Count(),
            "the written text reads back to another bag");
  }
  std::string decoded, encoded, roundTrip;
  PropertyManager::Decode(input, &decoded);  // any result; must not fault
  PropertyManager::Encode(input, &encoded);
  Require(PropertyManager::Decode(encoded, &roundTrip) &&
              roundTrip == input.substr(0, input.find('\0')),
          "Decode does not undo Encode");
  return 0;
}
