// A named recursive lock of the configuration layer with its lock rank. The rank documents
// where the lock sits in the process's lock order (higher ranks are taken later); it is
// kept for diagnostics and not enforced. Use QrMutex outside this layer.
// Thread safe: a std::recursive_mutex.
#ifndef CONFIG_RANKEDRECLOCK_H
#define CONFIG_RANKEDRECLOCK_H

#include <cstdint>
#include <mutex>
#include <string>

class RankedRecLock {
 public:
  RankedRecLock(const char* name, uint32_t rank) : m_name(name), m_rank(rank) {}
  RankedRecLock(const RankedRecLock&) = delete;
  RankedRecLock& operator=(const RankedRecLock&) = delete;

  void Acquire() { m_mutex.lock(); }
  void Release() { m_mutex.unlock(); }
  const std::string& GetName() const { return m_name; }
  uint32_t GetRank() const { return m_rank; }

  // Scope guard.
  class Holder {
   public:
    explicit Holder(RankedRecLock& lock) : m_lock(lock) { m_lock.Acquire(); }
    ~Holder() { m_lock.Release(); }
    Holder(const Holder&) = delete;
    Holder& operator=(const Holder&) = delete;

   private:
    RankedRecLock& m_lock;
  };

 private:
  std::recursive_mutex m_mutex;
  const std::string m_name;
  const uint32_t m_rank;
};

#endif  // CONFIG_RANKEDRECLOCK_H
