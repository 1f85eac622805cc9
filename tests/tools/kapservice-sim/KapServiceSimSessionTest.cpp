// A session as the framework lives it against the stand-in library: the connect sequence,
// requests from the client with their replies, messages to the client with completion and
// abort, disconnects and rejects, side channels, and leak counters.
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "KapServiceSim.h"
#include "MiniServer.h"

namespace kapsimtest {
namespace {

using Events = std::vector<std::string>;

using KapServiceSimSession = SimFixture;

// What a request callback saw, written on the poll thread and read after a wait.
struct Completion {
  MiniServer* server = nullptr;
  std::atomic<int> done{0};
  std::atomic<int> aborted{0};
  std::atomic<uint32_t> requestId{0};
  std::atomic<uint32_t> returnCode{0};
  std::atomic<Bool> userCancelled{FALSE};
  std::atomic<uint32_t> reason{0};
  std::string firstValue;  // written before `done` is raised
};

void OnDone(void* ud, uint32_t requestId, void* ctx) {
  auto* c = static_cast<Completion*>(ud);
  c->server->CheckInsidePoll();
  const Tables& t = c->server->T();
  c->requestId = requestId;
  c->returnCode = t.context.v1.GetReturnCode(ctx);
  KAP_RPC_VARIANT v{};
  if (t.context.v1.GetReturnValCount(ctx) > 0 && t.context.v1.GetReturnVal(ctx, 0, &v) &&
      v.vt == KAP_RPC_VT_LPSTR) {
    c->firstValue = v.strVal;
  }
  t.variant.v1.VariantClear(&v);
  ++c->done;
}

void OnAbort(void* ud, uint32_t requestId, Bool userCancelled, uint32_t reason) {
  auto* c = static_cast<Completion*>(ud);
  c->server->CheckInsidePoll();
  c->requestId = requestId;
  c->userCancelled = userCancelled;
  c->reason = reason;
  ++c->aborted;
}

const KAPRPC_RequestCallback kCallback = {1, {&OnDone, &OnAbort}};

bool WaitAtomic(const std::atomic<int>& value, int target, int ms = 5000) {
  for (int i = 0; i < ms / 2 && value.load() < target; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return value.load() >= target;
}

TEST_F(KapServiceSimSession, ConnectSequenceReachesReadyInsideThePollOrEndsWhenRejected) {
  MiniServer srv(201);
  ASSERT_TRUE(srv.Started());
  KapSimClient* cl = KapSim_ConnectClient(201, KAPSIM_CLIENT_DEFAULT, KAP_SERVICE_QUILL_SESSION);
  ASSERT_NE(cl, nullptr);
  EXPECT_EQ(KapSim_ConnectClient(201, 0, KAP_SERVICE_TALON_SESSION), nullptr);  // one client
  EXPECT_EQ(KapSim_ConnectClient(299, 0, KAP_SERVICE_TALON_SESSION), nullptr);  // no server
  ASSERT_TRUE(srv.WaitReady(5000));
  EXPECT_EQ(srv.Events(), (Events{"conn:2", "chan:2", "peer:UsbRedirControlObj", "control:2",
                                  "peer:UsbRedirDataObj", "data:2"}));
  EXPECT_EQ(srv.Violations(), 0);
  uint32_t flags = 0;
  ASSERT_EQ(KapSim_GetObjectFlags(cl, kDataObj, &flags), TRUE);
  EXPECT_EQ(flags, 0x31u);
  EXPECT_EQ(KapSim_GetObjectState(cl, kControlObj), KAP_RPC_OBJ_CONNECTED);
  EXPECT_EQ(KapSim_GetChannelState(cl), KAP_SERVICE_CHAN_CONNECTED);
  char name[32];
  uint32_t size = 4;
  EXPECT_EQ(srv.T().object.v1.GetObjectName(srv.DataObject(), name, &size), FALSE);
  EXPECT_EQ(size, std::strlen(kDataObj) + 1);
  size = sizeof(name);
  ASSERT_EQ(srv.T().object.v1.GetObjectName(srv.DataObject(), name, &size), TRUE);
  EXPECT_STREQ(name, kDataObj);
  KapSim_DestroyClient(cl);
  // A rejected connection never reports the channel connected.
  {
    MiniServer srv(208);
    KapSimClient* cl = KapSim_ConnectClient(208, KAPSIM_CLIENT_REJECT, KAP_SERVICE_TALON_SESSION);
    ASSERT_TRUE(srv.WaitEvent("conn:0", 5000));
    EXPECT_EQ(srv.Events(), (Events{"conn:2", "chan:0", "conn:0"}));
    EXPECT_EQ(KapSim_IsClientConnected(cl), FALSE);
    KapSim_DestroyClient(cl);
  }
}

TEST_F(KapServiceSimSession, NotificationsWaitForAPollOnTheInitialisingThread) {
  // This thread starts the server and polls with v1.Poll, which never blocks.
  const Library& lib = Library::Get();
  Tables t;
  void* channel = nullptr;
  ASSERT_EQ(lib.serverInit2(202, "t", &t.qi, &channel), TRUE);
  ASSERT_TRUE(t.Query());
  struct Seen {
    std::vector<int> conn;
  } seen;
  const KAPService_ChannelNotifySink sink = {
      1,
      {[](void* ud, KAPService_ConnectionState cur, KAPService_ConnectionState, void*) {
         static_cast<Seen*>(ud)->conn.push_back(cur);
       },
       nullptr, nullptr}};
  uint32_t sinkId = 0xFFFFFFFFu;
  ASSERT_EQ(t.channel.v1.RegisterChannelNotifySink(&sink, &seen, &sinkId), TRUE);
  KapSimClient* cl = KapSim_ConnectClient(202, 0, KAP_SERVICE_TALON_SESSION);
  ASSERT_NE(cl, nullptr);
  // The connection exists at once, but nobody is told before the next poll.
  EXPECT_EQ(t.channel.v1.GetConnectionState(), KAP_SERVICE_CONN_CONNECTED);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_TRUE(seen.conn.empty());
  ASSERT_EQ(KapSim_SetFault("Channel.v1.Poll", KAPSIM_FAULT_FAIL), TRUE);
  t.channel.v1.Poll();
  EXPECT_TRUE(seen.conn.empty());
  ASSERT_EQ(KapSim_SetFault("Channel.v1.Poll", KAPSIM_FAULT_NONE), TRUE);
  t.channel.v1.Poll();
  EXPECT_EQ(seen.conn, (std::vector<int>{KAP_SERVICE_CONN_CONNECTED}));
  // A timed poll with nothing to deliver waits its time-out, then returns.
  const auto start = std::chrono::steady_clock::now();
  t.channel.v3.Poll(100);
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(90));
  EXPECT_LT(waited, std::chrono::milliseconds(2000));
  // A timed poll returns early when the client does something.
  std::thread later([cl] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    KapSim_DisconnectClient(cl);
  });
  const auto start2 = std::chrono::steady_clock::now();
  t.channel.v3.Poll(10000);
  later.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start2, std::chrono::milliseconds(5000));
  EXPECT_EQ(seen.conn,
            (std::vector<int>{KAP_SERVICE_CONN_CONNECTED, KAP_SERVICE_CONN_DISCONNECTED}));
  EXPECT_EQ(t.channel.v1.UnregisterChannelNotifySink(sinkId), TRUE);
  EXPECT_EQ(t.channel.v1.UnregisterChannelNotifySink(sinkId), FALSE);
  KapSim_DestroyClient(cl);
  EXPECT_EQ(lib.serverExit2(202), TRUE);
}

