// Weak pointer: holds a counted reference on the object's WkReference, never on the object.
// Lock() yields a strong pointer, or null once the object has died. Resolution happens
// under the process-wide count lock, so a weak pointer either yields null or an object
// whose count it raised from at least 1.
#ifndef RUNTIME_WKPTR_H
#define RUNTIME_WKPTR_H

#include "runtime/RCPtr.h"
#include "runtime/WkReference.h"

template <class T>
class WkPtr : public RCPtr<WkReference> {
 public:
  WkPtr() = default;
  WkPtr(T* pT) : RCPtr<WkReference>(GetWkRef(pT)) {}  // NOLINT: implicit by design
  WkPtr(const RCPtr<T>& pT) : RCPtr<WkReference>(GetWkRef(pT.Ptr())) {}  // NOLINT
  WkPtr(const WkPtr& other) = default;
  WkPtr& operator=(const WkPtr& other) = default;
  WkPtr& operator=(T* pT) {
    RCPtr<WkReference>::operator=(GetWkRef(pT));
    return *this;
  }

  // The tracked object, or null once it died; with callAddRef the caller receives a
  // reference it must release.
  T* GetTrackedObject(bool callAddRef) const {
    RCObjectAutoLock lock;
    WkReference* record = this->p;
    RCObject* obj = record != nullptr ? record->m_trackedObj : nullptr;
    if (obj != nullptr && callAddRef && !obj->AddRefUnlessDying()) {
      obj = nullptr;  // its last release runs now and cuts the record off
    }
    return static_cast<T*>(obj);
  }

  // True when the object was still alive.
  bool Lock(RCPtr<T>& pT) const {
    T* obj = GetTrackedObject(true);
    pT.Attach(obj);
    return obj != nullptr;
  }
  RCPtr<T> Lock() const {
    RCPtr<T> result;
    Lock(result);
    return result;
  }

 private:
  static WkReference* GetWkRef(T* pT) { return pT != nullptr ? pT->GetWkReference() : nullptr; }
};

template <class T>
RCPtr<T>::RCPtr(const WkPtr<T>& weak) : p(nullptr) {
  SafeAttach(weak.GetTrackedObject(true));
}

#endif  // RUNTIME_WKPTR_H
