#include "config/Dictionary.h"

#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "config/BaseLog.h"
#include "config/CodeSetConverter.h"
#include "config/DictLL.h"
#include "runtime/BoundedFileReader.h"

namespace {

// Loading stops at the duplicate after this many.
const int kMaxDuplicates = 100;

const DictValue kZeroValue{};
DictValue MakeMinusOne() {
  DictValue v{};
  v.longValue = -1;
  return v;
}
DictValue MakeTrue() {
  DictValue v{};
  v.boolValue = TRUE;
  return v;
}
const DictValue kMinusOneValue = MakeMinusOne();
const DictValue kTrueValue = MakeTrue();

// Returns 1 for a line, 0 at the end, -1 on a read error (errno set).
typedef std::function<int(std::string* line, std::string* name, std::string* value)> LineReader;

DictionaryType BaseType(DictionaryType type) {
  DictionaryType base = static_cast<DictionaryType>(type & DICT_TYPEMASK);
  return base == DICT_ANY ? DICT_STRING : base;
}

void RefreshStringPointer(DictEntry* e) {
  if (e->type == DICT_ANY || e->type == DICT_STRING) {
    e->value.stringValue = e->text.c_str();
  }
}

DictEntry* FindEntry(const Dictionary* dict, const char* name) {
  auto it = dict->hashtable.find(name);
  return it == dict->hashtable.end() ? nullptr : it->second;
}

DictEntry* AddEntry(Dictionary* dict, const std::string& name) {
  dict->entries.emplace_back();
  DictEntry* e = &dict->entries.back();
  e->name = name;
  dict->hashtable[name] = e;
  dict->numEntries++;
  return e;
}

DictLine* AddLine(Dictionary* dict, std::string text, DictEntry* entry) {
  dict->lines.emplace_back();
  DictLine* line = &dict->lines.back();
  line->string = std::move(text);
  line->entry = entry;
  return line;
}

bool IsAscii(const std::string& s) {
  for (char c : s) {
    if (static_cast<unsigned char>(c) >= 0x80) {
      return false;
    }
  }
  return true;
}

bool IsEncodingName(const std::string& name) {
  static const char* const kNames[] = {"config.encoding", "preferences.encoding", "qrlist.encoding",
                                       "snapshot.encoding", ".encoding"};
  for (const char* n : kNames) {
    if (strcasecmp(name.c_str(), n) == 0 && strlen(n) == name.size()) {
      return true;
    }
  }
  return false;
}

// For log lines: non-printable bytes as "\xNN".
std::string EscapeForLog(const std::string& s) {
  std::string out;
  char hex[8];
  for (char c : s) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u >= 0x7F || c == '\\') {
      snprintf(hex, sizeof hex, "\\x%02X", u);
      out += hex;
    } else {
      out.push_back(c);
    }
  }
  return out;
}

const char* BoolWord(Bool b) { return b ? "TRUE" : "FALSE"; }

const char* TriStateWord(int32_t v) { return v < 0 ? "DEFAULT" : (v ? "TRUE" : "FALSE"); }

// The text an entry's current value is written as.
std::string ValueText(const DictEntry* e) {
  char buf[64];
  switch (e->type) {
    case DICT_BOOL:
      return BoolWord(e->value.boolValue);
    case DICT_LONG:
      snprintf(buf, sizeof buf, "%ld", static_cast<long>(e->value.longValue));
      return buf;
    case DICT_INT64:
      snprintf(buf, sizeof buf, "%ld", static_cast<long>(e->value.int64Value));
      return buf;
    case DICT_DOUBLE:
      snprintf(buf, sizeof buf, "%.9g", e->value.doubleValue);
      return buf;
    case DICT_TRISTATE:
      return TriStateWord(e->value.longValue);
    default:
      return e->text;
  }
}

enum ParseResult { PARSE_OK, PARSE_RANGE, PARSE_INVALID };

// Whole text only; an embedded NUL makes it invalid.
bool IsWholeText(const std::string& text, const char* end) {
  return !text.empty() && end == text.c_str() + text.size();
}

ParseResult ParseLong(const std::string& text, int32_t* out) {
  const char* s = text.c_str();
  char* end = nullptr;
  errno = 0;
  long long v = strtoll(s, &end, 0);
  if (!IsWholeText(text, end)) {
    return PARSE_INVALID;
  }
  if (errno != ERANGE && v >= INT32_MIN && v <= INT32_MAX) {
    *out = static_cast<int32_t>(v);
    return PARSE_OK;
  }
  // Beyond the signed range: read again as unsigned and truncated to 32 bits, so
  // "0xFFFFFFFF" is -1 and "4294967296" is 0. Only a text no unsigned 64-bit number holds
  // is out of range.
  errno = 0;
  unsigned long long u = strtoull(s, &end, 0);
  if (errno != ERANGE) {
    *out = static_cast<int32_t>(static_cast<uint32_t>(u));
    return PARSE_OK;
  }
  return PARSE_RANGE;
}

