#include <csignal>
#include <cstring>
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
class LoadedDict {
 public:
  explicit LoadedDict(const std::string& bytes, const char* defaultEncoding = "UTF-8")
      : m_dict(Dictionary_Create()) {
    m_ok = Dictionary_LoadFromBuffer(m_dict, bytes.data(), bytes.size(), "test.cfg",
                                     defaultEncoding, &m_errs);
  }
  ~LoadedDict() {
    Dictionary_Free(m_dict);
    MsgList_Free(m_errs);
  }
  LoadedDict(const LoadedDict&) = delete;
  LoadedDict& operator=(const LoadedDict&) = delete;

  Dictionary* dict() { return m_dict; }
  bool ok() const { return m_ok; }
  MsgList* errs() { return m_errs; }
  std::string Text() { return MsgList_ToString(m_errs); }
  size_t Count() const { return m_errs == nullptr ? 0 : m_errs->messages.size(); }
  std::string Value(const char* name) {
    const DictEntry* e = Dictionary_Find(m_dict, name);
    return e == nullptr ? "<undefined>" : e->text;
  }

 private:
  Dictionary* m_dict;
  MsgList* m_errs = nullptr;
  bool m_ok = false;
};

TEST(DictionaryLoad, SyntaxErrorStopsReadingAndKeepsWhatWasRead) {
  LoadedDict d("a = 1\nthis is wrong\nb = 2\n");
  EXPECT_FALSE(d.ok());
  EXPECT_EQ("1", d.Value("a"));
  EXPECT_FALSE(Dictionary_IsDefined(d.dict(), "b"));
  ASSERT_EQ(1u, d.Count());
  EXPECT_EQ("msg.dictionary.read.syntaxError", d.errs()->messages[0].id);
  EXPECT_EQ("File \"test.cfg\" line 2: Syntax error.\n", d.Text());
}

TEST(DictionaryLoad, SyntaxErrorIsLoggedWithNonPrintableBytesEscaped) {
  LogCapture log;
  LoadedDict d("bad\x01line\n");
  EXPECT_FALSE(d.ok());
  EXPECT_TRUE(log.Contains("DictionaryParseReadLine: syntax error with line, \"bad\\x01line\".\n"));
}

TEST(DictionaryLoad, OpenFailuresGiveTheirMessages) {
  TempDir dir;
  Dictionary* dict = Dictionary_Create();
  Dict_SetString(dict, "old", "kept");
  MsgList* errs = nullptr;
  std::string missing = dir.Path() + "/missing";
  LogCapture log;
  EXPECT_FALSE(Dictionary_LoadEx(dict, missing.c_str(), &errs));
  ASSERT_NE(nullptr, errs);
  EXPECT_EQ("msg.dictionary.load.openFailed", errs->messages[0].id);
  EXPECT_EQ("Cannot open file \"" + missing + "\": No such file or directory.\n",
            errs->messages[0].text);
  EXPECT_TRUE(log.Contains("DictionaryLoad: Cannot open file \"" + missing +
                           "\": No such file or directory.\n"));
  // A load that could not start leaves the dictionary alone.
  EXPECT_TRUE(Dictionary_IsDefined(dict, "kept"));
  MsgList_Free(errs);
  errs = nullptr;

  EXPECT_FALSE(Dictionary_LoadEx(dict, dir.Path().c_str(), &errs));
  ASSERT_NE(nullptr, errs);
  EXPECT_EQ("msg.dictionary.load.isDirectory", errs->messages[0].id);
  EXPECT_EQ("\"" + dir.Path() + "\" is a directory.\n", errs->messages[0].text);
  MsgList_Free(errs);
  Dictionary_Free(dict);
}

