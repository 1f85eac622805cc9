// The USB path under stress, through the exported functions: failures inside the channel
// service (the stand-in's faults), clients that send what they should not, a flood, a
// 64 MiB blob each way, and many busy sessions torn down while their clients still send.
// The fixture checks that nothing the plug-in made is left behind.
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "UsbEndToEndFixture.h"

namespace {

const char* const kControl = "UsbRedirControlObj";
const char* const kData = "UsbRedirDataObj";

struct FaultRow {
  const char* function;  // as KapSim_SetFaultAfter names it
  uint32_t passes;       // calls that still succeed before the failing one
  const char* logged;    // the failure's message (a pattern for reply rows)
};

// A URB response whose message cannot be built or sent: SendResponse still answers TRUE,
// the message context is destroyed, the client gets nothing, and the host's bytes are not
// touched after the call (they are freed at once, so a later read would be caught by the
// address sanitizer). The session keeps working afterwards.
TEST_F(UsbEndToEnd, ResponseThatCannotBeSentIsDroppedWithItsMessage) {
  const FaultRow rows[] = {
      {"Variant.v1.VariantFromUInt32", 0, "Failed to add fast queue Id."},
      {"Variant.v1.VariantFromUInt64", 0, "Failed to add header length."},
      {"Variant.v1.VariantFromUInt64", 1, "Failed to add tailer length."},
      {"Context.v1.AppendParam", 3, "Failed to add message content."},
      {"ChannelObject.v1.Invoke", 0, nullptr},
  };
  KapSimClient* client = StartConnected(7);
  ASSERT_NE(client, nullptr);
  USBRedir_SendResponseExt ext{};
  ext.fastQueueId = 5;
  for (const FaultRow& row : rows) {
    SCOPED_TRACE(std::string(row.function) + " after " + std::to_string(row.passes));
    ASSERT_EQ(m_sim.KapSim_SetFaultAfter(row.function, row.passes), TRUE);
    char* bytes = static_cast<char*>(malloc(4));
    memcpy(bytes, "urb!", 4);
    EXPECT_EQ(m_host->SendResponse(7, bytes, 4, USB_REDIR_PACKAGE_TYPE_URB, &ext), TRUE);
    free(bytes);
    m_sim.KapSim_ResetFaults();
    ExpectNothingLeftBehind(false);  // the message was destroyed
    EXPECT_EQ(m_sim.KapSim_GetMessageCount(client), 0);
  }
  EXPECT_EQ(m_host->SendResponse(7, "sent", 4, USB_REDIR_PACKAGE_TYPE_URB, &ext), TRUE);
  EXPECT_EQ(m_sim.KapSim_WaitMessageCount(client, 1, kWaitMs), TRUE);
  std::vector<std::string> log = FinishAndReadLog();
  for (const FaultRow& row : rows) {
    EXPECT_EQ(row.logged == nullptr ? 1u : CountMessage(log, row.logged), 1u) << row.logged;
  }
  EXPECT_EQ(CountMessage(log, "Invoke message failed. Destroying the message."), 5u);
}

// A reply the channel service refuses to take: the client gets what could be appended,
// and the host's buffer is still dealt with as single-server mode does with every answer
// (forgotten with the leak line, never handed to v3.kapvhubFree).
TEST_F(UsbEndToEnd, ReplyThatCannotBeAppendedStillDealsWithTheHostsBuffer) {
  const struct {
    FaultRow fault;
    int returnValues;
  } rows[] = {
      {{"Context.v1.AppendReturnVal", 0, "Failed to send response message Id \\[id-0\\]\\."}, 0},
      {{"Variant.v1.VariantFromStr", 0, "Failed to send response message Id \\[id-1\\]\\."}, 0},
      {{"Context.v1.AppendReturnVal", 1, "Failed to send response \\[0x[0-9a-f]+ / 5\\]\\."}, 1},
  };
  m_host->SetResponder([](const VhubHost::Message&, std::string* reply) {
    *reply = "reply";
    return true;
  });
  KapSimClient* client = StartConnected(7);
  ASSERT_NE(client, nullptr);
  int index = 0;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.fault.logged);
    std::string id = "id-" + std::to_string(index++);
    ASSERT_EQ(m_sim.KapSim_SetFaultAfter(row.fault.function, row.fault.passes), TRUE);
    uint32_t request = Request(client, kControl, 2, {Str("Filter"), Str(id.c_str()), Blob("x")});
    m_sim.KapSim_ResetFaults();
    EXPECT_EQ(ReplyCount(client, request), row.returnValues);
  }
  EXPECT_EQ(m_host->BuffersGivenOut(), 3u);
  EXPECT_EQ(m_host->BuffersFreed(), 0u);
  EXPECT_EQ(m_host->BadFrees(), 0u);
  std::vector<std::string> log = FinishAndReadLog();
  for (const auto& row : rows) {
    EXPECT_EQ(CountMatching(log, std::string(".*\\): ") + row.fault.logged), 1u)
        << row.fault.logged;
  }
  EXPECT_EQ(CountMessage(log, "Memory is not freed by kapvhub, memory leak!"), 3u);
}