ParseResult ParseInt64(const std::string& text, int64_t* out) {
  const char* s = text.c_str();
  char* end = nullptr;
  errno = 0;
  long long v = strtoll(s, &end, 0);
  if (!IsWholeText(text, end)) {
    return PARSE_INVALID;
  }
  if (errno != ERANGE) {
    *out = v;
    return PARSE_OK;
  }
  errno = 0;
  unsigned long long u = strtoull(s, &end, 0);
  if (errno != ERANGE && text[0] != '-') {
    *out = static_cast<int64_t>(u);
    return PARSE_OK;
  }
  return PARSE_RANGE;
}

ParseResult ParseDouble(const std::string& text, double* out) {
  const char* s = text.c_str();
  char* end = nullptr;
  errno = 0;
  double v = strtod(s, &end);
  if (!IsWholeText(text, end)) {
    return PARSE_INVALID;
  }
  if (errno == ERANGE) {
    return PARSE_RANGE;
  }
  *out = v;
  return PARSE_OK;
}

// Converts an entry's text to type; a text that does not convert takes the default.
void ConvertEntry(DictEntry* e, const DictValue& def, DictionaryType type, MsgList** errs) {
  const std::string& text = e->text;
  const char* t = text.c_str();
  const char* name = e->name.c_str();
  DictValue v{};
  Bool error = FALSE;
  switch (type) {
    case DICT_BOOL:
      v.boolValue = Dictionary_StringToBool(t, &error);
      if (error || strlen(t) != text.size()) {
        v.boolValue = def.boolValue ? TRUE : FALSE;
        MsgList_Append(errs,
                       "@&!*@*@(msg.dictionary.notBoolean)Value \"%s\" for variable \"%s\" is "
                       "not a valid boolean value. Using value \"%s\".\n",
                       t, name, BoolWord(v.boolValue));
      }
      break;
    case DICT_TRISTATE:
      v.longValue = Dictionary_StringToTriState(t, &error);
      if (error || strlen(t) != text.size()) {
        v.longValue = def.longValue < 0 ? -1 : (def.longValue ? 1 : 0);
        MsgList_Append(errs,
                       "@&!*@*@(msg.dictionary.notTriState)Value \"%s\" for variable \"%s\" is "
                       "not a valid tristate value. Using value \"%s\".\n",
                       t, name, v.longValue < 0 ? "default" : BoolWord(v.longValue));
      }
      break;
    case DICT_LONG:
      switch (ParseLong(text, &v.longValue)) {
        case PARSE_OK:
          break;
        case PARSE_RANGE:
          v.longValue = def.longValue;
          MsgList_Append(errs,
                         "@&!*@*@(msg.dictionary.outOfRange)Value \"%s\" for variable \"%s\" is "
                         "out of range. Using value \"%d\".\n",
                         t, name, v.longValue);
          break;
        case PARSE_INVALID:
          v.longValue = def.longValue;
          MsgList_Append(errs,
                         "@&!*@*@(msg.dictionary.notInteger)Value \"%s\" for variable \"%s\" is "
                         "not a valid integer value. Using value \"%d\".\n",
                         t, name, v.longValue);
          break;
      }
      break;
    case DICT_INT64:
      switch (ParseInt64(text, &v.int64Value)) {
        case PARSE_OK:
          break;
        case PARSE_RANGE:
          v.int64Value = def.int64Value;
          MsgList_Append(errs,
                         "@&!*@*@(msg.dictionary.outOfRange)Value \"%s\" for variable \"%s\" is "
                         "out of range. Using value \"%ld\".\n",
                         t, name, static_cast<long>(v.int64Value));
          break;
        case PARSE_INVALID:
          v.int64Value = def.int64Value;
          MsgList_Append(errs,
                         "@&!*@*@(msg.dictionary.notInteger)Value \"%s\" for variable \"%s\" is "
                         "not a valid integer value. Using value \"%ld\".\n",
                         t, name, static_cast<long>(v.int64Value));
          break;
      }
      break;
    case DICT_DOUBLE:
      switch (ParseDouble(text, &v.doubleValue)) {
        case PARSE_OK:
          break;
        case PARSE_RANGE:
          v.doubleValue = def.doubleValue;
          MsgList_Append(errs,
                         "@&!*@*@(msg.dictionary.outOfRange)Value \"%s\" for variable \"%s\" is "
                         "out of range. Using value \"%f\".\n",
                         t, name, v.doubleValue);
          break;
        case PARSE_INVALID:
          v.doubleValue = def.doubleValue;
          MsgList_Append(errs,
                         "@&!*@*@(msg.dictionary.notFloat)Value \"%s\" for variable \"%s\" is "
                         "not a valid floating point value. Using value \"%f\".\n",
                         t, name, v.doubleValue);
          break;
      }
      break;
    default:
      type = DICT_STRING;
      break;
  }
  e->type = type;
  e->value = v;
  RefreshStringPointer(e);
}