// What the bounded reader refuses never reaches the dictionary: the load fails with a
// message of its own and the dictionary keeps what it held.
TEST(DictionaryLoad, FilesThatAreNotPlainOrTooBigAreRefusedWhole) {
  TempDir dir;
  ASSERT_EQ(0, mkfifo((dir.Path() + "/fifo").c_str(), 0600));
  const struct {
    std::string path;
    const char* id;
    std::string text;
  } rows[] = {
      {dir.Path() + "/fifo", "msg.dictionary.load.notRegular",
       "\"" + dir.Path() + "/fifo\" is not a regular file.\n"},
      {dir.Write("big", std::string(1024 * 1024 + 1, '\n')), "msg.dictionary.load.tooLarge",
       "File \"" + dir.Path() + "/big\" is larger than 1048576 bytes.\n"},
      {dir.Write("long", "a = 1\nb = \"" + std::string(65536, 'x') + "\"\n"),
       "msg.dictionary.read.lineTooLong",
       "File \"" + dir.Path() + "/long\" line 2 is longer than 65536 bytes.\n"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.id);
    Dictionary* dict = Dictionary_Create();
    Dict_SetString(dict, "old", "kept");
    MsgList* errs = nullptr;
    EXPECT_FALSE(Dictionary_LoadEx(dict, row.path.c_str(), &errs));
    ASSERT_NE(nullptr, errs);
    EXPECT_TRUE(MsgList_HasId(errs, row.id));
    EXPECT_EQ(row.text, MsgList_ToString(errs));
    EXPECT_EQ(1u, dict->numEntries);
    EXPECT_STREQ("old", Dict_GetString(dict, nullptr, "kept"));
    MsgList_Free(errs);
    Dictionary_Free(dict);
  }
}

TEST(DictionaryLoad, CarriageReturnLineEndsReadLikeLineFeeds) {
  LoadedDict lf("# c\na = 1\nb = \"x y\"\n\nc = 3\n");
  LoadedDict cr("# c\ra = 1\rb = \"x y\"\r\rc = 3\r");
  LoadedDict crlf("# c\r\na = 1\r\nb = \"x y\"\r\n\r\nc = 3");
  for (LoadedDict* d : {&lf, &cr, &crlf}) {
    EXPECT_TRUE(d->ok()) << d->Text();
    EXPECT_EQ("1", d->Value("a"));
    EXPECT_EQ("x y", d->Value("b"));
    EXPECT_EQ("3", d->Value("c"));
    EXPECT_EQ(5u, d->dict()->lines.size());
  }
}

TEST(DictionaryLoad, FileAndStandardNamesAndMetavariables) {
  TempDir dir;
  std::string path = dir.Write("f.cfg", ".unknown = 1\nname = value\n");
  Dictionary* dict = Dictionary_Create();
  LogCapture log;
  EXPECT_TRUE(Dictionary_Load(dict, path.c_str()));
  EXPECT_STREQ("value", Dict_GetString(dict, nullptr, "name"));
  EXPECT_FALSE(Dictionary_IsDefined(dict, ".unknown"));
  EXPECT_TRUE(log.Contains("DictionaryParseReadLine: \"" + path +
                           "\" line 1: unrecognized metavariable \".unknown\"\n"));
  Dictionary_Free(dict);
}

TEST(DictionaryLoad, NonAsciiNameStopsTheLoad) {
  LoadedDict d("a = 1\ncaf\xC3\xA9 = 2\nb = 3\n");
  EXPECT_FALSE(d.ok());
  EXPECT_TRUE(MsgList_HasId(d.errs(), "msg.dictionary.nonAsciiName"));
  EXPECT_EQ("File \"test.cfg\" line 2: Variable \"caf\xC3\xA9\" is not valid ASCII.\n", d.Text());
  EXPECT_FALSE(Dictionary_IsDefined(d.dict(), "b"));
}

// Encodings.

TEST(DictionaryEncoding, Utf8WithAndWithoutByteOrderMark) {
  const std::string body = "name = caf\xC3\xA9\n";
  LoadedDict plain(body);
  EXPECT_TRUE(plain.ok()) << plain.Text();
  EXPECT_EQ("caf\xC3\xA9", plain.Value("name"));

  LoadedDict bom("\xEF\xBB\xBF" + body);
  EXPECT_TRUE(bom.ok()) << bom.Text();
  EXPECT_EQ("caf\xC3\xA9", bom.Value("name"));
  EXPECT_EQ(1u, bom.dict()->lines.size());

  // With a Latin-1 default, the mark is what makes the file read as UTF-8.
  LoadedDict bomLatin1("\xEF\xBB\xBF" + body, "ISO-8859-1");
  EXPECT_TRUE(bomLatin1.ok());
  EXPECT_EQ("caf\xC3\xA9", bomLatin1.Value("name"));
  LoadedDict noBomLatin1(body, "ISO-8859-1");
  EXPECT_TRUE(noBomLatin1.ok());
  EXPECT_EQ("caf\xC3\x83\xC2\xA9", noBomLatin1.Value("name"));
}

