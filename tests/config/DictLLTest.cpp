#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "config/DictLL.h"

namespace {

enum RowKind { ENTRY, COMMENT, SYNTAX_ERROR };

struct LineRow {
  std::string input;
  RowKind kind;
  std::string name;
  std::string value;
};

const LineRow kLineRows[] = {
    {"a = b", ENTRY, "a", "b"},
    {"  a=b  ", ENTRY, "a", "b"},
    {"a\t=\t\"tab\there\"", ENTRY, "a", "tab\there"},
    {"a = \"b # c\"", ENTRY, "a", "b # c"},
    {"a = b # c", ENTRY, "a", "b"},
    {"a.b.c = x#y", ENTRY, "a.b.c", "x"},
    {"a = \"x\"# c", ENTRY, "a", "x"},
    {"a = |22x|7c", ENTRY, "a", "\"x|"},
    {"a = |4a|4A|0a", ENTRY, "a", "JJ\n"},
    {"a = |2", ENTRY, "a", "|2"},
    {"a = |zz|", ENTRY, "a", "|zz|"},
    {"a = \"|00\"", ENTRY, "a", std::string(1, '\0')},
    {"a =", ENTRY, "a", ""},
    {"a = \"\"", ENTRY, "a", ""},
    {"a==b", ENTRY, "a", "=b"},
    {"a = b\"c", ENTRY, "a", "b\"c"},
    {"a|b = c", ENTRY, "a|b", "c"},
    {"a = b\r", ENTRY, "a", "b\r"},  // a buffer line ends at a line feed only
    {"", COMMENT, "", ""},
    {"   \t ", COMMENT, "", ""},
    {"  # a comment = x", COMMENT, "", ""},
    {"#", COMMENT, "", ""},
    {"a = \"b", SYNTAX_ERROR, "", ""},
    {"a = \"x\" y", SYNTAX_ERROR, "", ""},
    {"a = \"b\"\r", SYNTAX_ERROR, "", ""},
    {"a b = c", SYNTAX_ERROR, "", ""},
    {"= c", SYNTAX_ERROR, "", ""},
    {"a", SYNTAX_ERROR, "", ""},
    {"a = b c", SYNTAX_ERROR, "", ""},
    {std::string("a = x\0y", 7), SYNTAX_ERROR, "", ""},
    {std::string("a\0 = x", 6), SYNTAX_ERROR, "", ""},
    {"\"a\" = x", ENTRY, "\"a\"", "x"},
};

TEST(DictLLUnmarshalLine, ParsesEveryRowOfTheTable) {
  for (const LineRow& row : kLineRows) {
    SCOPED_TRACE("line: \"" + row.input + "\"");
    std::string buf = row.input + "\nnext = 1\n";
    std::string line, name = "stale", value = "stale";
    size_t used = DictLL_UnmarshalLine(buf.data(), buf.size(), &line, &name, &value);
    EXPECT_EQ(row.input.size() + 1, used);
    EXPECT_EQ(row.input, line);
    EXPECT_EQ(row.name, name);
    EXPECT_EQ(row.value, value);
    if (row.kind != ENTRY) {
      EXPECT_EQ(row.kind == COMMENT, DictLL_IsComment(line));
    }
  }
}

TEST(DictLLUnmarshalLine, LastLineWithoutLineFeedAndEmptyBuffer) {
  std::string line, name, value;
  EXPECT_EQ(5u, DictLL_UnmarshalLine("a = b", 5, &line, &name, &value));
  EXPECT_EQ("a", name);
  EXPECT_EQ(0u, DictLL_UnmarshalLine("", 0, &line, &name, &value));
  // The size bounds the read even without a terminator inside it.
  EXPECT_EQ(3u, DictLL_UnmarshalLine("x=1=unread", 3, &line, &name, &value));
  EXPECT_EQ("1", value);
}

TEST(DictLLMarshalLine, EscapesControlBytesQuotesBarsAndDelete) {
  std::string out;
  DictLL_MarshalLine(&out, "k", std::string("a\tb\n\"|\x7f\x01\x1f\x80 #", 12));
  EXPECT_EQ("k = \"a\tb|0A|22|7C|7F|01|1F\x80 #\"\n", out);
  out.clear();
  DictLL_MarshalLine(&out, "", "  # just text");
  EXPECT_EQ("  # just text\n", out);
}

TEST(DictLLMarshalLine, RoundTripsEveryByteValue) {
  std::string all;
  for (int b = 0; b < 256; b++) {
    std::string value =
        std::string(1, static_cast<char>(b)) + "x" + std::string(1, static_cast<char>(b));
    all.push_back(static_cast<char>(b));
    std::string out;
    DictLL_MarshalLine(&out, "name", value);
    std::string line, name, parsed;
    ASSERT_EQ(out.size(), DictLL_UnmarshalLine(out.data(), out.size(), &line, &name, &parsed))
        << "byte " << b;
    EXPECT_EQ("name", name) << "byte " << b;
    EXPECT_EQ(value, parsed) << "byte " << b;
    EXPECT_EQ(out.size() - 1, out.find('\n')) << "byte " << b;
  }
  std::string out;
  DictLL_MarshalLine(&out, "all", all);
  std::string line, name, parsed;
  DictLL_UnmarshalLine(out.data(), out.size(), &line, &name, &parsed);
  EXPECT_EQ(all, parsed);
}

TEST(DictLLMarshalLine, RoundTripsEveryByteThatANameMayHold) {
  for (int b = 1; b < 256; b++) {
    char c = static_cast<char>(b);
    if (c == ' ' || c == '\t' || c == '#' || c == '=' || c == '\n') {
      continue;
    }
    std::string n = std::string("n") + c + "n";
    std::string out;
    DictLL_MarshalLine(&out, n, "v");
    std::string line, name, value;
    DictLL_UnmarshalLine(out.data(), out.size(), &line, &name, &value);
    EXPECT_EQ(n, name) << "byte " << b;
    EXPECT_EQ("v", value) << "byte " << b;
  }
}

TEST(DictLLSplitFileLine, AcceptsLineFeedCarriageReturnAndBoth) {
  const std::string buf = "a\nb\rc\r\nd";
  size_t len = 0;
  size_t pos = 0;
  std::string lines;
  while (pos < buf.size()) {
    size_t used = DictLL_SplitFileLine(buf.data() + pos, buf.size() - pos, &len);
    lines += buf.substr(pos, len) + ";";
    pos += used;
  }
  EXPECT_EQ("a;b;c;d;", lines);
  // "\r\r" is two line ends, "\n\r" too.
  EXPECT_EQ(1u, DictLL_SplitFileLine("\r\r", 2, &len));
  EXPECT_EQ(1u, DictLL_SplitFileLine("\n\r", 2, &len));
}

TEST(DictLLReadLine, ReadsTheSameLinesWhateverTheLineEnds) {
  const char* variants[] = {"a = 1\nb = \"2\"\n\n# c\n", "a = 1\rb = \"2\"\r\r# c\r",
                            "a = 1\r\nb = \"2\"\r\n\r\n# c\r\n", "a = 1\nb = \"2\"\r\n\r# c"};
  for (const char* text : variants) {
    FILE* f = tmpfile();
    ASSERT_NE(nullptr, f);
    fputs(text, f);
    rewind(f);
    std::string got;
    std::string line, name, value;
    int rc;
    while ((rc = DictLL_ReadLine(f, &line, &name, &value)) == 1) {
      got += "[" + line + "|" + name + "|" + value + "]";
    }
    EXPECT_EQ(0, rc);
    EXPECT_EQ("[a = 1|a|1][b = \"2\"|b|2][||][# c||]", got) << "variant " << text;
    fclose(f);
  }
}

TEST(DictLLReadUTF8BOM, SkipsTheMarkAndLeavesAnythingElseUnread) {
  struct Case {
    std::string bytes;
    bool bom;
    std::string rest;
  } cases[] = {{"\xEF\xBB\xBF"
                "a=1",
                true, "a=1"},
               {"\xEF\xBB"
                "a=1",
                false,
                "\xEF\xBB"
                "a=1"},
               {"\xEF", false, "\xEF"},
               {"", false, ""},
               {"a=1", false, "a=1"}};
  for (const Case& c : cases) {
    FILE* f = tmpfile();
    ASSERT_NE(nullptr, f);
    fwrite(c.bytes.data(), 1, c.bytes.size(), f);
    rewind(f);
    EXPECT_EQ(c.bom, DictLL_ReadUTF8BOM(f));
    std::string rest;
    int ch;
    while ((ch = getc(f)) != EOF) {
      rest.push_back(static_cast<char>(ch));
    }
    EXPECT_EQ(c.rest, rest);
    fclose(f);
  }
}

TEST(DictLLWriteLine, WritesTheMarshalledLine) {
  FILE* f = tmpfile();
  ASSERT_NE(nullptr, f);
  ASSERT_TRUE(DictLL_WriteLine(f, "k", "v\""));
  rewind(f);
  char buf[64] = {0};
  ASSERT_NE(nullptr, fgets(buf, sizeof buf, f));
  EXPECT_STREQ("k = \"v|22\"\n", buf);
  fclose(f);
}

}  // namespace
