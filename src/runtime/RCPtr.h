// Counted pointer to an RCObject. The pointer field changes only by atomic exchange, so
// two threads that reassign or clear the same RCPtr each get a distinct old value and no
// object is released twice. Reading an RCPtr while another thread reassigns it is not
// safe (take a copy under the owner's lock instead).
#ifndef RUNTIME_RCPTR_H
#define RUNTIME_RCPTR_H

#include "runtime/Interlocked.h"
#include "runtime/RCObject.h"

template <class T>
class WkPtr;

template <class T>
class RCPtr {
 public:
  RCPtr() : p(nullptr) {}
  RCPtr(T* pT) : p(nullptr) { SafeAssign(pT); }  // NOLINT: implicit by design
  RCPtr(const RCPtr& other) : p(nullptr) { SafeAssign(other.p); }
  RCPtr(RCPtr&& other) noexcept : p(nullptr) { SafeAttach(other.SafeDetach(nullptr)); }
  RCPtr(const WkPtr<T>& weak);  // NOLINT: implicit by design; defined in WkPtr.h
  virtual ~RCPtr() { SafeAttach(nullptr); }

  RCPtr& operator=(T* pT) {
    SafeAssign(pT);
    return *this;
  }
  // The new reference is added before the old one is released, so self-assignment and
  // assignment between pointers sharing an object are safe.
  RCPtr& operator=(const RCPtr& other) {
    SafeAssign(other.p);
    return *this;
  }
  RCPtr& operator=(RCPtr&& other) noexcept {
    if (this != &other) {
      SafeAttach(other.SafeDetach(nullptr));
    }
    return *this;
  }

  // Takes over a reference the caller already holds.
  void Attach(T* pT) { SafeAttach(pT); }
  // Hands the raw pointer and its reference to the caller.
  T* Detach() { return ToType(SafeDetach(nullptr)); }

  T* Ptr() const { return p; }
  operator T*() const { return p; }  // NOLINT: implicit by design
  T* operator->() const { return p; }
  bool operator==(T* pT) const { return p == pT; }
  bool operator!=(T* pT) const { return p != pT; }

 protected:
  RCObject* SafeAttach(RCObject* pNew) {
    RCObject* old = SafeDetach(pNew);
    if (old != nullptr) {
      old->Release();
    }
    return pNew;
  }
  RCObject* SafeAssign(RCObject* pNew) {
    if (pNew != nullptr) {
      pNew->AddRef();
    }
    return SafeAttach(pNew);
  }
  RCObject* SafeDetach(RCObject* pNew) {
    T* old = static_cast<T*>(InterlockedExchangePointer(
        reinterpret_cast<void**>(&p), static_cast<void*>(ToType(pNew))));
    return old;
  }
  static T* ToType(RCObject* pObj) { return static_cast<T*>(pObj); }

  T* p;
};

#include "runtime/WkPtr.h"

#endif  // RUNTIME_RCPTR_H