TEST(DictionaryEncoding, ByteOrderMarkWithInvalidUtf8FallsBackToTheDefault) {
  LoadedDict d("\xEF\xBB\xBFname = caf\xE9\n", "ISO-8859-1");
  EXPECT_TRUE(d.ok()) << d.Text();
  EXPECT_EQ("caf\xC3\xA9", d.Value("name"));
  EXPECT_EQ(0u, d.Count());
}

TEST(DictionaryEncoding, Latin1FileWithEncodingLine) {
  LoadedDict d("before = \xE9t\xE9\nconfig.encoding = \"ISO-8859-1\"\nafter = caf\xE9\n");
  EXPECT_TRUE(d.ok()) << d.Text();
  EXPECT_EQ("\xC3\xA9t\xC3\xA9", d.Value("before"));
  EXPECT_EQ("caf\xC3\xA9", d.Value("after"));
  EXPECT_FALSE(Dictionary_IsDefined(d.dict(), "config.encoding"));
  EXPECT_EQ("ISO-8859-1", d.dict()->encoding);
}

TEST(DictionaryEncoding, EncodingNamesIgnoreCaseAndRepeatingOneIsAccepted) {
  LoadedDict d("PREFERENCES.Encoding = latin1\n.encoding = ISO-8859-1\nx = \xE9\n");
  EXPECT_TRUE(d.ok()) << d.Text();
  EXPECT_EQ("\xC3\xA9", d.Value("x"));
}

TEST(DictionaryEncoding, InvalidByteSequenceFailsWithItsMessage) {
  LoadedDict d(".encoding = UTF-8\ngood = ok\nname = a\xFF\nlater = 1\n");
  EXPECT_FALSE(d.ok());
  ASSERT_EQ(1u, d.Count());
  EXPECT_EQ("msg.dictionary.invalidValueEncoding", d.errs()->messages[0].id);
  EXPECT_EQ(
      "File \"test.cfg\" line 3: Value \"a\xFF\" for variable \"name\" is not valid in "
      "encoding \"UTF-8\".\n",
      d.Text());
  EXPECT_EQ("ok", d.Value("good"));
  EXPECT_FALSE(Dictionary_IsDefined(d.dict(), "later"));
}

TEST(DictionaryEncoding, InvalidValueWithoutEncodingLineFailsAtTheEnd) {
  LoadedDict d("a = 1\nname = a\xC3\nb = 2\n");
  EXPECT_FALSE(d.ok());
  EXPECT_TRUE(MsgList_HasId(d.errs(), "msg.dictionary.load.defaultEncodingFailed"));
  EXPECT_NE(std::string::npos,
            d.Text().find("An error occurred while decoding file \"test.cfg\" using the "
                          "default character encoding.\n"));
  // The whole file was read; values stay as read.
  EXPECT_EQ("2", d.Value("b"));
  EXPECT_EQ("a\xC3", d.Value("name"));
}

TEST(DictionaryEncoding, EncodingLineChecksValuesReadBeforeIt) {
  LoadedDict d("name = a\xFF\n.encoding = UTF-8\n");
  EXPECT_FALSE(d.ok());
  EXPECT_TRUE(MsgList_HasId(d.errs(), "msg.dictionary.invalidValueEncoding"));
}

TEST(DictionaryEncoding, UnsupportedAndConflictingEncodings) {
  LoadedDict unsupported("config.encoding = no-such-charset\n");
  EXPECT_FALSE(unsupported.ok());
  EXPECT_EQ(
      "File \"test.cfg\" (line 1) specifies a character encoding (no-such-charset) that is "
      "not supported.\n",
      unsupported.Text());
  LoadedDict conflicting(".encoding = ISO-8859-1\n.encoding = UTF-8\nx = 1\n");
  EXPECT_FALSE(conflicting.ok());
  EXPECT_EQ("File \"test.cfg\" (line 2) already has encoding \"ISO-8859-1\".\n",
            conflicting.Text());
  EXPECT_FALSE(Dictionary_IsDefined(conflicting.dict(), "x"));
}

// Duplicates.