TEST_F(KapServiceSimSession, RequestCarriesItsParametersAndGetsTheValuesOnInvokeAppended) {
  struct Seen {
    uint32_t command = 0;
    int count = 0;
    std::vector<int> types;
    std::string type, id, payload, namedName;
    uint32_t namedValue = 0;
    Bool destroyReceived = TRUE;
  } seen;
  MiniServer::Options o;
  o.onInvoke = [&seen](MiniServer& s, void* ctx) {
    const Tables& t = s.T();
    seen.command = t.context.v1.GetCommand(ctx);
    seen.count = t.context.v1.GetParamCount(ctx);
    for (int i = 0; i < seen.count; ++i) {
      KAP_RPC_VARIANT v{};
      t.variant.v1.VariantInit(&v);
      char name[256];
      if (!t.context.v1.GetNamedParam(ctx, i, name, sizeof(name), &v)) continue;
      seen.types.push_back(v.vt);
      if (i == 0) seen.type = v.strVal;
      if (i == 1) seen.id = v.strVal;
      if (i == 2) seen.payload.assign(v.blobVal.blobData, v.blobVal.size);
      if (i == 3) {
        seen.namedName = name;
        seen.namedValue = v.ulVal;
      }
      t.variant.v1.VariantClear(&v);
    }
    KAP_RPC_VARIANT r{};
    t.variant.v1.VariantFromStr(&r, seen.id.c_str());
    t.context.v1.AppendReturnVal(ctx, &r);
    t.variant.v1.VariantClear(&r);
    KAP_RPC_BLOB blob{5, const_cast<char*>("reply")};
    t.variant.v1.VariantFromBlob(&r, &blob);
    t.context.v1.AppendNamedReturnVal(ctx, "payload", &r);
    t.variant.v1.VariantClear(&r);
    t.context.v1.SetReturnCode(ctx, 7);
    seen.destroyReceived = t.object.v1.DestroyContext(ctx);  // the library's, not ours
  };
  MiniServer srv(204, o);
  KapSimClient* cl = KapSim_ConnectClient(204, 0, KAP_SERVICE_TALON_SESSION);
  ASSERT_TRUE(srv.WaitReady(5000));
  const char payload[] = {'p', 'b', '\0', 'x'};
  KapSimParam params[] = {{nullptr, Str("GetDeviceList")},
                          {nullptr, Str("id-42")},
                          {nullptr, Blob(payload, sizeof(payload))},
                          {"extra", U32(99)}};
  uint32_t id = 0;
  ASSERT_EQ(KapSim_SendRequest(cl, kControlObj, 2, params, 4, &id), TRUE);
  ASSERT_EQ(KapSim_WaitRequest(cl, id, 5000), KAPSIM_REQUEST_ANSWERED);
  EXPECT_EQ(seen.command, 2u);
  EXPECT_EQ(seen.count, 4);
  EXPECT_EQ(seen.types, (std::vector<int>{KAP_RPC_VT_LPSTR, KAP_RPC_VT_LPSTR, KAP_RPC_VT_BLOB,
                                          KAP_RPC_VT_UI4}));
  EXPECT_EQ(seen.type, "GetDeviceList");
  EXPECT_EQ(seen.payload, std::string(payload, sizeof(payload)));
  EXPECT_EQ(seen.namedName, "extra");
  EXPECT_EQ(seen.namedValue, 99u);
  EXPECT_EQ(seen.destroyReceived, FALSE);

  uint32_t rc = 0;
  int count = 0;
  ASSERT_EQ(KapSim_GetReply(cl, id, &rc, &count), TRUE);
  EXPECT_EQ(rc, 7u);
  ASSERT_EQ(count, 2);
  const char* name = nullptr;
  const KAP_RPC_VARIANT* v = nullptr;
  ASSERT_EQ(KapSim_GetReplyValue(cl, id, 0, &name, &v), TRUE);
  EXPECT_STREQ(name, "");
  EXPECT_EQ(v->vt, KAP_RPC_VT_LPSTR);
  EXPECT_STREQ(v->strVal, "id-42");
  ASSERT_EQ(KapSim_GetReplyValue(cl, id, 1, &name, &v), TRUE);
  EXPECT_STREQ(name, "payload");
  EXPECT_EQ(std::string(v->blobVal.blobData, v->blobVal.size), "reply");
  EXPECT_EQ(KapSim_GetReplyValue(cl, id, 2, &name, &v), FALSE);
  EXPECT_EQ(srv.Events().back(), "invoke:control:2");
  ASSERT_EQ(KapSim_ReleaseRequest(cl, id), TRUE);
  EXPECT_EQ(KapSim_GetReply(cl, id, &rc, &count), FALSE);
  EXPECT_EQ(KapSim_ReleaseRequest(cl, id), FALSE);

  KapSimParam bad[] = {{nullptr, Blob(nullptr, 3)}};  // a blob without bytes
  EXPECT_EQ(KapSim_SendRequest(cl, kDataObj, 1, bad, 1, &id), FALSE);
  EXPECT_EQ(KapSim_SendRequest(cl, "NoSuchObject", 1, nullptr, 0, &id), FALSE);
  KapSim_DestroyClient(cl);
}

