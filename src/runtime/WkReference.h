// The weak-reference record of one RCObject. The tracked object holds one reference on it
// and every WkPtr another, so it outlives the object for as long as a weak pointer needs
// it; m_trackedObj turns null when the object dies. Guarded by the process-wide count lock.
#ifndef RUNTIME_WKREFERENCE_H
#define RUNTIME_WKREFERENCE_H

#include "runtime/RCObject.h"

class WkReference : public RCObject {
 public:
  explicit WkReference(RCObject* trackedObj) : m_trackedObj(trackedObj) {}

  RCObject* m_trackedObj;  // guarded by the process-wide count lock

 protected:
  ~WkReference() override = default;
};

#endif  // RUNTIME_WKREFERENCE_H
