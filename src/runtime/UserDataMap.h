// A thread-safe map from small numeric handles to values, so that objects refer to each
// other by handle instead of by pointer (a stale handle finds nothing instead of freed
// memory). Handles are a per-map base plus 12 bits from one process-wide counter, so a
// map holds at most 4096 live entries and a handle is reused only after the counter wraps.
// Thread safe: every operation takes m_lock.
#ifndef RUNTIME_USERDATAMAP_H
#define RUNTIME_USERDATAMAP_H

#include <map>

#include "runtime/AutoMutexLock.h"
#include "runtime/QrMutex.h"
#include "runtime/RCObject.h"
#include "runtime/ThreadSafety.h"
#include "runtime/UserDataMapHandle.h"

template <class T>
class UserDataMap : public RCObject {
 public:
  typedef std::map<UserDataHandle, T> UserDataHandleMap;

  UserDataMap() : m_base(UserDataMap_GetBaseHandle()), m_lock(false, "") {}
  UserDataMap(const UserDataMap&) = delete;
  UserDataMap& operator=(const UserDataMap&) = delete;

  // A fresh handle for userData. With all 4096 handles in use it returns null and stores
  // nothing (the draw would otherwise never end).
  UserDataHandle Insert(T userData) {
    AutoMutexLock lock(m_lock);
    if (m_map.size() >= kMaxEntries) {
      return nullptr;
    }
    for (;;) {
      UserDataHandle h = UserDataMap_GetNextHandle(m_base);
      if (m_map.find(h) == m_map.end()) {
        m_map.emplace(h, userData);
        return h;
      }
    }
  }

  // A copy of the value, or T() when the handle is unknown.
  T Get(UserDataHandle h) {
    AutoMutexLock lock(m_lock);
    auto it = m_map.find(h);
    return it != m_map.end() ? it->second : T();
  }

  bool Remove(UserDataHandle h) {
    AutoMutexLock lock(m_lock);
    return m_map.erase(h) != 0;
  }

  void RemoveAll() {
    AutoMutexLock lock(m_lock);
    m_map.clear();
  }

  size_t Size() {
    AutoMutexLock lock(m_lock);
    return m_map.size();
  }

 protected:
  ~UserDataMap() override { RemoveAll(); }

 private:
  static const size_t kMaxEntries = 4096;

  UserDataHandle m_base;
  QrMutex m_lock;
  UserDataHandleMap m_map QR_GUARDED_BY(m_lock);
};

#endif  // RUNTIME_USERDATAMAP_H
