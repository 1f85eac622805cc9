// The counted bag differs only on an empty or null text (the fuzz target compares the two).
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "runtime/PropertyManager.h"
#include "runtime/QrPropertyManager.h"

TEST(PropertyBag, EntriesComeOutEscapedInKeyByteOrderAndEveryByteSurvivesTheRoundTrip) {
  PropertyManager bag, copy;
  for (const char* kv : {"b1", "a2", "B3", "a4"}) bag.Add(std::string(1, kv[0]), kv + 1);
  EXPECT_EQ("B,3,a,4,b,1", bag.ToString());
  std::string value;
  EXPECT_TRUE(bag.Get("b", nullptr) && bag.Remove("b"));
  EXPECT_FALSE(bag.Remove("b") || bag.Exists("b") || bag.Get("c", &value));
  // Keys and values of every byte but NUL (which ends a text).
  std::string all;
  for (int c = 1; c < 256; ++c) all.push_back(static_cast<char>(c));
  for (int c = 1; c < 256; ++c) bag.Add(std::string(1, static_cast<char>(c)) + "k", all);
  std::string text = bag.ToString();
  EXPECT_EQ(
      std::string::npos,
      text.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789/,"));
  ASSERT_TRUE(copy.FromString(text));
  EXPECT_EQ(text, copy.ToString());
  EXPECT_EQ(257u, copy.Count());
  EXPECT_TRUE(copy.Get("\xFFk", &value));
  EXPECT_EQ(all, value);
}

TEST(PropertyBag, FromStringKeepsWhatCameBeforeAFailure) {
  // The text, FromString's answer, and the bag after it, which held "pre"="x" before.
  const std::tuple<const char*, bool, const char*> rows[] = {
      {"a,,b,c", true, "a,,b,c,pre,x"},   {"key1,value1,key2", false, "key1,value1,pre,x"},
      {"k,v,x,/2", false, "k,v,pre,x"},   {"k,v,/G1,y", false, "k,v,pre,x"},
      {"/2c,/2C", true, "/2C,/2C,pre,x"}, {"pre,y", true, "pre,y"},
  };
  for (const auto& [text, result, bagAfter] : rows) {
    PropertyManager bag;
    bag.Add("pre", "x");
    EXPECT_EQ(result, bag.FromString(text)) << text;
    EXPECT_EQ(bagAfter, bag.ToString()) << text;
  }
  QrPropertyManagerPtr counted = new QrPropertyManager();
  counted->Add("pre", "x");
  EXPECT_TRUE(counted->FromString("k,/2F"));
  EXPECT_EQ("k,/2F,pre,x", counted->ToString());
  EXPECT_TRUE(counted->FromString("") && counted->FromString(static_cast<const char*>(nullptr)));
  EXPECT_EQ(2u, counted->Count());
}

TEST(PropertyBagCoding, EscapesEveryByteAndStopsDecodingAtAMalformedEscape) {
  std::string out;
  PropertyManager::Encode(std::string("\x7F\x80\xFF Zz09,/\0y", 12), &out);
  EXPECT_EQ("/7F/80/FF/20Zz09/2C/2F", out);  // the input ends at its first NUL
  out = "kept:";
  EXPECT_TRUE(PropertyManager::Decode("a/2cb/2F/00", &out));
  EXPECT_EQ(std::string("kept:a,b/\0", 10), out);
  for (const char* bad : {"ab/Zx", "ab/4"}) {
    out.clear();
    EXPECT_FALSE(PropertyManager::Decode(bad, &out));
    EXPECT_EQ("ab", out);
  }
}
