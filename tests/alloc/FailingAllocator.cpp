#include "alloc/FailingAllocator.h"

#include <dlfcn.h>
#include <execinfo.h>

#include <cstdlib>
#include <new>

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
  if (!t_armed || t_inside) {
    return false;
  }
  t_inside = true;
  void* frames[16];
  int depth = backtrace(frames, 16);
  int i = 0;
  while (i < depth && frames[i] != caller) {
    ++i;  // this file's frames, and a sanitizer's interceptor of backtrace
  }
  bool plugin = false;
  for (; i < depth; ++i) {
    const void* base = BaseOf(frames[i]);
    if (base == gPluginBase || base == gSimBase || base == gTestBase) {
      plugin = base == gPluginBase;
      break;
    }
  }
  t_inside = false;
  if (!plugin) {
    return false;
  }
  if (t_count++ != t_failAt) {
    return false;
  }
  t_failed = true;
  return true;
}

void* Allocate(std::size_t size, std::size_t alignment) {
  if (size == 0) {
    size = 1;
  }
  if (alignment <= alignof(std::max_align_t)) {
    return std::malloc(size);
  }
  return std::aligned_alloc(alignment, (size + alignment - 1) / alignment * alignment);
}

void* Throwing(const void* caller, std::size_t size, std::size_t alignment = 0) {
  void* p = ShouldFail(caller) ? nullptr : Allocate(size, alignment);
  if (p == nullptr) {
    throw std::bad_alloc();
  }
  return p;
}

void* NoThrow(const void* caller, std::size_t size, std::size_t alignment = 0) noexcept {
  return ShouldFail(caller) ? nullptr : Allocate(size, alignment);
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
  if (failed != nullptr) {
    *failed = t_failed;
  }
  return t_count;
}

}  // namespace FailingAllocator

void* operator new(std::size_t size) { return Throwing(__builtin_return_address(0), size); }
void* operator new[](std::size_t size) { return Throwing(__builtin_return_address(0), size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return NoThrow(__builtin_return_address(0), size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return NoThrow(__builtin_return_address(0), size);
}
void* operator new(std::size_t size, std::align_val_t al) {
  return Throwing(__builtin_return_address(0), size, static_cast<std::size_t>(al));
}
void* operator new[](std::size_t size, std::align_val_t al) {
  return Throwing(__builtin_return_address(0), size, static_cast<std::size_t>(al));
}
void* operator new(std::size_t size, std::align_val_t al, const std::nothrow_t&) noexcept {
  return NoThrow(__builtin_return_address(0), size, static_cast<std::size_t>(al));
}
void* operator new[](std::size_t size, std::align_val_t al, const std::nothrow_t&) noexcept {
  return NoThrow(__builtin_return_address(0), size, static_cast<std::size_t>(al));
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
