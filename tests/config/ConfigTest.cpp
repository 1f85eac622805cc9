// The configuration layer: line syntax, dictionaries and the preferences built from them.
#include <pwd.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "config/BaseLog.h"
#include "config/Config.h"
#include "config/DictLL.h"
#include "config/Dictionary.h"
#include "config/MsgList.h"
#include "config/PathExpand.h"
#include "config/Preference.h"

namespace {

struct TempDir {
  TempDir() {
    std::string templ = (std::filesystem::temp_directory_path() / "cfg-XXXXXX").string();
    path = mkdtemp(templ.data()) != nullptr ? templ : "";
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
  std::string Write(const std::string& relative, const std::string& bytes) const {
    std::string full = path + "/" + relative;
    std::filesystem::create_directories(std::filesystem::path(full).parent_path());
    std::ofstream(full, std::ios::binary) << bytes;
    return full;
  }
  static std::string Read(const std::string& full) {
    std::ifstream in(full, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  std::string path;
};

// Records every line of the configuration log while it exists (one thread logging).
struct LogCapture {
  LogCapture() {
    BaseLog_SetHookForTest(
        [](const char* line, void* self) { static_cast<LogCapture*>(self)->text += line; }, this);
  }
  ~LogCapture() { BaseLog_SetHookForTest(nullptr, nullptr); }
  bool Contains(const std::string& line) const {
    return ("\n" + text).find("\n" + line) != std::string::npos;
  }
  std::string text;  // the lines, each ending in its line feed
};

// Loaded from a buffer, or with viaFile from an open file in the default encoding (UTF-8).
struct LoadedDict {
  explicit LoadedDict(const std::string& bytes, const char* defaultEncoding = "UTF-8",
                      bool viaFile = false) {
    if (!viaFile) {
      ok = Dictionary_LoadFromBuffer(dict, bytes.data(), bytes.size(), "test.cfg", defaultEncoding,
                                     &errs);
    } else if (FILE* f = tmpfile()) {
      fwrite(bytes.data(), 1, bytes.size(), f);
      rewind(f);
      ok = Dictionary_LoadFile(dict, f, "test.cfg", &errs);
      fclose(f);
    }
  }
  ~LoadedDict() {
    Dictionary_Free(dict);
    MsgList_Free(errs);
  }
  // "a b" -> "a=<value of a> b=?" (undefined); "#" is the number of lines, "%" the encoding.
  std::string Values(const std::string& names) const {
    std::istringstream in(names);
    std::string out;
    for (std::string n; in >> n;) {
      const DictEntry* e = Dictionary_Find(dict, n.c_str());
      out += (out.empty() ? "" : " ") + n + "=" +
             (n == "#"   ? std::to_string(dict->lines.size())
              : n == "%" ? dict->encoding
              : e        ? e->text
                         : "?");
    }
    return out;
  }
  std::string Written() const {
    std::string out;
    return Dictionary_WriteToBuffer(dict, &out) ? out : "<write failed>";
  }
  Dictionary* dict = Dictionary_Create();
  MsgList* errs = nullptr;
  bool ok = false;
};

// "id: text" of each message; frees the list.
std::string Said(MsgList** errs) {
  std::string out;
  for (size_t i = 0; *errs != nullptr && i < (*errs)->messages.size(); i++) {
    out += (*errs)->messages[i].id + ": " + (*errs)->messages[i].text;
  }
  MsgList_Free(*errs);
  *errs = nullptr;
  return out;
}

// Each line gives "name|value", "#" for a comment or "!" for a syntax error (no name).
TEST(DictLL, ParsesEveryRowOfTheTable) {
  // clang-format off
  const std::string rows[][2] = {
      {"a = b", "a|b"}, {"a\t=\t\"tab\there\"", "a|tab\there"}, {"a = b # c", "a|b"},
      {"a.b.c = x#y", "a.b.c|x"}, {"a = \"x\"# c", "a|x"}, {"a = |4a|4A|0a", "a|JJ\n"},
      {"a = |2", "a||2"}, {"a = |zz|", "a||zz|"}, {"a =", "a|"}, {"a==b", "a|=b"},
      {"a = b\r", "a|b\r"} /* a buffer line ends at \n only */, {"", "#"},
      {"  # a comment = x", "#"}, {"a = \"b", "!"}, {"a = \"x\" y", "!"}, {"a b = c", "!"},
      {"= c", "!"}, {"a", "!"}, {std::string("a = x\0y", 7), "!"},
      {std::string("a\0 = x", 6), "!"}};
  // clang-format on
  for (const auto& row : rows) {
    SCOPED_TRACE("line: \"" + row[0] + "\"");
    std::string buf = row[0] + "\nnext = 1\n", line, name = "stale", value = "stale";
    EXPECT_EQ(row[0].size() + 1,
              DictLL_UnmarshalLine(buf.data(), buf.size(), &line, &name, &value));
    EXPECT_EQ(row[0], line);
    bool comment = DictLL_IsComment(line);
    EXPECT_EQ(row[1], name.empty() ? (comment ? "#" : "!") + value : name + "|" + value);
    EXPECT_TRUE(name.empty() || !comment);
  }
  std::string line, name, value;
  EXPECT_EQ(0u, DictLL_UnmarshalLine("", 0, &line, &name, &value));
  // The size bounds the read even without a line feed inside it.
  EXPECT_EQ(3u, DictLL_UnmarshalLine("x=1=unread", 3, &line, &name, &value));
  EXPECT_EQ("x|1", name + "|" + value);
}

// Escapes pinned byte for byte; bytes that would end the value or read as escapes read back.
TEST(DictLL, MarshalsValuesThatReadBack) {
  const std::string value("a\tb\n\r\0\"|41\x7f\x01\x1f\x80 #", 16);
  std::string out;
  DictLL_MarshalLine(&out, "k", value);
  DictLL_MarshalLine(&out, "", "  # just text");
  EXPECT_EQ("k = \"a\tb|0A|0D|00|22|7C41|7F|01|1F\x80 #\"\n  # just text\n", out);
  FILE* f = tmpfile();
  ASSERT_TRUE(f != nullptr && DictLL_WriteLine(f, "k", value));
  rewind(f);
  std::string line, name, read;
  EXPECT_EQ(1, DictLL_ReadLine(f, &line, &name, &read));
  EXPECT_EQ("k|" + value, name + "|" + read);
  fclose(f);
}

// Per load: its log, its messages, its values; a UTF-8 load through an open file says the same.
TEST(DictionaryLoad, LoadsOrStopsWithItsMessages) {
  const std::string caf = "name = caf\xC3\xA9\n", bom = "\xEF\xBB\xBF";
  const std::string syntax = "msg.dictionary.read.syntaxError: ";
  const struct {
    std::string bytes, names, values, said = "", log = "";
    const char* encoding = "UTF-8";
  } rows[] = {
      {"a = 1\nbad\x01line\nb = 2\n", "a b", "a=1 b=?",
       syntax + "File \"test.cfg\" line 2: Syntax error.\n",
       "DictionaryParseReadLine: syntax error with line, \"bad\\x01line\".\n"},
      // Part of a byte-order mark is not skipped.
      {"\xEF", "#", "#=0", syntax + "File \"test.cfg\" line 1: Syntax error.\n",
       "DictionaryParseReadLine: syntax error with line, \"\\xEF\".\n"},
      {"\xEF\xBBx = 1\nb = 2\n", "b", "b=?",
       "msg.dictionary.nonAsciiName: File \"test.cfg\" line 1: Variable \"\xEF\xBBx\" is not valid "
       "ASCII.\n"},
      {".unknown = 1\nname = value\n", "name .unknown", "name=value .unknown=?", "",
       "DictionaryParseReadLine: \"test.cfg\" line 1: unrecognized metavariable \".unknown\"\n"},
      {"", "#", "#=0"},
      // Line ends: "\r\r" and "\n\r" are two, "\r\n" is one.
      {"# c\r\ra = 1\r\nb = \"x y\"\n\rc = 3\r", "a b c #", "a=1 b=x y c=3 #=6"},
      {bom + caf, "name #", "name=caf\xC3\xA9 #=1"},
      // With a Latin-1 default a mark makes the file UTF-8, unless it is not valid UTF-8.
      {bom + caf, "name", "name=caf\xC3\xA9", "", "", "ISO-8859-1"},
      {caf, "name", "name=caf\xC3\x83\xC2\xA9", "", "", "ISO-8859-1"},
      {bom + "name = caf\xE9\n", "name", "name=caf\xC3\xA9", "", "", "ISO-8859-1"},
      {"before = \xE9t\xE9\nconfig.encoding = \"ISO-8859-1\"\nafter = caf\xE9\n",
       "before after config.encoding %",
       "before=\xC3\xA9t\xC3\xA9 after=caf\xC3\xA9 config.encoding=? %=ISO-8859-1"},
      {"PREFERENCES.Encoding = latin1\n.encoding = ISO-8859-1\nx = \xE9\n", "x", "x=\xC3\xA9"},
      {".encoding = UTF-8\ngood = ok\nname = a\xFF\nlater = 1\n", "good later", "good=ok later=?",
       "msg.dictionary.invalidValueEncoding: File \"test.cfg\" line 3: Value \"a\xFF\" for "
       "variable \"name\" is not valid in encoding \"UTF-8\".\n"},
      // Without an encoding line the whole file is read and fails at the end.
      {"a = 1\nname = a\xC3\nb = 2\n", "b name", "b=2 name=a\xC3",
       "msg.dictionary.invalidValueEncoding: File \"test.cfg\" line 3: Value \"a\xC3\" for "
       "variable \"name\" is not valid in encoding \"UTF-8\".\nmsg.dictionary.load."
       "defaultEncodingFailed: An error occurred while decoding file \"test.cfg\" using the "
       "default character encoding.\n"},
      {"name = a\xFF\n.encoding = UTF-8\n", "", "",
       "msg.dictionary.invalidValueEncoding: File \"test.cfg\" line 2: Value \"a\xFF\" for "
       "variable \"name\" is not valid in encoding \"UTF-8\".\n"},
      {"config.encoding = no-such-charset\n", "", "",
       "msg.dictionary.unsupportedEncoding: File \"test.cfg\" (line 1) specifies a character "
       "encoding (no-such-charset) that is not supported.\n"},
      {".encoding = ISO-8859-1\n.encoding = UTF-8\nx = 1\n", "x", "x=?",
       "msg.dictionary.conflictingEncoding: File \"test.cfg\" (line 2) already has encoding "
       "\"ISO-8859-1\".\n"},
      // The first definition wins, the whole file is read, the refused line stays.
      {"a = first\nb = 2\na = second\nc = 3\n", "a c #", "a=first c=3 #=4",
       "msg.dictionary.alreadyDefined: File \"test.cfg\" line 3: Variable \"a\" is already "
       "defined.\n"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.bytes);
    LogCapture log;
    LoadedDict d(row.bytes, row.encoding);
    EXPECT_EQ(row.log, log.text);
    EXPECT_EQ(row.said.empty(), d.ok);
    EXPECT_EQ(row.said, Said(&d.errs));
    EXPECT_EQ(row.values, d.Values(row.names));
    if (std::string(row.encoding) == "UTF-8") {
      LoadedDict viaFile(row.bytes, nullptr, true);
      EXPECT_EQ(d.ok, viaFile.ok);
      EXPECT_EQ(row.said, Said(&viaFile.errs));
      EXPECT_EQ(d.Written(), viaFile.Written());
    }
  }
  for (int dups : {100, 101}) {  // reading stops at the hundred and first duplicate
    std::string text = "a = 0\n";
    for (int i = 1; i <= dups; i++) text += "a = " + std::to_string(i) + "\n";
    LogCapture log;
    LoadedDict d(text + "z = last\n");
    EXPECT_FALSE(d.ok);
    EXPECT_EQ(static_cast<size_t>(dups), d.errs->messages.size());
    EXPECT_EQ(dups == 100, Dictionary_IsDefined(d.dict, "z") != 0) << dups;
    EXPECT_EQ(dups == 100 ? ""
                          : "DictionaryReadLines: \"test.cfg\" line 102: too many duplicate "
                            "entries in dictionary, quitting.\n",
              log.text);
  }
}

// Refused whole, logged when there is no list; the dictionary keeps its entries.
TEST(DictionaryLoad, FilesThatCannotBeReadAreRefusedWhole) {
  TempDir dir;
  const std::string p = dir.path;
  ASSERT_EQ(0, mkfifo((p + "/fifo").c_str(), 0600));
  const struct {
    std::string path, id, text;
    bool logsItsOwnLine;  // "DictionaryLoad: <text>" before the message
  } rows[] = {
      {p + "/missing", "msg.dictionary.load.openFailed",
       "Cannot open file \"" + p + "/missing\": No such file or directory.\n", true},
      {p, "msg.dictionary.load.isDirectory", "\"" + p + "\" is a directory.\n", true},
      {p + "/fifo", "msg.dictionary.load.notRegular", "\"" + p + "/fifo\" is not a regular file.\n",
       false},
      {dir.Write("big", std::string(1024 * 1024 + 1, '\n')), "msg.dictionary.load.tooLarge",
       "File \"" + p + "/big\" is larger than 1048576 bytes.\n", false},
      {dir.Write("long", "a = 1\nb = \"" + std::string(65536, 'x') + "\"\n"),
       "msg.dictionary.read.lineTooLong",
       "File \"" + p + "/long\" line 2 is longer than 65536 bytes.\n", false},
  };
  LoadedDict d("kept = old\n");
  for (const auto& row : rows) {
    SCOPED_TRACE(row.id);
    EXPECT_FALSE(Dictionary_LoadEx(d.dict, row.path.c_str(), &d.errs));
    EXPECT_EQ(row.id + ": " + row.text, Said(&d.errs));
    LogCapture log;
    EXPECT_FALSE(Dictionary_Load(d.dict, row.path.c_str()));
    EXPECT_EQ((row.logsItsOwnLine ? "DictionaryLoad: " + row.text : "") + row.text, log.text);
    EXPECT_EQ("kept=old #=1", d.Values("kept #"));
  }
  LogCapture log;
  EXPECT_TRUE(Dictionary_Load(d.dict, dir.Write("good", "a = 1\n").c_str()));
  EXPECT_EQ("a=1 kept=? ", d.Values("a kept") + " " + log.text);
}

// The value's member for the type (a union).
int64_t Member(DictionaryType type, DictValue* v, int64_t set = 0, bool assign = false) {
  if (type == DICT_BOOL) return assign ? v->boolValue = static_cast<Bool>(set) : v->boolValue;
  if (type == DICT_INT64) return assign ? v->int64Value = set : v->int64Value;
  if (type == DICT_DOUBLE) return assign ? v->doubleValue = set : v->doubleValue;
  return assign ? v->longValue = static_cast<int32_t>(set) : v->longValue;  // long, tristate
}

// kind: "" converts; "range" is out of range; otherwise "not a valid <kind> value".
TEST(DictionaryConversion, ConvertsTextsWithTheirMessages) {
  const auto B = DICT_BOOL, T = DICT_TRISTATE, L = DICT_LONG, I = DICT_INT64, D = DICT_DOUBLE;
  const struct {
    const char* text;
    DictionaryType type;
    int64_t def, expected;
    const char* kind = "";
    const char* used = "";
  } rows[] = {
      // clang-format off
      {"", B, 0, 1}, {"Yes", B, 0, 1}, {"1", B, 0, 1}, {"OFF", B, 1, 0}, {"0", B, 1, 0},
      {"maybe", B, 1, 1, "boolean", "TRUE"}, {"2", B, 0, 0, "boolean", "FALSE"},
      {"Auto", T, 0, -1}, {"dontcare", T, 0, -1}, {"DEFAULT", T, 0, -1}, {"yes", T, -1, 1},
      {"false", T, -1, 0}, {"junk", T, -1, -1, "tristate", "default"},
      {"junk", T, 1, 1, "tristate", "TRUE"}, {"0x10", L, 7, 16}, {"2147483647", L, 7, 2147483647},
      // Beyond the signed range: read again as unsigned and truncated to 32 bits.
      {"0x1FFFFFFFE", L, 7, -2}, {"-2147483649", L, 7, 2147483647},
      {"99999999999999999999", L, 7, 7, "range", "7"}, {"12abc", L, 7, 7, "integer", "7"},
      {"", L, 7, 7, "integer", "7"}, {"9223372036854775807", I, 1, INT64_MAX},
      {"0xFFFFFFFFFFFFFFFF", I, 1, -1}, {"99999999999999999999", I, 3, 3, "range", "3"},
      {"x1", I, 3, 3, "integer", "3"}, {"3e0", D, 2, 3},
      {"abc", D, 2, 2, "floating point", "2.000000"}, {"1e999", D, 2, 2, "range", "2.000000"},
      // clang-format on
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string("text \"") + row.text + "\" type " + std::to_string(row.type));
    LoadedDict d(std::string("v = \"") + row.text + "\"\n");
    DictValue def{};
    Member(row.type, &def, row.def, true);
    DictValue got = *Dictionary_GetEx(d.dict, &def, row.type, "v", &d.errs);
    EXPECT_EQ(row.expected, Member(row.type, &got));
    std::string kind = row.kind;
    EXPECT_EQ(kind.empty()
                  ? ""
                  : "Value \"" + std::string(row.text) + "\" for variable \"v\" is " +
                        (kind == "range" ? "out of range" : "not a valid " + kind + " value") +
                        ". Using value \"" + row.used + "\".\n",
              MsgList_ToString(d.errs));
  }
}

// Defaults other than 0, -1, booleans and null are registered once (not set, never written);
// "name=value" splits at the first "=" untrimmed. A message without a catalogue prefix has no id.
TEST(DictionaryDefaults, DefaultsAndSetsFromText) {
  LoadedDict d("n = junk\nb = maybe\n");
  Dictionary* dict = d.dict;
  std::ostringstream got;  // operands of << are evaluated in order
  got << Dict_GetLong(dict, 7, "n") << Dict_GetLong(dict, 9, "n") << +Dict_GetBool(dict, TRUE, "b")
      << +Dict_GetBool(dict, FALSE, "b") << Dict_GetString(dict, nullptr, "n") << ' '
      << (Dict_GetString(dict, nullptr, "s0") == nullptr) << Dict_GetLong(dict, 0, "l0") << ' '
      << Dict_GetLong(dict, -1, "l1") << Dict_GetTriState(dict, -1, "t1")
      << +Dict_GetBool(dict, TRUE, "b1") << Dict_GetDouble(dict, 0.0, "d0") << ' '
      << Dict_GetString(dict, "dflt", "s") << Dict_GetLong(dict, 42, "l")
      << Dict_GetDouble(dict, 2.5, "d") << +Dictionary_NotSet(dict, "s") << ' '
      << Dict_GetString(dict, "other", "s") << Dict_GetLong(dict, 1, "l");
  EXPECT_EQ("7711junk 10 -1-110 dflt422.51 dflt42", got.str());
  EXPECT_EQ("s0=? l0=? l1=? t1=? b1=? d0=? s=dflt", d.Values("s0 l0 l1 t1 b1 d0 s"));
  EXPECT_EQ("n = junk\nb = maybe\n", d.Written());
  for (const char* line : {"a=b=c", "x= y ", "novalue", "s=real"}) {
    EXPECT_TRUE(Dictionary_SetFromString(dict, line, nullptr)) << line;
  }
  EXPECT_FALSE(Dictionary_SetFromString(dict, "a=new", &d.errs));
  EXPECT_EQ("msg.dictionary.alreadyDefined.string: Variable \"a\" is already defined.\n",
            Said(&d.errs));
  EXPECT_EQ("a=b=c x= y  novalue= s=real", d.Values("a x novalue s"));
  EXPECT_TRUE(Dictionary_RestoreFromString(dict, "a=new", nullptr));
  EXPECT_STREQ("new", Dict_GetString(dict, nullptr, "a"));
  MsgList_Append(&d.errs, "no prefix %d\n", 1);
  EXPECT_TRUE(MsgList_HasId(d.errs, "") && !MsgList_HasId(d.errs, "msg.a") &&
              !MsgList_HasId(nullptr, ""));
  EXPECT_EQ(": no prefix 1\n", Said(&d.errs));
}

// A name must reload as the same single entry; a refused one is named with its bytes escaped.
TEST(DictionarySetFromString, RefusesNamesThatWouldNotReloadAsTheSameEntry) {
  LoadedDict d("");
  // clang-format off
  const std::string rows[][2] = {
      {"a b", "a b"}, {"x\ny", "x\\x0Ay"}, {"t\tab", "t\\x09ab"}, {"#c", "#c"}, {"", ""},
      {"a\r", "a\\x0D"}, {".hidden", ".hidden"}, {"caf\xC3\xA9", "caf\\xC3\\xA9"},
      {"Config.Encoding", "Config.Encoding"}};
  // clang-format on
  for (const auto& row : rows) {
    SCOPED_TRACE(row[1]);
    const std::string refused = "Variable \"" + row[1] + "\" is not a valid name.\n";
    LogCapture log;
    EXPECT_FALSE(Dictionary_SetFromString(d.dict, (row[0] + "=1").c_str(), &d.errs));
    EXPECT_FALSE(Dictionary_RestoreFromString(d.dict, (row[0] + "=1").c_str(), nullptr));
    Dict_SetLong(d.dict, 1, row[0].c_str());
    Dict_SetString(d.dict, "v", row[0].c_str());
    EXPECT_EQ("msg.dictionary.invalidName: " + refused, Said(&d.errs));
    EXPECT_EQ(refused + refused + refused, log.text);
  }
  EXPECT_EQ(0u, d.dict->numEntries);
  const char* const accepted[] = {
      "a\"b", "x|41", "under_score", "dotted.name.", "!$%&*+-/:;<>?@~", "bell\x07and\x7F"};
  for (const char* name : accepted) Dict_SetString(d.dict, name, name);
  LoadedDict again(d.Written());
  ASSERT_TRUE(again.ok) << Said(&again.errs);
  EXPECT_EQ(d.dict->numEntries, again.dict->numEntries);
  for (const char* name : accepted) EXPECT_STREQ(name, Dict_GetString(again.dict, nullptr, name));
}

// Changed values go back quoted in the file's encoding, new ones at the end; unset ones go.
TEST(DictionaryWrite, RewritesKeepingWhatWasNotChangedOrFailsWithTheWriteError) {
  TempDir dir;
  const std::string gone = "gone = \"" + std::string(300, 'x') + "\"\n";
  std::string path =
      dir.Write("cfg", "# c\n\n  # indented\nplain = value   # trailing\n" + gone +
                           "changed = old # goes away when changed\n\tspaced = kept\n");
  Dictionary* dict = Dictionary_Create();
  ASSERT_TRUE(Dictionary_LoadWithDefaultUtf8(dict, path.c_str(), nullptr));
  Dict_SetString(dict, "new\tvalue", "changed");
  Dict_SetBool(dict, TRUE, "added.bool");
  Dict_SetDouble(dict, 1.0 / 3, "added.double");
  Dict_SetTriState(dict, -1, "added.tri");
  Dict_SetInt64(dict, -9000000000LL, "added.int64");
  Dict_SetLong(dict, 12, "added.long");
  Dictionary_RestoreFromString(dict, "added.text=x\"y", nullptr);
  Dict_SetTriState(dict, 2, "unset.too");
  Dictionary_Unset(dict, "unset.too");
  Dictionary_Unset(dict, "gone");
  MsgList* errs = nullptr;
  ASSERT_TRUE(Dictionary_Write(dict, path.c_str(), &errs)) << MsgList_ToString(errs);
  // Shorter than the old text, of which nothing may be left.
  EXPECT_EQ(
      "# c\n\n  # indented\nplain = value   # trailing\nchanged = \"new\tvalue\"\n"
      "\tspaced = kept\nadded.bool = \"TRUE\"\nadded.double = \"0.333333333\"\n"
      "added.tri = \"DEFAULT\"\nadded.int64 = \"-9000000000\"\nadded.long = \"12\"\n"
      "added.text = \"x|22y\"\n",
      TempDir::Read(path));
  // A file size limit stops the rewrite half-way at a real write error; /dev/full the first.
  Dict_SetString(dict, std::string(64, 'v'), "added");
  const size_t limit = TempDir::Read(path).size() + 16;
  struct rlimit old, small;
  ASSERT_EQ(0, getrlimit(RLIMIT_FSIZE, &old));
  small = {limit, old.rlim_max};
  void (*oldHandler)(int) = signal(SIGXFSZ, SIG_IGN);  // EFBIG instead of the signal
  ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &small));
  Bool written = Dictionary_Write(dict, path.c_str(), &errs);
  setrlimit(RLIMIT_FSIZE, &old);
  signal(SIGXFSZ, oldHandler);
  EXPECT_FALSE(written);
  EXPECT_EQ(limit, TempDir::Read(path).size());
  EXPECT_TRUE(dict->dirty);
  FILE* full = fopen("/dev/full", "w");
  ASSERT_NE(nullptr, full);
  EXPECT_FALSE(Dictionary_WriteFile(dict, full, "/dev/full", &errs));
  fclose(full);
  EXPECT_EQ(
      "msg.dictionary.writefile.write: An error occurred while writing configuration file \"" +
          path +
          "\": File too large.\nmsg.dictionary.writefile.flush: An error occurred "
          "while flushing configuration file \"/dev/full\": No space left on device.\n",
      Said(&errs));
  Dictionary_Free(dict);