// Checks every stored value against encoding and converts them all to UTF-8, or none.
bool ApplyEncoding(Dictionary* dict, const std::string& encoding, MsgList** errs) {
  CodeSetConverter conv(encoding);
  if (!conv.IsValid()) {
    return false;
  }
  std::vector<std::string> converted;
  converted.reserve(dict->entries.size());
  for (const DictEntry& e : dict->entries) {
    converted.emplace_back();
    if (!conv.ToUtf8(e.text, &converted.back())) {
      MsgList_Append(errs,
                     "@&!*@*@(msg.dictionary.invalidValueEncoding)File \"%s\" line %d: Value "
                     "\"%s\" for variable \"%s\" is not valid in encoding \"%s\".\n",
                     dict->currentFile.c_str(), dict->currentLine, e.text.c_str(), e.name.c_str(),
                     encoding.c_str());
      return false;
    }
  }
  size_t i = 0;
  for (DictEntry& e : dict->entries) {
    e.text = std::move(converted[i++]);
    RefreshStringPointer(&e);
  }
  dict->encoding = encoding;
  dict->encodingCanonical = conv.GetCanonicalName();
  return true;
}

// The lines after the byte-order mark; see Dictionary.h for what a load keeps on failure.
bool DictionaryReadLines(Dictionary* dict, const LineReader& readLine,
                         const std::string& defaultEncoding, MsgList** errs) {
  std::unique_ptr<CodeSetConverter> conv;
  int duplicates = 0;
  std::string line;
  std::string name;
  std::string value;
  for (;;) {
    int rc = readLine(&line, &name, &value);
    if (rc == 0) {
      break;
    }
    if (rc < 0) {
      int err = errno;
      MsgList_Append(errs, "@&!*@*@(msg.dictionary.read.readFailed)File \"%s\" line %d: %s.\n",
                     dict->currentFile.c_str(), dict->currentLine + 1, strerror(err));
      return false;
    }
    dict->currentLine++;
    const char* file = dict->currentFile.c_str();
    int lineNo = dict->currentLine;

    if (name.empty()) {
      if (DictLL_IsComment(line)) {
        AddLine(dict, std::move(line), nullptr);
        continue;
      }
      BaseLog_Log("%s: syntax error with line, \"%s\".\n", "DictionaryParseReadLine",
                  EscapeForLog(line).c_str());
      MsgList_Append(errs,
                     "@&!*@*@(msg.dictionary.read.syntaxError)File \"%s\" line %d: Syntax "
                     "error.\n",
                     file, lineNo);
      return false;
    }

    if (IsEncodingName(name)) {
      std::string canonical = CodeSetConverter::Canonicalize(value);
      if (canonical.empty()) {
        MsgList_Append(errs,
                       "@&!*@*@(msg.dictionary.unsupportedEncoding)File \"%s\" (line %d) "
                       "specifies a character encoding (%s) that is not supported.\n",
                       file, lineNo, value.c_str());
        return false;
      }
      if (!dict->encoding.empty()) {
        if (canonical != dict->encodingCanonical) {
          MsgList_Append(errs,
                         "@&!*@*@(msg.dictionary.conflictingEncoding)File \"%s\" (line %d) "
                         "already has encoding \"%s\".\n",
                         file, lineNo, dict->encoding.c_str());
          return false;
        }
      } else {
        if (!ApplyEncoding(dict, value, errs)) {
          return false;
        }
        conv.reset(new CodeSetConverter(value));
      }
      AddLine(dict, std::move(line), nullptr);
      continue;
    }

    if (name[0] == '.') {
      BaseLog_Log("%s: \"%s\" line %d: unrecognized metavariable \"%s\"\n",
                  "DictionaryParseReadLine", file, lineNo, name.c_str());
      AddLine(dict, std::move(line), nullptr);
      continue;
    }

    if (FindEntry(dict, name.c_str()) != nullptr) {
      duplicates++;
      MsgList_Append(errs,
                     "@&!*@*@(msg.dictionary.alreadyDefined)File \"%s\" line %d: Variable "
                     "\"%s\" is already defined.\n",
                     file, lineNo, name.c_str());
      if (duplicates > kMaxDuplicates) {
        BaseLog_Log("%s: \"%s\" line %d: too many duplicate entries in dictionary, quitting.\n",
                    "DictionaryReadLines", file, lineNo);
        return false;
      }
      AddLine(dict, std::move(line), nullptr);
      continue;
    }

    if (!IsAscii(name)) {
      MsgList_Append(errs,
                     "@&!*@*@(msg.dictionary.nonAsciiName)File \"%s\" line %d: Variable \"%s\" "
                     "is not valid ASCII.\n",
                     file, lineNo, name.c_str());
      return false;
    }

    if (conv) {
      std::string utf8;
      if (!conv->ToUtf8(value, &utf8)) {
        MsgList_Append(errs,
                       "@&!*@*@(msg.dictionary.invalidValueEncoding)File \"%s\" line %d: Value "
                       "\"%s\" for variable \"%s\" is not valid in encoding \"%s\".\n",
                       file, lineNo, value.c_str(), name.c_str(), dict->encoding.c_str());
        return false;
      }
      value.swap(utf8);
    }
    DictEntry* e = AddEntry(dict, name);
    e->text.swap(value);
    RefreshStringPointer(e);
    e->line = AddLine(dict, std::move(line), e);
  }

  // Duplicates fail the load once the whole file has been read; the values then stay as read.
  if (duplicates > 0) {
    return false;
  }
  if (!dict->encoding.empty()) {
    return true;
  }
  CodeSetConverter defaultConv(defaultEncoding);
  if (dict->hadUtf8Bom && !defaultConv.IsUtf8()) {
    MsgList* discarded = nullptr;
    std::unique_ptr<MsgList*, decltype(&MsgList_FreeAt)> freeDiscarded(&discarded, MsgList_FreeAt);
    bool ok = ApplyEncoding(dict, "UTF-8", &discarded);
    if (ok) {
      return true;
    }
  }
  if (!ApplyEncoding(dict, defaultEncoding, errs)) {
    MsgList_Append(errs,
                   "@&!*@*@(msg.dictionary.load.defaultEncodingFailed)An error occurred while "
                   "decoding file \"%s\" using the default character encoding.\n",
                   dict->currentFile.c_str());
    return false;
  }
  return true;
}