TEST_F(KapServiceSimSession, PendingObjectsAndPausedPollingHoldTheSessionBack) {
  MiniServer srv(205);
  KapSimClient* cl =
      KapSim_ConnectClient(205, KAPSIM_CLIENT_MANUAL_OBJECTS, KAP_SERVICE_TALON_SESSION);
  ASSERT_TRUE(srv.WaitEvent("peer:UsbRedirControlObj", 5000));
  EXPECT_EQ(KapSim_GetObjectState(cl, kControlObj), KAP_RPC_OBJ_PENDING);
  EXPECT_EQ(KapSim_SendRequest(cl, kControlObj, 0, nullptr, 0, nullptr), FALSE);
  ASSERT_EQ(KapSim_ConnectObject(cl, kControlObj), TRUE);
  ASSERT_TRUE(srv.WaitEvent("peer:UsbRedirDataObj", 5000));
  EXPECT_FALSE(srv.WaitReady(50));
  ASSERT_EQ(KapSim_ConnectObject(cl, kDataObj), TRUE);
  EXPECT_TRUE(srv.WaitReady(5000));
  KapSim_DestroyClient(cl);
  // Paused polling delivers nothing until polling resumes.
  {
    MiniServer::Options o;
    o.startPaused = true;
    MiniServer srv(203, o);
    KapSimClient* cl = KapSim_ConnectClient(203, 0, KAP_SERVICE_TALON_SESSION);
    ASSERT_NE(cl, nullptr);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(srv.Events().empty());
    srv.SetPaused(false);
    EXPECT_TRUE(srv.WaitReady(5000));
    EXPECT_EQ(srv.Violations(), 0);
    KapSim_DestroyClient(cl);
  }
}