TEST(DictionaryDuplicates, FirstDefinitionWinsAndTheLoadFailsAfterTheWholeFile) {
  LoadedDict d("a = first\nb = 2\na = second\nc = 3\n");
  EXPECT_FALSE(d.ok());
  EXPECT_EQ("first", d.Value("a"));
  EXPECT_EQ("3", d.Value("c"));
  EXPECT_EQ("File \"test.cfg\" line 3: Variable \"a\" is already defined.\n", d.Text());
  EXPECT_EQ("msg.dictionary.alreadyDefined", d.errs()->messages[0].id);
  // The refused line stays, so a rewrite keeps it.
  std::string out;
  ASSERT_TRUE(Dictionary_WriteToBuffer(d.dict(), &out));
  EXPECT_EQ("a = first\nb = 2\na = second\nc = 3\n", out);
}

TEST(DictionaryDuplicates, StopsAtTheHundredAndFirst) {
  for (int dups : {100, 101}) {
    std::string text = "a = 0\n";
    for (int i = 0; i < dups; i++) {
      text += "a = " + std::to_string(i + 1) + "\n";
    }
    text += "z = last\n";
    LogCapture log;
    LoadedDict d(text);
    EXPECT_FALSE(d.ok());
    EXPECT_EQ(static_cast<size_t>(dups), d.Count());
    EXPECT_EQ(dups == 100, Dictionary_IsDefined(d.dict(), "z") != 0) << dups;
    EXPECT_EQ(dups == 101,
              log.Contains("DictionaryReadLines: \"test.cfg\" line 102: too many duplicate "
                           "entries in dictionary, quitting.\n"))
        << dups;
  }
}

// Conversions.

struct ConversionRow {
  const char* text;
  DictionaryType type;
  DictValue def;
  DictValue expected;
  const char* msg;  // "" when the text converts
};

template <typename T>
DictValue Holding(T DictValue::*member, T value) {
  DictValue v{};
  v.*member = value;
  return v;
}
DictValue B(Bool b) { return Holding(&DictValue::boolValue, b); }
DictValue L(int32_t l) { return Holding(&DictValue::longValue, l); }
DictValue I(int64_t i) { return Holding(&DictValue::int64Value, i); }
DictValue D(double d) { return Holding(&DictValue::doubleValue, d); }