void StartLoad(Dictionary* dict, const char* fileName, bool hadBom) {
  Dictionary_Clear(dict);
  dict->currentFile = fileName;
  dict->currentLine = 0;
  dict->hadUtf8Bom = hadBom;
}

Bool LoadFromFile(Dictionary* dict, FILE* file, const char* fileName, bool checkBom,
                  const std::string& defaultEncoding, MsgList** errs) {
  bool bom = checkBom && DictLL_ReadUTF8BOM(file);
  StartLoad(dict, fileName, bom);
  LineReader reader = [file](std::string* line, std::string* name, std::string* value) {
    return DictLL_ReadLine(file, line, name, value);
  };
  return DictionaryReadLines(dict, reader, defaultEncoding, errs) ? TRUE : FALSE;
}

Bool DictionaryLoad(Dictionary* dict, const char* fileName, const std::string& defaultEncoding,
                    MsgList** errs) {
  if (fileName == nullptr) {
    return FALSE;
  }
  if (strcmp(fileName, "-") == 0) {
    return LoadFromFile(dict, stdin, "<stdin>", false, defaultEncoding, errs);
  }
  // Preference files are untrusted: a pipe, a device or a huge file is refused before
  // the dictionary is touched, so a refused load leaves it as it was.
  BoundedFileReader reader;
  std::string text;
  BoundedFileReader::Result result = reader.ReadAll(fileName, &text);
  const char* err = strerror(reader.Error());
  switch (result) {
    case BoundedFileReader::READ_OK:
      return Dictionary_LoadFromBuffer(dict, text.data(), text.size(), fileName,
                                       defaultEncoding.c_str(), errs);
    case BoundedFileReader::READ_OPEN_FAILED:
      BaseLog_Log("%s: Cannot open file \"%s\": %s.\n", "DictionaryLoad", fileName, err);
      MsgList_Append(errs, "@&!*@*@(msg.dictionary.load.openFailed)Cannot open file \"%s\": %s.\n",
                     fileName, err);
      break;
    case BoundedFileReader::READ_STAT_FAILED:
      BaseLog_Log("%s: Unable to get information about file \"%s\": %s.\n", "DictionaryLoad",
                  fileName, err);
      MsgList_Append(errs,
                     "@&!*@*@(msg.dictionary.load.statFailed)Unable to get information about "
                     "file \"%s\": %s.\n",
                     fileName, err);
      break;
    case BoundedFileReader::READ_IS_DIRECTORY:
      BaseLog_Log("%s: \"%s\" is a directory.\n", "DictionaryLoad", fileName);
      MsgList_Append(errs, "@&!*@*@(msg.dictionary.load.isDirectory)\"%s\" is a directory.\n",
                     fileName);
      break;
    // The reader has logged these refusals; the caller's list gets them too.
    case BoundedFileReader::READ_NOT_REGULAR:
      MsgList_Append(errs, "@&!*@*@(msg.dictionary.load.notRegular)\"%s\" is not a regular file.\n",
                     fileName);
      break;
    case BoundedFileReader::READ_TOO_LARGE:
      MsgList_Append(errs,
                     "@&!*@*@(msg.dictionary.load.tooLarge)File \"%s\" is larger than %zu "
                     "bytes.\n",
                     fileName, reader.MaxFileBytes());
      break;
    case BoundedFileReader::READ_LINE_TOO_LONG:
      MsgList_Append(errs,
                     "@&!*@*@(msg.dictionary.read.lineTooLong)File \"%s\" line %d is longer "
                     "than %zu bytes.\n",
                     fileName, reader.Line(), reader.MaxLineBytes());
      break;
    case BoundedFileReader::READ_FAILED:
      MsgList_Append(errs, "@&!*@*@(msg.dictionary.read.readFailed)File \"%s\" line %d: %s.\n",
                     fileName, 1, err);
      break;
  }
  return FALSE;
}

Bool LoadAndLog(Dictionary* dict, const char* fileName) {
  MsgList* errs = nullptr;
  std::unique_ptr<MsgList*, decltype(&MsgList_FreeAt)> freeErrs(&errs, MsgList_FreeAt);
  Bool ok = Dictionary_LoadEx(dict, fileName, &errs);
  MsgList_Log(errs);
  return ok;
}