TEST_F(KapServiceSimSession, MessagesToTheClientAreRecordedAndFinishedByCompletionOrAbort) {
  MiniServer srv(206);
  KapSimClient* cl = KapSim_ConnectClient(206, 0, KAP_SERVICE_TALON_SESSION);
  ASSERT_TRUE(srv.WaitReady(5000));
  const std::vector<char> urb(100, 'u');
  // Sent from this thread, not the poll thread: the message functions allow any thread.
  ASSERT_TRUE(srv.Send(srv.DataObject(), 1, {U32(9), U64(16), U64(4), Blob(urb.data(), 100)},
                       nullptr, nullptr, nullptr));
  Completion done;
  done.server = &srv;
  uint32_t id1 = 0;
  ASSERT_TRUE(srv.Send(srv.ControlObject(), 0, {Str("DeviceList")}, &kCallback, &done, &id1));
  Completion aborted;
  aborted.server = &srv;
  uint32_t id2 = 0;
  ASSERT_TRUE(srv.Send(srv.ControlObject(), 0, {}, &kCallback, &aborted, &id2));
  ASSERT_EQ(KapSim_WaitMessageCount(cl, 3, 5000), TRUE);

  // Its layout as the client reads it is checked end to end (UsbEndToEnd).
  KapSimMessage m{};
  ASSERT_EQ(KapSim_GetMessage(cl, 0, &m), TRUE);
  EXPECT_EQ(m.paramCount, 4);
  const KAP_RPC_VARIANT* v = nullptr;
  ASSERT_EQ(KapSim_GetMessageParam(cl, 0, 3, nullptr, &v), TRUE);  // no name wanted
  EXPECT_EQ(v->blobVal.size, 100u);
  EXPECT_EQ(KapSim_GetMessageParam(cl, 0, 4, nullptr, nullptr), FALSE);
  EXPECT_EQ(KapSim_CompleteMessage(cl, 0, 0, nullptr, 0), FALSE);  // a post wants no answer

  ASSERT_EQ(KapSim_GetMessage(cl, 1, &m), TRUE);
  EXPECT_EQ(m.requestId, id1);
  EXPECT_EQ(m.postMode, FALSE);
  EXPECT_EQ(m.completionWanted, TRUE);
  // Released, the three can no longer be read, but the two awaiting an answer can still be
  // finished by their index; the count goes on.
  ASSERT_EQ(KapSim_ReleaseMessages(cl, 3), TRUE);
  EXPECT_EQ(KapSim_GetMessage(cl, 0, &m), FALSE);
  EXPECT_EQ(KapSim_GetMessageParam(cl, 1, 0, nullptr, nullptr), FALSE);
  EXPECT_EQ(KapSim_GetMessageCount(cl), 3);
  KapSimParam reply[] = {{nullptr, Str("answer")}};
  ASSERT_EQ(KapSim_CompleteMessage(cl, 1, 3, reply, 1), TRUE);
  EXPECT_EQ(KapSim_CompleteMessage(cl, 1, 3, reply, 1), FALSE);
  ASSERT_TRUE(WaitAtomic(done.done, 1));
  EXPECT_EQ(done.requestId.load(), id1);
  EXPECT_EQ(done.returnCode.load(), 3u);
  EXPECT_EQ(done.firstValue, "answer");
  EXPECT_EQ(done.aborted.load(), 0);

  ASSERT_EQ(KapSim_AbortMessage(cl, 2, TRUE, 5), TRUE);
  ASSERT_TRUE(WaitAtomic(aborted.aborted, 1));
  EXPECT_EQ(aborted.requestId.load(), id2);
  EXPECT_EQ(aborted.userCancelled.load(), TRUE);
  EXPECT_EQ(aborted.reason.load(), 5u);
  EXPECT_EQ(aborted.done.load(), 0);
  EXPECT_EQ(KapSim_AbortMessage(cl, 2, TRUE, 5), FALSE);
  ASSERT_TRUE(srv.Send(srv.DataObject(), 1, {U32(1)}, nullptr, nullptr, nullptr));
  ASSERT_EQ(KapSim_WaitMessageCount(cl, 4, 5000), TRUE);
  ASSERT_EQ(KapSim_GetMessage(cl, 3, &m), TRUE);
  EXPECT_EQ(m.paramCount, 1);
  EXPECT_EQ(srv.Violations(), 0);
  KapSim_DestroyClient(cl);
}

