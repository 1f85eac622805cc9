// Atomic primitives used by the pointer classes and the handle maps. Sequentially
// consistent; safe from any thread.
#ifndef RUNTIME_INTERLOCKED_H
#define RUNTIME_INTERLOCKED_H

inline long InterlockedIncrement(long volatile* value) {
  return __atomic_add_fetch(value, 1, __ATOMIC_SEQ_CST);
}

inline long InterlockedDecrement(long volatile* value) {
  return __atomic_sub_fetch(value, 1, __ATOMIC_SEQ_CST);
}

inline void* InterlockedExchangePointer(void** target, void* value) {
  return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}

#endif  // RUNTIME_INTERLOCKED_H
