#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "config/DictLL.h"

namespace {

std::string Nul(const char* s, size_t n) { return std::string(s, n); }

// Each line gives "name|value", "#" for a comment or "!" for a syntax error (no name).
TEST(DictLLUnmarshalLine, ParsesEveryRowOfTheTable) {
  // clang-format off
  const std::string rows[][2] = {
      {"a = b", "a|b"}, {"  a=b  ", "a|b"}, {"a\t=\t\"tab\there\"", "a|tab\there"},
      {"a = \"b # c\"", "a|b # c"}, {"a = b # c", "a|b"}, {"a.b.c = x#y", "a.b.c|x"},
      {"a = \"x\"# c", "a|x"}, {"a = |22x|7c", "a|\"x|"}, {"a = |4a|4A|0a", "a|JJ\n"},
      {"a = |2", "a||2"}, {"a = |zz|", "a||zz|"}, {"a = \"|00\"", Nul("a|", 3)}, {"a =", "a|"},
      {"a = \"\"", "a|"}, {"a==b", "a|=b"}, {"a = b\"c", "a|b\"c"}, {"a|b = c", "a|b|c"},
      {"a = b\r", "a|b\r"} /* a buffer line ends at \n only */, {"\"a\" = x", "\"a\"|x"},
      {"", "#"}, {"   \t ", "#"}, {"  # a comment = x", "#"}, {"#", "#"}, {"a = \"b", "!"},
      {"a = \"x\" y", "!"}, {"a = \"b\"\r", "!"}, {"a b = c", "!"}, {"= c", "!"}, {"a", "!"},
      {"a = b c", "!"}, {Nul("a = x\0y", 7), "!"}, {Nul("a\0 = x", 6), "!"}};
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
  EXPECT_EQ(5u, DictLL_UnmarshalLine("a = b", 5, &line, &name, &value));  // no line feed
  EXPECT_EQ("a", name);
  EXPECT_EQ(0u, DictLL_UnmarshalLine("", 0, &line, &name, &value));
  // The size bounds the read even without a terminator inside it.
  EXPECT_EQ(3u, DictLL_UnmarshalLine("x=1=unread", 3, &line, &name, &value));
  EXPECT_EQ("1", value);
}

// Every byte value in a value, every byte a name may hold, written and read back; the
// escapes are pinned byte for byte.
TEST(DictLLMarshalLine, EscapesAndRoundTripsEveryByte) {
  std::string out;
  DictLL_MarshalLine(&out, "k", Nul("a\tb\n\"|\x7f\x01\x1f\x80 #", 12));
  EXPECT_EQ("k = \"a\tb|0A|22|7C|7F|01|1F\x80 #\"\n", out);
  out.clear();
  DictLL_MarshalLine(&out, "", "  # just text");
  EXPECT_EQ("  # just text\n", out);
  std::string all;
  for (int b = 0; b < 256; b++) {
    char c = static_cast<char>(b);
    all.push_back(c);
    bool nameByte = b != 0 && c != ' ' && c != '\t' && c != '#' && c != '=' && c != '\n';
    std::string n = nameByte ? std::string("n") + c + "n" : "name", v = c + std::string("x") + c;
    out.clear();
    DictLL_MarshalLine(&out, n, v);
    std::string line, name, parsed;
    ASSERT_EQ(out.size(), DictLL_UnmarshalLine(out.data(), out.size(), &line, &name, &parsed))
        << "byte " << b;
    EXPECT_EQ(n, name) << "byte " << b;
    EXPECT_EQ(v, parsed) << "byte " << b;
    EXPECT_EQ(out.size() - 1, out.find('\n')) << "byte " << b;
  }
  out.clear();
  DictLL_MarshalLine(&out, "all", all);
  std::string line, name, parsed;
  DictLL_UnmarshalLine(out.data(), out.size(), &line, &name, &parsed);
  EXPECT_EQ(all, parsed);
}

// Files end lines with a line feed, a carriage return or both; "\r\r" and "\n\r" are two.
TEST(DictLLReadLine, ReadsTheSameLinesWhateverTheLineEnds) {
  const std::string buf = "a\nb\rc\r\nd";
  size_t len = 0;
  std::string lines;
  for (size_t pos = 0; pos < buf.size();) {
    size_t used = DictLL_SplitFileLine(buf.data() + pos, buf.size() - pos, &len);
    lines += buf.substr(pos, len) + ";";
    pos += used;
  }
  EXPECT_EQ("a;b;c;d;", lines);
  EXPECT_EQ(1u, DictLL_SplitFileLine("\r\r", 2, &len));
  EXPECT_EQ(1u, DictLL_SplitFileLine("\n\r", 2, &len));
  const char* variants[] = {"a = \"1\"\rb = \"2\"\r\r# c\r",
                            "a = \"1\"\r\nb = \"2\"\r\n\r\n# c\r\n",
                            "a = \"1\"\nb = \"2\"\r\n\r# c", ""};
  for (const char* text : variants) {
    FILE* f = tmpfile();
    ASSERT_NE(nullptr, f);
    fputs(text, f);
    if (*text == '\0') {  // the line writer's output, with line feeds
      ASSERT_TRUE(DictLL_WriteLine(f, "a", "1") && DictLL_WriteLine(f, "b", "2") &&
                  DictLL_WriteLine(f, "", "") && DictLL_WriteLine(f, "", "# c"));
    }
    rewind(f);
    std::string got, line, name, value;
    int rc;
    while ((rc = DictLL_ReadLine(f, &line, &name, &value)) == 1) {
      got += "[" + line + "|" + name + "|" + value + "]";
    }
    EXPECT_EQ(0, rc);
    EXPECT_EQ("[a = \"1\"|a|1][b = \"2\"|b|2][||][# c||]", got) << "variant " << text;
    fclose(f);
  }
}

// Bytes, and what is left unread after the mark (a mark was skipped when they differ).
TEST(DictLLReadUTF8BOM, SkipsTheMarkAndLeavesAnythingElseUnread) {
  const std::string rows[][2] = {{"\xEF\xBB\xBF\x61=1", "a=1"},
                                 {"\xEF\xBB\x61=1", "\xEF\xBB\x61=1"},
                                 {"\xEF", "\xEF"},
                                 {"", ""},
                                 {"a=1", "a=1"}};
  for (const auto& row : rows) {
    FILE* f = tmpfile();
    ASSERT_NE(nullptr, f);
    fwrite(row[0].data(), 1, row[0].size(), f);
    rewind(f);
    EXPECT_EQ(row[0] != row[1], DictLL_ReadUTF8BOM(f));
    std::string rest;
    for (int ch; (ch = getc(f)) != EOF;) rest.push_back(static_cast<char>(ch));
    EXPECT_EQ(row[1], rest);
    fclose(f);
  }
}

}  // namespace
