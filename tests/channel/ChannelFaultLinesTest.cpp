// Every library call of an instance's life that can fail, made to fail by the stand-in: the
// instance logs the call's fixed text, answers as a failure and leaves nothing alive in the
// library (the fixture counts servers, sinks, objects, contexts and variants).
#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "ChannelTestSupport.h"

namespace {

enum class Step {
  kConnect,         // the fault is set before the client connects; nothing else is done
  kCreateMessage,   // once ready: CreateMessage on the data object answers false
  kCreateExtended,  // once ready: CreateExtMessage with options answers false
  kDestroyMessage,  // once ready: DestroyMessage of a fresh message answers false
  kGetOptions,      // once ready: GetChannelOptions answers false
  kUnregisterSink,  // once ready: UnregisterChannelSink answers false
  kClientLeaves,    // once ready: the client disconnects
  kEarlyCalls,      // the fault is unused: the calls come before the objects exist
};

struct FaultRow {
  const char* name;
  const char* fault;  // null: none
  Step step;
  const char* text;  // the message logged (a trace's exit line: "Exit - ..."), no line end
};

void PrintTo(const FaultRow& row, std::ostream* out) { *out << row.name; }

class ChannelFaultLines : public LoggedChannelFixture,
                          public ::testing::WithParamInterface<FaultRow> {};

}  // namespace

TEST_P(ChannelFaultLines, TheFailureIsLoggedAndNothingIsLeftBehind) {
  const FaultRow& row = GetParam();
  const auto kData = RPCPluginInstance::RPC_CHANNEL_TYPE_DATA;
  void* ctx = nullptr;
  uint32_t options = 0;
  if (row.step == Step::kEarlyCalls) {
    ASSERT_TRUE(manager->ServerInitForSession(170, plugin, 0));
    EXPECT_FALSE(plugin->CreateMessage(&ctx, kData));
    EXPECT_FALSE(plugin->GetChannelOptions(kData, &options));
    EXPECT_TRUE(HasLine("Failed to create message (hChannel == NULL)"));
    EXPECT_TRUE(HasLine(row.text));
    return;
  }
  if (row.step == Step::kConnect) {
    ASSERT_TRUE(sim->KapSim_SetFault(row.fault, KAPSIM_FAULT_FAIL));
    ASSERT_NO_FATAL_FAILURE(StartAndConnect(171));
    EXPECT_TRUE(PumpUntil([&] { return HasLine(row.text); })) << row.text;
    return;
  }
  ASSERT_NO_FATAL_FAILURE(StartReady(172));
  if (row.step == Step::kDestroyMessage) {
    ASSERT_TRUE(plugin->CreateMessage(&ctx, kData));
  }
  ASSERT_TRUE(sim->KapSim_SetFault(row.fault, KAPSIM_FAULT_FAIL));
  switch (row.step) {
    case Step::kCreateMessage:
      EXPECT_FALSE(plugin->CreateMessage(&ctx, kData));
      break;
    case Step::kCreateExtended:
      EXPECT_FALSE(plugin->CreateExtMessage(&ctx, kData, 1));
      break;
    case Step::kDestroyMessage:
      EXPECT_FALSE(plugin->DestroyMessage(ctx));
      sim->KapSim_ResetFaults();
      EXPECT_TRUE(plugin->DestroyMessage(ctx));
      break;
    case Step::kGetOptions:
      EXPECT_FALSE(plugin->GetChannelOptions(kData, &options));
      break;
    case Step::kUnregisterSink:
      EXPECT_FALSE(plugin->UnregisterChannelSink());
      break;
    default:
      ASSERT_EQ(sim->KapSim_DisconnectClient(client), TRUE);
      EXPECT_TRUE(PumpUntil([&] { return plugin->notReadyCount.load() == 1; }));
      break;
  }
  EXPECT_TRUE(PumpUntil([&] { return HasLine(row.text); })) << row.text;
}

INSTANTIATE_TEST_SUITE_P(
    Calls, ChannelFaultLines,
    ::testing::Values(
        FaultRow{"Connect", "Channel.v1.Connect", Step::kConnect,
                 "Exit - Channel.v1.Connect() failed"},
        FaultRow{"CreateObject", "ChannelObject.v1.CreateChannelObject", Step::kConnect,
                 "Exit - Failed to create channel object \"UsbRedirControlObj\""},
        FaultRow{"ObjectOptions", "ChannelObject.v3.GetObjectOptions", Step::kConnect,
                 "Obtain DataObj options failed "},
        FaultRow{"CreateContext", "ChannelObject.v1.CreateContext", Step::kCreateMessage,
                 "Failed to create message (CreateContext failed)"},
        FaultRow{"CreateContext3", "ChannelObject.v3.CreateContext", Step::kCreateExtended,
                 "Failed to create message (CreateContext failed)"},
        FaultRow{"DestroyContext", "ChannelObject.v1.DestroyContext", Step::kDestroyMessage,
                 "Failed to destroy message (DestroyContext failed)"},
        FaultRow{"GetOptions", "ChannelObject.v3.GetObjectOptions", Step::kGetOptions,
                 "Failed to get channel options (GetObjectOptions failed)"},
        FaultRow{"UnregisterSink", "Channel.v1.UnregisterChannelNotifySink", Step::kUnregisterSink,
                 "Exit - Channel.v1.UnregisterChannelNotifySink() failed"},
        FaultRow{"DestroyObject", "ChannelObject.v1.DestroyChannelObject", Step::kClientLeaves,
                 "Exit - Failed to destroy channel object \"UsbRedirDataObj\""},
        FaultRow{"BeforeObjects", nullptr, Step::kEarlyCalls,
                 "Failed to get channel options (hChannel == NULL)"}),
    [](const ::testing::TestParamInfo<FaultRow>& info) { return std::string(info.param.name); });
