#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "runtime/RCPtr.h"
#include "runtime/WkPtr.h"

namespace {

std::atomic<int> g_destroyed{0}, g_recordsDestroyed{0};
WkReference* g_seenWhileDying = reinterpret_cast<WkReference*>(1);

class CountedRecord : public WkReference {
 public:
  using WkReference::WkReference;

 protected:
  ~CountedRecord() override { ++g_recordsDestroyed; }
};

// Counts its deaths and its weak records' deaths; asked for a weak record while it dies, it
// keeps the answer in g_seenWhileDying.
class Counted : public RCObject {
 public:
  int m_value = 42;

 protected:
  ~Counted() override {
    ++g_destroyed;
    if (m_value == 0) g_seenWhileDying = GetWkReference();
  }
  WkReference* NewWkReference() override { return new CountedRecord(this); }
};

class RCObjectTest : public ::testing::Test {
 protected:
  void SetUp() override { g_destroyed = g_recordsDestroyed = 0; }
};

TEST_F(RCObjectTest, CountsOwnershipAndWeakRecordsOutliveTheObject) {
  Counted* obj = new Counted();
  EXPECT_EQ(0u, obj->Release());  // on count zero: deletes nothing
  EXPECT_EQ(0, g_destroyed.load());
  RCPtr<Counted> a(obj);
  RCPtr<Counted>& alias = a;
  a = alias;
  RCPtr<Counted> b;
  b.Attach(a.Detach());
  RCPtr<Counted> strong(std::move(b));
  EXPECT_TRUE(a.Ptr() == nullptr && b.Ptr() == nullptr);
  EXPECT_EQ(1, strong->RefCount());
  WkPtr<Counted> weak(strong), other(strong.Ptr());
  EXPECT_EQ(weak.Ptr(), other.Ptr());  // one record per object
  EXPECT_EQ(3, weak->RefCount());      // the object's own reference plus one per weak pointer
  EXPECT_EQ(strong.Ptr(), weak.Lock().Ptr());
  strong = static_cast<Counted*>(nullptr);
  EXPECT_EQ(1, g_destroyed.load());
  EXPECT_EQ(0, g_recordsDestroyed.load());  // the weak pointers still hold the record
  EXPECT_EQ(nullptr, weak.Lock().Ptr());
  EXPECT_EQ(nullptr, RCPtr<Counted>(weak).Ptr());
  weak = other = static_cast<Counted*>(nullptr);
  EXPECT_EQ(1, g_recordsDestroyed.load());
  RCPtr<Counted> dying(new Counted());
  dying->m_value = 0;
  dying = static_cast<Counted*>(nullptr);
  EXPECT_EQ(nullptr, g_seenWhileDying);  // none made during destruction
}

// Many threads reassign and clear one RCPtr at once; every object is destroyed exactly
// once (ASan reports a second delete, the count catches a missing one).
TEST_F(RCObjectTest, ConcurrentReassignmentOfOneRCPtrNeverReleasesTwice) {
  std::atomic<int> created{0};
  RCPtr<Counted> shared;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 20000; ++i) {
        if ((i + t) % 3 == 0) {
          shared = static_cast<Counted*>(nullptr);
        } else if ((i + t) % 3 == 1) {
          ++created;
          shared = new Counted();
        } else {
          RCPtr<Counted>().Attach(shared.Detach());  // taken over, released at once
        }
      }
    });
  }
  for (std::thread& t : threads) t.join();
  shared = static_cast<Counted*>(nullptr);
  EXPECT_EQ(created.load(), g_destroyed.load());
}

// A weak pointer resolved, or its record made, while another thread drops the last reference
// yields null or the live object, never the dead one; every record is freed.
TEST_F(RCObjectTest, WeakPointersRacingWithTheLastReleaseNeverYieldTheDeadObject) {
  const int kLockRounds = 2000, kRecordRounds = 20000;
  for (int i = 0; i < kLockRounds; ++i) {
    RCPtr<Counted> strong(new Counted());
    WkPtr<Counted> weak(strong);
    std::thread releaser([&strong] { strong = static_cast<Counted*>(nullptr); });
    RCPtr<Counted> got = weak.Lock();
    EXPECT_TRUE(got.Ptr() == nullptr || got->m_value == 42);
    releaser.join();
    got = static_cast<Counted*>(nullptr);
    EXPECT_EQ(nullptr, weak.Lock().Ptr());
  }
  for (int i = 0; i < kRecordRounds; ++i) {
    RCPtr<Counted> first(new Counted());
    RCPtr<Counted> second(first);
    std::thread other([&] { second = static_cast<Counted*>(nullptr); });
    WkPtr<Counted> weak(first);
    first = static_cast<Counted*>(nullptr);
    other.join();
    EXPECT_EQ(nullptr, weak.Lock().Ptr());
  }
  EXPECT_EQ(kLockRounds + kRecordRounds, g_destroyed.load());
  EXPECT_EQ(kLockRounds + kRecordRounds, g_recordsDestroyed.load());
}

}  // namespace
