// Values as the stand-in library keeps them (StoredValue: a deep copy of a variant with an
// optional name) and the strings and blobs it hands out inside KAP_RPC_VARIANTs. Every
// hand-out is recorded so that VariantClear frees only what the library allocated and the
// live count shows leaks. Thread safe: the record of hand-outs is guarded by its own mutex.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include "channel/KapServiceApi.h"

namespace kapsim {

struct StoredValue {
  bool named = false;
  std::string name;
  KAP_RPC_VARIANT scalar{};  // vt and, for scalar types, the value; pointers stay null
  std::string str;
  std::vector<char> blob;
};
using StoredPtr = std::shared_ptr<const StoredValue>;

class VariantStore {
 public:
  static VariantStore& Get();

  // Copies a caller's variant; null when its type is unknown or its pointers are missing.
  static StoredPtr Store(const KAP_RPC_VARIANT* v, const char* name);
  static bool IsKnownType(uint16_t vt);
  // Fills `out` with a copy that owns its string or blob (to be cleared by the receiver).
  bool HandOut(const StoredValue& value, KAP_RPC_VARIANT* out);
  // A view for the control API: pointers into `value` itself, nothing allocated.
  static KAP_RPC_VARIANT View(const StoredValue& value);

  char* Allocate(size_t size);
  // Frees a hand-out; false when `p` is not one.
  bool Release(void* p);
  bool Owns(const void* p);
  int64_t Live();
  uint64_t BadClears();
  void CountBadClear();

 private:
  std::mutex m_lock;
  std::unordered_set<void*> m_live;  // guarded by m_lock
  uint64_t m_badClears = 0;          // guarded by m_lock
};

}  // namespace kapsim
