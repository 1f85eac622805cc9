// Clients that send what they should not: the plug-in answers, drops the request, never
// calls the host with a malformed layout, and leaks nothing.
#include <string>
#include <vector>

#include "UsbEndToEndFixture.h"

namespace {

const char* const kControl = "UsbRedirControlObj";
const char* const kData = "UsbRedirDataObj";

TEST_F(UsbEndToEnd, MalformedRequestsNeverReachTheHost) {
  KapSimClient* client = StartConnected(7);
  ASSERT_NE(client, nullptr);
  struct Case {
    uint32_t command;
    std::vector<KapSimParam> params;
  };
  const std::vector<Case> cases = {
      {3, {Str("PlugInDevice"), Blob("x")}},          // unknown command ids
      {0xFFFFFFFFu, {}},
      {0, {Blob("x"), Blob("y")}},                    // wrong type at index 0
      {0, {Str("Filter"), Str("not a blob")}},        // wrong type at index 1
      {0, {Str("Filter")}},                           // missing parameter
      {0, {}},
      {1, {Str("not a blob")}},
      {1, {UInt(5)}},
      {1, {}},
      {2, {Blob("x"), Str("id"), Blob("y")}},
      {2, {Str("Filter"), UInt(1), Blob("y")}},
      {2, {Str("Filter"), Str("id"), Str("y")}},
      {2, {Str("Filter"), Str("id")}},
  };
  for (const Case& c : cases) {
    uint32_t id = Request(client, kControl, c.command, c.params);
    EXPECT_EQ(ReplyCount(client, id), 0) << "command " << c.command;
  }
  EXPECT_TRUE(m_host->Messages(7).empty());

  std::vector<std::string> log = FinishAndReadLog();
  EXPECT_EQ(CountMessage(log, "Unknown command [3]."), 1u);
  EXPECT_EQ(CountMessage(log, "Unknown command [4294967295]."), 1u);
  EXPECT_EQ(CountMessage(log, "Failed to instantiate the KAPServiceCommand."), 2u);
  EXPECT_EQ(CountMessage(log, "Failed to get message type at index 0."), 3u);
  EXPECT_EQ(CountMessage(log, "Failed to get message blob at index 1."), 2u);
  EXPECT_EQ(CountMessage(log, "Failed to get message blob at index 0."), 3u);
  EXPECT_EQ(CountMessage(log, "Failed to get message Id at index 1."), 1u);
  EXPECT_EQ(CountMessage(log, "Failed to get message blob at index 2."), 2u);
  EXPECT_EQ(CountMessage(log, "Failed to parse message: 0."), 4u);
  EXPECT_EQ(CountMessage(log, "Failed to parse message: 1."), 3u);
  EXPECT_EQ(CountMessage(log, "Failed to parse message: 2."), 4u);
}

TEST_F(UsbEndToEnd, ExtraParametersAreIgnoredAndEmptyBlobsDelivered) {
  KapSimClient* client = StartConnected(7);
  ASSERT_NE(client, nullptr);
  Request(client, kData, 1, {Blob(""), Str("extra"), UInt(9)});
  Request(client, kControl, 0, {Str(""), Blob(""), Blob("extra")});
  ASSERT_TRUE(m_host->WaitForMessages(7, 2, kWaitMs));
  EXPECT_EQ(m_host->Messages(7)[0].payload, "");
  EXPECT_EQ(m_host->Messages(7)[1].opType, USB_OPERATION_TYPE_UNKNOWN);
}

TEST_F(UsbEndToEnd, A64MiBBlobArrivesWhole) {
  KapSimClient* client = StartConnected(7);
  ASSERT_NE(client, nullptr);
  std::string big(64u << 20, '\0');
  for (size_t i = 0; i < big.size(); i += 4096) {
    big[i] = static_cast<char>(i >> 12);
  }
  Request(client, kData, 1, {Blob(big)});
  ASSERT_TRUE(m_host->WaitForMessages(7, 1, kWaitMs));
  EXPECT_TRUE(m_host->Messages(7)[0].payload == big);
}

TEST_F(UsbEndToEnd, AFloodOfRequestsIsServedInOrder) {
  KapSimClient* client = StartConnected(7);
  ASSERT_NE(client, nullptr);
  const int kRequests = 2000;
  std::vector<uint32_t> ids;
  for (int i = 0; i < kRequests; ++i) {
    std::string payload = std::to_string(i);
    uint32_t id = 0;
    std::vector<KapSimParam> params = {Blob(payload)};
    ASSERT_EQ(m_sim.KapSim_SendRequest(client, kData, 1, params.data(), 1, &id), TRUE);
    ids.push_back(id);
  }
  ASSERT_TRUE(m_host->WaitForMessages(7, kRequests, 60000));
  std::vector<VhubHost::Message> messages = m_host->Messages(7);
  for (int i = 0; i < kRequests; ++i) {
    ASSERT_EQ(messages[i].payload, std::to_string(i));
  }
}

}  // namespace
