// Every export of the built plug-in with each of its allocations failing in turn: no
// exception crosses the export, nothing is left behind in the channel service, and the
// plug-in works as before once memory is back. Stop and SendResponse allocate nothing.
// The global operator new here is the one the dlopened plug-in binds to. On an armed thread
// it counts the allocations whose nearest caller among the plug-in, the stand-in and the test
// is the plug-in, and fails number t_failAt; the stand-in and the host play C code.
#include <dlfcn.h>
#include <execinfo.h>
#include <link.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <future>
#include <new>
#include <string>
#include <thread>

#include "e2e/UsbEndToEndFixture.h"

namespace {

const void* gPluginBase = nullptr;
const void* gSimBase = nullptr;
const void* gTestBase = nullptr;
thread_local bool t_armed = false;
thread_local bool t_inside = false;  // backtrace and dladdr must not count themselves
thread_local long t_count = 0;
thread_local long t_failAt = -1;
thread_local bool t_failed = false;

// The module whose code `address` lies in; null for C++ library code, which the test binary
// may hold too (a template it instantiated and exports, which the plug-in then binds to).
const void* BaseOf(const void* address) {
  Dl_info info;
  ElfW(Sym)* symbol = nullptr;
  if (address == nullptr ||
      dladdr1(address, &info, reinterpret_cast<void**>(&symbol), RTLD_DL_SYMENT) == 0) {
    return nullptr;
  }
  const char* name = info.dli_sname != nullptr ? info.dli_sname : "";
  bool inside = symbol != nullptr && static_cast<const char*>(address) <
                                         static_cast<const char*>(info.dli_saddr) + symbol->st_size;
  bool library = strncmp(name, "_ZSt", 4) == 0 || strncmp(name, "_ZNSt", 5) == 0 ||
                 strncmp(name, "_ZNKSt", 6) == 0;
  return inside && library ? nullptr : info.dli_fbase;
}

// Whether this allocation is the one to fail. Frames of the C++ library between it and the
// nearest known module (as in std::string) belong to their caller.
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

void* Allocate(const void* caller, size_t size) noexcept {
  return ShouldFail(caller) ? nullptr : std::malloc(size == 0 ? 1 : size);
}

void* Throwing(const void* caller, size_t size) {
  if (void* p = Allocate(caller, size)) return p;
  throw std::bad_alloc();
}

}  // namespace