// A name set by a caller must come back from the written file as the same single entry,
// so it holds what a loaded name may hold: ASCII without blanks, tabs, "#", "=" or a line
// end (a line feed would even start a line of its own), not a metavariable (a leading ".")
// and not one of the encoding names. A refused name goes to the caller's list, or to the
// log when there is none.
bool AcceptName(const std::string& name, MsgList** errs) {
  bool valid = !name.empty() && name[0] != '.' && !IsEncodingName(name) && IsAscii(name);
  for (char c : name) {
    valid = valid && c != ' ' && c != '\t' && c != '#' && c != '=' && c != '\n' && c != '\r';
  }
  if (valid) {
    return true;
  }
  static const char kFormat[] =
      "@&!*@*@(msg.dictionary.invalidName)Variable \"%s\" is not a valid name.\n";
  std::string shown = EscapeForLog(name);
  if (errs != nullptr) {
    MsgList_Append(errs, kFormat, shown.c_str());
  } else {
    BaseLog_Log("Variable \"%s\" is not a valid name.\n", shown.c_str());
  }
  return false;
}

DictEntry* SetEntry(Dictionary* dict, const char* name, DictionaryType type) {
  DictEntry* e = FindEntry(dict, name);
  if (e == nullptr) {
    e = AddEntry(dict, name);
  }
  e->isDefault = false;
  e->type = type;
  e->modified = true;
  dict->dirty = true;
  return e;
}

Bool SetFromString(Dictionary* dict, const char* line, bool restore, MsgList** errs) {
  if (dict == nullptr || line == nullptr) {
    return FALSE;
  }
  const char* eq = strchr(line, '=');
  std::string name = eq != nullptr ? std::string(line, eq) : std::string(line);
  std::string value = eq != nullptr ? std::string(eq + 1) : std::string();
  if (!AcceptName(name, errs)) {
    return FALSE;
  }
  DictEntry* e = FindEntry(dict, name.c_str());
  if (e != nullptr && !e->isDefault && !restore) {
    MsgList_Append(errs,
                   "@&!*@*@(msg.dictionary.alreadyDefined.string)Variable \"%s\" is already "
                   "defined.\n",
                   name.c_str());
    return FALSE;
  }
  e = SetEntry(dict, name.c_str(), DICT_ANY);
  e->text.swap(value);
  RefreshStringPointer(e);
  return TRUE;
}

bool IsHiddenName(const std::string& name) {
  static const char* const kHidden[] = {"dataFileKey", "ancestorDataFileKeys", "annotation"};
  for (const char* h : kHidden) {
    if (strcasecmp(name.c_str(), h) == 0) {
      return true;
    }
  }
  static const char kPrefix[] = "guestinfo.";
  static const char kSuffix[] = ".key";
  size_t prefixLen = sizeof kPrefix - 1;
  size_t suffixLen = sizeof kSuffix - 1;
  if (name.size() >= prefixLen && strncasecmp(name.c_str(), kPrefix, prefixLen) == 0) {
    return true;
  }
  return name.size() >= suffixLen &&
         strcasecmp(name.c_str() + name.size() - suffixLen, kSuffix) == 0;
}

bool WriteAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

// What the typed getters and setters share: the union member and the type differ, the
// steps do not. The value's type is taken from the member alone.
template <typename T>
struct Exactly {
  using Type = T;
};

template <typename T>
T GetTyped(Dictionary* dict, typename Exactly<T>::Type defaultValue, DictionaryType type,
           T DictValue::*member, const char* name) {
  DictValue def{};
  def.*member = defaultValue;
  return Dictionary_Get(dict, &def, type, name)->*member;
}

template <typename T>
void SetTyped(Dictionary* dict, typename Exactly<T>::Type value, DictionaryType type,
              T DictValue::*member, const char* name) {
  if (dict == nullptr || name == nullptr || !AcceptName(name, nullptr)) {
    return;
  }
  DictEntry* e = SetEntry(dict, name, type);
  e->value.*member = value;
  e->text = ValueText(e);
}

}  // namespace

Dictionary* Dictionary_Create() {
  std::unique_ptr<Dictionary> dict(new Dictionary);
  dict->hashtable.reserve(512);
  return dict.release();
}

void Dictionary_Free(Dictionary* dict) { delete dict; }

void Dictionary_Clear(Dictionary* dict) {
  if (dict == nullptr) {
    return;
  }
  dict->hashtable.clear();
  dict->lines.clear();
  dict->entries.clear();
  dict->numEntries = 0;
  dict->encoding.clear();
  dict->encodingCanonical.clear();
  dict->dirty = false;
  dict->hadUtf8Bom = false;
}

Bool Dictionary_Load(Dictionary* dict, const char* fileName) { return LoadAndLog(dict, fileName); }

Bool Dictionary_LoadEx(Dictionary* dict, const char* fileName, MsgList** errs) {
  return DictionaryLoad(dict, fileName, CodeSetConverter::GetDefaultEncoding(), errs);
}

Bool Dictionary_LoadWithDefaultUtf8(Dictionary* dict, const char* fileName, MsgList** errs) {
  return DictionaryLoad(dict, fileName, "UTF-8", errs);
}

Bool Dictionary_LoadWithEncoding(Dictionary* dict, const char* fileName,
                                 const char* defaultEncoding, MsgList** errs) {
  return DictionaryLoad(dict, fileName,
                        defaultEncoding != nullptr ? std::string(defaultEncoding)
                                                   : CodeSetConverter::GetDefaultEncoding(),
                        errs);
}

