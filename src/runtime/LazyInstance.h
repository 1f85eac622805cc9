// A process-lifetime object made on first use by whichever thread needs it first: the
// library's shared locks and tables. It is kept while the library is loaded, so it works
// while statics are torn down; only the library's unload takes it back (Take), once nothing
// can use it any more.
// Thread safe: a race to make it is settled by one compare-and-swap, and the losing
// thread's object is dropped. Constant-initialised, so usable from any static constructor.
#ifndef RUNTIME_LAZYINSTANCE_H
#define RUNTIME_LAZYINSTANCE_H

#include <atomic>

template <class T>
class LazyInstance {
 public:
  constexpr LazyInstance() = default;
  LazyInstance(const LazyInstance&) = delete;
  LazyInstance& operator=(const LazyInstance&) = delete;

  // The object, made with make() on first use; a losing racer's object goes to drop().
  template <class Make, class Drop>
  T& Get(Make make, Drop drop) {
    T* object = m_object.load(std::memory_order_acquire);
    if (object == nullptr) {
      T* fresh = make();
      if (m_object.compare_exchange_strong(object, fresh, std::memory_order_acq_rel)) {
        object = fresh;
      } else {
        drop(fresh);
      }
    }
    return *object;
  }
  template <class Make>
  T& Get(Make make) {
    return Get(make, [](T* unused) { delete unused; });
  }

  bool Exists() const { return m_object.load(std::memory_order_acquire) != nullptr; }
  // Hands the object over to the caller (null when it was never made); a later Get makes a
  // new one.
  T* Take() { return m_object.exchange(nullptr, std::memory_order_acq_rel); }

 private:
  std::atomic<T*> m_object{nullptr};
};

#endif  // RUNTIME_LAZYINSTANCE_H
