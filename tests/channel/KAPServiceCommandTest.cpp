#include <sstream>

#include "ChannelTestSupport.h"
#include "channel/RPCVariant.h"

using KAPServiceCommandTest = ChannelFixture;
INSTANTIATE_TEST_SUITE_P(Quiet, KAPServiceCommandTest, ::testing::Values(false));

// The unsigned and string appends are read back by the end-to-end tests.
TEST_P(KAPServiceCommandTest, AppendsReadBackAndFailuresLeaveMessageNameAndVariants) {
  StartReady(140);
  void* ctx = nullptr;
  ASSERT_TRUE(plugin->CreateMessage(&ctx, kDataChan));
  std::unique_ptr<PlainCommand> command(
      new PlainCommand(plugin->ChannelContextInterface(), plugin->VariantInterface(), ctx));
  KAP_RPC_VARIANT v{};
  char bytes[] = {'a', '\0', 'b'};
  KAP_RPC_BLOB blob{sizeof(bytes), bytes};
  ASSERT_TRUE(command->AddParam('c'));
  ASSERT_TRUE(command->AddParam(static_cast<short>(-2)));
  ASSERT_TRUE(command->AddParam(static_cast<unsigned short>(3)));
  ASSERT_TRUE(command->AddParam(-4));
  ASSERT_TRUE(command->AddParam(-6L));
  ASSERT_TRUE(command->AddParam(1.5f));
  ASSERT_TRUE(command->AddParam(2.5));
  ASSERT_TRUE(command->AddParam(&blob));
  ASSERT_TRUE(command->AddNamedParam(42, "answer"));

  // Each as "<variant type>=<value>" (I1 16, I2 2, UI2 18, I4 3, I8 20, R4 4, R8 5, BLOB 65).
  KAP_RPC_VARIANT p[8] = {};
  for (int i = 0; i < 8; ++i) ASSERT_TRUE(command->GetParam(i, &p[i])) << i;
  std::ostringstream got;
  got << p[0].vt << '=' << p[0].cVal << ' ' << p[1].vt << '=' << p[1].iVal << ' ' << p[2].vt << '='
      << p[2].uiVal << ' ' << p[3].vt << '=' << p[3].lVal << ' ' << p[4].vt << '=' << p[4].llVal
      << ' ' << p[5].vt << '=' << p[5].fVal << ' ' << p[6].vt << '=' << p[6].dVal << ' ';
  const KAP_RPC_BLOB& b = p[7].blobVal;
  got << p[7].vt << '=' << (p[7].vt == KAP_RPC_VT_BLOB ? std::string(b.blobData, b.size) : "?");
  EXPECT_EQ(got.str(), "16=c 2=-2 18=3 3=-4 20=-6 4=1.5 5=2.5 65=" + std::string(bytes, 3));
  for (KAP_RPC_VARIANT& x : p) plugin->VariantInterface()->v1.VariantClear(&x);
  std::string name = "unchanged";
  ASSERT_TRUE(command->GetNamedParam(8, name, &v));
  EXPECT_EQ(name, "answer");
  EXPECT_EQ(v.lVal, 42);
  plugin->VariantInterface()->v1.VariantClear(&v);

  ASSERT_TRUE(command->AppendReturnVal(11UL));
  KAP_RPC_VARIANT raw{};
  raw.vt = KAP_RPC_VT_I4;
  raw.lVal = -12;
  ASSERT_TRUE(command->AppendReturnVal(&raw));
  ASSERT_TRUE(command->AddParam(&raw));
  ASSERT_TRUE(command->AddNamedParam(&raw, "raw"));
  ASSERT_TRUE(command->GetReturnVal(1, &v));
  EXPECT_EQ(v.vt, KAP_RPC_VT_I4);
  EXPECT_EQ(v.lVal, -12);
  plugin->VariantInterface()->v1.VariantClear(&v);

  int64_t live = sim->Counters().variants;
  {
    RPCVariant variant(plugin);
    EXPECT_EQ(variant.vt, KAP_RPC_VT_EMPTY);
    ASSERT_EQ(plugin->VariantInterface()->v1.VariantFromStr(&variant, "held"), TRUE);
    EXPECT_EQ(sim->Counters().variants, live + 1);
  }
  EXPECT_EQ(sim->Counters().variants, live);

  const char* reads[] = {"Context.v1.GetParam", "Context.v1.GetNamedParam",
                         "Context.v1.GetReturnVal"};
  uint64_t counts[3];
  for (int i = 0; i < 3; ++i) counts[i] = Calls(reads[i]);
  name = "kept";
  EXPECT_FALSE(command->GetParam(11, &v));
  EXPECT_FALSE(command->GetParam(-1, &v));
  EXPECT_FALSE(command->GetNamedParam(11, name, &v));
  EXPECT_FALSE(command->GetReturnVal(2, &v));
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Calls(reads[i]), counts[i]) << reads[i];
  ASSERT_EQ(sim->KapSim_SetFault("Context.v1.GetNamedParam", KAPSIM_FAULT_FAIL), TRUE);
  EXPECT_FALSE(command->GetNamedParam(8, name, &v));
  EXPECT_EQ(name, "kept");

  ASSERT_EQ(sim->KapSim_SetFault("Variant.v1.VariantFromStr", KAPSIM_FAULT_FAIL), TRUE);
  EXPECT_FALSE(command->AddParam("lost"));
  EXPECT_FALSE(command->AddNamedParam("lost", "name"));
  EXPECT_FALSE(command->AppendReturnVal("lost"));
  EXPECT_EQ(command->GetNumParams(), 11);
  EXPECT_EQ(command->GetNumReturnVal(), 2);
  sim->KapSim_ResetFaults();

  ASSERT_EQ(sim->KapSim_SetFault("Context.v1.AppendParam", KAPSIM_FAULT_FAIL), TRUE);
  ASSERT_EQ(sim->KapSim_SetFault("Context.v1.AppendReturnVal", KAPSIM_FAULT_FAIL), TRUE);
  EXPECT_FALSE(command->AddParam("string that the library copied"));
  EXPECT_FALSE(command->AppendReturnVal("another"));
  EXPECT_EQ(sim->Counters().variants, live);
  EXPECT_EQ(command->GetNumParams(), 11);
  command.reset();
  EXPECT_TRUE(plugin->DestroyMessage(ctx));
}
