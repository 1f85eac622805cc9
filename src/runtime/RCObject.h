// Intrusive reference-counted base of every long-lived object; hold instances through
// RCPtr<T> and observe them through WkPtr<T>. Objects embedded as members or on the stack
// are never put into an RCPtr and keep a count of 0 all their lives.
// Thread safe: a count changes by atomic operations on the object's own count, so objects
// of unrelated sessions never wait for each other. The one process-wide recursive lock
// (RCObjectAutoLock) decides only what must not race with a weak pointer: the release that
// takes the count from 1 to 0 (it marks the object dying and cuts its weak record off),
// weak-to-strong conversion and the creation of the weak record. A weak pointer therefore
// either yields null or an object whose count it raised from at least 1, as before.
#ifndef RUNTIME_RCOBJECT_H
#define RUNTIME_RCOBJECT_H

typedef unsigned long ULONG;
typedef long LONG;

class WkReference;

class RCObject {
 public:
  // Marker stored in m_rc once the object starts to die.
  static const LONG kDeadMarker = 0xDEAD00;

  RCObject();
  // A copy is a new object: it starts uncounted and without a weak record.
  RCObject(const RCObject&);
  RCObject& operator=(const RCObject&) { return *this; }

  // Objects of any derived class alive in the process, counted or not: when the library is
  // unloaded its process-lifetime state is given back only if nothing else is alive.
  static long LiveCount();

  ULONG AddRef();
  // Adds a reference unless the last one is already being released (false): a weak
  // pointer's resolution, which may race with a release that takes no lock.
  bool AddRefUnlessDying();
  // Drops one reference; the call that reaches 0 deletes the object. A call on a count of
  // 0 changes nothing and returns 0.
  ULONG Release();
  // The weak-reference record, created on first call; null once the object is dying.
  // Borrowed: the caller adds its own reference.
  WkReference* GetWkReference();

  LONG RefCount() const;  // for diagnostics and tests; read under the count lock

 protected:
  // Releases nothing, not even m_wkRef (Release() does that); only counts the object out.
  virtual ~RCObject();
  virtual WkReference* NewWkReference();

 private:
  volatile LONG m_rc = 0;          // atomic; goes 1 -> marker only under the count lock
  WkReference* m_wkRef = nullptr;  // guarded by the process-wide count lock
};

// The process-wide recursive lock behind the last release and weak resolution. The lock
// object lives in static storage and is never destroyed, so counts keep working during
// process exit, and unloading the library leaves nothing of it behind.
class RCObjectAutoLock {
 public:
  RCObjectAutoLock();
  ~RCObjectAutoLock();
  RCObjectAutoLock(const RCObjectAutoLock&) = delete;
  RCObjectAutoLock& operator=(const RCObjectAutoLock&) = delete;
};

#endif  // RUNTIME_RCOBJECT_H
