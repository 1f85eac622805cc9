#include "runtime/UserDataMapHandle.h"

#include <atomic>

namespace {

std::atomic<uint32_t> gUserDataHandleCounter{0};

uintptr_t ToBits(UserDataHandle h) { return reinterpret_cast<uintptr_t>(h); }
UserDataHandle FromBits(uintptr_t bits) { return reinterpret_cast<UserDataHandle>(bits); }

}  // namespace

UserDataHandle UserDataMap_GetBaseHandle() { return FromBits(0xABCD0000u); }

UserDataHandle UserDataMap_GetBaseHandle(uint32_t a, uint16_t b) {
  uint32_t high = a << 16;
  uint32_t low = (static_cast<uint32_t>(b) << 12) & 0xF000u;
  return FromBits(high | low);
}

UserDataHandle UserDataMap_GetNextHandle(UserDataHandle base) {
  uint32_t n = gUserDataHandleCounter.fetch_add(1) + 1;
  return FromBits(ToBits(base) | (n & 0xFFFu));
}

uint32_t UserDataMap_ToUInt32(UserDataHandle h) {
  return static_cast<uint32_t>(ToBits(h) & 0xFFFu);
}

UserDataHandle UserDataMap_FromUInt32(UserDataHandle base, uint32_t value) {
  return FromBits(ToBits(base) | (value & 0xFFFu));
}