Bool Dictionary_LoadFile(Dictionary* dict, FILE* file, const char* fileName, MsgList** errs) {
  if (dict == nullptr || file == nullptr) {
    return FALSE;
  }
  return LoadFromFile(dict, file, fileName != nullptr ? fileName : "", file != stdin,
                      CodeSetConverter::GetDefaultEncoding(), errs);
}

Bool Dictionary_LoadFromBuffer(Dictionary* dict, const void* buf, size_t size, const char* name,
                               const char* defaultEncoding, MsgList** errs) {
  if (dict == nullptr || (buf == nullptr && size != 0)) {
    return FALSE;
  }
  const char* p = static_cast<const char*>(buf);
  bool bom = size >= 3 && memcmp(p, "\xEF\xBB\xBF", 3) == 0;
  size_t pos = bom ? 3 : 0;
  StartLoad(dict, name != nullptr ? name : "", bom);
  LineReader reader = [p, size, &pos](std::string* line, std::string* n, std::string* value) {
    if (pos >= size) {
      return 0;
    }
    size_t lineLen = 0;
    size_t used = DictLL_SplitFileLine(p + pos, size - pos, &lineLen);
    line->assign(p + pos, lineLen);
    pos += used;
    if (!DictLL_ParseLine(*line, n, value)) {
      n->clear();
      value->clear();
    }
    return 1;
  };
  std::string encoding = defaultEncoding != nullptr ? std::string(defaultEncoding)
                                                    : CodeSetConverter::GetDefaultEncoding();
  return DictionaryReadLines(dict, reader, encoding, errs) ? TRUE : FALSE;
}

Bool Dictionary_IsDefined(const Dictionary* dict, const char* name) {
  return dict != nullptr && name != nullptr && FindEntry(dict, name) != nullptr;
}

Bool Dictionary_NotSet(const Dictionary* dict, const char* name) {
  if (dict == nullptr || name == nullptr) {
    return TRUE;
  }
  const DictEntry* e = FindEntry(dict, name);
  return e == nullptr || e->isDefault;
}

const DictEntry* Dictionary_Find(const Dictionary* dict, const char* name) {
  return dict != nullptr && name != nullptr ? FindEntry(dict, name) : nullptr;
}

const DictValue* Dictionary_GetEx(Dictionary* dict, const DictValue* pDefaultValue,
                                  DictionaryType type, const char* name, MsgList** errs) {
  const DictValue& def = pDefaultValue != nullptr ? *pDefaultValue : kZeroValue;
  DictionaryType base = BaseType(type);
  if (dict == nullptr || name == nullptr) {
    return &kZeroValue;
  }
  DictEntry* e = FindEntry(dict, name);
  if (e != nullptr) {
    // A typed entry asked for as another type converts again from its text.
    if (e->type != base) {
      ConvertEntry(e, def, base, errs);
    }
    RefreshStringPointer(e);
    return &e->value;
  }
  DictValue v{};
  switch (base) {
    case DICT_BOOL:
      return def.boolValue ? &kTrueValue : &kZeroValue;
    case DICT_LONG:
    case DICT_TRISTATE:
      if (def.longValue == 0) {
        return &kZeroValue;
      }
      if (def.longValue == -1) {
        return &kMinusOneValue;
      }
      v.longValue = def.longValue;
      break;
    case DICT_INT64:
      if (def.int64Value == 0) {
        return &kZeroValue;
      }
      v.int64Value = def.int64Value;
      break;
    case DICT_DOUBLE:
      if (def.doubleValue == 0.0) {
        return &kZeroValue;
      }
      v.doubleValue = def.doubleValue;
      break;
    default:
      if (def.stringValue == nullptr) {
        return &kZeroValue;
      }
      break;
  }
  e = AddEntry(dict, name);
  e->isDefault = true;
  e->type = base;
  if (base == DICT_STRING) {
    e->text = def.stringValue;
  } else {
    e->value = v;
    e->text = ValueText(e);
  }
  RefreshStringPointer(e);
  return &e->value;
}

const DictValue* Dictionary_Get(Dictionary* dict, const DictValue* pDefaultValue,
                                DictionaryType type, const char* name) {
  return Dictionary_GetEx(dict, pDefaultValue, type, name, nullptr);
}

const char* Dict_GetString(Dictionary* dict, const char* defaultValue, const char* name) {
  DictValue def{};
  def.stringValue = defaultValue;
  return Dictionary_Get(dict, &def, DICT_STRING, name)->stringValue;
}

Bool Dict_GetBool(Dictionary* dict, Bool defaultValue, const char* name) {
  return GetTyped(dict, defaultValue, DICT_BOOL, &DictValue::boolValue, name);
}

int32_t Dict_GetLong(Dictionary* dict, int32_t defaultValue, const char* name) {
  return GetTyped(dict, defaultValue, DICT_LONG, &DictValue::longValue, name);
}

int64_t Dict_GetInt64(Dictionary* dict, int64_t defaultValue, const char* name) {
  return GetTyped(dict, defaultValue, DICT_INT64, &DictValue::int64Value, name);
}

