#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "runtime/RCPtr.h"
#include "runtime/WkPtr.h"

namespace {

std::atomic<int> g_destroyed{0};
std::atomic<int> g_recordsDestroyed{0};

class CountedRecord : public WkReference {
 public:
  explicit CountedRecord(RCObject* obj) : WkReference(obj) {}

 protected:
  ~CountedRecord() override { ++g_recordsDestroyed; }
};

class Counted : public RCObject {
 public:
  int m_value = 42;

 protected:
  ~Counted() override { ++g_destroyed; }
  WkReference* NewWkReference() override { return new CountedRecord(this); }
};

// Asks for its own weak record while it dies.
class AsksForRecordWhileDying : public RCObject {
 public:
  static WkReference* s_seen;

 protected:
  ~AsksForRecordWhileDying() override { s_seen = GetWkReference(); }
};
WkReference* AsksForRecordWhileDying::s_seen = reinterpret_cast<WkReference*>(1);

class RCObjectTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_destroyed = 0;
    g_recordsDestroyed = 0;
  }
};

TEST_F(RCObjectTest, ReleaseOnCountZeroDeletesNothing) {
  Counted* obj = new Counted();
  EXPECT_EQ(0u, obj->Release());
  EXPECT_EQ(0, g_destroyed.load());
  EXPECT_EQ(42, obj->m_value);
  obj->AddRef();
  EXPECT_EQ(0u, obj->Release());
  EXPECT_EQ(1, g_destroyed.load());
}

TEST_F(RCObjectTest, WeakPointerResolvesToNullAfterDeathAndRecordOutlivesObject) {
  WkPtr<Counted> weak;
  {
    RCPtr<Counted> strong(new Counted());
    weak = strong.Ptr();
    EXPECT_EQ(strong.Ptr(), weak.Lock().Ptr());
    EXPECT_EQ(1, strong->RefCount());
  }
  EXPECT_EQ(1, g_destroyed.load());
  EXPECT_EQ(0, g_recordsDestroyed.load());  // the weak pointer still holds the record
  EXPECT_EQ(nullptr, weak.Lock().Ptr());
  RCPtr<Counted> fromWeak(weak);
  EXPECT_EQ(nullptr, fromWeak.Ptr());
  weak = static_cast<Counted*>(nullptr);
  EXPECT_EQ(1, g_recordsDestroyed.load());
}

TEST_F(RCObjectTest, GetWkReferenceDuringDestructionReturnsNull) {
  { RCPtr<AsksForRecordWhileDying> p(new AsksForRecordWhileDying()); }
  EXPECT_EQ(nullptr, AsksForRecordWhileDying::s_seen);
}

TEST_F(RCObjectTest, SelfAssignmentAndDetachAttachKeepTheCount) {
  RCPtr<Counted> a(new Counted());
  RCPtr<Counted>& alias = a;
  a = alias;
  EXPECT_EQ(1, a->RefCount());
  RCPtr<Counted> b;
  b.Attach(a.Detach());
  EXPECT_EQ(nullptr, a.Ptr());
  EXPECT_EQ(1, b->RefCount());
  RCPtr<Counted> c(std::move(b));
  EXPECT_EQ(nullptr, b.Ptr());
  EXPECT_EQ(1, c->RefCount());
  EXPECT_EQ(0, g_destroyed.load());
}

TEST_F(RCObjectTest, WeakPointersOfOneObjectShareOneRecord) {
  RCPtr<Counted> strong(new Counted());
  WkPtr<Counted> w1(strong);
  WkPtr<Counted> w2(strong.Ptr());
  EXPECT_EQ(w1.Ptr(), w2.Ptr());
  EXPECT_EQ(3, w1->RefCount());  // the object's own reference plus one per weak pointer
}

// Many threads reassign and clear one RCPtr at once; every object is destroyed exactly
// once (ASan reports a second delete, the count catches a missing one).
TEST_F(RCObjectTest, ConcurrentReassignmentOfOneRCPtrNeverReleasesTwice) {
  const int kThreads = 4;
  const int kRounds = 20000;
  std::atomic<int> created{0};
  RCPtr<Counted> shared;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRounds; ++i) {
        if ((i + t) % 3 == 0) {
          shared = static_cast<Counted*>(nullptr);
        } else if ((i + t) % 3 == 1) {
          ++created;
          shared = new Counted();
        } else {
          RCPtr<Counted> taken;
          taken.Attach(shared.Detach());
        }
      }
    });
  }
  for (std::thread& t : threads) {
    t.join();
  }
  shared = static_cast<Counted*>(nullptr);
  EXPECT_EQ(created.load(), g_destroyed.load());
}

// A weak pointer racing with the last release yields either null or a live object.
TEST_F(RCObjectTest, WeakLockRacingWithLastReleaseYieldsNullOrLiveObject) {
  const int kRounds = 2000;
  int resolved = 0;
  for (int i = 0; i < kRounds; ++i) {
    RCPtr<Counted> strong(new Counted());
    WkPtr<Counted> weak(strong);
    std::thread releaser([&strong] { strong = static_cast<Counted*>(nullptr); });
    RCPtr<Counted> got = weak.Lock();
    if (got.Ptr() != nullptr) {
      EXPECT_EQ(42, got->m_value);
      ++resolved;
    }
    releaser.join();
    got = static_cast<Counted*>(nullptr);
    EXPECT_EQ(nullptr, weak.Lock().Ptr());
  }
  EXPECT_EQ(kRounds, g_destroyed.load());
  RecordProperty("resolved", resolved);
}

// One holder makes a weak record and lets go while another holder lets go of the last
// reference: the record is cut off and freed, and resolving it yields null, never the
// dead object.
TEST_F(RCObjectTest, RecordMadeWhileAnotherHolderReleasesIsCutOff) {
  const int kRounds = 20000;
  for (int i = 0; i < kRounds; ++i) {
    RCPtr<Counted> first(new Counted());
    RCPtr<Counted> second(first);
    std::atomic<bool> go{false};
    std::thread other([&] {
      while (!go.load()) {
      }
      second = static_cast<Counted*>(nullptr);
    });
    go = true;
    WkPtr<Counted> weak(first);
    first = static_cast<Counted*>(nullptr);
    other.join();
    EXPECT_EQ(nullptr, weak.Lock().Ptr());
  }
  EXPECT_EQ(kRounds, g_destroyed.load());
  EXPECT_EQ(kRounds, g_recordsDestroyed.load());
}

}  // namespace
