// The stand-in channel service on its own: its binary surface and what the plug-in never does to
// it (misuse, bad handles, the control API's rules); the plug-in's tests drive ordinary sessions.
#include <dlfcn.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "KapServiceSim.h"
#include "KapSimLibrary.h"

namespace {

const char* const kControlObj = "UsbRedirControlObj";
const char* const kDataObj = "UsbRedirDataObj";
const uint32_t kNoSideChannel = 0x31;  // INVOKE_ALLOW_ANY_THREAD | NO_TCP | NO_VCHAN
using Events = std::vector<std::string>;

void* Library() {
  static void* const s_handle = dlopen(KAPSERVICE_SIM_PATH, RTLD_LAZY);
  return s_handle;
}
template <typename Fn>
Fn Entry(const char* name) {
  return reinterpret_cast<Fn>(dlsym(Library(), name));
}
Bool ServerInit2(uint32_t session, KAP_SERVICE_QUERY_INTERFACE* qi, void** channel) {
  auto init = Entry<KAPService_ServerInit2_Fn>(KAPSERVICE_SERVER_INIT2_NAME);
  return init(session, "UsbRedirection", qi, channel);
}
Bool ServerExit2(uint32_t session) {
  return Entry<KAPService_ServerExit2_Fn>(KAPSERVICE_SERVER_EXIT2_NAME)(session);
}

KapSimCounters Counters() {
  KapSimCounters c{};
  KapSim_GetCounters(&c);
  return c;
}

// A variant as "<type>:<value>".
std::string Text(const KAP_RPC_VARIANT& v) {
  if (v.vt == KAP_RPC_VT_LPSTR) return "30:" + std::string(v.strVal);
  if (v.vt == KAP_RPC_VT_BLOB) return "65:" + std::string(v.blobVal.blobData, v.blobVal.size);
  return std::to_string(v.vt) + ":" + std::to_string(v.ulVal);
}

// A server on the test's thread, run as the framework runs one; it records each notification
// as "<what>:<state>", and one delivered outside Poll() counts as a violation.
class Server {
 public:
  explicit Server(uint32_t session, uint32_t dataFlags = kNoSideChannel)
      : m_session(session), m_dataFlags(dataFlags) {
    auto q = [this](const GUID& iid, void* table) { return qi.QueryInterface(&iid, table); };
    started = ServerInit2(session, &qi, &channel) == TRUE &&
              q(GUID_KAPService_ChannelInterface_V3, &ch) &&
              q(GUID_KAPRPC_ChannelObjectInterface_V4, &obj) &&
              q(GUID_KAPRPC_ChannelContextInterface_V2, &ctx) &&
              q(GUID_KAPRPC_VariantInterface_V1, &var) &&
              ch.v1.RegisterChannelNotifySink(&kSink, this, &sinkId) == TRUE;
  }
  ~Server() {
    if (client != nullptr) KapSim_DestroyClient(client);
    ch.v1.UnregisterChannelNotifySink(sinkId);
    ServerExit2(m_session);
  }
  void Connect(uint32_t options = 0) {
    client = KapSim_ConnectClient(m_session, options, KAP_SERVICE_TALON_SESSION);
    Poll();
  }
  void Poll(int msTimeout = 0) {
    m_polling = true;
    ch.v3.Poll(msTimeout);
    m_polling = false;
  }
  // Sends a message on an object; with a null callback no completion is wanted.
  bool Send(void* object, uint32_t command, std::vector<KapSimParam> params,
            const KAPRPC_RequestCallback* callback, uint32_t* requestId) {
    void* c = nullptr;
    if (!obj.v1.CreateContext(object, &c)) return false;
    bool ok = ctx.v1.SetCommand(c, command) == TRUE;
    for (const KapSimParam& p : params) ok = ok && ctx.v1.AppendParam(c, &p.value);
    if (requestId != nullptr) *requestId = ctx.v1.GetId(c);
    ok = ok && obj.v1.Invoke(object, c, callback, this) == TRUE;
    return obj.v1.DestroyContext(c) == TRUE && ok;
  }
  void Record(const std::string& event) {
    if (!m_polling) ++violations;
    events.push_back(event);
  }