double Dict_GetDouble(Dictionary* dict, double defaultValue, const char* name) {
  return GetTyped(dict, defaultValue, DICT_DOUBLE, &DictValue::doubleValue, name);
}

int32_t Dict_GetTriState(Dictionary* dict, int32_t defaultValue, const char* name) {
  return GetTyped(dict, defaultValue, DICT_TRISTATE, &DictValue::longValue, name);
}

void Dict_SetString(Dictionary* dict, const std::string& value, const char* name) {
  if (dict == nullptr || name == nullptr || !AcceptName(name, nullptr)) {
    return;
  }
  DictEntry* e = SetEntry(dict, name, DICT_STRING);
  e->text = value;
  RefreshStringPointer(e);
}

void Dict_SetBool(Dictionary* dict, Bool value, const char* name) {
  SetTyped(dict, value ? TRUE : FALSE, DICT_BOOL, &DictValue::boolValue, name);
}

void Dict_SetLong(Dictionary* dict, int32_t value, const char* name) {
  SetTyped(dict, value, DICT_LONG, &DictValue::longValue, name);
}

void Dict_SetInt64(Dictionary* dict, int64_t value, const char* name) {
  SetTyped(dict, value, DICT_INT64, &DictValue::int64Value, name);
}

void Dict_SetDouble(Dictionary* dict, double value, const char* name) {
  SetTyped(dict, value, DICT_DOUBLE, &DictValue::doubleValue, name);
}

void Dict_SetTriState(Dictionary* dict, int32_t value, const char* name) {
  SetTyped(dict, value < 0 ? -1 : (value ? 1 : 0), DICT_TRISTATE, &DictValue::longValue, name);
}

Bool Dictionary_SetFromString(Dictionary* dict, const char* line, MsgList** errs) {
  return SetFromString(dict, line, false, errs);
}

Bool Dictionary_RestoreFromString(Dictionary* dict, const char* line, MsgList** errs) {
  return SetFromString(dict, line, true, errs);
}

void Dictionary_Unset(Dictionary* dict, const char* name) {
  DictEntry* e = dict != nullptr && name != nullptr ? FindEntry(dict, name) : nullptr;
  if (e == nullptr) {
    return;
  }
  dict->hashtable.erase(e->name);
  if (e->line != nullptr) {
    for (auto it = dict->lines.begin(); it != dict->lines.end(); ++it) {
      if (&*it == e->line) {
        dict->lines.erase(it);
        break;
      }
    }
  }
  for (auto it = dict->entries.begin(); it != dict->entries.end(); ++it) {
    if (&*it == e) {
      dict->entries.erase(it);
      break;
    }
  }
  dict->numEntries--;
  dict->dirty = true;
}

void Dictionary_Iterate(const Dictionary* dict, void (*fn)(const DictEntry* entry, void* ctx),
                        void* ctx) {
  if (dict == nullptr || fn == nullptr) {
    return;
  }
  for (const DictEntry& e : dict->entries) {
    fn(&e, ctx);
  }
}

void Dictionary_LogNotDefault(const Dictionary* dict) {
  if (dict == nullptr) {
    return;
  }
  for (const DictEntry& e : dict->entries) {
    if (e.isDefault) {
      continue;
    }
    const char* name = e.name.c_str();
    if (e.encrypt || IsHiddenName(e.name)) {
      BaseLog_Log("DICT %25s = <not printed>\n", name);
      continue;
    }
    switch (e.type) {
      case DICT_ANY:
      case DICT_STRING:
        BaseLog_Log("DICT %25s = \"%s\"\n", name, e.text.c_str());
        break;
      case DICT_BOOL:
        BaseLog_Log("DICT %25s = \"%s\"\n", name, BoolWord(e.value.boolValue));
        break;
      case DICT_LONG:
        BaseLog_Log("DICT %25s = \"%i\"\n", name, e.value.longValue);
        break;
      case DICT_DOUBLE:
        BaseLog_Log("DICT %25s = \"%g\"\n", name, e.value.doubleValue);
        break;
      case DICT_INT64:
        BaseLog_Log("DICT %25s = \"%ld\"\n", name, static_cast<long>(e.value.int64Value));
        break;
      default:
        BaseLog_Log("DICT %25s = <unknown parameter type>\n", name);
        break;
    }
  }
}

Bool Dictionary_StringToBool(const char* text, Bool* error) {
  static const char* const kTrue[] = {"", "true", "t", "yes", "y", "on"};
  static const char* const kFalse[] = {"false", "f", "no", "n", "off"};
  if (error != nullptr) {
    *error = FALSE;
  }
  if (text != nullptr) {
    for (const char* w : kTrue) {
      if (strcasecmp(text, w) == 0) {
        return TRUE;
      }
    }
    if (strcmp(text, "1") == 0) {
      return TRUE;
    }
    for (const char* w : kFalse) {
      if (strcasecmp(text, w) == 0) {
        return FALSE;
      }
    }
    if (strcmp(text, "0") == 0) {
      return FALSE;
    }
  }
  if (error != nullptr) {
    *error = TRUE;
  }
  return FALSE;
}

