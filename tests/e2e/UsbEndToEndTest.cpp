// USB redirection through the exported functions of the built plug-in, against the
// stand-in channel service: what the host and the client each observe.
#include <cstring>
#include <string>
#include <thread>

#include "UsbEndToEndFixture.h"

namespace {

const char* const kControl = "UsbRedirControlObj";
const char* const kData = "UsbRedirDataObj";

TEST_F(UsbEndToEnd, EachMessageKindReachesTheHostWithItsBytesAndTypes) {
  KapSimClient* client = StartConnected(7);
  ASSERT_NE(client, nullptr);
  const std::string propbag("dev-list\0with-nul", 17);
  const std::string urb("\x01\x02\x00\xff", 4);
  Request(client, kControl, 0, {Str("plugindevice"), Blob(propbag)});
  Request(client, kData, 1, {Blob(urb)});
  Request(client, kControl, 2, {Str("IsUsbAvailable"), Str("msg-1"), Blob("q")});
  ASSERT_TRUE(m_host->WaitForMessages(7, 3, kWaitMs));

  std::vector<VhubHost::Message> messages = m_host->Messages(7);
  EXPECT_EQ(messages[0].payload, propbag);
  EXPECT_EQ(messages[0].type, USB_REDIR_PACKAGE_TYPE_PROPBAG);
  EXPECT_EQ(messages[0].opType, USB_OPERATION_TYPE_USB_DEVICE_PLUGIN);
  EXPECT_FALSE(messages[0].canRespond);
  EXPECT_EQ(messages[1].payload, urb);
  EXPECT_EQ(messages[1].type, USB_REDIR_PACKAGE_TYPE_URB);
  EXPECT_EQ(messages[1].opType, USB_OPERATION_TYPE_UNKNOWN);
  EXPECT_FALSE(messages[1].canRespond);
  EXPECT_EQ(messages[2].payload, "q");
  EXPECT_EQ(messages[2].opType, USB_OPERATION_TYPE_RUSB_ISUSBAVAILABLE);
  EXPECT_TRUE(messages[2].canRespond);
}

TEST_F(UsbEndToEnd, AnsweredRequestCarriesTheMessageIdAndTheHostsBytes) {
  m_host->SetResponder([](const VhubHost::Message&, std::string* reply) {
    *reply = std::string("\x00yes\x01", 5);
    return true;
  });
  KapSimClient* client = StartConnected(7);
  ASSERT_NE(client, nullptr);
  uint32_t id = Request(client, kControl, 2, {Str("ClientStartup"), Str("id-42"), Blob("hello")});
  ASSERT_EQ(ReplyCount(client, id), 2);
  const char* name = nullptr;
  const KAP_RPC_VARIANT* value = nullptr;
  ASSERT_EQ(m_sim.KapSim_GetReplyValue(client, id, 0, &name, &value), TRUE);
  ASSERT_EQ(value->vt, KAP_RPC_VT_LPSTR);
  EXPECT_STREQ(value->strVal, "id-42");
  ASSERT_EQ(m_sim.KapSim_GetReplyValue(client, id, 1, &name, &value), TRUE);
  ASSERT_EQ(value->vt, KAP_RPC_VT_BLOB);
  ASSERT_EQ(value->blobVal.size, 5u);
  EXPECT_EQ(std::string(value->blobVal.blobData, 5), std::string("\x00yes\x01", 5));
  // Single-server registration copies only the v1 entries: the buffer is never handed back.
  EXPECT_EQ(m_host->BuffersGivenOut(), 1u);
  EXPECT_EQ(m_host->BuffersFreed(), 0u);
  EXPECT_EQ(CountMessage(FinishAndReadLog(), "Memory is not freed by kapvhub, memory leak!"), 1u);
}

TEST_F(UsbEndToEnd, RequestLeftUnansweredByTheHostGetsNoReturnValues) {
  KapSimClient* client = StartConnected(7);
  ASSERT_NE(client, nullptr);
  uint32_t id = Request(client, kControl, 2, {Str("Filter"), Str("id-1"), Blob("x")});
  EXPECT_EQ(ReplyCount(client, id), 0);
  EXPECT_EQ(m_host->BuffersGivenOut(), 0u);
  EXPECT_EQ(CountMessage(FinishAndReadLog(), "Current response message is invalid."), 1u);
}

TEST_F(UsbEndToEnd, HostUrbResponseIsOnePostedDataMessage) {
  KapSimClient* client = StartConnected(7);
  ASSERT_NE(client, nullptr);
  const std::string payload("\x10\x20\x30\x40\x50\x60", 6);
  USBRedir_SendResponseExt ext{};
  ext.fastQueueId = 0xABCD1234u;
  ext.headerLength = 0x100000002ull;
  ext.trailerLength = 3;
  EXPECT_EQ(m_host->SendResponse(7, payload.data(), 6, USB_REDIR_PACKAGE_TYPE_URB, &ext), TRUE);
  ASSERT_EQ(m_sim.KapSim_WaitMessageCount(client, 1, kWaitMs), TRUE);

  KapSimMessage message{};
  ASSERT_EQ(m_sim.KapSim_GetMessage(client, 0, &message), TRUE);
  EXPECT_STREQ(message.objectName, kData);
  EXPECT_EQ(message.command, 1u);
  EXPECT_EQ(message.paramCount, 4);
  EXPECT_EQ(message.postMode, TRUE);
  EXPECT_EQ(message.completionWanted, FALSE);
  const char* name = nullptr;
  const KAP_RPC_VARIANT* value = nullptr;
  ASSERT_EQ(m_sim.KapSim_GetMessageParam(client, 0, 0, &name, &value), TRUE);
  EXPECT_EQ(value->vt, KAP_RPC_VT_UI4);
  EXPECT_EQ(value->ulVal, 0xABCD1234u);
  ASSERT_EQ(m_sim.KapSim_GetMessageParam(client, 0, 1, &name, &value), TRUE);
  EXPECT_EQ(value->vt, KAP_RPC_VT_UI8);
  EXPECT_EQ(value->ullVal, 0x100000002ull);
  ASSERT_EQ(m_sim.KapSim_GetMessageParam(client, 0, 2, &name, &value), TRUE);
  EXPECT_EQ(value->vt, KAP_RPC_VT_UI8);
  EXPECT_EQ(value->ullVal, 3u);
  ASSERT_EQ(m_sim.KapSim_GetMessageParam(client, 0, 3, &name, &value), TRUE);
  ASSERT_EQ(value->vt, KAP_RPC_VT_BLOB);
  EXPECT_EQ(std::string(value->blobVal.blobData, value->blobVal.size), payload);
}

TEST_F(UsbEndToEnd, ResponsesThatAreNotSentStillAnswerTrueForAKnownSession) {
  KapSimClient* client = StartConnected(7);
  ASSERT_NE(client, nullptr);
  USBRedir_SendResponseExt ext{};
  EXPECT_EQ(m_host->SendResponse(7, "bag", 3, USB_REDIR_PACKAGE_TYPE_PROPBAG, &ext), TRUE);
  EXPECT_EQ(m_host->SendResponse(7, "urb", 3, USB_REDIR_PACKAGE_TYPE_URB, nullptr), TRUE);
  EXPECT_EQ(m_host->SendResponse(7, nullptr, 3, USB_REDIR_PACKAGE_TYPE_URB, &ext), TRUE);
  EXPECT_EQ(m_host->SendResponse(7, "", 0, USB_REDIR_PACKAGE_TYPE_URB, &ext), TRUE);
  // Only the last one (an empty payload is allowed) reaches the client.
  ASSERT_EQ(m_sim.KapSim_WaitMessageCount(client, 1, kWaitMs), TRUE);
  EXPECT_EQ(m_sim.KapSim_GetMessageCount(client), 1);
  EXPECT_EQ(m_host->SendResponse(8, "urb", 3, USB_REDIR_PACKAGE_TYPE_URB, &ext), FALSE);
  std::vector<std::string> log = FinishAndReadLog();
  EXPECT_EQ(CountMessage(log, "Bad arguments when create request."), 2u);
  EXPECT_EQ(CountMessage(log, "Invoke message failed. Destroying the message."), 2u);
  EXPECT_EQ(CountMessage(log, "UsbRedirectionProxy_SendResponse session 8 not exist."), 1u);
}

TEST_F(UsbEndToEnd, RegisterFailsCleanlyWhenTheServerCannotStart) {
  ASSERT_EQ(m_sim.KapSim_SetFault("KAPService_ServerInit2", KAPSIM_FAULT_FAIL), TRUE);
  EXPECT_FALSE(m_host->StartSession(7));
  EXPECT_EQ(m_sim.KapSim_IsServerRunning(7), FALSE);
  m_sim.KapSim_ResetFaults();
  EXPECT_TRUE(m_host->StartSession(7));  // nothing was left behind by the failure
  EXPECT_EQ(m_sim.KapSim_IsServerRunning(7), TRUE);
  EXPECT_EQ(CountMessage(FinishAndReadLog(), "UsbRedirectionProxy_Initialize() failed."), 1u);
}

TEST_F(UsbEndToEnd, RegisterOfARegisteredSessionAnswersTrueAndCreatesNothing) {
  ASSERT_TRUE(m_host->StartSession(7));
  uint64_t inits = m_sim.KapSim_GetCallCount("KAPService_ServerInit2");
  EXPECT_TRUE(m_host->StartSession(7));
  EXPECT_EQ(m_sim.KapSim_GetCallCount("KAPService_ServerInit2"), inits);
  EXPECT_EQ(CountMessage(FinishAndReadLog(), "Session already exists for sessionId = 7."), 1u);
}

TEST_F(UsbEndToEnd, StopBeforePollMakesThePollReturnAfterOneRound) {
  const VhubHost::EntryPoints& entry = m_host->Entry();
  ASSERT_EQ(entry.Register(9), TRUE);
  entry.Stop(9);
  std::thread poller([&]() { entry.Poll(9, nullptr); });  // must not block
  poller.join();
  entry.Unregister(9);
  EXPECT_EQ(m_sim.KapSim_IsServerRunning(9), FALSE);
}

TEST_F(UsbEndToEnd, CallsOnUnknownSessionsLogTheirFailure) {
  const VhubHost::EntryPoints& entry = m_host->Entry();
  entry.Poll(3, nullptr);
  entry.Stop(3);
  entry.Unregister(3);
  EXPECT_EQ(entry.SendResponse(3, nullptr, 0, USB_REDIR_PACKAGE_TYPE_URB, nullptr), FALSE);
  std::vector<std::string> log = FinishAndReadLog();
  EXPECT_EQ(CountMessage(log, "UsbRedirectionProxy_Poll() session 3 not exist."), 1u);
  EXPECT_EQ(CountMessage(log, "UsbRedirectionProxy_Stop() session 3 not exist."), 1u);
  EXPECT_EQ(CountMessage(log, "UsbRedirectionProxy_Unregister() session 3 not exist."), 1u);
  EXPECT_EQ(CountMessage(log, "UsbRedirectionProxy_SendResponse session 3 not exist."), 1u);
}

TEST_F(UsbEndToEnd, RegisterAgainAfterUnregisterStartsAFreshServer) {
  KapSimClient* client = StartConnected(7);
  ASSERT_NE(client, nullptr);
  m_host->StopSession(7);
  EXPECT_EQ(m_sim.KapSim_IsServerRunning(7), FALSE);
  EXPECT_EQ(m_host->StateChangeCount(7, USB_REDIR_CHANNEL_DISCONNECTED), 1u);
  ASSERT_TRUE(m_host->StartSession(7));
  Connect(7, 2);
  Request(m_clients.back(), kData, 1, {Blob("again")});
  ASSERT_TRUE(m_host->WaitForMessages(7, 1, kWaitMs));
}

TEST_F(UsbEndToEnd, DisconnectAndReconnectAreReportedToTheHost) {
  KapSimClient* client = StartConnected(7);
  ASSERT_NE(client, nullptr);
  ASSERT_EQ(m_sim.KapSim_DisconnectClient(client), TRUE);
  ASSERT_TRUE(m_host->WaitForState(7, USB_REDIR_CHANNEL_DISCONNECTED, 1, kWaitMs));
  KapSimClient* again = Connect(7, 2);
  ASSERT_NE(again, nullptr);
  Request(again, kControl, 0, {Str("UnplugDevice"), Blob("d")});
  ASSERT_TRUE(m_host->WaitForMessages(7, 1, kWaitMs));
  EXPECT_EQ(m_host->Messages(7)[0].opType, USB_OPERATION_TYPE_USB_DEVICE_UNPLUGGED);
}

TEST_F(UsbEndToEnd, SessionsAreIndependent) {
  KapSimClient* first = StartConnected(7);
  KapSimClient* second = StartConnected(8);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  Request(first, kData, 1, {Blob("seven")});
  Request(second, kData, 1, {Blob("eight")});
  ASSERT_TRUE(m_host->WaitForMessages(7, 1, kWaitMs));
  ASSERT_TRUE(m_host->WaitForMessages(8, 1, kWaitMs));
  EXPECT_EQ(m_host->Messages(7)[0].payload, "seven");
  EXPECT_EQ(m_host->Messages(8)[0].payload, "eight");
  m_host->StopSession(7);
  EXPECT_EQ(m_sim.KapSim_IsServerRunning(8), TRUE);
}

}  // namespace
