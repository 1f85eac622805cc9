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
  RCObjectAutoLock lock;
  return static_cast<ULONG>(++m_rc);
}

ULONG RCObject::Release() {
  WkReference* wkRef = nullptr;
  {
    RCObjectAutoLock lock;
    if (m_rc == 0) {
      return 0;
    }
    LONG remaining = --m_rc;
    if (remaining > 0) {
      return static_cast<ULONG>(remaining);
    }
    m_rc = kDeadMarker;
    if (m_wkRef != nullptr) {
      m_wkRef->m_trackedObj = nullptr;
      wkRef = m_wkRef;
      m_wkRef = nullptr;
    }
  }
  // Outside the lock: the record may die here, and the destructor may release others.
  if (wkRef != nullptr) {
    wkRef->Release();
  }
  delete this;
  return 0;
}

WkReference* RCObject::GetWkReference() {
  RCObjectAutoLock lock;
  if (m_rc >= kDeadMarker) {
    return nullptr;
  }
  if (m_wkRef == nullptr) {
    m_wkRef = NewWkReference();
    if (m_wkRef != nullptr) {
      m_wkRef->AddRef();  // the object's own reference on its record
    }
  }
  return m_wkRef;
}

LONG RCObject::RefCount() const {
  RCObjectAutoLock lock;
  return m_rc;
}

WkReference* RCObject::NewWkReference() { return new (std::nothrow) WkReference(this); }