TEST_F(KapServiceSimSession, ClientDisconnectReportsObjectsThenChannelThenConnection) {
  MiniServer srv(207);
  KapSimClient* cl = KapSim_ConnectClient(207, 0, KAP_SERVICE_TALON_SESSION);
  ASSERT_TRUE(srv.WaitReady(5000));
  Completion outstanding;
  outstanding.server = &srv;
  ASSERT_TRUE(srv.Send(srv.DataObject(), 0, {}, &kCallback, &outstanding, nullptr));
  ASSERT_EQ(KapSim_WaitMessageCount(cl, 1, 5000), TRUE);
  const size_t before = srv.Events().size();
  ASSERT_EQ(KapSim_DisconnectClient(cl), TRUE);
  EXPECT_EQ(KapSim_DisconnectClient(cl), FALSE);
  EXPECT_EQ(KapSim_IsClientConnected(cl), FALSE);
  ASSERT_TRUE(srv.WaitEvent("conn:0", 5000));
  Events events = srv.Events();
  EXPECT_EQ(Events(events.begin() + before, events.end()),
            (Events{"data:0", "control:0", "chan:0", "conn:0"}));
  // The message left waiting on the vanished object is aborted, in a poll like the rest.
  ASSERT_TRUE(WaitAtomic(outstanding.aborted, 1));
  EXPECT_EQ(outstanding.reason.load(), KAPSIM_ABORT_REASON_DISCONNECTED);
  EXPECT_EQ(outstanding.userCancelled.load(), FALSE);
  EXPECT_EQ(srv.DataObject(), nullptr);

  // The session takes a new client.
  KapSim_DestroyClient(cl);
  KapSimClient* again = KapSim_ConnectClient(207, 0, KAP_SERVICE_TALON_SESSION);
  ASSERT_NE(again, nullptr);
  EXPECT_TRUE(srv.WaitReady(5000));
  EXPECT_EQ(srv.Violations(), 0);
  KapSim_DestroyClient(again);
}