// The plug-in allocates nothing over-aligned, so the aligned forms stay the library's.
#define CALLER __builtin_return_address(0)
void* operator new(size_t n) { return Throwing(CALLER, n); }
void* operator new[](size_t n) { return Throwing(CALLER, n); }
void* operator new(size_t n, const std::nothrow_t&) noexcept { return Allocate(CALLER, n); }
void* operator new[](size_t n, const std::nothrow_t&) noexcept { return Allocate(CALLER, n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace {

const long kMaxRuns = 20000;  // far above what any export allocates
using Step = std::function<void()>;

class ExportAllocationFailure : public UsbEndToEnd {
 protected:
  void SetUp() override {
    UsbEndToEnd::SetUp();
    gPluginBase = BaseOf(reinterpret_cast<const void*>(m_host->Entry().Init));
    gSimBase = BaseOf(reinterpret_cast<const void*>(m_sim.KapSim_ConnectClient));
    gTestBase = BaseOf(reinterpret_cast<const void*>(&BaseOf));
    void* frames[2];
    backtrace(frames, 2);  // loads the unwinder now, not inside a counted allocation
    m_host->SetResponder([](const VhubHost::Message&, std::string* reply) {
      *reply = "yes";
      return true;
    });
  }

  // Runs fn with plug-in allocation n of this thread failing (n < 0: none); answers whether
  // it was reached, and sets *count to the allocations counted.
  static bool Failing(long n, const Step& fn, long* count = nullptr) {
    t_count = 0;
    t_failAt = n;
    t_failed = false;
    t_armed = true;
    EXPECT_NO_THROW(fn()) << "an exception crossed the export with allocation " << n << " failing";
    t_armed = false;
    if (count != nullptr) *count = t_count;
    return t_failed;
  }

  // Run n fails allocation n (every stride-th) until a run makes fewer. Answers the runs.
  static long FailEachAllocation(const std::function<bool(long)>& run, long stride = 1) {
    long n = 0;
    for (bool reached = true; reached && n < kMaxRuns; n += reached ? stride : 0) {
      reached = run(n);
    }
    EXPECT_LT(n, kMaxRuns);
    return n;
  }
};

TEST_F(ExportAllocationFailure, EveryExportAnswersAsForAFailure) {
  const VhubHost::EntryPoints& entry = m_host->Entry();
  Step nothing = [] {}, init = [&] { entry.Init(); }, fini = [&] { entry.Fini(); };
  Step unregister = [&] {
    entry.Unregister(7);
    ExpectNothingLeftBehind(true);
  };
  const struct {
    const char* name;
    Step setUp, call, tearDown;
  } rows[] = {
      {"Init", nothing, init, fini},
      {"Fini", init, fini, nothing},
      {"InitVhubCallback", nothing, [&] { EXPECT_EQ(m_host->InitVhubCallback(true), TRUE); },
       nothing},
      {"Register", nothing, [&] { entry.Register(7); }, unregister},
      {"Unregister", [&] { ASSERT_EQ(entry.Register(7), TRUE); }, [&] { entry.Unregister(7); },
       unregister},
  };
  entry.Fini();  // the fixture's Init: the first two rows start and end the plug-in
  long runs = 0;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    runs += FailEachAllocation([&](long n) {  // set-up and tear-down run without faults
      row.setUp();
      bool reached = Failing(n, row.call);
      row.tearDown();
      return reached;
    });
    if (std::string(row.name) == "Fini") entry.Init();  // the rows after it need a started plug-in
  }
  EXPECT_GT(runs, 100);
  // With memory back, a session works end to end; the boundary logged what it caught.
  KapSimClient* client = Connect(7);
  ASSERT_NE(client, nullptr);
  Request(client, "UsbRedirControlObj", 2, {Str("IsUsbAvailable"), Str("id"), Blob("q")});
  EXPECT_GT(CountMatching(FinishAndReadLog(),
                          ".* E UsbRedirectionProxy_Register\\(\\): Failed with "
                          "an exception: std::bad_alloc\\."),
            0u);
}

// Connection, objects, a request and its reply all run inside Poll, on the poll thread.
TEST_F(ExportAllocationFailure, PollAnswersAsForAFailure) {
  const VhubHost::EntryPoints& entry = m_host->Entry();
  long total = 0;
  auto session = [&](long n) {
    std::promise<void> registered;
    bool reached = false;
    std::thread poller([&] {
      EXPECT_EQ(entry.Register(9), TRUE);
      registered.set_value();
      reached = Failing(
          n, [&] { entry.Poll(9, nullptr); }, n < 0 ? &total : nullptr);
    });
    registered.get_future().wait();
    size_t connected = m_host->StateChangeCount(9, USB_REDIR_CHANNEL_CONNECTED);
    KapSimClient* client =
        m_sim.KapSim_ConnectClient(9, KAPSIM_CLIENT_DEFAULT, KAP_SERVICE_TALON_SESSION);
    if (client != nullptr &&
        m_host->WaitForState(9, USB_REDIR_CHANNEL_CONNECTED, connected + 1, 2000)) {
      KapSimParam params[] = {Str("IsUsbAvailable"), Str("id"), Blob("q")};
      uint32_t id = 0;
      if (m_sim.KapSim_SendRequest(client, "UsbRedirControlObj", 2, params, 3, &id) == TRUE) {
        m_sim.KapSim_WaitRequest(client, id, 2000);
      }
    }
    entry.Stop(9);
    poller.join();
    entry.Unregister(9);
    if (client != nullptr) m_sim.KapSim_DestroyClient(client);
    ExpectNothingLeftBehind(true);
    return reached;
  };
  session(-1);  // a clean session counts the allocations; the runs then sample them evenly
  EXPECT_GT(total, 0);
  EXPECT_GT(FailEachAllocation(session, std::max(1L, total / 40)), 0);
}

}  // namespace