  LoadedDict latin1(".encoding = ISO-8859-1\na = \xE9\nb = \xE8\n");
  Dict_SetString(latin1.dict, "\xC3\xA0", "b");
  EXPECT_EQ(".encoding = ISO-8859-1\na = \xE9\nb = \"\xE0\"\n", latin1.Written());
  // A character Latin-1 cannot hold fails the write rather than being replaced.
  Dict_SetString(latin1.dict, "\xE2\x82\xAC", "b");
  EXPECT_EQ("<write failed>", latin1.Written());
}

int gSetUserId = 0;
std::atomic<int> gRacers{0};  // Init calls that wait in the hook until they all build a state
int FakeIsSetUserId() {
  if (gRacers.load() > 0) {
    for (gRacers--; gRacers.load() > 0;) std::this_thread::yield();
  }
  return gSetUserId;
}

std::string Owned(char* s) {
  std::string out = s != nullptr ? s : "<null>";
  free(s);
  return out;
}
std::string Get(const std::string& name) {
  return Owned(Preference_GetString(nullptr, name.c_str()));
}

// A temporary tree: host file "etc/config", libdir "lib", HOME "home"; the hooks point at it.
class PreferenceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* home = getenv("HOME");
    m_oldHome = home != nullptr ? home : "";
    setenv("HOME", m_home.c_str(), 1);
    PreferenceTestHooks hooks = {m_hostFile.c_str(), m_libDir.c_str(), &FakeIsSetUserId};
    Preference_SetTestHooks(&hooks);
  }
  void TearDown() override {
    Preference_Exit();
    Preference_SetTestHooks(nullptr);
    setenv("HOME", m_oldHome.c_str(), 1);
  }
  void Write(const std::string& file, const std::string& text) { m_dir.Write(file, text); }

  TempDir m_dir;
  std::string m_home = m_dir.path + "/home", m_hostFile = m_dir.path + "/etc/config",
              m_libDir = m_dir.path + "/lib", m_oldHome;
};