TEST_F(KapServiceSimSession, SideChannelIsNegotiatedOnlyWhenTheClientOffersIt) {
  MiniServer::Options o;
  o.dataFlags = KAP_RPC_OBJ_CONFIG_INVOKE_ALLOW_ANY_THREAD;  // no side channel ruled out
  {
    MiniServer srv(209, o);
    KapSimClient* cl =
        KapSim_ConnectClient(209, KAPSIM_CLIENT_SIDE_CHANNELS, KAP_SERVICE_TALON_SESSION);
    ASSERT_TRUE(srv.WaitReady(5000));
    Events events = srv.Events();
    EXPECT_EQ(Events(events.end() - 3, events.end()), (Events{"data:2", "data:3", "data:4"}));
    KAPRPC_SideChannelType type{};
    char token[8];
    ASSERT_EQ(KapSim_GetSideChannelRequest(cl, kDataObj, &type, token, sizeof(token)), TRUE);
    EXPECT_EQ(type, KAP_RPC_SIDE_CHANNEL_TYPE_TALON);
    EXPECT_STREQ(token, "UsbRedi");  // cut to the buffer
    EXPECT_EQ(KapSim_GetSideChannelRequest(cl, kControlObj, &type, token, sizeof(token)), FALSE);
    KapSim_DestroyClient(cl);
  }
  {
    MiniServer srv(210, o);
    KapSimClient* cl =
        KapSim_ConnectClient(210, KAPSIM_CLIENT_SIDE_CHANNELS | KAPSIM_CLIENT_REFUSE_SIDE_CHANNEL,
                             KAP_SERVICE_TALON_SESSION);
    ASSERT_TRUE(srv.WaitEvent("data:3", 5000));
    EXPECT_FALSE(srv.WaitReady(200));
    Events events = srv.Events();
    EXPECT_EQ(Events(events.end() - 3, events.end()), (Events{"data:2", "data:3", "data:2"}));
    KapSim_DestroyClient(cl);
  }
  {
    // Without the client's offer the options rule both side channels out.
    MiniServer srv(211, o);
    KapSimClient* cl = KapSim_ConnectClient(211, 0, KAP_SERVICE_TALON_SESSION);
    ASSERT_TRUE(srv.WaitReady(5000));
    EXPECT_EQ(srv.Events().back(), "data:2");
    KapSim_DestroyClient(cl);
  }
}

