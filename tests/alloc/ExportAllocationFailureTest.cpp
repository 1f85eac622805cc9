// Every export of the built plug-in with each of its allocations failing in turn: no
// exception crosses the export, nothing is left behind in the channel service, and the
// plug-in works as before once memory is back.
#include <functional>
#include <future>
#include <string>
#include <thread>

#include "alloc/FailingAllocator.h"
#include "e2e/UsbEndToEndFixture.h"

namespace {

const long kMaxRuns = 20000;  // far above what any export allocates
using Step = std::function<void()>;

class ExportAllocationFailure : public UsbEndToEnd {
 protected:
  void SetUp() override {
    UsbEndToEnd::SetUp();
    FailingAllocator::SetLibraries(reinterpret_cast<const void*>(m_host->Entry().Init),
                                   reinterpret_cast<const void*>(m_sim.KapSim_ConnectClient));
    m_host->SetResponder([](const VhubHost::Message&, std::string* reply) {
      *reply = "yes";
      return true;
    });
  }

  // Runs fn on this thread with its plug-in allocation number n failing (n < 0: none);
  // answers whether the allocation was reached and sets *count to the allocations counted.
  // An exception out of fn is a failure of the test.
  static bool Failing(long n, const Step& fn, long* count = nullptr) {
    FailingAllocator::Arm(n);
    EXPECT_NO_THROW(fn()) << "an exception crossed the export with allocation " << n << " failing";
    bool failed = false;
    long counted = FailingAllocator::Disarm(&failed);
    if (count != nullptr) *count = counted;
    return failed;
  }

  // One run per allocation the call makes: run n fails allocation n (every stride-th),
  // until a run makes fewer. Answers the runs.
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
  USBRedir_SendResponseExt ext{};
  bool connected = false;
  Step nothing = [] {}, init = [&] { entry.Init(); }, fini = [&] { entry.Fini(); };
  Step registered = [&] { ASSERT_EQ(entry.Register(7), TRUE); };
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
      {"Stop", registered, [&] { entry.Stop(7); }, unregister},
      {"Unregister", registered, [&] { entry.Unregister(7); }, unregister},
      // On a session whose client is connected, so that the message is built and sent.
      {"SendResponse", [&] { connected = connected || StartConnected(8) != nullptr; },
       [&] {
         entry.SendResponse(8, const_cast<char*>("urb"), 3, USB_REDIR_PACKAGE_TYPE_URB, &ext);
       },
       nothing},
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
  // With memory back, a session works end to end.
  KapSimClient* client = StartConnected(7);
  ASSERT_NE(client, nullptr);
  Request(client, "UsbRedirControlObj", 2, {Str("IsUsbAvailable"), Str("id"), Blob("q")});
  // The boundary says what it caught, under the export's name.
  size_t caught = 0;
  for (const std::string& line : FinishAndReadLog()) {
    caught += line.find(
                  " E UsbRedirectionProxy_Register(): Failed with an exception: "
                  "std::bad_alloc.") != std::string::npos;
  }
  EXPECT_GT(caught, 0u);
}

// Poll drives the session: connection, objects, a request and its reply all run inside
// it, on the host's poll thread, with one allocation of that thread failing per run.
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
