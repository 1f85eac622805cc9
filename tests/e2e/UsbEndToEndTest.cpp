// USB redirection through the exported functions of the built plug-in, against the
// stand-in channel service: what the host and the client each observe.
#include <malloc.h>

#include <string>
#include <thread>

#include "UsbEndToEndFixture.h"

namespace {

const char* const kControl = "UsbRedirControlObj";
const char* const kData = "UsbRedirDataObj";

// Each message kind with its bytes and types, extra parameters ignored and empty blobs
// delivered, and two sessions that do not see each other's traffic.
TEST_F(UsbEndToEnd, EachMessageKindReachesTheHostOfItsSessionWithItsBytesAndTypes) {
  KapSimClient* client = StartConnected(7);
  KapSimClient* other = StartConnected(8);
  ASSERT_TRUE(client != nullptr && other != nullptr);
  const std::string propbag("dev-list\0with-nul", 17);
  const std::string urb("\x01\x02\x00\xff", 4);
  Request(client, kControl, 0, {Str("plugindevice"), Blob(propbag)});
  Request(client, kData, 1, {Blob(urb)});
  Request(client, kControl, 2, {Str("IsUsbAvailable"), Str("msg-1"), Blob("q")});
  Request(client, kData, 1, {Blob(""), Str("extra"), UInt(9)});
  Request(client, kControl, 0, {Str(""), Blob(""), Blob("extra")});
  Request(other, kData, 1, {Blob("eight")});
  ASSERT_TRUE(m_host->WaitForMessages(7, 5, kWaitMs));
  ASSERT_TRUE(m_host->WaitForMessages(8, 1, kWaitMs));
  const struct {
    std::string payload;
    USB_RedirPackageType type;
    USB_OperationType opType;
    bool canRespond;
  } expected[] = {
      {propbag, USB_REDIR_PACKAGE_TYPE_PROPBAG, USB_OPERATION_TYPE_USB_DEVICE_PLUGIN, false},
      {urb, USB_REDIR_PACKAGE_TYPE_URB, USB_OPERATION_TYPE_UNKNOWN, false},
      {"q", USB_REDIR_PACKAGE_TYPE_PROPBAG, USB_OPERATION_TYPE_RUSB_ISUSBAVAILABLE, true},
      {"", USB_REDIR_PACKAGE_TYPE_URB, USB_OPERATION_TYPE_UNKNOWN, false},
      {"", USB_REDIR_PACKAGE_TYPE_PROPBAG, USB_OPERATION_TYPE_UNKNOWN, false},
  };
  std::vector<VhubHost::Message> messages = m_host->Messages(7);
  ASSERT_EQ(messages.size(), 5u);
  for (size_t i = 0; i < messages.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(messages[i].payload, expected[i].payload);
    EXPECT_EQ(messages[i].type, expected[i].type);
    EXPECT_EQ(messages[i].opType, expected[i].opType);
    EXPECT_EQ(messages[i].canRespond, expected[i].canRespond);
  }
  EXPECT_EQ(m_host->Messages(8)[0].payload, "eight");
  m_host->StopSession(7);
  EXPECT_EQ(m_sim.KapSim_IsServerRunning(8), TRUE);
}

// A request the host answers carries the message id and the host's bytes; one it leaves
// unanswered gets no values. Single-server registration copies only the v1 entries: the
// answer's buffer is never handed back, and nothing is freed when nothing was lent.
TEST_F(UsbEndToEnd, RequestsGetTheHostsAnswerOrNoValues) {
  m_host->SetResponder([](const VhubHost::Message& message, std::string* reply) {
    *reply = std::string("\x00yes\x01", 5);
    return message.payload == "hello";
  });
  KapSimClient* client = StartConnected(7);
  ASSERT_NE(client, nullptr);
  uint32_t unanswered = Request(client, kControl, 2, {Str("Filter"), Str("id-1"), Blob("x")});
  EXPECT_EQ(ReplyCount(client, unanswered), 0);
  EXPECT_EQ(m_host->BuffersGivenOut(), 0u);
  uint32_t id = Request(client, kControl, 2, {Str("ClientStartup"), Str("id-42"), Blob("hello")});
  ASSERT_EQ(ReplyCount(client, id), 2);
  ASSERT_EQ(Value(client, id, 0)->vt, KAP_RPC_VT_LPSTR);
  EXPECT_STREQ(Value(client, id, 0)->strVal, "id-42");
  const KAP_RPC_VARIANT* blob = Value(client, id, 1);
  ASSERT_EQ(blob->vt, KAP_RPC_VT_BLOB);
  EXPECT_EQ(std::string(blob->blobVal.blobData, blob->blobVal.size), std::string("\x00yes\x01", 5));
  EXPECT_EQ(m_host->BuffersGivenOut(), 1u);
  EXPECT_EQ(m_host->BuffersFreed(), 0u);
  std::vector<std::string> log = FinishAndReadLog();
  EXPECT_EQ(CountMessage(log, "Memory is not freed by kapvhub, memory leak!"), 1u);
  EXPECT_EQ(CountMessage(log, "Current response message is invalid."), 1u);
}

// A URB response is one posted data message with the extension's three values; responses
// that cannot be sent still answer TRUE for a known session, FALSE for an unknown one.
TEST_F(UsbEndToEnd, HostResponsesArePostedDataMessagesOrDropped) {
  KapSimClient* client = StartConnected(7);
  ASSERT_NE(client, nullptr);
  USBRedir_SendResponseExt ext{};
  EXPECT_EQ(m_host->SendResponse(7, "bag", 3, USB_REDIR_PACKAGE_TYPE_PROPBAG, &ext), TRUE);
  EXPECT_EQ(m_host->SendResponse(7, "urb", 3, USB_REDIR_PACKAGE_TYPE_URB, nullptr), TRUE);
  EXPECT_EQ(m_host->SendResponse(7, nullptr, 3, USB_REDIR_PACKAGE_TYPE_URB, &ext), TRUE);
  EXPECT_EQ(m_host->SendResponse(7, "", 0, USB_REDIR_PACKAGE_TYPE_URB, &ext), TRUE);  // allowed
  EXPECT_EQ(m_host->SendResponse(8, "urb", 3, USB_REDIR_PACKAGE_TYPE_URB, &ext), FALSE);
  const std::string payload("\x10\x20\x30\x40\x50\x60", 6);
  ext = {0xABCD1234u, 0x100000002ull, 3};
  EXPECT_EQ(m_host->SendResponse(7, payload.data(), 6, USB_REDIR_PACKAGE_TYPE_URB, &ext), TRUE);
  ASSERT_EQ(m_sim.KapSim_WaitMessageCount(client, 2, kWaitMs), TRUE);
  EXPECT_EQ(m_sim.KapSim_GetMessageCount(client), 2);

  KapSimMessage message{};
  ASSERT_EQ(m_sim.KapSim_GetMessage(client, 1, &message), TRUE);
  EXPECT_STREQ(message.objectName, kData);
  EXPECT_EQ(message.command, 1u);
  EXPECT_EQ(message.paramCount, 4);
  EXPECT_EQ(message.postMode, TRUE);
  EXPECT_EQ(message.completionWanted, FALSE);
  EXPECT_EQ(Value(client, -2, 0)->vt, KAP_RPC_VT_UI4);
  EXPECT_EQ(Value(client, -2, 0)->ulVal, 0xABCD1234u);
  EXPECT_EQ(Value(client, -2, 1)->vt, KAP_RPC_VT_UI8);
  EXPECT_EQ(Value(client, -2, 1)->ullVal, 0x100000002ull);
  EXPECT_EQ(Value(client, -2, 2)->vt, KAP_RPC_VT_UI8);
  EXPECT_EQ(Value(client, -2, 2)->ullVal, 3u);
  const KAP_RPC_VARIANT* blob = Value(client, -2, 3);
  ASSERT_EQ(blob->vt, KAP_RPC_VT_BLOB);
  EXPECT_EQ(std::string(blob->blobVal.blobData, blob->blobVal.size), payload);
  std::vector<std::string> log = FinishAndReadLog();
  EXPECT_EQ(CountMessage(log, "Bad arguments when create request."), 2u);
  EXPECT_EQ(CountMessage(log, "Invoke message failed. Destroying the message."), 2u);
  EXPECT_EQ(CountMessage(log, "UsbRedirectionProxy_SendResponse session 8 not exist."), 1u);
}

// Register that cannot start the server leaves nothing behind; Register of a registered
// session answers TRUE and creates nothing; calls on unknown sessions log their failure;
// Stop before Poll makes the Poll return after one round.
TEST_F(UsbEndToEnd, RegisterAndSessionCallsOnFailedRepeatedOrUnknownSessions) {
  EXPECT_EQ(m_host->InitVhubCallback(false), TRUE);  // again, without v3: still accepted
  m_host->StopSession(42);                           // unknown to the host: nothing happens
  ASSERT_EQ(m_sim.KapSim_SetFault("KAPService_ServerInit2", KAPSIM_FAULT_FAIL), TRUE);
  EXPECT_FALSE(m_host->StartSession(7));
  EXPECT_EQ(m_sim.KapSim_IsServerRunning(7), FALSE);
  m_sim.KapSim_ResetFaults();
  EXPECT_TRUE(m_host->StartSession(7));
  EXPECT_EQ(m_sim.KapSim_IsServerRunning(7), TRUE);
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
  std::thread poller([&]() { entry.Poll(9, nullptr); });  // must not block
  poller.join();
  entry.Unregister(9);
  EXPECT_EQ(m_sim.KapSim_IsServerRunning(9), FALSE);
  std::vector<std::string> log = FinishAndReadLog();
  EXPECT_EQ(CountMessage(log, "UsbRedirectionProxy_Initialize() failed."), 1u);
  EXPECT_EQ(CountMessage(log, "Session already exists for sessionId = 7."), 1u);
  for (const char* call : {"Poll()", "Stop()", "Unregister()", "SendResponse"}) {
    EXPECT_EQ(
        CountMessage(log, std::string("UsbRedirectionProxy_") + call + " session 3 not exist."), 1u)
        << call;
  }
}

// A client that disconnects and comes back is reported to the host both times; a session
// unregistered and registered again starts a fresh server that serves.
TEST_F(UsbEndToEnd, DisconnectReconnectAndRegisterAgainAreReportedToTheHost) {
  KapSimClient* client = StartConnected(7);
  ASSERT_NE(client, nullptr);
  ASSERT_EQ(m_sim.KapSim_DisconnectClient(client), TRUE);
  ASSERT_TRUE(m_host->WaitForState(7, USB_REDIR_CHANNEL_DISCONNECTED, 1, kWaitMs));
  KapSimClient* again = Connect(7, 2);
  ASSERT_NE(again, nullptr);
  Request(again, kControl, 0, {Str("UnplugDevice"), Blob("d")});
  ASSERT_TRUE(m_host->WaitForMessages(7, 1, kWaitMs));
  EXPECT_EQ(m_host->Messages(7)[0].opType, USB_OPERATION_TYPE_USB_DEVICE_UNPLUGGED);
  m_host->StopSession(7);
  EXPECT_EQ(m_sim.KapSim_IsServerRunning(7), FALSE);
  EXPECT_EQ(m_host->StateChangeCount(7, USB_REDIR_CHANNEL_DISCONNECTED), 2u);
  ASSERT_TRUE(m_host->StartSession(7));
  Request(Connect(7, 3), kData, 1, {Blob("again")});
  ASSERT_TRUE(m_host->WaitForMessages(7, 2, kWaitMs));
}

// A host that unloads the plug-in gets all of its memory back: loaded, started, serving a
// client's request and unloaded again and again, the process's heap stays where it was. The
// plug-in's process-lifetime state (the logger registry and its poll thread, the event and
// poll-thread tables, their locks) goes with the library.
TEST_F(UsbEndToEnd, ServingAndUnloadingAgainAndAgainKeepsTheHeapWhereItWas) {
#ifdef USBREDIR_SANITIZED
  GTEST_SKIP() << "sanitized hosts keep the plug-in mapped (see VhubHost::Load)";
#endif
  auto serveOnceAndUnload = [this] {
    FinishAndReadLog();  // stops and unregisters the session, Fini, dlclose
    m_host = std::make_unique<VhubHost>(USBREDIR_PLUGIN_PATH);
    std::string error;
    ASSERT_TRUE(m_host->Load(&error)) << error;
    m_host->Init();
    ASSERT_EQ(m_host->InitVhubCallback(true), TRUE);
    KapSimClient* client = StartConnected(7);
    ASSERT_NE(client, nullptr);
    Request(client, kData, 1, {Blob("urb")});
  };
  // The first lives fill the C and C++ runtimes' caches (the allocator keeps some freed
  // blocks per thread, counted as in use), so only later ones are measured.
  for (int i = 0; i < 6; ++i) {
    ASSERT_NO_FATAL_FAILURE(serveOnceAndUnload());
  }
  FinishAndReadLog();
  size_t before = mallinfo2().uordblks;
  const int kLives = 8;
  for (int i = 0; i < kLives; ++i) {
    ASSERT_NO_FATAL_FAILURE(serveOnceAndUnload());
  }
  FinishAndReadLog();
  size_t after = mallinfo2().uordblks;
  // What one life kept before it was given back: some 3.5 KB (the registry and its poll
  // thread, two tables, three locks); the allocator's own bookkeeping varies by a few KB.
  EXPECT_LT(after, before + kLives * 1024) << (after - before) / kLives << " bytes per life";
}

}  // namespace