// The host file moves libdir, may switch user files off, and is read up to its first error.
// A call before Init (not after) and a set-user-id process skip the user files too.
TEST_F(PreferenceTest, WhichFilesAreRead) {
  LogCapture log;
  Write("home/.quorin/preferences", "user = yes\n");
  Preference_Init();
  EXPECT_TRUE(log.Contains("PREF Optional preferences file not found at " + m_hostFile +
                           ". Using default values.\n"));
  Preference_DisableUserPreferences();
  EXPECT_EQ("yes", Get("user"));
  Preference_Exit();
  Preference_DisableUserPreferences();
  EXPECT_EQ("<null>", Get("user"));
  Preference_Exit();
  gSetUserId = 1;
  Preference_Init();
  EXPECT_TRUE(log.Contains("setuid: ignoring user's config and preferences\n"));
  EXPECT_EQ("<null>", Get("user"));
  Preference_Exit();
  gSetUserId = 0;
  Write("other/settings", "where = other-settings\n");
  Write("other/config", "site = other-site\n");
  Write("lib/settings", "where = default-lib\n");
  Write("etc/config",
        "libdir = " + m_dir.path +
            "/other\ndisableUserPreferences = TRUE\nbefore = 1\nnot a line\nafter = 2\n");
  Preference_Init();
  EXPECT_EQ("other-settings other-site <null> 1 <null>", Get("where") + " " + Get("site") + " " +
                                                             Get("user") + " " + Get("before") +
                                                             " " + Get("after"));
  EXPECT_TRUE(
      log.Contains("PREF Disabling user preferences because disableUserPreferences is set.\n"));
  EXPECT_EQ(nullptr, Preference_GetState()->fileName[PREFERENCE_SLOT_USER_DEFAULTS]);
  size_t before = log.text.size();
  Preference_Log();
  EXPECT_EQ(std::string::npos, log.text.find("USER", before)) << log.text.substr(before);
}