  KAP_SERVICE_QUERY_INTERFACE qi{};
  KAPService_ChannelInterface ch{};
  KAPRPC_ChannelObjectInterface obj{};
  KAPRPC_ChannelContextInterface ctx{};
  KAPRPC_VariantInterface var{};
  void* channel = nullptr;
  uint32_t sinkId = 0xFFFFFFFFu;
  KapSimClient* client = nullptr;
  bool started = false;
  int violations = 0;
  Events events;
  struct Object {
    Server* server;
    const char* label;
    void* handle;
  } control{this, "control", nullptr}, data{this, "data", nullptr};
  std::function<void(void* context)> onInvoke;

 private:
  static void OnConnection(void* ud, KAPService_ConnectionState cur, KAPService_ConnectionState,
                           void*) {
    auto* self = static_cast<Server*>(ud);
    self->Record("conn:" + std::to_string(cur));
    if (cur == KAP_SERVICE_CONN_CONNECTED) self->ch.v1.Connect();
  }
  static void OnChannel(void* ud, KAPService_ChannelState cur, KAPService_ChannelState, void*) {
    auto* self = static_cast<Server*>(ud);
    self->Record("chan:" + std::to_string(cur));
    if (cur == KAP_SERVICE_CHAN_CONNECTED) {
      self->obj.v1.CreateChannelObject(kControlObj, &kObjectSink, &self->control, kNoSideChannel,
                                       &self->control.handle);
    }
  }
  static void OnPeer(void* ud, const char* name, void*) {
    static_cast<Server*>(ud)->Record(std::string("peer:") + name);
  }
  static void OnInvoke(void* ud, void* context, void*) {
    auto* o = static_cast<Object*>(ud);
    o->server->Record(std::string("invoke:") + o->label + ":" +
                      std::to_string(o->server->ctx.v1.GetCommand(context)));
    if (o->server->onInvoke) o->server->onInvoke(context);
  }
  static void OnState(void* ud, void*) {
    auto* o = static_cast<Object*>(ud);
    Server* self = o->server;
    KAPRPC_ObjectState s = self->obj.v1.GetObjectState(o->handle);
    self->Record(std::string(o->label) + ":" + std::to_string(s));
    if (s == KAP_RPC_OBJ_DISCONNECTED) {
      self->obj.v1.DestroyChannelObject(o->handle);
      o->handle = nullptr;
    } else if (o == &self->control && s == KAP_RPC_OBJ_CONNECTED) {
      self->obj.v1.CreateChannelObject(kDataObj, &kObjectSink, &self->data, self->m_dataFlags,
                                       &self->data.handle);
    }
  }
  static constexpr KAPService_ChannelNotifySink kSink = {1, {&OnConnection, &OnChannel, &OnPeer}};
  static constexpr KAPRPC_ObjectNotifySink kObjectSink = {1, {&OnInvoke, &OnState}};