TEST_F(KapServiceSimSession, ChannelCallsFromAnotherThreadNeedTheChannelToBeUnambiguous) {
  MiniServer srv(212);
  KapSimClient* cl = KapSim_ConnectClient(212, 0, KAP_SERVICE_QUILL_SESSION);
  ASSERT_TRUE(srv.WaitReady(5000));
  const KAPService_ChannelInterface& ch = srv.T().channel;
  KapSimCounters c0 = Counters();
  // Only one channel exists, so this thread (like a host's control thread) reaches it.
  EXPECT_EQ(ch.v1.GetConnectionState(), KAP_SERVICE_CONN_CONNECTED);
  EXPECT_EQ(ch.v2.GetSessionType(), KAP_SERVICE_QUILL_SESSION);
  {
    MiniServer other(213);
    EXPECT_EQ(ch.v1.GetConnectionState(), KAP_SERVICE_CONN_UNINITIALIZED);
    EXPECT_EQ(ch.v1.Disconnect(), FALSE);
    KapSimCounters c1 = Counters();
    EXPECT_EQ(c1.unboundCalls, c0.unboundCalls + 2);
    // Binding this thread to the channel names it again.
    ASSERT_EQ(ch.v1.ThreadInitialize(srv.Channel(), 0), TRUE);
    EXPECT_EQ(ch.v1.GetConnectionState(), KAP_SERVICE_CONN_CONNECTED);
    EXPECT_EQ(ch.v1.ThreadUninitialize(), TRUE);
    EXPECT_EQ(ch.v1.ThreadUninitialize(), FALSE);
  }
  ASSERT_EQ(ch.v1.Disconnect(), TRUE);
  EXPECT_EQ(KapSim_IsClientConnected(cl), FALSE);
  EXPECT_TRUE(srv.WaitEvent("conn:0", 5000));
  KapSim_DestroyClient(cl);
}

TEST_F(KapServiceSimSession, CountersSeeAContextOrVariantLeftBehind) {
  MiniServer srv(214);
  KapSimClient* cl = KapSim_ConnectClient(214, 0, KAP_SERVICE_TALON_SESSION);
  ASSERT_TRUE(srv.WaitReady(5000));
  const Tables& t = srv.T();
  KapSimCounters c0 = Counters();
  void* ctx = nullptr;
  ASSERT_EQ(t.object.v3.CreateContext(srv.DataObject(), 0x5, &ctx), TRUE);
  KAP_RPC_VARIANT in = Str("kept");
  ASSERT_EQ(t.context.v1.AppendParam(ctx, &in), TRUE);
  KAP_RPC_VARIANT out{};
  ASSERT_EQ(t.context.v1.GetParam(ctx, 0, &out), TRUE);
  EXPECT_EQ(t.context.v1.GetParam(ctx, 1, &out), FALSE);
  KapSimCounters c1 = Counters();
  EXPECT_EQ(c1.contexts, c0.contexts + 1);
  EXPECT_EQ(c1.variants, c0.variants + 1);
  EXPECT_EQ(t.object.v1.Invoke(srv.DataObject(), ctx, nullptr, nullptr), TRUE);
  EXPECT_EQ(t.variant.v1.VariantClear(&out), TRUE);
  EXPECT_EQ(t.object.v1.DestroyContext(ctx), TRUE);
  EXPECT_EQ(t.object.v1.DestroyContext(ctx), FALSE);
  EXPECT_EQ(t.context.v1.GetParamCount(ctx), 0);  // a destroyed context is refused
  KapSimCounters c2 = Counters();
  EXPECT_EQ(c2.contexts, c0.contexts);
  EXPECT_EQ(c2.variants, c0.variants);
  EXPECT_EQ(c2.badHandles, c0.badHandles + 2);
  KapSimMessage m{};
  ASSERT_EQ(KapSim_GetMessage(cl, 0, &m), TRUE);
  EXPECT_EQ(m.contextOptions, 0x5u);
  KapSim_DestroyClient(cl);
}

}  // namespace
}  // namespace kapsimtest