TEST(DictionaryConversion, ConvertsTextsWithTheirMessages) {
  const ConversionRow rows[] = {
      {"", DICT_BOOL, B(FALSE), B(TRUE), ""},
      {"Yes", DICT_BOOL, B(FALSE), B(TRUE), ""},
      {"T", DICT_BOOL, B(FALSE), B(TRUE), ""},
      {"on", DICT_BOOL, B(FALSE), B(TRUE), ""},
      {"1", DICT_BOOL, B(FALSE), B(TRUE), ""},
      {"OFF", DICT_BOOL, B(TRUE), B(FALSE), ""},
      {"n", DICT_BOOL, B(TRUE), B(FALSE), ""},
      {"0", DICT_BOOL, B(TRUE), B(FALSE), ""},
      {"maybe", DICT_BOOL, B(TRUE), B(TRUE),
       "Value \"maybe\" for variable \"v\" is not a valid boolean value. Using value \"TRUE\".\n"},
      {"2", DICT_BOOL, B(FALSE), B(FALSE),
       "Value \"2\" for variable \"v\" is not a valid boolean value. Using value \"FALSE\".\n"},
      {"Auto", DICT_TRISTATE, L(0), L(-1), ""},
      {"dontcare", DICT_TRISTATE, L(0), L(-1), ""},
      {"DEFAULT", DICT_TRISTATE, L(0), L(-1), ""},
      {"yes", DICT_TRISTATE, L(-1), L(1), ""},
      {"false", DICT_TRISTATE, L(-1), L(0), ""},
      {"junk", DICT_TRISTATE, L(-1), L(-1),
       "Value \"junk\" for variable \"v\" is not a valid tristate value. Using value "
       "\"default\".\n"},
      {"junk", DICT_TRISTATE, L(1), L(1),
       "Value \"junk\" for variable \"v\" is not a valid tristate value. Using value \"TRUE\".\n"},
      {"0x10", DICT_LONG, L(7), L(16), ""},
      {"010", DICT_LONG, L(7), L(8), ""},
      {"-5", DICT_LONG, L(7), L(-5), ""},
      {"2147483647", DICT_LONG, L(7), L(2147483647), ""},
      {"0xFFFFFFFF", DICT_LONG, L(7), L(-1), ""},
      // Beyond the signed range: read again as unsigned and truncated to 32 bits.
      {"4294967296", DICT_LONG, L(7), L(0), ""},
      {"0x1FFFFFFFE", DICT_LONG, L(7), L(-2), ""},
      {"-2147483649", DICT_LONG, L(7), L(2147483647), ""},
      {"99999999999999999999", DICT_LONG, L(7), L(7),
       "Value \"99999999999999999999\" for variable \"v\" is out of range. Using value "
       "\"7\".\n"},
      {"12abc", DICT_LONG, L(7), L(7),
       "Value \"12abc\" for variable \"v\" is not a valid integer value. Using value \"7\".\n"},
      {"", DICT_LONG, L(7), L(7),
       "Value \"\" for variable \"v\" is not a valid integer value. Using value \"7\".\n"},
      {"9223372036854775807", DICT_INT64, I(1), I(INT64_MAX), ""},
      {"0xFFFFFFFFFFFFFFFF", DICT_INT64, I(1), I(-1), ""},
      {"99999999999999999999", DICT_INT64, I(3), I(3),
       "Value \"99999999999999999999\" for variable \"v\" is out of range. Using value "
       "\"3\".\n"},
      {"x1", DICT_INT64, I(3), I(3),
       "Value \"x1\" for variable \"v\" is not a valid integer value. Using value \"3\".\n"},
      {"1.5", DICT_DOUBLE, D(2), D(1.5), ""},
      {"abc", DICT_DOUBLE, D(2), D(2),
       "Value \"abc\" for variable \"v\" is not a valid floating point value. Using value "
       "\"2.000000\".\n"},
      {"1e999", DICT_DOUBLE, D(2), D(2),
       "Value \"1e999\" for variable \"v\" is out of range. Using value \"2.000000\".\n"},
  };
  for (const ConversionRow& row : rows) {
    SCOPED_TRACE(std::string("text \"") + row.text + "\" type " + std::to_string(row.type));
    LoadedDict d(std::string("v = \"") + row.text + "\"\n");
    ASSERT_TRUE(d.ok());
    MsgList* errs = nullptr;
    const DictValue* v = Dictionary_GetEx(d.dict(), &row.def, row.type, "v", &errs);
    switch (row.type) {
      case DICT_BOOL:
        EXPECT_EQ(row.expected.boolValue, v->boolValue);
        break;
      case DICT_LONG:
      case DICT_TRISTATE:
        EXPECT_EQ(row.expected.longValue, v->longValue);
        break;
      case DICT_INT64:
        EXPECT_EQ(row.expected.int64Value, v->int64Value);
        break;
      default:
        EXPECT_EQ(row.expected.doubleValue, v->doubleValue);
        break;
    }
    EXPECT_EQ(row.msg, MsgList_ToString(errs));
    MsgList_Free(errs);
  }
}

TEST(DictionaryConversion, EntryKeepsTheConvertedValueOrTheDefault) {
  LoadedDict d("n = junk\nb = maybe\n");
  EXPECT_EQ(7, Dict_GetLong(d.dict(), 7, "n"));
  // Converted once: a later default does not change the value.
  EXPECT_EQ(7, Dict_GetLong(d.dict(), 9, "n"));
  EXPECT_EQ(TRUE, Dict_GetBool(d.dict(), TRUE, "b"));
  EXPECT_EQ(TRUE, Dict_GetBool(d.dict(), FALSE, "b"));
  // Asked for as text again, the entry still has the text it was read with.
  EXPECT_STREQ("junk", Dict_GetString(d.dict(), nullptr, "n"));
}

