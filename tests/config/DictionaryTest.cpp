#include <csignal>
#include <cstring>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <vector>

#include <gtest/gtest.h>

#include "config/ConfigTestUtil.h"
#include "config/Dictionary.h"
#include "config/MsgList.h"

namespace {

// A dictionary loaded from bytes, with the messages of its load.
struct LoadedDict {
  explicit LoadedDict(const std::string& bytes, const char* defaultEncoding = "UTF-8") {
    ok = Dictionary_LoadFromBuffer(dict, bytes.data(), bytes.size(), "test.cfg", defaultEncoding,
                                   &errs);
  }
  ~LoadedDict() {
    Dictionary_Free(dict);
    MsgList_Free(errs);
  }
  std::string Text() const { return MsgList_ToString(errs); }
  std::string Value(const std::string& name) const {
    const DictEntry* e = Dictionary_Find(dict, name.c_str());
    return e == nullptr ? "?" : e->text;
  }
  // "a b" -> "a=<value of a> b=?" (undefined); "#" is the number of lines, "%" the encoding.
  std::string Values(const std::string& names) const {
    std::istringstream in(names);
    std::string out;
    for (std::string n; in >> n;) {
      out += (out.empty() ? "" : " ") + n + "=" +
             (n == "#"   ? std::to_string(dict->lines.size())
              : n == "%" ? dict->encoding
                         : Value(n));
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

// Each load: its last message id ("" on success), its messages and the values it left.
TEST(DictionaryLoad, LoadsOrStopsWithItsMessages) {
  const std::string caf = "name = caf\xC3\xA9\n", bom = "\xEF\xBB\xBF";
  const struct {
    std::string bytes, names, values;
    const char* id = "";
    std::string text = "";
    const char* encoding = "UTF-8";
  } rows[] = {
      {"a = 1\nthis is wrong\nb = 2\n", "a b", "a=1 b=?", "msg.dictionary.read.syntaxError",
       "File \"test.cfg\" line 2: Syntax error.\n"},
      {"a = 1\ncaf\xC3\xA9 = 2\nb = 3\n", "a b", "a=1 b=?", "msg.dictionary.nonAsciiName",
       "File \"test.cfg\" line 2: Variable \"caf\xC3\xA9\" is not valid ASCII.\n"},
      {"# c\na = 1\nb = \"x y\"\n\nc = 3\n", "a b c #", "a=1 b=x y c=3 #=5"},
      {"# c\ra = 1\rb = \"x y\"\r\rc = 3\r", "a b c #", "a=1 b=x y c=3 #=5"},
      {"# c\r\na = 1\r\nb = \"x y\"\r\n\r\nc = 3", "a b c #", "a=1 b=x y c=3 #=5"},
      {caf, "name", "name=caf\xC3\xA9"},
      {bom + caf, "name #", "name=caf\xC3\xA9 #=1"},
      // With a Latin-1 default, the mark is what makes the file read as UTF-8; with a mark
      // but invalid UTF-8 the default applies.
      {bom + caf, "name", "name=caf\xC3\xA9", "", "", "ISO-8859-1"},
      {caf, "name", "name=caf\xC3\x83\xC2\xA9", "", "", "ISO-8859-1"},
      {bom + "name = caf\xE9\n", "name", "name=caf\xC3\xA9", "", "", "ISO-8859-1"},
      {"before = \xE9t\xE9\nconfig.encoding = \"ISO-8859-1\"\nafter = caf\xE9\n",
       "before after config.encoding %",
       "before=\xC3\xA9t\xC3\xA9 after=caf\xC3\xA9 config.encoding=? %=ISO-8859-1"},
      {"PREFERENCES.Encoding = latin1\n.encoding = ISO-8859-1\nx = \xE9\n", "x", "x=\xC3\xA9"},
      {".encoding = UTF-8\ngood = ok\nname = a\xFF\nlater = 1\n", "good later", "good=ok later=?",
       "msg.dictionary.invalidValueEncoding",
       "File \"test.cfg\" line 3: Value \"a\xFF\" for variable \"name\" is not valid in encoding "
       "\"UTF-8\".\n"},
      // Without an encoding line the whole file is read and fails at the end.
      {"a = 1\nname = a\xC3\nb = 2\n", "b name", "b=2 name=a\xC3",
       "msg.dictionary.load.defaultEncodingFailed",
       "File \"test.cfg\" line 3: Value \"a\xC3\" for variable \"name\" is not valid in encoding "
       "\"UTF-8\".\nAn error occurred while decoding file \"test.cfg\" using the default character "
       "encoding.\n"},
      {"name = a\xFF\n.encoding = UTF-8\n", "", "", "msg.dictionary.invalidValueEncoding",
       "File \"test.cfg\" line 2: Value \"a\xFF\" for variable \"name\" is not valid in encoding "
       "\"UTF-8\".\n"},
      {"config.encoding = no-such-charset\n", "", "", "msg.dictionary.unsupportedEncoding",
       "File \"test.cfg\" (line 1) specifies a character encoding (no-such-charset) that is not "
       "supported.\n"},
      {".encoding = ISO-8859-1\n.encoding = UTF-8\nx = 1\n", "x", "x=?",
       "msg.dictionary.conflictingEncoding",
       "File \"test.cfg\" (line 2) already has encoding \"ISO-8859-1\".\n"},
      // The first definition wins, the whole file is read, the refused line stays.
      {"a = first\nb = 2\na = second\nc = 3\n", "a c", "a=first c=3",
       "msg.dictionary.alreadyDefined",
       "File \"test.cfg\" line 3: Variable \"a\" is already defined.\n"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.bytes);
    LoadedDict d(row.bytes, row.encoding);
    EXPECT_EQ(*row.id == '\0', d.ok);
    EXPECT_EQ(row.id, std::string(d.errs != nullptr ? d.errs->messages.back().id : ""));
    EXPECT_EQ(row.text, d.Text());
    EXPECT_EQ(row.values, d.Values(row.names));
    if (row.bytes.find("second") != std::string::npos) {
      EXPECT_EQ(row.bytes, d.Written());
    }
  }
}

TEST(DictionaryLoad, LogsSyntaxErrorsMetavariablesAndTooManyDuplicates) {
  LogCapture log;
  LoadedDict bad("bad\x01line\n");
  EXPECT_TRUE(log.Contains("DictionaryParseReadLine: syntax error with line, \"bad\\x01line\".\n"));
  TempDir dir;
  std::string path = dir.Write("f.cfg", ".unknown = 1\nname = value\n");
  Dictionary* dict = Dictionary_Create();
  EXPECT_TRUE(Dictionary_Load(dict, path.c_str()));
  EXPECT_STREQ("value", Dict_GetString(dict, nullptr, "name"));
  EXPECT_FALSE(Dictionary_IsDefined(dict, ".unknown"));
  EXPECT_TRUE(log.Contains("DictionaryParseReadLine: \"" + path +
                           "\" line 1: unrecognized metavariable \".unknown\"\n"));
  Dictionary_Free(dict);
  for (int dups : {100, 101}) {  // reading stops at the hundred and first
    std::string text = "a = 0\n";
    for (int i = 0; i < dups; i++) text += "a = " + std::to_string(i + 1) + "\n";
    LogCapture dupLog;
    LoadedDict d(text + "z = last\n");
    EXPECT_FALSE(d.ok);
    EXPECT_EQ(static_cast<size_t>(dups), d.errs->messages.size());
    EXPECT_EQ(dups == 100, Dictionary_IsDefined(d.dict, "z") != 0) << dups;
    EXPECT_EQ(dups == 101, dupLog.Contains("DictionaryReadLines: \"test.cfg\" line 102: too many "
                                           "duplicate entries in dictionary, quitting.\n"))
        << dups;
  }
}

// Unreadable files are refused whole, with their message; the dictionary keeps its entries.
TEST(DictionaryLoad, FilesThatCannotBeReadAreRefusedWhole) {
  TempDir dir;
  ASSERT_EQ(0, mkfifo((dir.Path() + "/fifo").c_str(), 0600));
  const std::string p = dir.Path();
  const struct {
    std::string path;
    const char* id;
    std::string text;
  } rows[] = {
      {p + "/missing", "msg.dictionary.load.openFailed",
       "Cannot open file \"" + p + "/missing\": No such file or directory.\n"},
      {p, "msg.dictionary.load.isDirectory", "\"" + p + "\" is a directory.\n"},
      {p + "/fifo", "msg.dictionary.load.notRegular",
       "\"" + p + "/fifo\" is not a regular file.\n"},
      {dir.Write("big", std::string(1024 * 1024 + 1, '\n')), "msg.dictionary.load.tooLarge",
       "File \"" + p + "/big\" is larger than 1048576 bytes.\n"},
      {dir.Write("long", "a = 1\nb = \"" + std::string(65536, 'x') + "\"\n"),
       "msg.dictionary.read.lineTooLong",
       "File \"" + p + "/long\" line 2 is longer than 65536 bytes.\n"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.id);
    Dictionary* dict = Dictionary_Create();
    Dict_SetString(dict, "old", "kept");
    MsgList* errs = nullptr;
    LogCapture log;
    EXPECT_FALSE(Dictionary_LoadEx(dict, row.path.c_str(), &errs));
    EXPECT_EQ(row.id + (": " + row.text), Said(&errs));
    if (row.path == p + "/missing") {
      EXPECT_TRUE(log.Contains("DictionaryLoad: " + row.text));
    }
    EXPECT_EQ(1u, dict->numEntries);
    EXPECT_STREQ("old", Dict_GetString(dict, nullptr, "kept"));
    Dictionary_Free(dict);
  }
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
      {"", B, 0, 1}, {"Yes", B, 0, 1}, {"T", B, 0, 1}, {"on", B, 0, 1}, {"1", B, 0, 1},
      {"OFF", B, 1, 0}, {"n", B, 1, 0}, {"0", B, 1, 0}, {"maybe", B, 1, 1, "boolean", "TRUE"},
      {"2", B, 0, 0, "boolean", "FALSE"}, {"Auto", T, 0, -1}, {"dontcare", T, 0, -1},
      {"DEFAULT", T, 0, -1}, {"yes", T, -1, 1}, {"false", T, -1, 0},
      {"junk", T, -1, -1, "tristate", "default"}, {"junk", T, 1, 1, "tristate", "TRUE"},
      {"0x10", L, 7, 16}, {"010", L, 7, 8}, {"-5", L, 7, -5}, {"2147483647", L, 7, 2147483647},
      {"0xFFFFFFFF", L, 7, -1},
      // Beyond the signed range: read again as unsigned and truncated to 32 bits.
      {"4294967296", L, 7, 0}, {"0x1FFFFFFFE", L, 7, -2}, {"-2147483649", L, 7, 2147483647},
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
    MsgList* errs = nullptr;
    DictValue def{};
    Member(row.type, &def, row.def, true);
    DictValue got = *Dictionary_GetEx(d.dict, &def, row.type, "v", &errs);
    EXPECT_EQ(row.expected, Member(row.type, &got));
    std::string kind = row.kind;
    EXPECT_EQ(kind.empty()
                  ? ""
                  : "Value \"" + std::string(row.text) + "\" for variable \"v\" is " +
                        (kind == "range" ? "out of range" : "not a valid " + kind + " value") +
                        ". Using value \"" + row.used + "\".\n",
              MsgList_ToString(errs));
    MsgList_Free(errs);
  }
  // The entry keeps the converted value or the default, and the text it was read with.
  LoadedDict d("n = junk\nb = maybe\n");
  EXPECT_EQ(7, Dict_GetLong(d.dict, 7, "n"));
  EXPECT_EQ(7, Dict_GetLong(d.dict, 9, "n"));
  EXPECT_EQ(TRUE, Dict_GetBool(d.dict, TRUE, "b"));
  EXPECT_EQ(TRUE, Dict_GetBool(d.dict, FALSE, "b"));
  EXPECT_STREQ("junk", Dict_GetString(d.dict, nullptr, "n"));
}

// 0, -1 and true defaults are shared; others are registered once (not set, never written).
// "name=value" splits at the first "=" untrimmed; a second set is refused, a restore replaces.
TEST(DictionaryDefaults, DefaultsAndSetsFromText) {
  LoadedDict d("");
  Dictionary* dict = d.dict;
  std::ostringstream got;  // operands of << are evaluated in order
  got << (Dict_GetString(dict, nullptr, "s0") == nullptr) << Dict_GetLong(dict, 0, "l0") << ' '
      << Dict_GetLong(dict, -1, "l1") << Dict_GetTriState(dict, -1, "t1")
      << +Dict_GetBool(dict, TRUE, "b1") << Dict_GetDouble(dict, 0.0, "d0") << ' '
      << Dict_GetString(dict, "dflt", "s") << Dict_GetLong(dict, 42, "l")
      << Dict_GetDouble(dict, 2.5, "d") << +Dictionary_NotSet(dict, "s") << ' '
      << Dict_GetString(dict, "other", "s") << Dict_GetLong(dict, 1, "l");
  EXPECT_EQ("10 -1-110 dflt422.51 dflt42", got.str());
  EXPECT_EQ("s0=? l0=? l1=? t1=? b1=? d0=? s=dflt", d.Values("s0 l0 l1 t1 b1 d0 s"));
  EXPECT_EQ("", d.Written());
  EXPECT_TRUE(Dictionary_SetFromString(dict, "a=b=c", nullptr));
  EXPECT_TRUE(Dictionary_SetFromString(dict, "x= y ", nullptr));
  EXPECT_TRUE(Dictionary_SetFromString(dict, "novalue", nullptr));
  EXPECT_TRUE(Dictionary_SetFromString(dict, "s=real", nullptr));
  EXPECT_EQ("a=b=c x= y  novalue= s=real", d.Values("a x novalue s"));
  EXPECT_FALSE(Dictionary_NotSet(dict, "a"));
  MsgList* errs = nullptr;
  EXPECT_FALSE(Dictionary_SetFromString(dict, "a=new", &errs));
  EXPECT_EQ("msg.dictionary.alreadyDefined.string: Variable \"a\" is already defined.\n",
            Said(&errs));
  EXPECT_STREQ("b=c", Dict_GetString(dict, nullptr, "a"));
  EXPECT_TRUE(Dictionary_RestoreFromString(dict, "a=new", nullptr));
  EXPECT_STREQ("new", Dict_GetString(dict, nullptr, "a"));
}

// A name is accepted only when the written file gives it back as the same single entry.
TEST(DictionarySetFromString, RefusesNamesThatWouldNotReloadAsTheSameEntry) {
  LoadedDict d("");
  Dictionary* dict = d.dict;
  for (const char* line : {"a b=c", "x\ny=1", "t\tab=1", "#c=1", "=v", "a\r=1", "caf\xC3\xA9=1",
                           ".hidden=1", "Config.Encoding=UTF-8"}) {
    SCOPED_TRACE(line);
    MsgList* errs = nullptr;
    EXPECT_FALSE(Dictionary_SetFromString(dict, line, &errs));
    EXPECT_FALSE(Dictionary_RestoreFromString(dict, line, nullptr));
    std::string said = Said(&errs);
    EXPECT_EQ(0u, said.find("msg.dictionary.invalidName: Variable \"")) << said;
    EXPECT_NE(std::string::npos, said.find("\" is not a valid name.\n")) << said;
    std::string name(line, strchr(line, '=') - line);
    Dict_SetLong(dict, 1, name.c_str());
    Dict_SetString(dict, "v", name.c_str());
  }
  EXPECT_EQ(0u, dict->numEntries);
  LogCapture log;
  MsgList* errs = nullptr;
  EXPECT_FALSE(Dictionary_SetFromString(dict, "a b=c", &errs));
  EXPECT_EQ("msg.dictionary.invalidName: Variable \"a b\" is not a valid name.\n", Said(&errs));
  Dict_SetBool(dict, TRUE, "x\ny");
  EXPECT_EQ(std::vector<std::string>{"Variable \"x\\x0Ay\" is not a valid name.\n"}, log.lines);
  // Names the line syntax allows come back as they went out.
  const char* const accepted[] = {
      "a\"b", "x|41", "under_score", "dotted.name.", "!$%&*+-/:;<>?@~", "bell\x07and\x7F"};
  for (const char* name : accepted) Dict_SetString(dict, name, name);
  LoadedDict again(d.Written());
  ASSERT_TRUE(again.ok) << again.Text();
  EXPECT_EQ(dict->numEntries, again.dict->numEntries);
  for (const char* name : accepted) EXPECT_EQ(name, again.Value(name));
}

// Writing back keeps comments, blank lines and order; changed values go back quoted in the
// file's encoding, new ones at the end, unset ones lose their line; failures say why.
TEST(DictionaryWrite, RewritesKeepingWhatWasNotChangedOrFailsWithTheWriteError) {
  const std::string original =
      "# header comment\n#second\n\n   \t\n  # indented comment\n"
      "plain = value   # trailing comment\nquoted=\"a b\"\n"
      "changed = old # goes away when changed\n\tspaced   =   kept\ngone = 1\n";
  TempDir dir;
  std::string path = dir.Write("cfg", original);
  Dictionary* dict = Dictionary_Create();
  ASSERT_TRUE(Dictionary_LoadWithDefaultUtf8(dict, path.c_str(), nullptr));
  std::string out;
  ASSERT_TRUE(Dictionary_WriteToBuffer(dict, &out));
  EXPECT_EQ(original, out);
  Dict_SetString(dict, "new\tvalue", "changed");
  Dict_SetBool(dict, TRUE, "added.bool");
  Dict_SetDouble(dict, 1.0 / 3, "added.double");
  Dict_SetTriState(dict, -1, "added.tri");
  Dict_SetInt64(dict, -9000000000LL, "added.int64");
  Dict_SetLong(dict, 12, "added.long");
  Dictionary_RestoreFromString(dict, "added.text=x\"y", nullptr);
  Dictionary_Unset(dict, "gone");
  EXPECT_FALSE(Dictionary_IsDefined(dict, "gone"));
  MsgList* errs = nullptr;
  ASSERT_TRUE(Dictionary_Write(dict, path.c_str(), &errs)) << MsgList_ToString(errs);
  EXPECT_EQ(
      "# header comment\n#second\n\n   \t\n  # indented comment\n"
      "plain = value   # trailing comment\nquoted=\"a b\"\nchanged = \"new\tvalue\"\n"
      "\tspaced   =   kept\nadded.bool = \"TRUE\"\nadded.double = \"0.333333333\"\n"
      "added.tri = \"DEFAULT\"\nadded.int64 = \"-9000000000\"\nadded.long = \"12\"\n"
      "added.text = \"x|22y\"\n",
      TempDir::Read(path));
  LoadedDict again(TempDir::Read(path));
  EXPECT_EQ(-9000000000LL, Dict_GetInt64(again.dict, 0, "added.int64"));
  EXPECT_EQ(-1, Dict_GetTriState(again.dict, 1, "added.tri"));
  EXPECT_EQ("changed=new\tvalue added.text=x\"y", again.Values("changed added.text"));
  // A rewrite that is shorter leaves nothing of the old text.
  for (const char* name : {"added.bool", "added.double", "added.tri", "added.int64", "added.long",
                           "added.text", "plain", "quoted", "spaced"}) {
    Dictionary_Unset(dict, name);
  }
  Dict_SetString(dict, "s", "changed");
  ASSERT_TRUE(Dictionary_Write(dict, path.c_str(), &errs)) << MsgList_ToString(errs);
  EXPECT_EQ("# header comment\n#second\n\n   \t\n  # indented comment\nchanged = \"s\"\n",
            TempDir::Read(path));
  // A file size limit stops the rewrite half-way at a real write error; so does /dev/full.
  Dict_SetString(dict, std::string(64, 'v'), "added");
  struct rlimit old;
  ASSERT_EQ(0, getrlimit(RLIMIT_FSIZE, &old));
  struct rlimit small = old;
  const size_t limit = TempDir::Read(path).size() + 16;
  small.rlim_cur = limit;
  void (*oldHandler)(int) = signal(SIGXFSZ, SIG_IGN);  // EFBIG instead of the signal
  ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &small));
  Bool written = Dictionary_Write(dict, path.c_str(), &errs);
  setrlimit(RLIMIT_FSIZE, &old);
  signal(SIGXFSZ, oldHandler);
  EXPECT_FALSE(written);
  EXPECT_EQ(
      "msg.dictionary.writefile.write: An error occurred while writing configuration file \"" +
          path + "\": File too large.\n",
      Said(&errs));
  EXPECT_EQ(limit, TempDir::Read(path).size());  // it did fail half-way
  EXPECT_TRUE(dict->dirty);
  if (FILE* full = fopen("/dev/full", "w")) {
    EXPECT_FALSE(Dictionary_WriteFile(dict, full, "/dev/full", &errs));
    EXPECT_TRUE(MsgList_HasId(errs, "msg.dictionary.writefile.write") ||
                MsgList_HasId(errs, "msg.dictionary.writefile.flush"));
    fclose(full);
  }
  MsgList_Free(errs);
  Dictionary_Free(dict);

