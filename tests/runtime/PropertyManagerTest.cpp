// The property bag's text form for both classes: the worked example, escaping of every
// byte, round trips over random keys and values, key order, and the malformed texts.
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "runtime/PropertyManager.h"
#include "runtime/QrPropertyManager.h"

namespace {

struct PlainBag {
  static constexpr bool kEmptyTextIsABag = false;  // one piece: an odd count
  PropertyManager* operator->() { return &bag; }
  PropertyManager bag;
};

struct CountedBag {
  static constexpr bool kEmptyTextIsABag = true;
  QrPropertyManager* operator->() { return bag.Ptr(); }
  QrPropertyManagerPtr bag = new QrPropertyManager();
};

template <class Bag>
class PropertyBag : public ::testing::Test {};
using BagKinds = ::testing::Types<PlainBag, CountedBag>;
TYPED_TEST_SUITE(PropertyBag, BagKinds);

std::string RandomBytes(std::mt19937& random, size_t maxLength) {
  std::string text(std::uniform_int_distribution<size_t>(0, maxLength)(random), '\0');
  for (char& c : text) {
    c = static_cast<char>(std::uniform_int_distribution<int>(1, 255)(random));  // NUL ends it
  }
  return text;
}

}  // namespace

TYPED_TEST(PropertyBag, EntriesComeOutEscapedInKeyByteOrderAndCanBeChanged) {
  TypeParam bag;
  bag->Add("vid", "0x0781");
  bag->Add("name", "USB Disk 2.0");
  EXPECT_EQ("name,USB/20Disk/202/2E0,vid,0x0781", bag->ToString());
  bag->RemoveAll();
  for (const char* kv : {"b1", "a2", "B3", "a4"}) bag->Add(std::string(1, kv[0]), kv + 1);
  EXPECT_EQ("B,3,a,4,b,1", bag->ToString());
  std::string value;
  EXPECT_TRUE(bag->Get("a", &value));
  EXPECT_EQ("4", value);
  EXPECT_TRUE(bag->Get("b", nullptr));
  EXPECT_FALSE(bag->Get("c", &value));
  EXPECT_TRUE(bag->Remove("b"));
  EXPECT_FALSE(bag->Remove("b"));
  EXPECT_FALSE(bag->Exists("b"));
  EXPECT_EQ(2u, bag->Count());
}

TYPED_TEST(PropertyBag, RandomKeysAndValuesOfEveryByteSurviveTheRoundTrip) {
  std::mt19937 random(20240611);
  for (int round = 0; round < 200; ++round) {
    TypeParam bag, copy;
    for (int n = std::uniform_int_distribution<int>(0, 8)(random); n > 0; --n) {
      bag->Add(RandomBytes(random, 12), RandomBytes(random, 40));
    }
    std::string text = bag->ToString();
    ASSERT_EQ(
        std::string::npos,
        text.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789/,"));
    ASSERT_EQ(bag->Count() > 0 || TypeParam::kEmptyTextIsABag, copy->FromString(text)) << text;
    ASSERT_EQ(text, copy->ToString());
    ASSERT_EQ(bag->Count(), copy->Count());
  }
}

TYPED_TEST(PropertyBag, FromStringKeepsWhatCameBeforeAFailure) {
  const struct {
    const char* text;
    bool result;
    const char* bagAfter;  // ToString of a bag that held "pre"="x" before FromString
  } rows[] = {
      {"a,,b,c", true, "a,,b,c,pre,x"},
      {"key1,value1,key2", false, "key1,value1,pre,x"},
      {"k,v,x,/2", false, "k,v,pre,x"},
      {"k,v,/G1,y", false, "k,v,pre,x"},
      {"/2c,/2C", true, "/2C,/2C,pre,x"},
      {"pre,y", true, "pre,y"},
      {",", true, ",,pre,x"},
  };
  for (const auto& row : rows) {
    TypeParam bag;
    bag->Add("pre", "x");
    EXPECT_EQ(row.result, bag->FromString(row.text)) << row.text;
    EXPECT_EQ(row.bagAfter, bag->ToString()) << row.text;
  }
  TypeParam empty;
  EXPECT_EQ(TypeParam::kEmptyTextIsABag, empty->FromString(""));
  EXPECT_EQ(0u, empty->Count());
}

TEST(PropertyBagCoding, EscapesEveryByteAndStopsDecodingAtAMalformedEscape) {
  const char* encoded[][2] = {
      {"a,b", "a/2Cb"}, {"a/b", "a/2Fb"}, {"\x7F\x80\xFF Zz09", "/7F/80/FF/20Zz09"}};
  for (const auto& row : encoded) {
    std::string out;
    PropertyManager::Encode(row[0], &out);
    EXPECT_EQ(row[1], out);
  }
  std::string out;
  PropertyManager::Encode(std::string("x\0y", 3), &out);
  EXPECT_EQ("x", out);  // the input ends at its first NUL
  out = "kept:";
  EXPECT_TRUE(PropertyManager::Decode("a/2cb/2F/00", &out));
  EXPECT_EQ(std::string("kept:a,b/\0", 10), out);
  for (const char* bad : {"ab/Zx", "ab/4"}) {
    out.clear();
    EXPECT_FALSE(PropertyManager::Decode(bad, &out));
    EXPECT_EQ("ab", out);
  }
  std::vector<std::string> pieces;
  EXPECT_EQ(3, PropertyManager::Split("a,,b", ',', pieces));
  QrPropertyManagerPtr bag = new QrPropertyManager();
  EXPECT_TRUE(bag->FromString(static_cast<const char*>(nullptr)));
  EXPECT_EQ(0u, bag->Count());
}
