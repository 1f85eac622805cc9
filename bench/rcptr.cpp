// Copying and destroying a counted pointer: RCPtr against std::shared_ptr, on one thread,
// on two threads sharing one object, and on two threads each with an object of its own
// (as sessions are: a lock common to all objects would show only here).
#include "runtime/RCPtr.h"

#include <memory>

#include <benchmark/benchmark.h>

namespace {

class Payload : public RCObject {
 public:
  int m_value = 1;

 protected:
  ~Payload() override = default;
};

struct PlainPayload {
  int m_value = 1;
};

RCPtr<Payload> g_rcShared(new Payload());
std::shared_ptr<PlainPayload> g_stdShared = std::make_shared<PlainPayload>();

void BM_RCPtrCopyDestroy(benchmark::State& state) {
  for (auto _ : state) {
    RCPtr<Payload> copy(g_rcShared);
    benchmark::DoNotOptimize(copy.Ptr());
  }
}
BENCHMARK(BM_RCPtrCopyDestroy);
BENCHMARK(BM_RCPtrCopyDestroy)->Threads(2)->UseRealTime();

void BM_SharedPtrCopyDestroy(benchmark::State& state) {
  for (auto _ : state) {
    std::shared_ptr<PlainPayload> copy(g_stdShared);
    benchmark::DoNotOptimize(copy.get());
  }
}
BENCHMARK(BM_SharedPtrCopyDestroy);
BENCHMARK(BM_SharedPtrCopyDestroy)->Threads(2)->UseRealTime();

void BM_RCPtrCopyDestroyOwnObject(benchmark::State& state) {
  RCPtr<Payload> own(new Payload());
  for (auto _ : state) {
    RCPtr<Payload> copy(own);
    benchmark::DoNotOptimize(copy.Ptr());
  }
}
BENCHMARK(BM_RCPtrCopyDestroyOwnObject)->Threads(2)->UseRealTime();

void BM_SharedPtrCopyDestroyOwnObject(benchmark::State& state) {
  std::shared_ptr<PlainPayload> own = std::make_shared<PlainPayload>();
  for (auto _ : state) {
    std::shared_ptr<PlainPayload> copy(own);
    benchmark::DoNotOptimize(copy.get());
  }
}
BENCHMARK(BM_SharedPtrCopyDestroyOwnObject)->Threads(2)->UseRealTime();

}  // namespace