TEST(DictionaryDefaults, ZeroMinusOneAndTrueAreSharedOthersAreRegistered) {
  Dictionary* dict = Dictionary_Create();
  EXPECT_EQ(nullptr, Dict_GetString(dict, nullptr, "s0"));
  EXPECT_EQ(0, Dict_GetLong(dict, 0, "l0"));
  EXPECT_EQ(-1, Dict_GetLong(dict, -1, "l1"));
  EXPECT_EQ(-1, Dict_GetTriState(dict, -1, "t1"));
  EXPECT_EQ(TRUE, Dict_GetBool(dict, TRUE, "b1"));
  EXPECT_EQ(0.0, Dict_GetDouble(dict, 0.0, "d0"));
  for (const char* n : {"s0", "l0", "l1", "t1", "b1", "d0"}) {
    EXPECT_FALSE(Dictionary_IsDefined(dict, n)) << n;
  }
  EXPECT_STREQ("dflt", Dict_GetString(dict, "dflt", "s"));
  EXPECT_EQ(42, Dict_GetLong(dict, 42, "l"));
  EXPECT_EQ(2.5, Dict_GetDouble(dict, 2.5, "d"));
  EXPECT_TRUE(Dictionary_IsDefined(dict, "s"));
  EXPECT_TRUE(Dictionary_NotSet(dict, "s"));
  EXPECT_STREQ("dflt", Dict_GetString(dict, "other", "s"));
  EXPECT_EQ(42, Dict_GetLong(dict, 1, "l"));
  std::string out;
  ASSERT_TRUE(Dictionary_WriteToBuffer(dict, &out));
  EXPECT_EQ("", out);
  Dictionary_Free(dict);
}

// Setting from text.

TEST(DictionarySetFromString, SplitsAtTheFirstEqualsWithoutTrimming) {
  Dictionary* dict = Dictionary_Create();
  EXPECT_TRUE(Dictionary_SetFromString(dict, "a=b=c", nullptr));
  EXPECT_TRUE(Dictionary_SetFromString(dict, "x= y ", nullptr));
  EXPECT_TRUE(Dictionary_SetFromString(dict, "novalue", nullptr));
  EXPECT_STREQ("b=c", Dict_GetString(dict, nullptr, "a"));
  EXPECT_STREQ(" y ", Dict_GetString(dict, nullptr, "x"));
  EXPECT_STREQ("", Dict_GetString(dict, "d", "novalue"));
  EXPECT_FALSE(Dictionary_NotSet(dict, "a"));

  MsgList* errs = nullptr;
  EXPECT_FALSE(Dictionary_SetFromString(dict, "a=new", &errs));
  EXPECT_STREQ("b=c", Dict_GetString(dict, nullptr, "a"));
  EXPECT_TRUE(MsgList_HasId(errs, "msg.dictionary.alreadyDefined.string"));
  EXPECT_EQ("Variable \"a\" is already defined.\n", MsgList_ToString(errs));
  MsgList_Free(errs);

  EXPECT_TRUE(Dictionary_RestoreFromString(dict, "a=new", nullptr));
  EXPECT_STREQ("new", Dict_GetString(dict, nullptr, "a"));

  // A default entry does not block a set.
  EXPECT_STREQ("dflt", Dict_GetString(dict, "dflt", "d"));
  EXPECT_TRUE(Dictionary_SetFromString(dict, "d=real", nullptr));
  EXPECT_STREQ("real", Dict_GetString(dict, nullptr, "d"));
  Dictionary_Free(dict);
}

// A name is accepted only when the written file gives it back as the same single entry;
// otherwise the set is refused with a message and nothing changes.
TEST(DictionarySetFromString, RefusesNamesThatWouldNotReloadAsTheSameEntry) {
  const char* const refused[] = {"a b=c",         "x\ny=1",    "t\tab=1",
                                 "#c=1",          "=v",        "a\r=1",
                                 "caf\xC3\xA9=1", ".hidden=1", "Config.Encoding=UTF-8"};
  Dictionary* dict = Dictionary_Create();
  for (const char* line : refused) {
    SCOPED_TRACE(line);
    MsgList* errs = nullptr;
    EXPECT_FALSE(Dictionary_SetFromString(dict, line, &errs));
    EXPECT_FALSE(Dictionary_RestoreFromString(dict, line, nullptr));
    ASSERT_NE(nullptr, errs);
    EXPECT_EQ(1u, errs->messages.size());
    EXPECT_EQ("msg.dictionary.invalidName", errs->messages[0].id);
    MsgList_Free(errs);
    std::string name(line, strchr(line, '=') - line);
    Dict_SetLong(dict, 1, name.c_str());
    Dict_SetString(dict, "v", name.c_str());
  }
  EXPECT_EQ(0u, dict->numEntries);
  LogCapture log;
  MsgList* errs = nullptr;
  EXPECT_FALSE(Dictionary_SetFromString(dict, "a b=c", &errs));
  EXPECT_EQ("Variable \"a b\" is not a valid name.\n", MsgList_ToString(errs));
  Dict_SetBool(dict, TRUE, "x\ny");
  EXPECT_EQ(std::vector<std::string>{"Variable \"x\\x0Ay\" is not a valid name.\n"}, log.Lines());
  MsgList_Free(errs);

  // Names the line syntax allows come back as they went out.
  const char* const accepted[] = {
      "a\"b", "x|41", "under_score", "dotted.name.", "!$%&*+-/:;<>?@~", "bell\x07and\x7F"};
  for (const char* name : accepted) {
    Dict_SetString(dict, name, name);
  }
  std::string text;
  ASSERT_TRUE(Dictionary_WriteToBuffer(dict, &text));
  LoadedDict again(text);
  ASSERT_TRUE(again.ok()) << again.Text();
  EXPECT_EQ(dict->numEntries, again.dict()->numEntries);
  for (const char* name : accepted) {
    EXPECT_EQ(name, again.Value(name));
  }
  Dictionary_Free(dict);
}

