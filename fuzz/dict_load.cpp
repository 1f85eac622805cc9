// Fuzzes loading a whole dictionary from bytes: the load never faults, and writing the
// dictionary back and loading that gives the same entries, both when the lines are kept
// as read and when every value is re-marshalled.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "config/Dictionary.h"
#include "config/MsgList.h"

namespace {

typedef std::vector<std::pair<std::string, std::string>> Entries;

Entries EntriesOf(const Dictionary* dict) {
  Entries out;
  for (const DictEntry& e : dict->entries) {
    if (!e.isDefault) {
      out.emplace_back(e.name, e.text);
    }
  }
  return out;
}

Entries Load(const std::string& bytes, Dictionary* dict) {
  MsgList* errs = nullptr;
  Dictionary_LoadFromBuffer(dict, bytes.data(), bytes.size(), "fuzz", "UTF-8", &errs);
  MsgList_Free(errs);
  return EntriesOf(dict);
}

// Writes dict, loads the text into a new dictionary and checks the entries.
void CheckRoundTrip(Dictionary* dict, const Entries& expected) {
  std::string text;
  // A value with no representation in the file's encoding fails the write: nothing to check.
  if (!Dictionary_WriteToBuffer(dict, &text)) {
    return;
  }
  Dictionary* again = Dictionary_Create();
  Entries reloaded = Load(text, again);
  Dictionary_Free(again);
  if (reloaded != expected) {
    abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string bytes(reinterpret_cast<const char*>(data), size);
  Dictionary* dict = Dictionary_Create();
  Entries first = Load(bytes, dict);
  CheckRoundTrip(dict, first);

  // Mark every entry modified so that the writer marshals each value itself.
  for (const auto& entry : first) {
    Dict_SetString(dict, entry.second, entry.first.c_str());
  }
  CheckRoundTrip(dict, first);

  // Typed lookups of every entry must not fault whatever the text.
  for (const auto& entry : first) {
    const char* name = entry.first.c_str();
    Dictionary_RestoreFromString(dict, (entry.first + "=" + entry.second).c_str(), nullptr);
    Dict_GetLong(dict, 3, name);
    Dict_GetInt64(dict, 5, name);
    Dict_GetDouble(dict, 1.5, name);
    Dict_GetTriState(dict, 1, name);
    Dict_GetBool(dict, TRUE, name);
  }
  std::string text;
  Dictionary_WriteToBuffer(dict, &text);
  Dictionary_Free(dict);
  return 0;
}
