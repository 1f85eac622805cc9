// A dictionary of named settings read from a text file of `name = value` lines (see
// DictLL.h), with values held as UTF-8 text until a caller asks for a type, when they are
// converted once. Writing a dictionary back keeps the file's comments, blank lines and
// order and re-marshals only what changed. Encrypted sections are not supported: the
// dictionaries of this process are all plain text.
// Not thread safe: the owner serialises calls (the preferences hold their lock).
#ifndef CONFIG_DICTIONARY_H
#define CONFIG_DICTIONARY_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <list>
#include <string>
#include <unordered_map>

#include "runtime/PlatformTypes.h"
#include "config/MsgList.h"

// The low 12 bits are the type; the flags above select encryption (kept for callers that
// pass them; they have no effect here).
enum DictionaryType {
  DICT_ANY = 0,  // untyped text as read from a file
  DICT_STRING = 1,
  DICT_BOOL = 2,
  DICT_LONG = 3,  // signed 32-bit
  DICT_DOUBLE = 4,
  DICT_TRISTATE = 5,  // -1 default/auto, 0 false, 1 true
  DICT_INT64 = 6,
  DICT_TYPEMASK = 4095,
  DICT_DONTENCRYPT = 4096,
  DICT_ENCRYPT = 8192
};

// A value of an entry; stringValue points into the entry and stays valid until the entry
// changes or goes away.
union DictValue {
  const char* stringValue;
  Bool boolValue;
  int32_t longValue;
  int64_t int64Value;
  double doubleValue;
};

struct DictEntry;

struct DictLine {
  std::string string;          // as read, without its line end, or as last written
  DictEntry* entry = nullptr;  // none for comments, blank lines and refused lines
};

struct DictEntry {
  DictValue value{};
  std::string name;
  DictionaryType type = DICT_ANY;
  bool modified = false;
  bool written = false;
  bool isDefault = false;  // registered by a lookup: never written, not counted as set
  bool encrypt = false;
  std::string text;          // the value's text: as read (UTF-8), as set, or formatted
  DictLine* line = nullptr;  // the line that defined it, if it came from a file
};

struct Dictionary {
  std::list<DictEntry> entries;  // insertion order
  std::list<DictLine> lines;     // file order
  std::string currentFile;       // for messages; "<stdin>" for standard input
  int currentLine = 0;
  std::unordered_map<std::string, DictEntry*> hashtable;
  size_t numEntries = 0;
  std::string encoding;           // of the file's values; empty until decided
  std::string encodingCanonical;  // the converter's name for it, to compare aliases
  bool dirty = false;
  bool hadUtf8Bom = false;  // written back in front of the file
};

Dictionary* Dictionary_Create();
void Dictionary_Free(Dictionary* dict);
void Dictionary_Clear(Dictionary* dict);

// Loading replaces the contents with a file's ("-" is standard input). Loads that fail
// keep what was read before the failure. Without errs the messages are logged.
Bool Dictionary_Load(Dictionary* dict, const char* fileName);
// Files without an encoding line are read in the process's default encoding.
Bool Dictionary_LoadEx(Dictionary* dict, const char* fileName, MsgList** errs);
// Files without an encoding line are read as UTF-8.
Bool Dictionary_LoadWithDefaultUtf8(Dictionary* dict, const char* fileName, MsgList** errs);
// Files without an encoding line are read in defaultEncoding.
Bool Dictionary_LoadWithEncoding(Dictionary* dict, const char* fileName,
                                 const char* defaultEncoding, MsgList** errs);
// Reads an open file from its current position; fileName names it in messages.
Bool Dictionary_LoadFile(Dictionary* dict, FILE* file, const char* fileName, MsgList** errs);
// Reads size bytes as a file's contents (any line ends); a null defaultEncoding means
// the process's default.
Bool Dictionary_LoadFromBuffer(Dictionary* dict, const void* buf, size_t size, const char* name,
                               const char* defaultEncoding, MsgList** errs);

Bool Dictionary_IsDefined(const Dictionary* dict, const char* name);
Bool Dictionary_NotSet(const Dictionary* dict, const char* name);
// The entry, or null.
const DictEntry* Dictionary_Find(const Dictionary* dict, const char* name);

// The value of name as type. An untyped entry is converted once (a text that does not
// convert gives *pDefaultValue, kept by the entry, and a message). For a missing name a
// zero, -1 or true default gives a shared constant; any other default is registered as a
// default entry. pDefaultValue may be null (zero). Never returns null.
const DictValue* Dictionary_GetEx(Dictionary* dict, const DictValue* pDefaultValue,
                                  DictionaryType type, const char* name, MsgList** errs);
const DictValue* Dictionary_Get(Dictionary* dict, const DictValue* pDefaultValue,
                                DictionaryType type, const char* name);

const char* Dict_GetString(Dictionary* dict, const char* defaultValue, const char* name);
Bool Dict_GetBool(Dictionary* dict, Bool defaultValue, const char* name);
int32_t Dict_GetLong(Dictionary* dict, int32_t defaultValue, const char* name);
int64_t Dict_GetInt64(Dictionary* dict, int64_t defaultValue, const char* name);
double Dict_GetDouble(Dictionary* dict, double defaultValue, const char* name);
int32_t Dict_GetTriState(Dictionary* dict, int32_t defaultValue, const char* name);

// Setters make a modified, non-default entry of the given type. A name that would not
// come back from the written file as the same entry (empty, not ASCII, with a blank, a
// tab, "#", "=" or a line end, starting with ".", or an encoding name) is refused and
// logged.
void Dict_SetString(Dictionary* dict, const std::string& value, const char* name);
void Dict_SetBool(Dictionary* dict, Bool value, const char* name);
void Dict_SetLong(Dictionary* dict, int32_t value, const char* name);
void Dict_SetInt64(Dictionary* dict, int64_t value, const char* name);
void Dict_SetDouble(Dictionary* dict, double value, const char* name);
void Dict_SetTriState(Dictionary* dict, int32_t value, const char* name);

// line is split at its first "=" (no trimming; no "=" gives an empty value) into a
// modified untyped entry; a name the setters would refuse is refused with a message (to
// errs, or to the log without a list) and false. SetFromString leaves an existing name
// alone, with a message, and returns false; RestoreFromString replaces its value. Default
// entries count as absent.
Bool Dictionary_SetFromString(Dictionary* dict, const char* line, MsgList** errs);
Bool Dictionary_RestoreFromString(Dictionary* dict, const char* line, MsgList** errs);
// Removes the entry and the line that defined it.
void Dictionary_Unset(Dictionary* dict, const char* name);
// Every entry, default or not, in insertion order.
void Dictionary_Iterate(const Dictionary* dict, void (*fn)(const DictEntry* entry, void* ctx),
                        void* ctx);
// Logs every entry that is not a default, hiding secret values.
void Dictionary_LogNotDefault(const Dictionary* dict);

// The boolean or tristate of a text; *error is set (and 0 returned) when it is not one.
Bool Dictionary_StringToBool(const char* text, Bool* error);
int32_t Dictionary_StringToTriState(const char* text, Bool* error);

// The file's text: comments, blank lines and unchanged lines as they were; changed values
// re-marshalled; new entries at the end. False when a value has no representation in the
// file's encoding.
Bool Dictionary_WriteToBuffer(Dictionary* dict, std::string* out);
Bool Dictionary_WriteFile(Dictionary* dict, FILE* file, const char* fileName, MsgList** errs);
// Rewrites fileName in place (created when missing).
Bool Dictionary_Write(Dictionary* dict, const char* fileName, MsgList** errs);

#endif  // CONFIG_DICTIONARY_H