// Writing back.

TEST(DictionaryWrite, KeepsCommentsBlankLinesAndOrder) {
  const std::string original =
      "# header comment\n"
      "#second\n"
      "\n"
      "   \t\n"
      "  # indented comment\n"
      "plain = value   # trailing comment\n"
      "quoted=\"a b\"\n"
      "changed = old # goes away when changed\n"
      "\tspaced   =   kept\n";
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
  MsgList* errs = nullptr;
  ASSERT_TRUE(Dictionary_Write(dict, path.c_str(), &errs)) << MsgList_ToString(errs);
  EXPECT_EQ(
      "# header comment\n"
      "#second\n"
      "\n"
      "   \t\n"
      "  # indented comment\n"
      "plain = value   # trailing comment\n"
      "quoted=\"a b\"\n"
      "changed = \"new\tvalue\"\n"
      "\tspaced   =   kept\n"
      "added.bool = \"TRUE\"\n"
      "added.double = \"0.333333333\"\n"
      "added.tri = \"DEFAULT\"\n"
      "added.int64 = \"-9000000000\"\n"
      "added.long = \"12\"\n"
      "added.text = \"x|22y\"\n",
      TempDir::Read(path));

  Dictionary* again = Dictionary_Create();
  ASSERT_TRUE(Dictionary_LoadWithDefaultUtf8(again, path.c_str(), nullptr));
  EXPECT_STREQ("new\tvalue", Dict_GetString(again, nullptr, "changed"));
  EXPECT_STREQ("x\"y", Dict_GetString(again, nullptr, "added.text"));
  EXPECT_EQ(-9000000000LL, Dict_GetInt64(again, 0, "added.int64"));
  EXPECT_EQ(-1, Dict_GetTriState(again, 1, "added.tri"));
  Dictionary_Free(again);
  Dictionary_Free(dict);
}

TEST(DictionaryWrite, ChangedValuesGoBackInTheFilesEncoding) {
  LoadedDict d(".encoding = ISO-8859-1\na = \xE9\nb = \xE8\n");
  ASSERT_TRUE(d.ok()) << d.Text();
  Dict_SetString(d.dict(), "\xC3\xA0", "b");
  std::string out;
  ASSERT_TRUE(Dictionary_WriteToBuffer(d.dict(), &out));
  EXPECT_EQ(".encoding = ISO-8859-1\na = \xE9\nb = \"\xE0\"\n", out);
  // A character Latin-1 cannot hold fails the write rather than being replaced.
  Dict_SetString(d.dict(), "\xE2\x82\xAC", "b");
  EXPECT_FALSE(Dictionary_WriteToBuffer(d.dict(), &out));
}

TEST(DictionaryWrite, UnsetRemovesTheEntryAndItsLine) {
  LoadedDict d("# c\na = 1\nb = 2\n");
  Dictionary_Unset(d.dict(), "a");
  std::string out;
  ASSERT_TRUE(Dictionary_WriteToBuffer(d.dict(), &out));
  EXPECT_EQ("# c\nb = 2\n", out);
  EXPECT_FALSE(Dictionary_IsDefined(d.dict(), "a"));
}

