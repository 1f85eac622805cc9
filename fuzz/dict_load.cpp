// Fuzzes loading a dictionary from bytes: no fault; a loaded text is written back exactly as read
// (line ends as line feeds); the written text loads the same entries, also with every value
// re-marshalled; typed lookups of any text do not fault.
#include <utility>

#include "FuzzSupport.h"
#include "config/Dictionary.h"
#include "config/MsgList.h"

namespace {

typedef std::vector<std::pair<std::string, std::string>> Entries;

Entries Load(const std::string& bytes, Dictionary* dict, bool* loaded) {
  MsgList* errs = nullptr;
  *loaded =
      Dictionary_LoadFromBuffer(dict, bytes.data(), bytes.size(), "fuzz", "UTF-8", &errs) == TRUE;
  MsgList_Free(errs);
  Entries out;
  for (const DictEntry& e : dict->entries) {
    if (!e.isDefault) {
      out.emplace_back(e.name, e.text);
    }
  }
  return out;
}

// The text as an unchanged dictionary writes it: the byte-order mark kept, a carriage return, alone
// or before a line feed, ending a line as a line feed does, the last line ended.
std::string Normalised(const std::string& text) {
  size_t start = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
  std::string out = text.substr(0, start);
  for (size_t i = start; i < text.size(); ++i) {
    out.push_back(text[i] == '\r' ? '\n' : text[i]);
    i += text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n' ? 1 : 0;
  }
  return out.size() > start && out.back() != '\n' ? out + '\n' : out;
}

// A value the file's encoding cannot hold fails the write: nothing to check then.
void CheckRoundTrip(Dictionary* dict, const Entries& expected) {
  std::string text;
  if (Dictionary_WriteToBuffer(dict, &text)) {
    Dictionary* again = Dictionary_Create();
    bool loaded = false;
    Require(Load(text, again, &loaded) == expected, "the written dictionary loads other entries");
    Dictionary_Free(again);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string bytes = FuzzReader(data, size).Rest(), text;
  Dictionary* dict = Dictionary_Create();
  bool loaded = false;
  const Entries first = Load(bytes, dict, &loaded);
  Require(!loaded || (Dictionary_WriteToBuffer(dict, &text) && text == Normalised(bytes)),
          "a loaded dictionary writes another text");
  CheckRoundTrip(dict, first);

  // Mark every entry modified so that the writer marshals each value itself.
  for (const auto& entry : first) {
    Dict_SetString(dict, entry.second, entry.first.c_str());
  }
  CheckRoundTrip(dict, first);

  for (const auto& entry : first) {
    const char* name = entry.first.c_str();
    Dictionary_RestoreFromString(dict, (entry.first + "=" + entry.second).c_str(), nullptr);
    Dict_GetLong(dict, 3, name);
    Dict_GetInt64(dict, 5, name);
    Dict_GetDouble(dict, 1.5, name);
    Dict_GetTriState(dict, 1, name);
    Dict_GetBool(dict, TRUE, name);
  }
  text.clear();
  Dictionary_WriteToBuffer(dict, &text);
  Dictionary_Free(dict);
  return 0;
}