  const uint32_t m_session;
  const uint32_t m_dataFlags;
  bool m_polling = false;
};

// Callbacks record "done:<request>:<returned>:<first value>", "abort:<request>:<by user>:<reason>".
void OnDone(void* ud, uint32_t requestId, void* context) {
  auto* srv = static_cast<Server*>(ud);
  KAP_RPC_VARIANT v{};
  srv->ctx.v1.GetReturnVal(context, 0, &v);
  srv->Record("done:" + std::to_string(requestId) + ":" +
              std::to_string(srv->ctx.v1.GetReturnCode(context)) + ":" + Text(v));
  srv->var.v1.VariantClear(&v);
}
void OnAbort(void* ud, uint32_t requestId, Bool userCancelled, uint32_t reason) {
  static_cast<Server*>(ud)->Record("abort:" + std::to_string(requestId) + ":" +
                                   std::to_string(userCancelled) + ":" + std::to_string(reason));
}
const KAPRPC_RequestCallback kCallback = {1, {&OnDone, &OnAbort}};

class KapSim : public ::testing::Test {
 protected:
  void TearDown() override {
    KapSim_ResetFaults();
    const KapSimCounters c = Counters();
    const int64_t live[] = {c.servers,  c.channelSinks, c.objects,
                            c.contexts, c.variants,     c.clients};
    EXPECT_THAT(live, ::testing::Each(0)) << "servers, sinks, objects, contexts, variants, clients";
  }
};

TEST(KapServiceAbi, InterfaceIdentifiersHaveTheirExactBytes) {
  // Every identifier is the same but for its fifth byte.
  const std::pair<const GUID*, uint8_t> ids[] = {{&GUID_KAPRPC_VariantInterface_V1, 0x00},
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
    const uint8_t expected[16] = {0x00, 0xA6, 0x00, 0xA5, id.second, 0x00, 0xE2, 0x81,
                                  0x88, 0xC1, 0x29, 0xA7, 0xD3,      0xA9, 0x3A, 0x62};
    EXPECT_EQ(std::memcmp(id.first, expected, 16), 0) << std::hex << int(id.second);
  }
}

// The control API the test links is the one the dlopen'ed library serves. Fault switches cannot
// remove an entry point (dlsym finds it): a build variant lacks one.
TEST_F(KapSim, EntryPointsOfEachBuildVariantQueriesAndFaultSwitches) {
  ASSERT_NE(Library(), nullptr) << dlerror();
  EXPECT_EQ(dlsym(Library(), "KapSim_GetCounters"), reinterpret_cast<void*>(&KapSim_GetCounters));
  EXPECT_EQ(dlsym(Library(), "_ZN6kapsim8SimState3GetEv"), nullptr);
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

  KAP_SERVICE_QUERY_INTERFACE qi{};
  void* channel = nullptr;
  ASSERT_EQ(ServerInit2(101, &qi, &channel), TRUE);
  EXPECT_EQ(ServerInit2(101, &qi, &channel), FALSE);
  EXPECT_EQ(ServerInit2(102, nullptr, &channel), FALSE);
  EXPECT_EQ(ServerExit2(101), TRUE);
  EXPECT_EQ(ServerExit2(101), FALSE);
  EXPECT_EQ(Entry<KAPService_ServerExit_Fn>(KAPSERVICE_SERVER_EXIT_NAME)(), FALSE);  // none runs
  KapMultiServerID ms = nullptr;
  auto msInit = Entry<KAPService_MultiServerInit_Fn>(KAPSERVICE_MULTI_SERVER_INIT_NAME);
  auto msExit = Entry<KAPService_MultiServerExit_Fn>(KAPSERVICE_MULTI_SERVER_EXIT_NAME);
  ASSERT_EQ(msInit(103, "UsbRedirection", "", &qi, &ms), TRUE);
  EXPECT_EQ(msExit(ms, nullptr), TRUE);
  EXPECT_EQ(msExit(ms, nullptr), FALSE);
  EXPECT_EQ(KapSim_SetFault(KAPSERVICE_SERVER_EXIT2_NAME, KAPSIM_FAULT_ABSENT), FALSE);
  EXPECT_EQ(KapSim_SetFault("Channel.v9.Poll", KAPSIM_FAULT_FAIL), FALSE);
  EXPECT_EQ(KapSim_SetFault("Channel.v3.Poll", static_cast<KapSimFault>(7)), FALSE);
  ASSERT_EQ(KapSim_SetFault("Channel.v3.Poll", KAPSIM_FAULT_ABSENT), TRUE);
  Server srv(120);
  ASSERT_TRUE(srv.started);
  EXPECT_EQ(srv.ch.v3.Poll, nullptr);

  // Each identifier fills its table with its own version (the first field) and no further.
  GUID unassigned = GUID_KAPRPC_VariantInterface_V1;
  unassigned.Data2 = 0x01;
  GUID lastByte = GUID_KAPRPC_VariantInterface_V1;
  lastByte.Data4[7] ^= 1;
  const struct {
    const GUID* iid;
    uint32_t byDefault, versionOneOnly;
  } rows[] = {{&GUID_KAPService_ChannelInterface_V2, 2, 0},
              {&GUID_KAPService_ChannelInterface_V1, 1, 1},
              {&GUID_KAPRPC_ChannelObjectInterface_V4, 4, 0},
              {&GUID_KAPRPC_ChannelContextInterface_V2, 2, 0},
              {&GUID_KAPRPC_StreamDataInterface_V2, 2, 0},
              {&GUID_KAPRPC_VariantInterface_V1, 1, 0},  // with Variant at 0
              {&GUID_KAPOverlay_ClientInterface_V1, 0, 0},
              {&unassigned, 0, 0},
              {&lastByte, 0, 0},
              {nullptr, 0, 0}};
  for (bool versionOneOnly : {false, true}) {
    if (versionOneOnly) {
      KapSim_OfferVersion1Only();
      ASSERT_EQ(KapSim_SetMaxVersion("Variant", 0), TRUE);
    }
    for (const auto& row : rows) {
      SCOPED_TRACE(testing::Message() << versionOneOnly << " row " << (&row - rows));
      const uint32_t want = versionOneOnly ? row.versionOneOnly : row.byDefault;
      uint32_t table[64] = {};
      EXPECT_EQ(srv.qi.QueryInterface(row.iid, table), want != 0 ? TRUE : FALSE);
      EXPECT_EQ(table[0], want);
    }
  }
  EXPECT_EQ(srv.qi.QueryInterface(&GUID_KAPService_ChannelInterface_V1, nullptr), FALSE);
  EXPECT_EQ(KapSim_SetMaxVersion("Channel", 4), FALSE);  // no identifier offers a fourth
  EXPECT_EQ(KapSim_SetMaxVersion("NoSuchTable", 1), FALSE);
  ASSERT_EQ(KapSim_SetFault("QueryInterface", KAPSIM_FAULT_FAIL), TRUE);
  EXPECT_EQ(srv.qi.QueryInterface(&GUID_KAPService_ChannelInterface_V1, &srv.ch), FALSE);
}

// A side-channel token is cut to the caller's buffer.
TEST_F(KapSim, VariantsAndContextsAreOwnedAndCountedAndBadHandlesRefused) {
  Server srv(130, KAP_RPC_OBJ_CONFIG_INVOKE_ALLOW_ANY_THREAD);
  srv.Connect(KAPSIM_CLIENT_SIDE_CHANNELS);
  const KAPRPC_VariantInterface& var = srv.var;
  const KapSimCounters c0 = Counters();
  std::string text = "GetDeviceList";
  KAP_RPC_VARIANT s{};
  ASSERT_EQ(var.v1.VariantFromStr(&s, text.c_str()), TRUE);
  text[0] = 'X';  // the variant holds its own copy
  KAP_RPC_VARIANT copy{};
  ASSERT_EQ(var.v1.VariantCopy(&copy, &s), TRUE);
  EXPECT_EQ(Text(copy), "30:GetDeviceList");
  void* context = nullptr;
  ASSERT_EQ(srv.obj.v3.CreateContext(srv.data.handle, 0x5, &context), TRUE);
  ASSERT_EQ(srv.ctx.v1.AppendParam(context, &s), TRUE);
  KAP_RPC_VARIANT out{};
  ASSERT_EQ(srv.ctx.v1.GetParam(context, 0, &out), TRUE);
  EXPECT_EQ(srv.ctx.v1.GetParam(context, 1, &out), FALSE);
  EXPECT_EQ(srv.obj.v1.DestroyContext(context), TRUE);
  EXPECT_EQ(srv.obj.v1.DestroyContext(context), FALSE);
  EXPECT_EQ(srv.ctx.v1.GetParamCount(context), 0);
  EXPECT_EQ(srv.ch.v1.UnregisterChannelNotifySink(srv.sinkId + 1000), FALSE);
  // A shallow copy cleared after its original: the library refuses the second free.
  KAP_RPC_VARIANT shallow = s;
  EXPECT_EQ(var.v1.VariantClear(&s), TRUE);
  EXPECT_EQ(s.vt, KAP_RPC_VT_EMPTY);
  EXPECT_EQ(var.v1.VariantClear(&shallow), FALSE);
  EXPECT_EQ(var.v1.VariantClear(&copy), TRUE);
  EXPECT_EQ(var.v1.VariantClear(&out), TRUE);
  KAP_RPC_VARIANT foreign = KapSimStrParam("not the library's").value;
  EXPECT_EQ(var.v1.VariantClear(&foreign), FALSE);
  KAP_RPC_BLOB empty{0, nullptr};
  ASSERT_EQ(var.v1.VariantFromBlob(&s, &empty), TRUE);
  EXPECT_EQ(Text(s), "65:");
  EXPECT_EQ(var.v1.VariantClear(&s), TRUE);
  KAP_RPC_BLOB broken{4, nullptr};
  EXPECT_EQ(var.v1.VariantFromBlob(&s, &broken), FALSE);
  ASSERT_EQ(KapSim_SetFault("Variant.v1.VariantFromBlob", KAPSIM_FAULT_FAIL), TRUE);
  EXPECT_EQ(var.v1.VariantFromBlob(&s, &empty), FALSE);
  EXPECT_EQ(var.v1.VariantFromStr(&s, nullptr), FALSE);
  const KapSimCounters c2 = Counters();
  EXPECT_EQ(std::make_tuple(c2.variants, c2.contexts, c2.badClears, c2.badHandles),
            std::make_tuple(c0.variants, c0.contexts, c0.badClears + 2, c0.badHandles + 3));
  ASSERT_EQ(srv.obj.v2.RequestSideChannel(srv.data.handle, KAP_RPC_SIDE_CHANNEL_TYPE_TALON,
                                          "UsbRedirection"),
            TRUE);
  char token[8];
  ASSERT_EQ(KapSim_GetSideChannelRequest(srv.client, kDataObj, nullptr, token, sizeof(token)),
            TRUE);
  EXPECT_STREQ(token, "UsbRedi");
  srv.Poll();
  EXPECT_TRUE(srv.Send(srv.data.handle, 1, {}, nullptr, nullptr));  // side channel connected
}

// A thread with no channel bound (a host's control thread) reaches the only channel but not
// one of two, until it binds one.
TEST_F(KapSim, ChannelDeliversInsidePollsAndServesUnboundThreadsWhenUnambiguous) {
  Server srv(201);
  ASSERT_TRUE(srv.started);
  srv.client = KapSim_ConnectClient(201, KAPSIM_CLIENT_DEFAULT, KAP_SERVICE_QUILL_SESSION);
  EXPECT_EQ(KapSim_ConnectClient(201, 0, KAP_SERVICE_TALON_SESSION), nullptr);
  EXPECT_EQ(KapSim_ConnectClient(299, 0, KAP_SERVICE_TALON_SESSION), nullptr);  // no server
  ASSERT_EQ(KapSim_SetFault("Channel.v1.Poll", KAPSIM_FAULT_FAIL), TRUE);
  srv.ch.v1.Poll();  // delivering here would count as violations
  srv.Poll();
  EXPECT_EQ(srv.events, (Events{"conn:2", "chan:2", "peer:UsbRedirControlObj", "control:2",
                                "peer:UsbRedirDataObj", "data:2"}));
  EXPECT_EQ(srv.violations, 0);
  char name[32];
  uint32_t size = 4;
  EXPECT_EQ(srv.obj.v1.GetObjectName(srv.data.handle, name, &size), FALSE);
  EXPECT_EQ(size, std::strlen(kDataObj) + 1);
  size = sizeof(name);
  ASSERT_EQ(srv.obj.v1.GetObjectName(srv.data.handle, name, &size), TRUE);
  EXPECT_STREQ(name, kDataObj);

  const KAPService_ChannelInterface& ch = srv.ch;
  const KapSimCounters c0 = Counters();
  std::thread([&] { EXPECT_EQ(ch.v1.GetConnectionState(), KAP_SERVICE_CONN_CONNECTED); }).join();
  {
    Server other(213);
    std::thread([&] {
      EXPECT_EQ(ch.v1.GetConnectionState(), KAP_SERVICE_CONN_UNINITIALIZED);
      EXPECT_EQ(ch.v1.Disconnect(), FALSE);
      EXPECT_EQ(Counters().unboundCalls, c0.unboundCalls + 2);
      ASSERT_EQ(ch.v1.ThreadInitialize(srv.channel, 0), TRUE);
      EXPECT_EQ(ch.v1.GetConnectionState(), KAP_SERVICE_CONN_CONNECTED);
      EXPECT_EQ(ch.v1.ThreadUninitialize(), TRUE);
      EXPECT_EQ(ch.v1.ThreadUninitialize(), FALSE);
    }).join();
  }
  std::thread([&] { EXPECT_EQ(ch.v1.Disconnect(), TRUE); }).join();
  ASSERT_EQ(KapSim_SetFault("Channel.v1.Poll", KAPSIM_FAULT_NONE), TRUE);
  ch.v1.Poll();
  EXPECT_EQ(srv.events.back(), "conn:0");
}

TEST_F(KapSim, RequestCarriesItsParametersAndGetsTheValuesOnInvokeAppended) {
  Server srv(204);
  srv.Connect(KAPSIM_CLIENT_MANUAL_OBJECTS);
  EXPECT_EQ(KapSim_SendRequest(srv.client, kControlObj, 2, nullptr, 0, nullptr),
            FALSE);  // pending
  ASSERT_EQ(KapSim_ConnectObject(srv.client, kControlObj), TRUE);
  srv.Poll();
  EXPECT_EQ(srv.obj.v2.RequestSideChannel(srv.data.handle, KAP_RPC_SIDE_CHANNEL_TYPE_TALON, "x"),
            FALSE);  // pending
  Bool destroyed = TRUE;
  srv.onInvoke = [&](void* context) {
    for (int i = 0; i < srv.ctx.v1.GetParamCount(context); ++i) {
      KAP_RPC_VARIANT v{};
      char name[16];
      ASSERT_EQ(srv.ctx.v1.GetNamedParam(context, i, name, sizeof(name), &v), TRUE);
      srv.Record(name + ("=" + Text(v)));
      srv.var.v1.VariantClear(&v);
    }
    KAP_RPC_VARIANT r{};
    KAP_RPC_BLOB blob{5, const_cast<char*>("reply")};
    srv.var.v1.VariantFromBlob(&r, &blob);
    srv.ctx.v1.AppendNamedReturnVal(context, "payload", &r);
    srv.var.v1.VariantClear(&r);
    srv.ctx.v1.SetReturnCode(context, 7);
    destroyed = srv.obj.v1.DestroyContext(context);  // the library's, not the server's
  };
  const std::string payload("pb\0x", 4);
  KapSimParam params[] = {KapSimStrParam("GetDeviceList"),
                          KapSimBlobParam(payload.data(), payload.size()), KapSimUInt32Param(99)};
  params[2].name = "extra";
  uint32_t id = 0;
  ASSERT_EQ(KapSim_SendRequest(srv.client, kControlObj, 2, params, 3, &id), TRUE);
  srv.events.clear();
  srv.Poll();
  EXPECT_EQ(srv.events,
            (Events{"invoke:control:2", "=30:GetDeviceList", "=65:" + payload, "extra=19:99"}));
  EXPECT_EQ(destroyed, FALSE);
  uint32_t rc = 0;
  int count = 0;
  ASSERT_EQ(KapSim_GetReply(srv.client, id, &rc, &count), TRUE);
  EXPECT_EQ(std::make_tuple(rc, count), std::make_tuple(7u, 1));
  const char* name = nullptr;
  const KAP_RPC_VARIANT* v = nullptr;
  ASSERT_EQ(KapSim_GetReplyValue(srv.client, id, 0, &name, &v), TRUE);
  EXPECT_EQ(name + ("=" + Text(*v)), "payload=65:reply");
  EXPECT_EQ(KapSim_GetReplyValue(srv.client, id, 1, &name, &v), FALSE);
  ASSERT_EQ(KapSim_ReleaseRequest(srv.client, id), TRUE);
  EXPECT_EQ(KapSim_GetReply(srv.client, id, nullptr, nullptr), FALSE);
  EXPECT_EQ(KapSim_ReleaseRequest(srv.client, id), FALSE);
  KapSimParam bad[] = {KapSimBlobParam(nullptr, 3)};  // a blob without bytes
  EXPECT_EQ(KapSim_SendRequest(srv.client, kDataObj, 1, bad, 1, &id), FALSE);
  EXPECT_EQ(KapSim_SendRequest(srv.client, "NoSuchObject", 1, nullptr, 0, &id), FALSE);
}

// Messages awaiting an answer are finished once, by index even after release. The client's
// departure ends a timed poll early.
TEST_F(KapSim, MessagesAreFinishedByTheClientOrAbortedWhenItLeaves) {
  Server srv(206);
  srv.Connect();
  EXPECT_EQ(KapSim_IsClientConnected(srv.client), TRUE);
  ASSERT_TRUE(srv.Send(srv.data.handle, 1, {KapSimUInt32Param(9)}, nullptr, nullptr));
  uint32_t id[3] = {};
  ASSERT_TRUE(srv.Send(srv.control.handle, 0, {KapSimStrParam("DeviceList")}, &kCallback, &id[0]));
  ASSERT_TRUE(srv.Send(srv.control.handle, 0, {}, &kCallback, &id[1]));
  ASSERT_EQ(KapSim_GetMessageCount(srv.client), 3);
  const KAP_RPC_VARIANT* v = nullptr;
  ASSERT_EQ(KapSim_GetMessageParam(srv.client, 0, 0, nullptr, &v), TRUE);  // no name wanted
  EXPECT_EQ(v->ulVal, 9u);
  EXPECT_EQ(KapSim_GetMessageParam(srv.client, 0, 1, nullptr, nullptr), FALSE);
  EXPECT_EQ(KapSim_CompleteMessage(srv.client, 0, 0, nullptr, 0), FALSE);  // not wanted
  KapSimMessage m{};
  ASSERT_EQ(KapSim_GetMessage(srv.client, 1, &m), TRUE);
  EXPECT_EQ(m.requestId, id[0]);
  ASSERT_EQ(KapSim_ReleaseMessages(srv.client, 3), TRUE);
  EXPECT_EQ(KapSim_GetMessage(srv.client, 0, &m), FALSE);
  EXPECT_EQ(KapSim_GetMessageParam(srv.client, 1, 0, nullptr, nullptr), FALSE);
  EXPECT_EQ(KapSim_GetMessageCount(srv.client), 3);
  KapSimParam reply[] = {KapSimStrParam("answer")};
  ASSERT_EQ(KapSim_CompleteMessage(srv.client, 1, 3, reply, 1), TRUE);
  EXPECT_EQ(KapSim_CompleteMessage(srv.client, 1, 3, reply, 1), FALSE);
  ASSERT_EQ(KapSim_AbortMessage(srv.client, 2, TRUE, 5), TRUE);
  EXPECT_EQ(KapSim_AbortMessage(srv.client, 2, TRUE, 5), FALSE);
  ASSERT_TRUE(srv.Send(srv.data.handle, 0, {}, &kCallback, &id[2]));
  srv.events.clear();
  srv.Poll();
  EXPECT_EQ(srv.events, (Events{"done:" + std::to_string(id[0]) + ":3:30:answer",
                                "abort:" + std::to_string(id[1]) + ":1:5"}));

  srv.events.clear();
  std::thread later([&srv] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(KapSim_DisconnectClient(srv.client), TRUE);
  });
  const auto start = std::chrono::steady_clock::now();
  srv.Poll(10000);
  later.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(5000));
  srv.Poll();
  EXPECT_EQ(srv.events, (Events{"abort:" + std::to_string(id[2]) + ":0:1", "data:0", "control:0",
                                "chan:0", "conn:0"}));
  EXPECT_EQ(KapSim_DisconnectClient(srv.client), FALSE);
  EXPECT_EQ(KapSim_IsClientConnected(srv.client), FALSE);
  EXPECT_EQ(srv.violations, 0);
}

}  // namespace