TEST(DictionaryWrite, RewriteThatIsShorterLeavesNothingOfTheOldText) {
  TempDir dir;
  std::string path = dir.Write("cfg", "# c\nlong = \"" + std::string(200, 'x') + "\"\nb = 2\n");
  Dictionary* dict = Dictionary_Create();
  ASSERT_TRUE(Dictionary_LoadWithDefaultUtf8(dict, path.c_str(), nullptr));
  Dict_SetString(dict, "s", "long");
  MsgList* errs = nullptr;
  ASSERT_TRUE(Dictionary_Write(dict, path.c_str(), &errs)) << MsgList_ToString(errs);
  EXPECT_EQ("# c\nlong = \"s\"\nb = 2\n", TempDir::Read(path));
  Dictionary_Free(dict);
}

// The file may only grow to a few bytes (the process's file size limit), so the rewrite
// stops half-way at a real write error.
TEST(DictionaryWrite, RewriteThatFailsHalfWayReportsTheWriteError) {
  TempDir dir;
  std::string path = dir.Write("cfg", "a = 1\n");
  Dictionary* dict = Dictionary_Create();
  ASSERT_TRUE(Dictionary_LoadWithDefaultUtf8(dict, path.c_str(), nullptr));
  Dict_SetString(dict, std::string(64, 'v'), "added");
  MsgList* errs = nullptr;
  struct rlimit old;
  ASSERT_EQ(0, getrlimit(RLIMIT_FSIZE, &old));
  struct rlimit small = old;
  small.rlim_cur = 16;
  void (*oldHandler)(int) = signal(SIGXFSZ, SIG_IGN);  // EFBIG instead of the signal
  ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &small));
  Bool written = Dictionary_Write(dict, path.c_str(), &errs);
  setrlimit(RLIMIT_FSIZE, &old);
  signal(SIGXFSZ, oldHandler);
  EXPECT_FALSE(written);
  ASSERT_NE(nullptr, errs);
  EXPECT_TRUE(MsgList_HasId(errs, "msg.dictionary.writefile.write"));
  EXPECT_EQ(
      "An error occurred while writing configuration file \"" + path + "\": File too large.\n",
      MsgList_ToString(errs));
  EXPECT_EQ(16u, TempDir::Read(path).size());  // it did fail half-way
  EXPECT_TRUE(dict->dirty);
  MsgList_Free(errs);
  Dictionary_Free(dict);
}

TEST(DictionaryWrite, WriteFailureGivesItsMessage) {
  Dictionary* dict = Dictionary_Create();
  Dict_SetString(dict, "v", "k");
  FILE* full = fopen("/dev/full", "w");
  if (full == nullptr) {
    GTEST_SKIP() << "no /dev/full";
  }
  MsgList* errs = nullptr;
  EXPECT_FALSE(Dictionary_WriteFile(dict, full, "/dev/full", &errs));
  EXPECT_TRUE(MsgList_HasId(errs, "msg.dictionary.writefile.write") ||
              MsgList_HasId(errs, "msg.dictionary.writefile.flush"));
  fclose(full);
  MsgList_Free(errs);
  Dictionary_Free(dict);
}

// Logging.

TEST(DictionaryLogNotDefault, HidesSecretsAndSkipsDefaults) {
  LoadedDict d(
      "name = value\ndataFileKey = secret1\nGuestInfo.x = secret2\nsome.KEY = secret3\n"
      "annotation = secret4\nflag = yes\nnum = 12\n");
  ASSERT_TRUE(d.ok());
  Dict_GetBool(d.dict(), FALSE, "flag");
  Dict_GetLong(d.dict(), 0, "num");
  Dict_GetString(d.dict(), "registered", "dflt");
  Dict_SetDouble(d.dict(), 1.5, "dbl");
  Dict_SetInt64(d.dict(), 5000000000LL, "big");
  Dict_SetTriState(d.dict(), 1, "tri");
  LogCapture log;
  Dictionary_LogNotDefault(d.dict());
  std::vector<std::string> expected = {
      "DICT                      name = \"value\"\n",
      "DICT               dataFileKey = <not printed>\n",
      "DICT               GuestInfo.x = <not printed>\n",
      "DICT                  some.KEY = <not printed>\n",
      "DICT                annotation = <not printed>\n",
      "DICT                      flag = \"TRUE\"\n",
      "DICT                       num = \"12\"\n",
      "DICT                       dbl = \"1.5\"\n",
      "DICT                       big = \"5000000000\"\n",
      "DICT                       tri = <unknown parameter type>\n"};
  EXPECT_EQ(expected, log.Lines());
}

TEST(MsgListAppend, SplitsTheCataloguePrefixAndIgnoresANullList) {
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
