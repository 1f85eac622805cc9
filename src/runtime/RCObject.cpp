#include "runtime/RCObject.h"

#include <atomic>
#include <new>

#include "runtime/QrCriticialSection.h"
#include "runtime/WkReference.h"

namespace {

std::atomic<long> gLiveObjects{0};

QrCriticialSection* RCObjectLock() {
  // Never destroyed: objects may still be released by other statics during exit.
  alignas(QrCriticialSection) static unsigned char s_storage[sizeof(QrCriticialSection)];
  static QrCriticialSection* s_rcObjectLock = new (s_storage) QrCriticialSection();
  return s_rcObjectLock;
}

}  // namespace

RCObject::RCObject() { gLiveObjects.fetch_add(1, std::memory_order_relaxed); }

RCObject::RCObject(const RCObject&) : m_rc(0), m_wkRef(nullptr) {
  gLiveObjects.fetch_add(1, std::memory_order_relaxed);
}

RCObject::~RCObject() { gLiveObjects.fetch_sub(1, std::memory_order_relaxed); }

long RCObject::LiveCount() { return gLiveObjects.load(std::memory_order_acquire); }

RCObjectAutoLock::RCObjectAutoLock() { RCObjectLock()->Acquire(); }

RCObjectAutoLock::~RCObjectAutoLock() { RCObjectLock()->Release(); }

ULONG RCObject::AddRef() {
  return static_cast<ULONG>(__atomic_add_fetch(&m_rc, 1, __ATOMIC_ACQ_REL));
}

namespace {

// Drops one count, or marks the object dying when it held the last one (true). A count of
// 0 is left alone. *rc is the count left (0 after the last).
bool DropOrMarkDying(volatile LONG* count, LONG* rc) {
  LONG seen = __atomic_load_n(count, __ATOMIC_ACQUIRE);
  for (;;) {
    if (seen == 0) {
      *rc = 0;
      return false;
    }
    LONG next = seen == 1 ? RCObject::kDeadMarker : seen - 1;
    if (__atomic_compare_exchange_n(count, &seen, next, true, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) {
      *rc = seen == 1 ? 0 : next;
      return seen == 1;
    }
  }
}

}  // namespace

ULONG RCObject::Release() {
  LONG rc;
  WkReference* wkRef = nullptr;
  if (__atomic_load_n(&m_wkRef, __ATOMIC_ACQUIRE) == nullptr) {
    // Without a weak record nothing can revive the object, and a record is only made by
    // a holder of a reference (so not while this may be the last one): no lock needed.
    if (!DropOrMarkDying(&m_rc, &rc)) {
      return static_cast<ULONG>(rc);
    }
    // Another holder may have made a record and let go after the look above: cut it off
    // under the lock. The dying mark stops new records and resolutions from here on.
    if (__atomic_load_n(&m_wkRef, __ATOMIC_ACQUIRE) != nullptr) {
      RCObjectAutoLock lock;
      wkRef = m_wkRef;
      wkRef->m_trackedObj = nullptr;
      __atomic_store_n(&m_wkRef, nullptr, __ATOMIC_RELEASE);
    }
  } else {
    // A weak pointer resolves under the lock, so it sees either a count it may raise or
    // the object already cut off from its record.
    RCObjectAutoLock lock;
    if (!DropOrMarkDying(&m_rc, &rc)) {
      return static_cast<ULONG>(rc);
    }
    wkRef = m_wkRef;
    if (wkRef != nullptr) {
      wkRef->m_trackedObj = nullptr;
      __atomic_store_n(&m_wkRef, nullptr, __ATOMIC_RELEASE);
    }
  }
  // Outside the lock: the record may die here, and the destructor may release others.
  if (wkRef != nullptr) {
    wkRef->Release();
  }
  delete this;
  return 0;
}

bool RCObject::AddRefUnlessDying() {
  LONG seen = __atomic_load_n(&m_rc, __ATOMIC_ACQUIRE);
  do {
    if (seen >= kDeadMarker) {
      return false;
    }
  } while (!__atomic_compare_exchange_n(&m_rc, &seen, seen + 1, true, __ATOMIC_ACQ_REL,
                                        __ATOMIC_ACQUIRE));
  return true;
}

WkReference* RCObject::GetWkReference() {
  RCObjectAutoLock lock;
  if (__atomic_load_n(&m_rc, __ATOMIC_ACQUIRE) >= kDeadMarker) {
    return nullptr;
  }
  if (m_wkRef == nullptr) {
    __atomic_store_n(&m_wkRef, NewWkReference(), __ATOMIC_RELEASE);
    if (m_wkRef != nullptr) {
      m_wkRef->AddRef();  // the object's own reference on its record
    }
  }
  return m_wkRef;
}

LONG RCObject::RefCount() const { return __atomic_load_n(&m_rc, __ATOMIC_ACQUIRE); }

WkReference* RCObject::NewWkReference() { return new (std::nothrow) WkReference(this); }