// Before Init lookups give the default and say so; names are cut at 1024 bytes. Without HOME,
// "~" comes from the password database.
TEST_F(PreferenceTest, LookupsFormatNamesAndRegisterDefaults) {
  LogCapture log;
  EXPECT_EQ(5, Config_GetLong(5, "early.%s", "name"));
  EXPECT_EQ("dflt", Owned(Config_GetString("dflt", "early.string")));
  EXPECT_TRUE(Preference_NotSet("early.name"));
  EXPECT_EQ(
      "PREF early PreferenceGet(early.name), using default\n"
      "PREF early PreferenceGet(early.string), using default\n",
      log.text);
  Write("etc/config", "t = auto\np = ~/sub/file\nl = 0x20\n");
  Preference_Init();
  EXPECT_FALSE(Config_NotSet("%s", "l"));
  std::ostringstream got;  // operands of << are evaluated in order
  got << +Config_TriToBool(TRUE, Config_GetTriState(1, "t")) << +Config_TriToBool(TRUE, 0) << ' '
      << Owned(Config_GetPathName(nullptr, "p")) << ' '
      << Owned(Config_GetStringPlain(nullptr, "l")) << ' '
      << Owned(Preference_GetString("first", "s")) << ' '
      << Owned(Preference_GetString("second", "s")) << +Preference_NotSet("s") << ' '
      << Preference_GetLong(3, "n") << Preference_GetLong(4, "n") << Preference_GetLong(-1, "m")
      << Preference_GetLong(4, "m") << ' ' << Preference_GetInt64(0, "z")
      << Preference_GetInt64(9, "z") << +Preference_GetBool(TRUE, "b")
      << +Preference_GetBool(FALSE, "b") << ' ' << Preference_GetDouble(1.5, "e")
      << Preference_GetDouble(2.5, "e");
  EXPECT_EQ("10 " + m_home + "/sub/file 0x20 first first1 33-14 0910 1.51.5", got.str());
  Preference_SetFromString((std::string(1023, 'x') + "=long").c_str(), FALSE);
  Preference_SetFromString("dev.3.name=formatted", FALSE);
  EXPECT_EQ("long", Owned(Config_GetString(nullptr, "%s", std::string(1500, 'x').c_str())));
  EXPECT_EQ("formatted", Owned(Config_GetString(nullptr, "dev.%d.%s", 3, "name")));
  Preference_Exit();
  EXPECT_EQ(TRUE, Config_GetBool(TRUE, "late"));
  const passwd* pw = getpwnam("root");
  ASSERT_NE(nullptr, pw);
  EXPECT_EQ(PathExpand_Home("") + ";" + PathExpand_Home("/abs/~x") + ";" +
                PathExpand_Home("~root/a") + ";" + PathExpand_Home("~no-such-user-here/a"),
            ";/abs/~x;" + std::string(pw->pw_dir) + "/a;~no-such-user-here/a");
  pw = getpwuid(getuid());
  ASSERT_NE(nullptr, pw);
  setenv("HOME", "", 1);
  EXPECT_EQ(pw->pw_dir + std::string("/a"), PathExpand_Home("~/a"));
  unsetenv("HOME");
  EXPECT_EQ(pw->pw_dir, PathExpand_Home("~"));
}

