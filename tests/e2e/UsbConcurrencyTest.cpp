// Many sessions at once with traffic both ways, responses from several host threads, and
// sessions torn down while their clients are still sending. Run under TSan in CI.
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "UsbEndToEndFixture.h"

namespace {

TEST_F(UsbEndToEnd, SixteenBusySessionsStopWhileClientsAreStillSending) {
  const int kSessions = 16;
  const int kHostThreads = 4;
  const int kResponsesPerThread = 64;
  m_host->SetResponder([](const VhubHost::Message&, std::string* reply) {
    *reply = "ok";
    return true;
  });
  std::vector<KapSimClient*> clients;
  for (int i = 0; i < kSessions; ++i) {
    KapSimClient* client = StartConnected(100 + i);
    ASSERT_NE(client, nullptr);
    clients.push_back(client);
  }

  std::atomic<bool> stopClients{false};
  std::atomic<int> clientSends{0};
  std::vector<std::thread> clientThreads;
  for (int i = 0; i < kSessions; ++i) {
    clientThreads.emplace_back([&, i]() {
      const std::string urb(256, static_cast<char>(i));
      const std::string question("?");
      std::vector<KapSimParam> urbParams = {Blob(urb)};
      std::vector<KapSimParam> askParams = {Str("IsUsbAvailable"), Str("q"), Blob(question)};
      for (int n = 0; !stopClients.load(); ++n) {
        uint32_t id = 0;
        bool ask = n % 8 == 0;
        // Refused once the session's server has ended: that is what this test provokes.
        if (m_sim.KapSim_SendRequest(clients[i], ask ? "UsbRedirControlObj" : "UsbRedirDataObj",
                                     ask ? 2 : 1, ask ? askParams.data() : urbParams.data(),
                                     ask ? 3 : 1, &id) == TRUE) {
          clientSends.fetch_add(1);
          // At most a window of requests in flight, as a real client keeps: without it a
          // slow (sanitized) poll thread lets the queues grow without bound.
          if (n % 16 == 15) {
            m_sim.KapSim_WaitRequest(clients[i], id, 2000);
          }
        } else {
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
      }
    });
  }

  std::vector<std::thread> hostThreads;
  std::atomic<int> accepted{0};
  for (int t = 0; t < kHostThreads; ++t) {
    hostThreads.emplace_back([&, t]() {
      const std::string urb(512, static_cast<char>(t));
      USBRedir_SendResponseExt ext{};
      ext.headerLength = 8;
      for (int n = 0; n < kResponsesPerThread; ++n) {
        DWORD session = 100 + (t * kResponsesPerThread + n) % kSessions;
        ext.fastQueueId = session;
        if (m_host->SendResponse(session, urb.data(), static_cast<uint32_t>(urb.size()),
                                 USB_REDIR_PACKAGE_TYPE_URB, &ext) == TRUE) {
          accepted.fetch_add(1);
        }
      }
    });
  }
  for (std::thread& thread : hostThreads) {
    thread.join();
  }
  EXPECT_EQ(accepted.load(), kHostThreads * kResponsesPerThread);

  // Every session has delivered something to the host before it is torn down.
  for (int i = 0; i < kSessions; ++i) {
    EXPECT_TRUE(m_host->WaitForMessages(100 + i, 1, kWaitMs)) << "session " << 100 + i;
  }
  int delivered = 0;
  for (int i = 0; i < kSessions; ++i) {
    delivered += m_sim.KapSim_GetMessageCount(clients[i]);
  }
  EXPECT_EQ(delivered, kHostThreads * kResponsesPerThread);

  for (int i = 0; i < kSessions; ++i) {
    m_host->StopSession(100 + i);  // the clients keep sending meanwhile
  }
  stopClients.store(true);
  for (std::thread& thread : clientThreads) {
    thread.join();
  }
  EXPECT_GT(clientSends.load(), kSessions);
  for (int i = 0; i < kSessions; ++i) {
    EXPECT_EQ(m_sim.KapSim_IsServerRunning(100 + i), FALSE);
  }
  // TearDown checks that no context or variant is left alive in the stand-in.
}

}  // namespace
