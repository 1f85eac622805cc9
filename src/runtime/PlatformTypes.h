// Scalar and handle types of the desktop-style interfaces the runtime utilities keep
// (sockets, timers, wide strings). Plain typedefs only: include it wherever those names
// appear in a signature. Redeclaring an identical typedef elsewhere is harmless.
#ifndef RUNTIME_PLATFORMTYPES_H
#define RUNTIME_PLATFORMTYPES_H

#include <cstdint>

#include "usbRedirectionPlugin.h"  // DWORD, BOOL

typedef unsigned char Bool;  // one byte, TRUE 1, FALSE 0
typedef uint16_t uint16;
typedef uint32_t UINT32;
typedef uint16_t WCHAR;  // a 16-bit wide character, as the desktop interfaces use
typedef WCHAR* LPWSTR;
typedef char* LPSTR;
typedef void* HKEY;  // registry key handle; there is no registry on this platform

#endif  // RUNTIME_PLATFORMTYPES_H
