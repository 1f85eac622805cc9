// Handle arithmetic of UserDataMap: a handle is a pointer-sized value made of a per-map
// base and 12 low bits drawn from one process-wide counter, so handles of different maps
// never collide and one of a map can be turned into a small number and back.
// Thread safe: the counter is atomic; everything else is pure.
#ifndef RUNTIME_USERDATAMAPHANDLE_H
#define RUNTIME_USERDATAMAPHANDLE_H

#include <cstdint>

typedef void* UserDataHandle;

UserDataHandle UserDataMap_GetBaseHandle();  // 0xABCD0000
// (a << 16, cut to 32 bits) | ((b << 12) & 0xF000)
UserDataHandle UserDataMap_GetBaseHandle(uint32_t a, uint16_t b);
// base | (n & 0xFFF), n from one atomically incremented counter shared by all maps.
UserDataHandle UserDataMap_GetNextHandle(UserDataHandle base);
uint32_t UserDataMap_ToUInt32(UserDataHandle h);
UserDataHandle UserDataMap_FromUInt32(UserDataHandle base, uint32_t value);

#endif  // RUNTIME_USERDATAMAPHANDLE_H
