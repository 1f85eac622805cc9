// USB redirection through the plug-in's exports, as the host and the client each see it.
#include <malloc.h>

#include <atomic>
#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <tuple>

#include "UsbEndToEndFixture.h"

namespace {

const char* const kControl = "UsbRedirControlObj";
const char* const kData = "UsbRedirDataObj";

// Extra parameters are ignored. (A client coming back, a session registered again: UsbSoak.)
TEST_F(UsbEndToEnd, EachMessageKindReachesTheHostOfItsSessionAsItsClientComesAndGoes) {
  KapSimClient* client = Connect(7);
  KapSimClient* other = Connect(8);
  ASSERT_TRUE(client != nullptr && other != nullptr);
  const std::string propbag("dev-list\0with-nul", 17);
  const std::string urb("\x01\x02\x00\xff", 4);
  Request(client, kControl, 0, {Str("plugindevice"), Blob(propbag)});
  Request(client, kData, 1, {Blob(urb)});
  Request(client, kControl, 2, {Str("IsUsbAvailable"), Str("msg-1"), Blob("q")});
  Request(client, kData, 1, {Blob(""), Str("extra"), KapSimUInt32Param(9)});
  Request(other, kControl, 0, {Str("UnplugDevice"), Blob("eight")});
  ASSERT_TRUE(m_host->WaitForMessages(7, 4, kWaitMs));
  ASSERT_TRUE(m_host->WaitForMessages(8, 1, kWaitMs));
  std::vector<std::tuple<std::string, USB_RedirPackageType, USB_OperationType, bool>> seen;
  for (const VhubHost::Message& m : m_host->Messages(7)) {
    seen.emplace_back(m.payload, m.type, m.opType, m.canRespond);
  }
  EXPECT_EQ(
      seen,
      (decltype(seen){
          {propbag, USB_REDIR_PACKAGE_TYPE_PROPBAG, USB_OPERATION_TYPE_USB_DEVICE_PLUGIN, false},
          {urb, USB_REDIR_PACKAGE_TYPE_URB, USB_OPERATION_TYPE_UNKNOWN, false},
          {"q", USB_REDIR_PACKAGE_TYPE_PROPBAG, USB_OPERATION_TYPE_RUSB_ISUSBAVAILABLE, true},
          {"", USB_REDIR_PACKAGE_TYPE_URB, USB_OPERATION_TYPE_UNKNOWN, false},
      }));
  EXPECT_EQ(m_host->Messages(8)[0].payload, "eight");
  EXPECT_EQ(m_host->Messages(8)[0].opType, USB_OPERATION_TYPE_USB_DEVICE_UNPLUGGED);
  m_host->StopSession(7);  // its client still connected
  EXPECT_EQ(m_host->StateChangeCount(7, USB_REDIR_CHANNEL_DISCONNECTED), 1u);
  EXPECT_EQ(m_sim.KapSim_IsServerRunning(7), FALSE);
  EXPECT_EQ(m_sim.KapSim_IsServerRunning(8), TRUE);
}

// Single-server registration copies only the v1 entries: every answer's buffer is forgotten
// with the leak line, never handed back.
TEST_F(UsbEndToEnd, RequestsGetTheHostsAnswerAsFarAsItCanBeSentUnlessMalformed) {
  const char* const replyFaults[] = {"Failed to send response message Id \\[id-0\\]\\.",
                                     "Failed to send response \\[0x[0-9a-f]+ / 5\\]\\."};
  // One per place a request is read; each logs its own text and the parse failure.
  const struct {
    uint32_t command;
    std::vector<KapSimParam> params;
    const char* logged;
  } malformed[] = {
      {0xFFFFFFFFu, {}, "Unknown command [4294967295]."},
      {0, {}, "Failed to get message type at index 0."},
      {0, {Str("Filter"), Str("not a blob")}, "Failed to get message blob at index 1."},
      {1, {KapSimUInt32Param(5)}, "Failed to get message blob at index 0."},
      {2, {Blob("x"), Str("id"), Blob("y")}, "Failed to get message type at index 0."},
      {2, {Str("Filter"), KapSimUInt32Param(1), Blob("y")}, "Failed to get message Id at index 1."},
      {2, {Str("Filter"), Str("id")}, "Failed to get message blob at index 2."},
  };
  const std::string answer("\x00yes\x01", 5);
  m_host->SetResponder([&](const VhubHost::Message& message, std::string* reply) {
    *reply = answer;
    return message.payload != "none";
  });
  KapSimClient* client = Connect(7);
  ASSERT_NE(client, nullptr);
  uint32_t unanswered = Request(client, kControl, 2, {Str("Filter"), Str("id-u"), Blob("none")});
  EXPECT_EQ(Value(client, unanswered, 0), "none");
  EXPECT_EQ(m_host->BuffersGivenOut(), 0u);
  uint32_t id = Request(client, kControl, 2, {Str("ClientStartup"), Str("id-42"), Blob("hello")});
  EXPECT_EQ(Value(client, id, 0), "str id-42");
  EXPECT_EQ(Value(client, id, 1), "blob " + answer);
  EXPECT_EQ(Value(client, id, 2), "none");
  for (int passes : {0, 1}) {
    SCOPED_TRACE(replyFaults[passes]);
    ASSERT_EQ(m_sim.KapSim_SetFaultAfter("Context.v1.AppendReturnVal", passes), TRUE);
    uint32_t request = Request(client, kControl, 2, {Str("Filter"), Str("id-0"), Blob("x")});
    m_sim.KapSim_ResetFaults();
    EXPECT_EQ(Value(client, request, 0), passes == 1 ? "str id-0" : "none");
    EXPECT_EQ(Value(client, request, passes), "none");
  }
  KapSimClient* rogue = Connect(8);
  ASSERT_NE(rogue, nullptr);
  std::map<std::string, size_t> logged = {{"Memory is not freed by kapvhub, memory leak!", 3},
                                          {"Current response message is invalid.", 1}};
  for (const auto& c : malformed) {
    EXPECT_EQ(Value(rogue, Request(rogue, kControl, c.command, c.params), 0), "none") << c.logged;
    ++logged[c.logged];
    ++logged[c.command > 2 ? "Failed to instantiate the KAPServiceCommand."
                           : "Failed to parse message: " + std::to_string(c.command) + "."];
  }
  EXPECT_TRUE(m_host->Messages(8).empty());
  EXPECT_EQ(std::make_tuple(m_host->BuffersGivenOut(), m_host->BuffersFreed(), m_host->BadFrees()),
            std::make_tuple(3u, 0u, 0u));
  std::vector<std::string> log = FinishAndReadLog();
  for (const char* logged : replyFaults) {
    EXPECT_EQ(CountMatching(log, std::string(".*\\): ") + logged), 1u) << logged;
  }
  for (const auto& line : logged) {
    EXPECT_EQ(CountMessage(log, line.first), line.second) << line.first;
  }
}

// A URB response that cannot be built or sent is dropped with its context; the host's bytes
// are freed right after the call, so the address sanitizer would catch a later read.
TEST_F(UsbEndToEnd, HostCallsOnFailedRepeatedOrUnknownSessionsAndResponsesSentOrDropped) {
  const struct {
    const char* function;  // as KapSim_SetFaultAfter names it
    uint32_t passes;       // calls that still succeed before the failing one
    const char* logged;
  } faults[] = {
      {"Variant.v1.VariantFromUInt32", 0, "Failed to add fast queue Id."},
      {"Variant.v1.VariantFromUInt64", 0, "Failed to add header length."},
      {"Variant.v1.VariantFromUInt64", 1, "Failed to add tailer length."},
      {"Context.v1.AppendParam", 3, "Failed to add message content."},
      {"ChannelObject.v1.Invoke", 0, nullptr},
  };
  m_host->StopSession(42);  // unknown to the host: nothing happens
  ASSERT_EQ(m_sim.KapSim_SetFault("KAPService_ServerInit2", KAPSIM_FAULT_FAIL), TRUE);
  EXPECT_FALSE(m_host->StartSession(7));
  EXPECT_EQ(m_sim.KapSim_IsServerRunning(7), FALSE);
  m_sim.KapSim_ResetFaults();
  KapSimClient* client = Connect(7);
  ASSERT_NE(client, nullptr);
  uint64_t inits = m_sim.KapSim_GetCallCount("KAPService_ServerInit2");
  EXPECT_TRUE(m_host->StartSession(7));
  EXPECT_EQ(m_sim.KapSim_GetCallCount("KAPService_ServerInit2"), inits);
  const VhubHost::EntryPoints& entry = m_host->Entry();
  entry.Poll(3, nullptr);
  entry.Stop(3);
  entry.Unregister(3);
  EXPECT_EQ(entry.SendResponse(3, nullptr, 0, USB_REDIR_PACKAGE_TYPE_URB, nullptr), FALSE);
  ASSERT_EQ(entry.Register(9), TRUE);
  entry.Stop(9);
  entry.Poll(9, nullptr);  // returns after one round
  entry.Unregister(9);
  EXPECT_EQ(m_sim.KapSim_IsServerRunning(9), FALSE);

  USBRedir_SendResponseExt ext{5, 0, 0};
  for (const auto& fault : faults) {
    SCOPED_TRACE(std::string(fault.function) + " after " + std::to_string(fault.passes));
    ASSERT_EQ(m_sim.KapSim_SetFaultAfter(fault.function, fault.passes), TRUE);
    EXPECT_EQ(
        m_host->SendResponse(7, std::vector<char>(4).data(), 4, USB_REDIR_PACKAGE_TYPE_URB, &ext),
        TRUE);
    m_sim.KapSim_ResetFaults();
    ExpectNothingLeftBehind(false);  // the message was destroyed
  }
  EXPECT_EQ(m_host->SendResponse(7, "bag", 3, USB_REDIR_PACKAGE_TYPE_PROPBAG, &ext), TRUE);
  EXPECT_EQ(m_host->SendResponse(7, "urb", 3, USB_REDIR_PACKAGE_TYPE_URB, nullptr), TRUE);
  EXPECT_EQ(m_host->SendResponse(7, nullptr, 3, USB_REDIR_PACKAGE_TYPE_URB, &ext), TRUE);
  EXPECT_EQ(m_host->SendResponse(7, "", 0, USB_REDIR_PACKAGE_TYPE_URB, &ext), TRUE);  // allowed
  const std::string payload("\x10\x20\x30\x40\x50\x60", 6);
  ext = {0xABCD1234u, 0x100000002ull, 3};
  EXPECT_EQ(m_host->SendResponse(7, payload.data(), 6, USB_REDIR_PACKAGE_TYPE_URB, &ext), TRUE);
  ASSERT_EQ(m_sim.KapSim_WaitMessageCount(client, 2, kWaitMs), TRUE);
  EXPECT_EQ(m_sim.KapSim_GetMessageCount(client), 2);
  KapSimMessage message{};
  ASSERT_EQ(m_sim.KapSim_GetMessage(client, 1, &message), TRUE);
  EXPECT_EQ(std::make_tuple(std::string(message.objectName), message.command, message.paramCount,
                            message.postMode, message.completionWanted),
            std::make_tuple(std::string(kData), 1u, 4, TRUE, FALSE));
  EXPECT_EQ(Value(client, -2, 0), "ui4 " + std::to_string(0xABCD1234u));
  EXPECT_EQ(Value(client, -2, 1), "ui8 " + std::to_string(0x100000002ull));
  EXPECT_EQ(Value(client, -2, 2), "ui8 3");
  EXPECT_EQ(Value(client, -2, 3), "blob " + payload);

  std::vector<std::string> log = FinishAndReadLog();
  EXPECT_EQ(CountMessage(log, "UsbRedirectionProxy_Initialize() failed."), 1u);
  EXPECT_EQ(CountMessage(log, "Session already exists for sessionId = 7."), 1u);
  for (const char* call : {"Poll()", "Stop()", "Unregister()", "SendResponse"}) {
    EXPECT_EQ(
        CountMessage(log, std::string("UsbRedirectionProxy_") + call + " session 3 not exist."), 1u)
        << call;
  }
  for (const auto& fault : faults) {
    EXPECT_EQ(fault.logged == nullptr ? 1u : CountMessage(log, fault.logged), 1u) << fault.logged;
  }
  EXPECT_EQ(CountMessage(log, "Bad arguments when create request."), 2u);
  EXPECT_EQ(CountMessage(log, "Invoke message failed. Destroying the message."), 7u);
}

// The plug-in's process-lifetime state goes with the library.
TEST_F(UsbEndToEnd, ServingAndUnloadingAgainAndAgainKeepsTheHeapWhereItWas) {
  // The first lives fill the runtimes' caches (freed blocks kept per thread count as used).
  const int kWarmUp = 6;
  const int kLives = 8;
  size_t before = 0;
  FinishAndReadLog();  // the fixture's host
  for (int i = 0; i < kWarmUp + kLives; ++i) {
    before = i == kWarmUp ? mallinfo2().uordblks : before;
    ASSERT_NO_FATAL_FAILURE(StartHost());
    KapSimClient* client = Connect(7);
    ASSERT_NE(client, nullptr);
    Request(client, kData, 1, {Blob("urb")});
    FinishAndReadLog();  // stops and unregisters the session, Fini, dlclose
  }
#ifndef USBREDIR_SANITIZED  // sanitized hosts keep the plug-in mapped (see VhubHost::Load)
  size_t after = mallinfo2().uordblks;
  // A life kept some 3.5 KB before it was given back; the allocator's own varies by a few KB.
  EXPECT_LT(after, before + kLives * 1024) << (after - before) / kLives << " bytes per life";
#endif
}

TEST_F(UsbEndToEnd, A64MiBBlobArrivesWholeEachWayAndAFloodInOrder) {
  KapSimClient* client = Connect(7);
  ASSERT_NE(client, nullptr);
  std::string big(64u << 20, '\0');
  for (size_t i = 0; i < big.size(); i += 4096) big[i] = static_cast<char>(i >> 12);
  big.back() = 0x5A;
  Request(client, kData, 1, {Blob(big)});
  ASSERT_TRUE(m_host->WaitForMessages(7, 1, kWaitMs));
  EXPECT_TRUE(m_host->Messages(7).back().payload == big);
  USBRedir_SendResponseExt ext{};
  ASSERT_EQ(m_host->SendResponse(7, big.data(), static_cast<uint32_t>(big.size()),
                                 USB_REDIR_PACKAGE_TYPE_URB, &ext),
            TRUE);
  ASSERT_EQ(m_sim.KapSim_WaitMessageCount(client, 1, kWaitMs), TRUE);
  EXPECT_TRUE(Value(client, -1, 3) == "blob " + big);
  KapSimClient* flooder = Connect(8);
  const int kRequests = 2000;
  for (int i = 0; i < kRequests; ++i) {
    std::string payload = std::to_string(i);
    KapSimParam param = Blob(payload);
    uint32_t id = 0;  // kept for every other request
    ASSERT_EQ(m_sim.KapSim_SendRequest(flooder, kData, 1, &param, 1, i % 2 == 0 ? &id : nullptr),
              TRUE);
  }
  ASSERT_TRUE(m_host->WaitForMessages(8, kRequests, 60000));
  std::vector<VhubHost::Message> messages = m_host->Messages(8);
  for (int i = 0; i < kRequests; ++i) ASSERT_EQ(messages[i].payload, std::to_string(i));
}

TEST_F(UsbEndToEnd, SixteenBusySessionsStopWhileClientsAreStillSending) {
  const int kSessions = 16;
  for (int i = 0; i < kSessions; ++i) ASSERT_NE(Connect(100 + i), nullptr);
  std::atomic<bool> stopClients{false};
  std::atomic<int> clientSends{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kSessions; ++i) {
    threads.emplace_back([&, i]() {
      const std::string urb(256, static_cast<char>(i));
      KapSimParam param = Blob(urb);
      for (int n = 0; !stopClients.load(); ++n) {
        uint32_t id = 0;
        // Refused once the session's server has ended: that is what this test provokes.
        if (m_sim.KapSim_SendRequest(m_clients[i], kData, 1, &param, 1, &id) != TRUE) {
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
          continue;
        }
        clientSends.fetch_add(1);
        // A window of requests in flight, so that a slow (sanitized) poll thread keeps up.
        if (n % 16 == 15) m_sim.KapSim_WaitRequest(m_clients[i], id, 2000);
      }
    });
  }
  for (int i = 0; i < kSessions; ++i) {
    EXPECT_TRUE(m_host->WaitForMessages(100 + i, 1, kWaitMs)) << "session " << 100 + i;
  }
  for (int i = 0; i < kSessions; ++i) {
    m_host->StopSession(100 + i);  // the clients keep sending meanwhile
    EXPECT_EQ(m_sim.KapSim_IsServerRunning(100 + i), FALSE);
  }
  stopClients.store(true);
  for (std::thread& thread : threads) thread.join();
  EXPECT_GT(clientSends.load(), kSessions);
}

}  // namespace
