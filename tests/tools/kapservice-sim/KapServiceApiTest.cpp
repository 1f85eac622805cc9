// The library's binary surface: identifiers, entry points, the query and its versions, and
// the fault switches, reached through dlopen as the framework reaches them.
#include <dlfcn.h>

#include <cstring>

#include <gtest/gtest.h>

#include "KapServiceSim.h"
#include "MiniServer.h"

namespace kapsimtest {
namespace {

using KapServiceApi = SimFixture;

TEST(KapServiceAbi, InterfaceIdentifiersHaveTheirExactBytes) {
  struct {
    const GUID* iid;
    uint8_t xx;
  } const ids[] = {{&GUID_KAPRPC_VariantInterface_V1, 0x00},
                   {&GUID_KAPRPC_ChannelObjectInterface_V1, 0x02},
                   {&GUID_KAPRPC_ChannelContextInterface_V1, 0x03},
                   {&GUID_KAPOverlay_ClientInterface_V1, 0x05},
                   {&GUID_KAPService_ChannelInterface_V1, 0x06},
                   {&GUID_KAPOverlay_ClientInterface_V2, 0x07},
                   {&GUID_KAPRPC_ChannelContextInterface_V2, 0x08},
                   {&GUID_KAPRPC_ChannelObjectInterface_V2, 0x0A},
                   {&GUID_KAPService_ChannelInterface_V3, 0x0B},
                   {&GUID_KAPRPC_StreamDataInterface_V1, 0x0C},
                   {&GUID_KAPRPC_StreamDataInterface_V2, 0x0E},
                   {&GUID_KAPRPC_ChannelObjectInterface_V3, 0x0F},
                   {&GUID_KAPService_ChannelInterface_V2, 0x10},
                   {&GUID_KAPRPC_ChannelObjectInterface_V4, 0x12}};
  for (const auto& id : ids) {
    const uint8_t expected[16] = {0x00, 0xA6, 0x00, 0xA5, id.xx, 0x00, 0xE2, 0x81,
                                  0x88, 0xC1, 0x29, 0xA7, 0xD3,  0xA9, 0x3A, 0x62};
    EXPECT_EQ(std::memcmp(id.iid, expected, 16), 0) << "identifier 0x" << std::hex << int(id.xx);
  }
}

// One instance: the control API the test links is the one the dlopen'ed library serves,
// which exports nothing but its entry points and that API; each build variant lacks exactly
// its exit.
TEST_F(KapServiceApi, LibraryAndEachBuildVariantExportTheirEntryPoints) {
  const Library& lib = Library::Get();
  ASSERT_NE(lib.handle, nullptr) << dlerror();
  EXPECT_EQ(dlsym(lib.handle, "KapSim_GetCounters"), reinterpret_cast<void*>(&KapSim_GetCounters));
  EXPECT_EQ(dlsym(lib.handle, "_ZN6kapsim8SimState3GetEv"), nullptr);
  const char* all[] = {KAPSERVICE_SERVER_INIT_NAME,      KAPSERVICE_SERVER_INIT_LP_NAME,
                       KAPSERVICE_SERVER_EXIT_NAME,      KAPSERVICE_SERVER_INIT2_NAME,
                       KAPSERVICE_SERVER_EXIT2_NAME,     KAPSERVICE_MULTI_SERVER_INIT_NAME,
                       KAPSERVICE_MULTI_SERVER_EXIT_NAME};
  const struct {
    const char* path;
    const char* missing;
  } variants[] = {{KAPSERVICE_SIM_PATH, ""},
                  {KAPSERVICE_SIM_NOEXIT_PATH, KAPSERVICE_SERVER_EXIT_NAME},
                  {KAPSERVICE_SIM_NOEXIT2_PATH, KAPSERVICE_SERVER_EXIT2_NAME},
                  {KAPSERVICE_SIM_NOMULTIEXIT_PATH, KAPSERVICE_MULTI_SERVER_EXIT_NAME}};
  for (const auto& v : variants) {
    void* h = dlopen(v.path, RTLD_LAZY | RTLD_LOCAL);
    ASSERT_NE(h, nullptr) << dlerror();
    for (const char* name : all) {
      EXPECT_EQ(dlsym(h, name) == nullptr, std::strcmp(name, v.missing) == 0)
          << v.path << " " << name;
    }
    dlclose(h);
  }
}

TEST_F(KapServiceApi, ServerInit2FillsQueryAndChannelAndServesOneServerPerSession) {
  const Library& lib = Library::Get();
  KAP_SERVICE_QUERY_INTERFACE qi{};
  void* channel = nullptr;
  ASSERT_EQ(lib.serverInit2(101, "UsbRedirection", &qi, &channel), TRUE);
  EXPECT_NE(qi.QueryInterface, nullptr);
  EXPECT_NE(channel, nullptr);
  EXPECT_EQ(KapSim_IsServerRunning(101), TRUE);
  KAP_SERVICE_QUERY_INTERFACE qi2{};
  void* channel2 = nullptr;
  EXPECT_EQ(lib.serverInit2(101, "UsbRedirection", &qi2, &channel2), FALSE);
  EXPECT_EQ(lib.serverInit2(102, "UsbRedirection", nullptr, &channel2), FALSE);
  EXPECT_EQ(lib.serverExit2(101), TRUE);
  EXPECT_EQ(lib.serverExit2(101), FALSE);
  EXPECT_EQ(lib.serverExit(), FALSE);  // no own-session server runs

  ASSERT_EQ(lib.serverInit("UsbRedirection", &qi, &channel), TRUE);
  EXPECT_EQ(KapSim_IsServerRunning(KAPSIM_OWN_SESSION), TRUE);
  EXPECT_EQ(lib.serverExit(), TRUE);

  KapMultiServerID ms = nullptr;
  ASSERT_EQ(lib.multiServerInit(103, "UsbRedirection", "", &qi, &ms), TRUE);
  EXPECT_NE(ms, nullptr);
  EXPECT_EQ(lib.multiServerExit(ms, nullptr), TRUE);
  EXPECT_EQ(lib.multiServerExit(ms, nullptr), FALSE);
}

TEST_F(KapServiceApi, QueryFillsEachVersionUpToItsGroupAndRefusesOthers) {
  const Library& lib = Library::Get();
  KAP_SERVICE_QUERY_INTERFACE qi{};
  void* channel = nullptr;
  ASSERT_EQ(lib.serverInit2(110, "t", &qi, &channel), TRUE);

  KAPService_ChannelInterface ch{};
  ASSERT_EQ(qi.QueryInterface(&GUID_KAPService_ChannelInterface_V2, &ch), TRUE);
  EXPECT_EQ(ch.version, 2u);
  EXPECT_NE(ch.v1.Poll, nullptr);
  EXPECT_NE(ch.v2.GetSessionType, nullptr);
  EXPECT_EQ(ch.v3.Poll, nullptr);  // beyond the version asked for
  ASSERT_EQ(qi.QueryInterface(&GUID_KAPService_ChannelInterface_V3, &ch), TRUE);
  EXPECT_NE(ch.v3.Poll, nullptr);

  KAPRPC_ChannelObjectInterface obj{};
  ASSERT_EQ(qi.QueryInterface(&GUID_KAPRPC_ChannelObjectInterface_V4, &obj), TRUE);
  EXPECT_EQ(obj.version, 4u);
  EXPECT_NE(obj.v3.CreateContext, nullptr);
  EXPECT_NE(obj.v4.GetObjectStateByName, nullptr);

  KAPRPC_StreamDataInterface sd{};
  EXPECT_EQ(qi.QueryInterface(&GUID_KAPRPC_StreamDataInterface_V2, &sd), TRUE);
  KAPOverlayClient_Interface overlay{};
  EXPECT_EQ(qi.QueryInterface(&GUID_KAPOverlay_ClientInterface_V1, &overlay), FALSE);

  GUID unknown = GUID_KAPRPC_VariantInterface_V1;
  unknown.Data2 = 0x01;
  EXPECT_EQ(qi.QueryInterface(&unknown, &obj), FALSE);
  unknown = GUID_KAPRPC_VariantInterface_V1;
  unknown.Data4[7] ^= 1;
  EXPECT_EQ(qi.QueryInterface(&unknown, &obj), FALSE);
  EXPECT_EQ(qi.QueryInterface(nullptr, &obj), FALSE);
  EXPECT_EQ(qi.QueryInterface(&GUID_KAPRPC_VariantInterface_V1, nullptr), FALSE);

  KapSim_OfferVersion1Only();
  KAPService_ChannelInterface ch1{};
  EXPECT_EQ(qi.QueryInterface(&GUID_KAPService_ChannelInterface_V3, &ch1), FALSE);
  EXPECT_EQ(qi.QueryInterface(&GUID_KAPService_ChannelInterface_V2, &ch1), FALSE);
  ASSERT_EQ(qi.QueryInterface(&GUID_KAPService_ChannelInterface_V1, &ch1), TRUE);
  EXPECT_EQ(ch1.version, 1u);
  EXPECT_EQ(ch1.v2.GetSessionType, nullptr);
  KAPRPC_ChannelContextInterface ctx{};
  EXPECT_EQ(qi.QueryInterface(&GUID_KAPRPC_ChannelContextInterface_V2, &ctx), FALSE);
  ASSERT_EQ(qi.QueryInterface(&GUID_KAPRPC_ChannelContextInterface_V1, &ctx), TRUE);
  EXPECT_EQ(ctx.v2.SetOps, nullptr);

  EXPECT_EQ(KapSim_SetMaxVersion("Variant", 0), TRUE);
  KAPRPC_VariantInterface var{};
  EXPECT_EQ(qi.QueryInterface(&GUID_KAPRPC_VariantInterface_V1, &var), FALSE);
  EXPECT_EQ(KapSim_SetMaxVersion("Channel", 4), FALSE);  // no identifier offers a fourth
  EXPECT_EQ(KapSim_SetMaxVersion("NoSuchTable", 1), FALSE);
  EXPECT_EQ(lib.serverExit2(110), TRUE);
}

TEST_F(KapServiceApi, FaultSwitchesFailOrRemoveFunctionsAndCallsAreCounted) {
  const Library& lib = Library::Get();
  KAP_SERVICE_QUERY_INTERFACE qi{};
  void* channel = nullptr;
  ASSERT_EQ(KapSim_SetFault(KAPSERVICE_SERVER_INIT2_NAME, KAPSIM_FAULT_FAIL), TRUE);
  const uint64_t before = KapSim_GetCallCount(KAPSERVICE_SERVER_INIT2_NAME);
  EXPECT_EQ(lib.serverInit2(120, "t", &qi, &channel), FALSE);
  EXPECT_EQ(KapSim_GetCallCount(KAPSERVICE_SERVER_INIT2_NAME), before + 1);
  EXPECT_EQ(KapSim_IsServerRunning(120), FALSE);
  // dlsym cannot be switched off: absence of an entry point needs a build variant.
  EXPECT_EQ(KapSim_SetFault(KAPSERVICE_SERVER_EXIT2_NAME, KAPSIM_FAULT_ABSENT), FALSE);
  EXPECT_EQ(KapSim_SetFault("Channel.v9.Poll", KAPSIM_FAULT_FAIL), FALSE);
  EXPECT_EQ(KapSim_SetFault(KAPSERVICE_SERVER_INIT2_NAME, KAPSIM_FAULT_NONE), TRUE);
  ASSERT_EQ(lib.serverInit2(120, "t", &qi, &channel), TRUE);

  ASSERT_EQ(KapSim_SetFault("Channel.v3.Poll", KAPSIM_FAULT_ABSENT), TRUE);
  ASSERT_EQ(KapSim_SetFault("Variant.v1.VariantFromBlob", KAPSIM_FAULT_FAIL), TRUE);
  ASSERT_EQ(KapSim_SetFault("QueryInterface", KAPSIM_FAULT_NONE), TRUE);
  KAPService_ChannelInterface ch{};
  ASSERT_EQ(qi.QueryInterface(&GUID_KAPService_ChannelInterface_V3, &ch), TRUE);
  EXPECT_EQ(ch.v3.Poll, nullptr);
  EXPECT_NE(ch.v1.Poll, nullptr);
  KAPRPC_VariantInterface var{};
  ASSERT_EQ(qi.QueryInterface(&GUID_KAPRPC_VariantInterface_V1, &var), TRUE);
  KAP_RPC_VARIANT v{};
  const char bytes[3] = {1, 2, 3};
  KAP_RPC_BLOB blob{3, const_cast<char*>(bytes)};
  const uint64_t blobCalls = KapSim_GetCallCount("Variant.v1.VariantFromBlob");
  EXPECT_EQ(var.v1.VariantFromBlob(&v, &blob), FALSE);
  EXPECT_EQ(KapSim_GetCallCount("Variant.v1.VariantFromBlob"), blobCalls + 1);
  EXPECT_EQ(var.v1.VariantFromUInt32(&v, 7), TRUE);
  EXPECT_EQ(v.vt, KAP_RPC_VT_UI4);

  ASSERT_EQ(KapSim_SetFault("QueryInterface", KAPSIM_FAULT_FAIL), TRUE);
  EXPECT_EQ(qi.QueryInterface(&GUID_KAPRPC_VariantInterface_V1, &var), FALSE);
  KapSim_ResetFaults();
  EXPECT_EQ(KapSim_GetCallCount("QueryInterface"), 0u);
  EXPECT_EQ(lib.serverExit2(120), TRUE);
}

TEST_F(KapServiceApi, VariantsOwnTheirStringsAndBlobsUntilCleared) {
  const Library& lib = Library::Get();
  KAP_SERVICE_QUERY_INTERFACE qi{};
  void* channel = nullptr;
  ASSERT_EQ(lib.serverInit2(130, "t", &qi, &channel), TRUE);
  KAPRPC_VariantInterface var{};
  ASSERT_EQ(qi.QueryInterface(&GUID_KAPRPC_VariantInterface_V1, &var), TRUE);
  KapSimCounters c0 = Counters();

  std::string text = "GetDeviceList";
  KAP_RPC_VARIANT s{};
  ASSERT_EQ(var.v1.VariantInit(&s), TRUE);
  ASSERT_EQ(var.v1.VariantFromStr(&s, text.c_str()), TRUE);
  text[0] = 'X';  // the variant holds its own copy
  EXPECT_STREQ(s.strVal, "GetDeviceList");
  KAP_RPC_VARIANT copy{};
  ASSERT_EQ(var.v1.VariantCopy(&copy, &s), TRUE);
  EXPECT_NE(copy.strVal, s.strVal);
  KapSimCounters c1 = Counters();
  EXPECT_EQ(c1.variants, c0.variants + 2);

  // A shallow copy cleared after its original: the library refuses the second free.
  KAP_RPC_VARIANT shallow = s;
  EXPECT_EQ(var.v1.VariantClear(&s), TRUE);
  EXPECT_EQ(s.vt, KAP_RPC_VT_EMPTY);
  EXPECT_EQ(var.v1.VariantClear(&shallow), FALSE);
  EXPECT_EQ(var.v1.VariantClear(&copy), TRUE);
  KAP_RPC_VARIANT foreign = Str("not the library's");
  EXPECT_EQ(var.v1.VariantClear(&foreign), FALSE);

  KAP_RPC_BLOB empty{0, nullptr};
  KAP_RPC_VARIANT b{};
  ASSERT_EQ(var.v1.VariantFromBlob(&b, &empty), TRUE);
  EXPECT_EQ(b.vt, KAP_RPC_VT_BLOB);
  EXPECT_EQ(b.blobVal.size, 0u);
  EXPECT_EQ(var.v1.VariantClear(&b), TRUE);
  KAP_RPC_BLOB broken{4, nullptr};
  EXPECT_EQ(var.v1.VariantFromBlob(&b, &broken), FALSE);
  EXPECT_EQ(var.v1.VariantFromStr(&b, nullptr), FALSE);

  KapSimCounters c2 = Counters();
  EXPECT_EQ(c2.variants, c0.variants);
  EXPECT_EQ(c2.badClears, c0.badClears + 2);
  EXPECT_EQ(lib.serverExit2(130), TRUE);
}

}  // namespace
}  // namespace kapsimtest
