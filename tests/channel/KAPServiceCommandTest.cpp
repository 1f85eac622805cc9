#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "ChannelTestSupport.h"
#include "channel/KAPServiceCommand.h"
#include "channel/RPCVariant.h"

namespace {

// A command on a fresh outgoing message of a ready instance; the message is destroyed with
// the fixture.
class KAPServiceCommandTest : public ChannelFixture {
 protected:
  void SetUp() override {
    ChannelFixture::SetUp();
    StartReady(140);
    ASSERT_TRUE(plugin->CreateMessage(&ctx, RPCPluginInstance::RPC_CHANNEL_TYPE_DATA));
    command.reset(
        new PlainCommand(plugin->ChannelContextInterface(), plugin->VariantInterface(), ctx));
  }
  void TearDown() override {
    command.reset();
    if (ctx != nullptr) {
      plugin->DestroyMessage(ctx);
    }
    ChannelFixture::TearDown();
  }

  void Clear(KAP_RPC_VARIANT* v) { plugin->VariantInterface()->v1.VariantClear(v); }
  int64_t LiveVariants() {
    KapSimCounters counters;
    sim->KapSim_GetCounters(&counters);
    return counters.variants;
  }

  void* ctx = nullptr;
  std::unique_ptr<PlainCommand> command;
};

}  // namespace

TEST_F(KAPServiceCommandTest, EveryTypedAppendReadsBackWithItsVariantType) {
  char bytes[] = {'a', '\0', 'b'};
  KAP_RPC_BLOB blob{sizeof(bytes), bytes};
  EXPECT_EQ(command->GetContext(), ctx);
  ASSERT_TRUE(command->AddParam('c'));
  ASSERT_TRUE(command->AddParam(static_cast<short>(-2)));
  ASSERT_TRUE(command->AddParam(static_cast<unsigned short>(3)));
  ASSERT_TRUE(command->AddParam(-4));
  ASSERT_TRUE(command->AddParam(5u));
  ASSERT_TRUE(command->AddParam(-6L));
  ASSERT_TRUE(command->AddParam(7UL));
  ASSERT_TRUE(command->AddParam(1.5f));
  ASSERT_TRUE(command->AddParam(2.5));
  ASSERT_TRUE(command->AddParam("text"));
  ASSERT_TRUE(command->AddParam(&blob));
  ASSERT_TRUE(command->AddNamedParam(42, "answer"));
  ASSERT_EQ(command->GetNumParams(), 12);

  const uint16_t types[] = {KAP_RPC_VT_I1,  KAP_RPC_VT_I2,    KAP_RPC_VT_UI2, KAP_RPC_VT_I4,
                            KAP_RPC_VT_UI4, KAP_RPC_VT_I8,    KAP_RPC_VT_UI8, KAP_RPC_VT_R4,
                            KAP_RPC_VT_R8,  KAP_RPC_VT_LPSTR, KAP_RPC_VT_BLOB};
  KAP_RPC_VARIANT v;
  for (int i = 0; i < 11; ++i) {
    memset(&v, 0, sizeof(v));
    ASSERT_TRUE(command->GetParam(i, &v)) << i;
    EXPECT_EQ(v.vt, types[i]) << i;
    switch (i) {
      case 0:
        EXPECT_EQ(v.cVal, 'c');
        break;
      case 1:
        EXPECT_EQ(v.iVal, -2);
        break;
      case 2:
        EXPECT_EQ(v.uiVal, 3);
        break;
      case 3:
        EXPECT_EQ(v.lVal, -4);
        break;
      case 4:
        EXPECT_EQ(v.ulVal, 5u);
        break;
      case 5:
        EXPECT_EQ(v.llVal, -6);
        break;
      case 6:
        EXPECT_EQ(v.ullVal, 7u);
        break;
      case 7:
        EXPECT_FLOAT_EQ(v.fVal, 1.5f);
        break;
      case 8:
        EXPECT_DOUBLE_EQ(v.dVal, 2.5);
        break;
      case 9:
        EXPECT_STREQ(v.strVal, "text");
        break;
      case 10:
        ASSERT_EQ(v.blobVal.size, sizeof(bytes));
        EXPECT_EQ(memcmp(v.blobVal.blobData, bytes, sizeof(bytes)), 0);
        break;
    }
    Clear(&v);
  }
  std::string name = "unchanged";
  memset(&v, 0, sizeof(v));
  ASSERT_TRUE(command->GetNamedParam(11, name, &v));
  EXPECT_EQ(name, "answer");
  EXPECT_EQ(v.lVal, 42);
  Clear(&v);
}

