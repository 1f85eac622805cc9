#include <cstring>

#include "ChannelTestSupport.h"
#include "channel/RPCVariant.h"

using KAPServiceCommandTest = ChannelFixture;
INSTANTIATE_TEST_SUITE_P(Quiet, KAPServiceCommandTest, ::testing::Values(false));

// Typed appends read back with their variant types; return values, raw variants and the
// command round-trip; a self-clearing variant frees what the library put in. A bad index is
// refused without asking the library; a failed conversion or append leaves the message
// unchanged and frees the variant; a failed named read keeps the name.
TEST_P(KAPServiceCommandTest, AppendsReadBackAndFailuresLeaveMessageNameAndVariants) {
  StartReady(140);
  void* ctx = nullptr;
  ASSERT_TRUE(plugin->CreateMessage(&ctx, kDataChan));
  std::unique_ptr<PlainCommand> command(
      new PlainCommand(plugin->ChannelContextInterface(), plugin->VariantInterface(), ctx));
  KAP_RPC_VARIANT v{};
  auto Clear = [&] { plugin->VariantInterface()->v1.VariantClear(&v); };
  auto LiveVariants = [&] { return sim->Counters().variants; };
  char bytes[] = {'a', '\0', 'b'};
  KAP_RPC_BLOB blob{sizeof(bytes), bytes};
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

  struct Row {
    uint16_t vt;
    std::function<bool(const KAP_RPC_VARIANT&)> holds;
  };
  const Row rows[] = {
      {KAP_RPC_VT_I1, [](const KAP_RPC_VARIANT& x) { return x.cVal == 'c'; }},
      {KAP_RPC_VT_I2, [](const KAP_RPC_VARIANT& x) { return x.iVal == -2; }},
      {KAP_RPC_VT_UI2, [](const KAP_RPC_VARIANT& x) { return x.uiVal == 3; }},
      {KAP_RPC_VT_I4, [](const KAP_RPC_VARIANT& x) { return x.lVal == -4; }},
      {KAP_RPC_VT_UI4, [](const KAP_RPC_VARIANT& x) { return x.ulVal == 5u; }},
      {KAP_RPC_VT_I8, [](const KAP_RPC_VARIANT& x) { return x.llVal == -6; }},
      {KAP_RPC_VT_UI8, [](const KAP_RPC_VARIANT& x) { return x.ullVal == 7u; }},
      {KAP_RPC_VT_R4, [](const KAP_RPC_VARIANT& x) { return x.fVal == 1.5f; }},
      {KAP_RPC_VT_R8, [](const KAP_RPC_VARIANT& x) { return x.dVal == 2.5; }},
      {KAP_RPC_VT_LPSTR, [](const KAP_RPC_VARIANT& x) { return strcmp(x.strVal, "text") == 0; }},
      {KAP_RPC_VT_BLOB,
       [&](const KAP_RPC_VARIANT& x) {
         return x.blobVal.size == sizeof(bytes) && memcmp(x.blobVal.blobData, bytes, 3) == 0;
       }},
  };
  for (int i = 0; i < 11; ++i) {
    SCOPED_TRACE(i);
    ASSERT_TRUE(command->GetParam(i, &v));
    EXPECT_EQ(v.vt, rows[i].vt);
    EXPECT_TRUE(v.vt != rows[i].vt || rows[i].holds(v));
    Clear();
  }
  std::string name = "unchanged";
  ASSERT_TRUE(command->GetNamedParam(11, name, &v));
  EXPECT_EQ(name, "answer");
  EXPECT_EQ(v.lVal, 42);
  Clear();

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
  ASSERT_EQ(command->GetNumParams(), 14);
  ASSERT_TRUE(command->GetReturnVal(1, &v));
  EXPECT_EQ(v.vt, KAP_RPC_VT_I4);
  EXPECT_EQ(v.lVal, -12);
  Clear();

  int64_t live = LiveVariants();
  {
    RPCVariant variant(plugin);
    EXPECT_EQ(variant.vt, KAP_RPC_VT_EMPTY);
    ASSERT_EQ(plugin->VariantInterface()->v1.VariantFromStr(&variant, "held"), TRUE);
    EXPECT_EQ(LiveVariants(), live + 1);
  }
  EXPECT_EQ(LiveVariants(), live);

  const char* reads[] = {"Context.v1.GetParam", "Context.v1.GetNamedParam",
                         "Context.v1.GetReturnVal"};
  uint64_t counts[3];
  for (int i = 0; i < 3; ++i) counts[i] = Calls(reads[i]);
  name = "kept";
  EXPECT_FALSE(command->GetParam(14, &v));
  EXPECT_FALSE(command->GetParam(-1, &v));
  EXPECT_FALSE(command->GetNamedParam(14, name, &v));
  EXPECT_FALSE(command->GetReturnVal(2, &v));
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Calls(reads[i]), counts[i]) << reads[i];
  ASSERT_EQ(sim->KapSim_SetFault("Context.v1.GetNamedParam", KAPSIM_FAULT_FAIL), TRUE);
  EXPECT_FALSE(command->GetNamedParam(11, name, &v));
  EXPECT_EQ(name, "kept");

  ASSERT_EQ(sim->KapSim_SetFault("Variant.v1.VariantFromStr", KAPSIM_FAULT_FAIL), TRUE);
  EXPECT_FALSE(command->AddParam("lost"));
  EXPECT_FALSE(command->AddNamedParam("lost", "name"));
  EXPECT_FALSE(command->AppendReturnVal("lost"));
  EXPECT_EQ(command->GetNumParams(), 14);
  EXPECT_EQ(command->GetNumReturnVal(), 2);
  sim->KapSim_ResetFaults();

  live = LiveVariants();
  ASSERT_EQ(sim->KapSim_SetFault("Context.v1.AppendParam", KAPSIM_FAULT_FAIL), TRUE);
  ASSERT_EQ(sim->KapSim_SetFault("Context.v1.AppendReturnVal", KAPSIM_FAULT_FAIL), TRUE);
  EXPECT_FALSE(command->AddParam("string that the library copied"));
  EXPECT_FALSE(command->AppendReturnVal("another"));
  EXPECT_EQ(LiveVariants(), live);
  EXPECT_EQ(command->GetNumParams(), 14);
  command.reset();
  EXPECT_TRUE(plugin->DestroyMessage(ctx));
}
