#include "alloc/FailingAllocator.h"

#include <dlfcn.h>
#include <execinfo.h>

#include <cstddef>
#include <cstdlib>
#include <new>

using std::size_t;

namespace {

const void* gPluginBase = nullptr;
const void* gSimBase = nullptr;
const void* gTestBase = nullptr;  // the host's callbacks run here: a C host never throws

thread_local bool t_armed = false;
thread_local bool t_inside = false;  // backtrace and dladdr must not count themselves
thread_local long t_count = 0;
thread_local long t_failAt = -1;
thread_local bool t_failed = false;

const void* BaseOf(const void* address) {
  Dl_info info;
  return address != nullptr && dladdr(address, &info) != 0 ? info.dli_fbase : nullptr;
}

// Whether this allocation, made from the instruction before `caller`, is the one to fail.
// From the caller's frame on, the nearest frame that lies in the plug-in, the stand-in or
// the test decides whose allocation it is (frames of the C++ library in between, as in
// std::string, belong to their caller).
bool ShouldFail(const void* caller) {
  if (!t_armed || t_inside) return false;
  t_inside = true;
  void* frames[16];
  int depth = backtrace(frames, 16);
  int i = 0;
  while (i < depth && frames[i] != caller) ++i;  // this file's frames, a sanitizer's interceptor
  const void* base = nullptr;
  for (; i < depth && base != gPluginBase && base != gSimBase && base != gTestBase; ++i) {
    base = BaseOf(frames[i]);
  }
  t_inside = false;
  if (base != gPluginBase || t_count++ != t_failAt) return false;
  t_failed = true;
  return true;
}

void* Allocate(const void* caller, size_t size, size_t alignment) noexcept {
  if (ShouldFail(caller)) return nullptr;
  size = size == 0 ? 1 : size;
  if (alignment <= alignof(std::max_align_t)) return std::malloc(size);
  return std::aligned_alloc(alignment, (size + alignment - 1) / alignment * alignment);
}

void* Throwing(const void* caller, size_t size, size_t alignment) {
  if (void* p = Allocate(caller, size, alignment)) return p;
  throw std::bad_alloc();
}

}  // namespace

namespace FailingAllocator {

void SetLibraries(const void* pluginAddress, const void* simAddress) {
  gPluginBase = BaseOf(pluginAddress);
  gSimBase = BaseOf(simAddress);
  gTestBase = BaseOf(reinterpret_cast<const void*>(&Arm));
  void* frames[2];
  backtrace(frames, 2);  // loads the unwinder now, not inside a counted allocation
}

void Arm(long failAt) {
  t_count = 0;
  t_failAt = failAt;
  t_failed = false;
  t_armed = true;
}

long Disarm(bool* failed) {
  t_armed = false;
  *failed = t_failed;
  return t_count;
}

}  // namespace FailingAllocator

#define CALLER __builtin_return_address(0)
using std::align_val_t;
using std::nothrow_t;
void* operator new(size_t n) { return Throwing(CALLER, n, 0); }
void* operator new[](size_t n) { return Throwing(CALLER, n, 0); }
void* operator new(size_t n, const nothrow_t&) noexcept { return Allocate(CALLER, n, 0); }
void* operator new[](size_t n, const nothrow_t&) noexcept { return Allocate(CALLER, n, 0); }
void* operator new(size_t n, align_val_t a) { return Throwing(CALLER, n, size_t(a)); }
void* operator new[](size_t n, align_val_t a) { return Throwing(CALLER, n, size_t(a)); }
void* operator new(size_t n, align_val_t a, const nothrow_t&) noexcept {
  return Allocate(CALLER, n, size_t(a));
}
void* operator new[](size_t n, align_val_t a, const nothrow_t&) noexcept {
  return Allocate(CALLER, n, size_t(a));
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }
void operator delete(void* p, const nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p, align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, align_val_t) noexcept { std::free(p); }
void operator delete(void* p, size_t, align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t, align_val_t) noexcept { std::free(p); }
void operator delete(void* p, align_val_t, const nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, align_val_t, const nothrow_t&) noexcept { std::free(p); }