// Clients that send what they should not: the plug-in answers, drops the request, never
// calls the host with a malformed layout, and leaks nothing.
TEST_F(UsbEndToEnd, MalformedRequestsNeverReachTheHost) {
  KapSimClient* client = StartConnected(7);
  ASSERT_NE(client, nullptr);
  const struct {
    uint32_t command;
    std::vector<KapSimParam> params;
  } cases[] = {
      {3, {Str("PlugInDevice"), Blob("x")}},  // unknown command ids
      {0xFFFFFFFFu, {}},
      {0, {Blob("x"), Blob("y")}},              // wrong type at index 0
      {0, {Str("Filter"), Str("not a blob")}},  // wrong type at index 1
      {0, {Str("Filter")}},                     // missing parameter
      {0, {}},
      {1, {Str("not a blob")}},
      {1, {UInt(5)}},
      {1, {}},
      {2, {Blob("x"), Str("id"), Blob("y")}},
      {2, {Str("Filter"), UInt(1), Blob("y")}},
      {2, {Str("Filter"), Str("id"), Str("y")}},
      {2, {Str("Filter"), Str("id")}},
  };
  for (const auto& c : cases) {
    uint32_t id = Request(client, kControl, c.command, c.params);
    EXPECT_EQ(ReplyCount(client, id), 0) << "command " << c.command;
  }
  EXPECT_TRUE(m_host->Messages(7).empty());

  std::vector<std::string> log = FinishAndReadLog();
  const std::pair<const char*, size_t> logged[] = {
      {"Unknown command [3].", 1},
      {"Unknown command [4294967295].", 1},
      {"Failed to instantiate the KAPServiceCommand.", 2},
      {"Failed to get message type at index 0.", 3},
      {"Failed to get message blob at index 1.", 2},
      {"Failed to get message blob at index 0.", 3},
      {"Failed to get message Id at index 1.", 1},
      {"Failed to get message blob at index 2.", 2},
      {"Failed to parse message: 0.", 4},
      {"Failed to parse message: 1.", 3},
      {"Failed to parse message: 2.", 4},
  };
  for (const auto& line : logged) {
    EXPECT_EQ(CountMessage(log, line.first), line.second) << line.first;
  }
}

// A 64 MiB blob arrives whole in each direction; then 2000 requests another client sends
// without waiting arrive in order (the client goes while the plug-in may still be answering the
// last).
TEST_F(UsbEndToEnd, A64MiBBlobArrivesWholeEachWayAndAFloodInOrder) {
  KapSimClient* client = StartConnected(7);
  ASSERT_NE(client, nullptr);
  std::string big(64u << 20, '\0');
  for (size_t i = 0; i < big.size(); i += 4096) {
    big[i] = static_cast<char>(i >> 12);
  }
  big.back() = 0x5A;
  Request(client, kData, 1, {Blob(big)});
  ASSERT_TRUE(m_host->WaitForMessages(7, 1, kWaitMs));
  EXPECT_TRUE(m_host->Messages(7).back().payload == big);
  USBRedir_SendResponseExt ext{};
  ASSERT_EQ(m_host->SendResponse(7, big.data(), static_cast<uint32_t>(big.size()),
                                 USB_REDIR_PACKAGE_TYPE_URB, &ext),
            TRUE);
  ASSERT_EQ(m_sim.KapSim_WaitMessageCount(client, 1, kWaitMs), TRUE);
  const KAP_RPC_VARIANT* blob = Value(client, -1, 3);
  ASSERT_EQ(blob->blobVal.size, big.size());
  EXPECT_EQ(memcmp(blob->blobVal.blobData, big.data(), big.size()), 0);

  KapSimClient* flooder = StartConnected(8);
  const int kRequests = 2000;
  for (int i = 0; i < kRequests; ++i) {
    std::string payload = std::to_string(i);
    std::vector<KapSimParam> params = {Blob(payload)};
    uint32_t id = 0;
    ASSERT_EQ(
        m_sim.KapSim_SendRequest(flooder, kData, 1, params.data(), 1, i % 2 == 0 ? &id : nullptr),
        TRUE);  // kept or not
  }
  ASSERT_TRUE(m_host->WaitForMessages(8, kRequests, 60000));
  std::vector<VhubHost::Message> messages = m_host->Messages(8);
  for (int i = 0; i < kRequests; ++i) {
    ASSERT_EQ(messages[i].payload, std::to_string(i));
  }
  m_sim.KapSim_DestroyClient(flooder);  // the plug-in may still be answering the last request
  m_clients.pop_back();
}

// Many sessions at once with traffic both ways, responses from several host threads, and
// sessions torn down while their clients are still sending. Run under TSan in CI.
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
    clients.push_back(StartConnected(100 + i));
    ASSERT_NE(clients.back(), nullptr);
  }
  std::atomic<bool> stopClients{false};
  std::atomic<int> clientSends{0};
  std::vector<std::thread> clientThreads;
  for (int i = 0; i < kSessions; ++i) {
    clientThreads.emplace_back([&, i]() {
      const std::string urb(256, static_cast<char>(i));
      std::vector<KapSimParam> urbParams = {Blob(urb)};
      std::vector<KapSimParam> askParams = {Str("IsUsbAvailable"), Str("q"), Blob("?")};
      for (int n = 0; !stopClients.load(); ++n) {
        uint32_t id = 0;
        bool ask = n % 8 == 0;
        // Refused once the session's server has ended: that is what this test provokes.
        if (m_sim.KapSim_SendRequest(clients[i], ask ? kControl : kData, ask ? 2 : 1,
                                     ask ? askParams.data() : urbParams.data(), ask ? 3 : 1,
                                     &id) == TRUE) {
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
        accepted += m_host->SendResponse(session, urb.data(), static_cast<uint32_t>(urb.size()),
                                         USB_REDIR_PACKAGE_TYPE_URB, &ext) == TRUE;
      }
    });
  }
  for (std::thread& thread : hostThreads) {
    thread.join();
  }
  EXPECT_EQ(accepted.load(), kHostThreads * kResponsesPerThread);
  int delivered = 0;
  for (int i = 0; i < kSessions; ++i) {
    // Every session has delivered something to the host before it is torn down.
    EXPECT_TRUE(m_host->WaitForMessages(100 + i, 1, kWaitMs)) << "session " << 100 + i;
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
}

}  // namespace