int32_t Dictionary_StringToTriState(const char* text, Bool* error) {
  Bool notBool = FALSE;
  Bool b = Dictionary_StringToBool(text, &notBool);
  if (error != nullptr) {
    *error = FALSE;
  }
  if (!notBool) {
    return b ? 1 : 0;
  }
  if (text != nullptr && (strcasecmp(text, "default") == 0 || strcasecmp(text, "dontcare") == 0 ||
                          strcasecmp(text, "auto") == 0)) {
    return -1;
  }
  if (error != nullptr) {
    *error = TRUE;
  }
  return 0;
}

Bool Dictionary_WriteToBuffer(Dictionary* dict, std::string* out) {
  if (dict == nullptr || out == nullptr) {
    return FALSE;
  }
  std::string encoding =
      dict->encoding.empty() ? CodeSetConverter::GetDefaultEncoding() : dict->encoding;
  CodeSetConverter conv(encoding);
  // Values are held as UTF-8; only a file in another (known) encoding needs converting.
  bool convert = conv.IsValid() && !conv.IsUtf8();

  std::string result;
  if (dict->hadUtf8Bom) {
    result = "\xEF\xBB\xBF";
  }
  for (DictEntry& e : dict->entries) {
    e.written = e.isDefault;
  }
  auto marshal = [&](DictEntry* e, std::string* text) {
    std::string value = ValueText(e);
    if (convert) {
      std::string encoded;
      if (!conv.FromUtf8(value, &encoded)) {
        return false;
      }
      value.swap(encoded);
    }
    text->clear();
    DictLL_MarshalLine(text, e->name, value);
    text->pop_back();  // the line feed
    return true;
  };
  for (DictLine& line : dict->lines) {
    DictEntry* e = line.entry;
    if (e != nullptr && !e->written && !e->encrypt) {
      if (e->modified) {
        std::string text;
        if (!marshal(e, &text)) {
          return FALSE;
        }
        line.string.swap(text);
      }
      e->written = true;
    }
    result += line.string;
    result.push_back('\n');
  }
  for (DictEntry& e : dict->entries) {
    if (e.written || e.encrypt) {
      continue;
    }
    std::string text;
    if (e.line != nullptr && !e.modified) {
      text = e.line->string;
    } else if (!marshal(&e, &text)) {
      return FALSE;
    }
    result += text;
    result.push_back('\n');
    e.written = true;
  }
  out->swap(result);
  return TRUE;
}

Bool Dictionary_WriteFile(Dictionary* dict, FILE* file, const char* fileName, MsgList** errs) {
  std::string text;
  if (file == nullptr || !Dictionary_WriteToBuffer(dict, &text)) {
    return FALSE;
  }
  const char* name = fileName != nullptr ? fileName : "";
  if (fwrite(text.data(), 1, text.size(), file) != text.size()) {
    MsgList_Append(errs,
                   "@&!*@*@(msg.dictionary.writefile.write)An error occurred while writing "
                   "configuration file \"%s\": %s.\n",
                   name, strerror(errno));
    return FALSE;
  }
  if (fflush(file) != 0) {
    MsgList_Append(errs,
                   "@&!*@*@(msg.dictionary.writefile.flush)An error occurred while flushing "
                   "configuration file \"%s\": %s.\n",
                   name, strerror(errno));
    return FALSE;
  }
  dict->dirty = false;
  return TRUE;
}

Bool Dictionary_Write(Dictionary* dict, const char* fileName, MsgList** errs) {
  std::string text;
  if (fileName == nullptr || !Dictionary_WriteToBuffer(dict, &text)) {
    return FALSE;
  }
  int fd = open(fileName, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) {
    MsgList_Append(errs, "@&!*@*@(msg.dictionary.writefile.open)Cannot open file \"%s\": %s.\n",
                   fileName, strerror(errno));
    return FALSE;
  }
  std::unique_ptr<const int, void (*)(const int*)> closer(&fd, [](const int* f) { close(*f); });
  if (lseek(fd, 0, SEEK_SET) != 0) {
    MsgList_Append(errs,
                   "@&!*@*@(msg.dictionary.writefile.seek)An error occurred while seeking "
                   "within configuration file \"%s\":%s.\n",
                   fileName, strerror(errno));
    return FALSE;
  }
  if (!WriteAll(fd, text)) {
    MsgList_Append(errs,
                   "@&!*@*@(msg.dictionary.writefile.write)An error occurred while writing "
                   "configuration file \"%s\": %s.\n",
                   fileName, strerror(errno));
    return FALSE;
  }
  if (ftruncate(fd, static_cast<off_t>(text.size())) != 0) {
    MsgList_Append(errs,
                   "@&!*@*@(msg.dictionary.writefile.truncate)An error occurred while "
                   "truncating configuration file \"%s\":%s.\n",
                   fileName, strerror(errno));
    return FALSE;
  }
  if (fsync(fd) != 0) {
    MsgList_Append(errs,
                   "@&!*@*@(msg.dictionary.writefile.sync)An error occurred while syncing "
                   "configuration file \"%s\": %s.\n",
                   fileName, strerror(errno));
    return FALSE;
  }
  dict->dirty = false;
  return TRUE;
}