  LoadedDict latin1(".encoding = ISO-8859-1\na = \xE9\nb = \xE8\n");
  Dict_SetString(latin1.dict, "\xC3\xA0", "b");
  EXPECT_EQ(".encoding = ISO-8859-1\na = \xE9\nb = \"\xE0\"\n", latin1.Written());
  // A character Latin-1 cannot hold fails the write rather than being replaced.
  Dict_SetString(latin1.dict, "\xE2\x82\xAC", "b");
  EXPECT_EQ("<write failed>", latin1.Written());
}

TEST(DictionaryLogNotDefault, HidesSecretsAndSkipsDefaults) {
  LoadedDict d(
      "name = value\ndataFileKey = secret1\nGuestInfo.x = secret2\nsome.KEY = secret3\n"
      "annotation = secret4\nflag = yes\nnum = 12\n");
  Dict_GetBool(d.dict, FALSE, "flag");
  Dict_GetLong(d.dict, 0, "num");
  Dict_GetString(d.dict, "registered", "dflt");
  Dict_SetDouble(d.dict, 1.5, "dbl");
  Dict_SetInt64(d.dict, 5000000000LL, "big");
  Dict_SetTriState(d.dict, 1, "tri");
  LogCapture log;
  Dictionary_LogNotDefault(d.dict);
  EXPECT_EQ(
      std::vector<std::string>({"DICT                      name = \"value\"\n",
                                "DICT               dataFileKey = <not printed>\n",
                                "DICT               GuestInfo.x = <not printed>\n",
                                "DICT                  some.KEY = <not printed>\n",
                                "DICT                annotation = <not printed>\n",
                                "DICT                      flag = \"TRUE\"\n",
                                "DICT                       num = \"12\"\n",
                                "DICT                       dbl = \"1.5\"\n",
                                "DICT                       big = \"5000000000\"\n",
                                "DICT                       tri = <unknown parameter type>\n"}),
      log.lines);
  // Messages: the catalogue prefix is split off; a null list takes nothing.
  MsgList_Append(nullptr, "@&!*@*@(msg.x)dropped %d\n", 1);
  MsgList* list = nullptr;
  MsgList_Append(&list, "@&!*@*@(msg.a.b)Value %s.\n", "v");
  MsgList_Append(&list, "no prefix\n");
  ASSERT_NE(nullptr, list);
  ASSERT_EQ(2u, list->messages.size());
  EXPECT_EQ("msg.a.b", list->messages[0].id);
  EXPECT_EQ("Value v.\n", list->messages[0].text);
  EXPECT_EQ("", list->messages[1].id);
  EXPECT_EQ("no prefix\n", list->messages[1].text);
  MsgList_Free(list);
}

}  // namespace
