// The desktop-style process primitives the portable code calls: ending the process at
// once, thread and process identifiers, and multi-byte to wide-character copies.
// Thread safe: no shared state (MultiByteToWideStr uses the thread's conversion state).
#ifndef RUNTIME_PLATFORMSHIMS_H
#define RUNTIME_PLATFORMSHIMS_H

#include <cstddef>
#include <cstdint>

#include "runtime/PlatformTypes.h"
#include "runtime/QrThread.h"

// Ends the process at once with exit status 255, printing nothing and running no exit
// handlers: the state is past trusting.
[[noreturn]] void Panic(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// The system's own number of the calling thread (QrThread::GetCurrentThreadID).
QrThreadID GetCurrentThreadId();
DWORD GetCurrentProcessId();
// A newly malloc'ed wide copy of src in the current locale (release it with free()), its
// length stored in *bufferLen when given; null (logged) for an invalid sequence.
wchar_t* MultiByteToWideStr(const char* src, size_t* bufferLen);
// Widens len bytes of src into dest (each sign-extended to 16 bits, no terminator) and
// stores len * 2 in *nBytes when given; false for a null dest or src.
bool WideCharStrcpy(LPWSTR dest, LPSTR src, size_t len, size_t* nBytes);

#endif  // RUNTIME_PLATFORMSHIMS_H