TEST_F(KAPServiceCommandTest, IndexOutsideTheParametersIsRefusedWithoutAskingTheLibrary) {
  ASSERT_TRUE(command->AddParam(1));
  uint64_t gets = Calls("Context.v1.GetParam");
  uint64_t namedGets = Calls("Context.v1.GetNamedParam");
  uint64_t returnGets = Calls("Context.v1.GetReturnVal");
  KAP_RPC_VARIANT v;
  memset(&v, 0, sizeof(v));
  std::string name = "kept";
  EXPECT_FALSE(command->GetParam(1, &v));
  EXPECT_FALSE(command->GetParam(-1, &v));
  EXPECT_FALSE(command->GetNamedParam(1, name, &v));
  EXPECT_FALSE(command->GetReturnVal(0, &v));
  EXPECT_EQ(Calls("Context.v1.GetParam"), gets);
  EXPECT_EQ(Calls("Context.v1.GetNamedParam"), namedGets);
  EXPECT_EQ(Calls("Context.v1.GetReturnVal"), returnGets);
  EXPECT_EQ(name, "kept");
}

TEST_F(KAPServiceCommandTest, FailedConversionLeavesTheMessageUnchanged) {
  ASSERT_TRUE(command->AddParam(1));
  ASSERT_EQ(sim->KapSim_SetFault("Variant.v1.VariantFromStr", KAPSIM_FAULT_FAIL), TRUE);
  EXPECT_FALSE(command->AddParam("lost"));
  EXPECT_FALSE(command->AddNamedParam("lost", "name"));
  EXPECT_FALSE(command->AppendReturnVal("lost"));
  EXPECT_EQ(command->GetNumParams(), 1);
  EXPECT_EQ(command->GetNumReturnVal(), 0);
}

TEST_F(KAPServiceCommandTest, FailedAppendStillFreesTheVariant) {
  int64_t live = LiveVariants();
  ASSERT_EQ(sim->KapSim_SetFault("Context.v1.AppendParam", KAPSIM_FAULT_FAIL), TRUE);
  ASSERT_EQ(sim->KapSim_SetFault("Context.v1.AppendReturnVal", KAPSIM_FAULT_FAIL), TRUE);
  EXPECT_FALSE(command->AddParam("string that the library copied"));
  EXPECT_FALSE(command->AppendReturnVal("another"));
  EXPECT_EQ(LiveVariants(), live);
  EXPECT_EQ(command->GetNumParams(), 0);
}

TEST_F(KAPServiceCommandTest, FailedNamedReadKeepsTheName) {
  ASSERT_TRUE(command->AddNamedParam(7, "seven"));
  ASSERT_EQ(sim->KapSim_SetFault("Context.v1.GetNamedParam", KAPSIM_FAULT_FAIL), TRUE);
  std::string name = "kept";
  KAP_RPC_VARIANT v;
  memset(&v, 0, sizeof(v));
  EXPECT_FALSE(command->GetNamedParam(0, name, &v));
  EXPECT_EQ(name, "kept");
}

TEST_F(KAPServiceCommandTest, ReturnValuesAndCommandRoundTrip) {
  ASSERT_TRUE(command->SetCommand(9));
  EXPECT_EQ(command->GetCommand(), 9u);
  ASSERT_TRUE(command->AppendReturnVal(11UL));
  KAP_RPC_VARIANT raw;
  memset(&raw, 0, sizeof(raw));
  raw.vt = KAP_RPC_VT_I4;
  raw.lVal = -12;
  ASSERT_TRUE(command->AppendReturnVal(&raw));
  ASSERT_TRUE(command->AddParam(&raw));
  ASSERT_TRUE(command->AddNamedParam(&raw, "raw"));
  ASSERT_EQ(command->GetNumReturnVal(), 2);
  ASSERT_EQ(command->GetNumParams(), 2);
  KAP_RPC_VARIANT v;
  memset(&v, 0, sizeof(v));
  ASSERT_TRUE(command->GetReturnVal(1, &v));
  EXPECT_EQ(v.vt, KAP_RPC_VT_I4);
  EXPECT_EQ(v.lVal, -12);
  Clear(&v);
}

TEST_F(KAPServiceCommandTest, SelfClearingVariantFreesWhatTheLibraryPutIntoIt) {
  int64_t live = LiveVariants();
  {
    RPCVariant variant(plugin);
    EXPECT_EQ(variant.vt, KAP_RPC_VT_EMPTY);
    ASSERT_EQ(plugin->VariantInterface()->v1.VariantFromStr(&variant, "held"), TRUE);
    EXPECT_EQ(LiveVariants(), live + 1);
  }
  EXPECT_EQ(LiveVariants(), live);
}
