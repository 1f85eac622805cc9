// The USB paths that fail inside the channel service, driven through the exported
// functions with the stand-in's faults: what is logged, that nothing the plug-in made is
// left behind, and what becomes of the host's buffers.
#include <cstdlib>
#include <cstring>
#include <regex>
#include <string>

#include "UsbEndToEndFixture.h"

namespace {

const char* const kControl = "UsbRedirControlObj";

struct FaultRow {
  const char* function;  // as KapSim_SetFaultAfter names it
  uint32_t passes;       // calls that still succeed before the failing one
  const char* logged;    // the failure's message (a pattern for reply rows)
};

size_t CountMatching(const std::vector<std::string>& lines, const std::string& message) {
  std::regex re(".*\\): " + message);
  size_t count = 0;
  for (const std::string& line : lines) {
    count += std::regex_match(line, re) ? 1 : 0;
  }
  return count;
}

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
    KapSimCounters counters{};
    m_sim.KapSim_GetCounters(&counters);
    EXPECT_EQ(counters.contexts, 0) << "the message was not destroyed";
    EXPECT_EQ(counters.variants, 0);
    EXPECT_EQ(m_sim.KapSim_GetMessageCount(client), 0);
  }
  EXPECT_EQ(m_host->SendResponse(7, "sent", 4, USB_REDIR_PACKAGE_TYPE_URB, &ext), TRUE);
  EXPECT_EQ(m_sim.KapSim_WaitMessageCount(client, 1, kWaitMs), TRUE);
  std::vector<std::string> log = FinishAndReadLog();
  for (const FaultRow& row : rows) {
    if (row.logged != nullptr) {
      EXPECT_EQ(CountMessage(log, row.logged), 1u) << row.logged;
    }
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
    EXPECT_EQ(CountMatching(log, row.fault.logged), 1u) << row.fault.logged;
  }
  EXPECT_EQ(CountMessage(log, "Memory is not freed by kapvhub, memory leak!"), 3u);
}

}  // namespace