// The first slot that defines a name wins. The log shows each slot's entries as their type
// shows them, secrets hidden and registered defaults left out.
TEST_F(PreferenceTest, SlotsTakePrecedenceInOrderAndAreLogged) {
  Write("lib/settings", "a = settings\n");
  Write("home/.quorin/preferences", "b = prefs\nc = prefs\n");
  Write("home/.quorin/config", "c = user\nd = user\n");
  Write("etc/config",
        "d = host\ne = host\nflag = yes\nnum = 12\ndbl = 1.5\nbig = 5000000000\ntri = auto\n"
        "dataFileKey = s1\nGuestInfo.x = s2\nsome.KEY = s3\nannotation = s4\n");
  Write("lib/config", "e = site\nf = site\n");
  ASSERT_TRUE(Preference_Init());
  Preference_SetFromString("a=runtime", FALSE);
  Preference_SetFromString("b=runtime", FALSE);
  free(Preference_GetString("dflt", "registered"));
  std::ostringstream got;  // in order; the typed lookups convert the entries
  for (const char* name : {"a", "b", "c", "d", "e", "f", "g"}) got << Get(name) << ' ';
  got << +Config_GetBool(FALSE, "flag") << Config_GetLong(0, "num") << Config_GetDouble(0, "dbl")
      << Config_GetInt64(0, "big") << Config_GetTriState(0, "tri");
  EXPECT_EQ("settings runtime prefs user host site <null> 1121.55000000000-1", got.str());
  LogCapture log;
  Preference_Log();
  // An entry's line: its name right-aligned to column 30, then its value as logged.
  auto E = [](const std::string& name, const std::string& value) {
    return "DICT " + std::string(25 - name.size(), ' ') + name + " = " + value + "\n";
  };
  const std::string hidden = "<not printed>", dir = m_dir.path;
  EXPECT_EQ("DICT --- GLOBAL SETTINGS " + dir + "/lib/settings\n" + E("a", "\"settings\"") +
                "DICT --- NON PERSISTENT (null)\n" + E("a", "\"runtime\"") + E("b", "\"runtime\"") +
                "DICT --- USER PREFERENCES " + dir + "/home/.quorin/preferences\n" +
                E("b", "\"prefs\"") + E("c", "\"prefs\"") + "DICT --- USER DEFAULTS " + dir +
                "/home/.quorin/config\n" + E("c", "\"user\"") + E("d", "\"user\"") +
                "DICT --- HOST DEFAULTS " + dir + "/etc/config\n" + E("d", "\"host\"") +
                E("e", "\"host\"") + E("flag", "\"TRUE\"") + E("num", "\"12\"") +
                E("dbl", "\"1.5\"") + E("big", "\"5000000000\"") +
                E("tri", "<unknown parameter type>") + E("dataFileKey", hidden) +
                E("GuestInfo.x", hidden) + E("some.KEY", hidden) + E("annotation", hidden) +
                "DICT --- SITE DEFAULTS " + dir + "/lib/config\n" + E("e", "\"site\"") +
                E("f", "\"site\""),
            log.text);
}

// Two Init calls build a state each and one is thrown away; lookups and sets agree.
TEST_F(PreferenceTest, ConcurrentInitInstallsOneStateAndLookupsAgree) {
  Write("etc/config", "n = 7\n");
  std::vector<std::thread> threads;
  std::vector<int> seen(8, 0);
  gRacers = 2;
  for (int i = 0; i < 8; i++) {
    threads.emplace_back([i, &seen] {
      Preference_Init();
      for (int j = 0; j < 200; j++) {
        seen[i] += Preference_GetLong(0, "n");
        Preference_SetFromString(("t" + std::to_string(i) + "=" + std::to_string(j)).c_str(), TRUE);
        free(Preference_GetString("d", "shared.default"));
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(std::vector<int>(8, 7 * 200), seen);
  for (int i = 0; i < 8; i++) EXPECT_EQ("199", Get("t" + std::to_string(i)));
}

}  // namespace
