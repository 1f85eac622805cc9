// A minimal server side written against the channel-service tables, the way the framework
// drives them: it loads the library with dlopen, starts a server for a session on its own
// thread, queries the tables highest version first, registers a channel sink and polls with
// v3.Poll. Its sinks connect the channel, create the control then the data object and
// record every notification, checking that each arrives inside a poll on the polling thread.
// Thread safe: the recorded events are guarded by a mutex; object handles are atomics.
#pragma once

#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "KapServiceSim.h"
#include "KapSimLibrary.h"

namespace kapsimtest {

inline const char* const kControlObj = "UsbRedirControlObj";
inline const char* const kDataObj = "UsbRedirDataObj";

// The library's entry points, resolved once with dlsym as the framework does.
struct Library {
  void* handle = dlopen(KAPSERVICE_SIM_PATH, RTLD_LAZY);
  template <typename Fn>
  Fn Resolve(const char* name) const {
    return reinterpret_cast<Fn>(handle != nullptr ? dlsym(handle, name) : nullptr);
  }
  KAPService_ServerInit_Fn serverInit =
      Resolve<KAPService_ServerInit_Fn>(KAPSERVICE_SERVER_INIT_NAME);
  KAPService_ServerExit_Fn serverExit =
      Resolve<KAPService_ServerExit_Fn>(KAPSERVICE_SERVER_EXIT_NAME);
  KAPService_ServerInit2_Fn serverInit2 =
      Resolve<KAPService_ServerInit2_Fn>(KAPSERVICE_SERVER_INIT2_NAME);
  KAPService_ServerExit2_Fn serverExit2 =
      Resolve<KAPService_ServerExit2_Fn>(KAPSERVICE_SERVER_EXIT2_NAME);
  KAPService_MultiServerInit_Fn multiServerInit =
      Resolve<KAPService_MultiServerInit_Fn>(KAPSERVICE_MULTI_SERVER_INIT_NAME);
  KAPService_MultiServerExit_Fn multiServerExit =
      Resolve<KAPService_MultiServerExit_Fn>(KAPSERVICE_MULTI_SERVER_EXIT_NAME);
  static const Library& Get() {
    static const Library s_lib;
    return s_lib;
  }
};

struct Tables {
  KAP_SERVICE_QUERY_INTERFACE qi{};
  KAPService_ChannelInterface channel{};
  KAPRPC_ChannelObjectInterface object{};
  KAPRPC_ChannelContextInterface context{};
  KAPRPC_VariantInterface variant{};
  // Queries each table, highest version first, as the framework does; false if one is missing.
  bool Query() {
    auto q = qi.QueryInterface;
    return q != nullptr &&
           (q(&GUID_KAPService_ChannelInterface_V3, &channel) ||
            q(&GUID_KAPService_ChannelInterface_V2, &channel) ||
            q(&GUID_KAPService_ChannelInterface_V1, &channel)) &&
           (q(&GUID_KAPRPC_ChannelObjectInterface_V4, &object) ||
            q(&GUID_KAPRPC_ChannelObjectInterface_V3, &object) ||
            q(&GUID_KAPRPC_ChannelObjectInterface_V2, &object) ||
            q(&GUID_KAPRPC_ChannelObjectInterface_V1, &object)) &&
           (q(&GUID_KAPRPC_ChannelContextInterface_V2, &context) ||
            q(&GUID_KAPRPC_ChannelContextInterface_V1, &context)) &&
           q(&GUID_KAPRPC_VariantInterface_V1, &variant);
  }
};

// A variant made by hand, the way a client or a test builds one.
inline KAP_RPC_VARIANT U32(uint32_t v) { return KapSimUInt32Param(v).value; }
inline KAP_RPC_VARIANT Str(const char* s) { return KapSimStrParam(s).value; }
inline KAP_RPC_VARIANT Blob(const void* data, uint32_t size) {
  return KapSimBlobParam(static_cast<const char*>(data), size).value;
}
inline KAP_RPC_VARIANT U64(uint64_t v) {
  KAP_RPC_VARIANT out{};
  out.vt = KAP_RPC_VT_UI8;
  out.ullVal = v;
  return out;
}

class MiniServer {
 public:
  struct Options {
    bool startPaused = false;
    uint32_t dataFlags = 0x31;  // INVOKE_ALLOW_ANY_THREAD | NO_TCP | NO_VCHAN
    std::function<void(MiniServer&, void* ctx)> onInvoke;
  };
  explicit MiniServer(uint32_t sessionId) : MiniServer(sessionId, Options()) {}
  MiniServer(uint32_t sessionId, Options options)
      : m_sessionId(sessionId), m_options(std::move(options)) {
    m_paused = m_options.startPaused;
    m_thread = std::thread([this] { Run(); });
    std::unique_lock<std::mutex> lk(m_lock);
    m_changed.wait(lk, [this] { return m_initDone; });
  }
  ~MiniServer() {
    m_stop = true;
    m_thread.join();
    // The exit path runs on the caller's thread, as the host's control thread does it.
    if (!m_started) return;
    if (m_sinkId != 0xFFFFFFFFu) m_tables.channel.v1.UnregisterChannelNotifySink(m_sinkId);
    Library::Get().serverExit2(m_sessionId);
  }

  bool Started() const { return m_started; }
  const Tables& T() const { return m_tables; }
  void* Channel() const { return m_channel; }
  void* ControlObject() const { return m_controlObj.load(); }
  void* DataObject() const { return m_dataObj.load(); }
  void SetPaused(bool paused) { m_paused = paused; }
  int Violations() const { return m_violations; }
  std::vector<std::string> Events() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_events;
  }
  bool WaitReady(uint32_t ms) {
    return Wait(ms, [this] { return m_ready; });
  }
  bool WaitEvent(const std::string& event, uint32_t ms) {
    return Wait(
        ms, [&] { return std::find(m_events.begin(), m_events.end(), event) != m_events.end(); });
  }

  // Sends a message on an object from the calling thread; callback may be null (a post).
  bool Send(void* object, uint32_t command, const std::vector<KAP_RPC_VARIANT>& params,
            const KAPRPC_RequestCallback* callback, void* userData, uint32_t* requestId) {
    const Tables& t = m_tables;
    void* ctx = nullptr;
    if (!t.object.v1.CreateContext(object, &ctx)) return false;
    bool ok = t.context.v1.SetCommand(ctx, command) == TRUE;
    for (const KAP_RPC_VARIANT& p : params) ok = ok && t.context.v1.AppendParam(ctx, &p) == TRUE;
    KAP_RPC_VARIANT one = U32(1);
    ok = ok && (callback != nullptr ||
                t.context.v2.SetOps(ctx, KAP_RPC_CHANNEL_CONTEXT_OPT_POST, &one) == TRUE);
    if (requestId != nullptr) *requestId = t.context.v1.GetId(ctx);
    ok = ok && t.object.v1.Invoke(object, ctx, callback, userData) == TRUE;
    return t.object.v1.DestroyContext(ctx) == TRUE && ok;
  }

  void CheckInsidePoll() {
    if (!m_insidePoll || std::this_thread::get_id() != m_pollThread) ++m_violations;
  }

 private:
  template <typename Done>
  bool Wait(uint32_t ms, Done done) {
    std::unique_lock<std::mutex> lk(m_lock);
    return m_changed.wait_for(lk, std::chrono::milliseconds(ms), done);
  }
  void Record(const std::string& event) {
    {
      std::lock_guard<std::mutex> guard(m_lock);
      m_events.push_back(event);
    }
    m_changed.notify_all();
  }
  // A notification: checked to arrive inside the poll, recorded as "<what>:<state>".
  static MiniServer* Notified(void* ud, const std::string& event) {
    auto* self = static_cast<MiniServer*>(ud);
    self->CheckInsidePoll();
    self->Record(event);
    return self;
  }

  void Run() {
    m_pollThread = std::this_thread::get_id();
    bool ok =
        Library::Get().serverInit2 != nullptr &&
        Library::Get().serverInit2(m_sessionId, "UsbRedirection", &m_tables.qi, &m_channel) == TRUE;
    m_started = ok;
    if (ok && m_tables.Query()) {
      static const KAPService_ChannelNotifySink s_sink = {
          1, {&OnConnection, &OnChannel, [](void* ud, const char* name, void*) {
                Notified(ud, std::string("peer:") + name);
              }}};
      m_tables.channel.v1.RegisterChannelNotifySink(&s_sink, this, &m_sinkId);
    }
    {
      std::lock_guard<std::mutex> guard(m_lock);
      m_initDone = true;
    }
    m_changed.notify_all();
    if (!ok || m_tables.channel.v3.Poll == nullptr) return;
    while (!m_stop) {
      if (m_paused) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        continue;
      }
      m_insidePoll = true;
      m_tables.channel.v3.Poll(20);
      m_insidePoll = false;
    }
  }

  static void OnConnection(void* ud, KAPService_ConnectionState cur, KAPService_ConnectionState,
                           void*) {
    MiniServer* self = Notified(ud, "conn:" + std::to_string(cur));
    if (cur == KAP_SERVICE_CONN_CONNECTED) self->m_tables.channel.v1.Connect();
  }
  static void OnChannel(void* ud, KAPService_ChannelState cur, KAPService_ChannelState, void*) {
    MiniServer* self = Notified(ud, "chan:" + std::to_string(cur));
    if (cur == KAP_SERVICE_CHAN_CONNECTED) {
      static const KAPRPC_ObjectNotifySink s_sink = {1,
                                                     {[](void* ud, void* ctx, void*) {
                                                        static_cast<MiniServer*>(ud)->OnInvoke(
                                                            "control", ctx);
                                                      },
                                                      &OnControlState}};
      void* obj = nullptr;
      if (self->m_tables.object.v1.CreateChannelObject(kControlObj, &s_sink, self, 0x31, &obj)) {
        self->m_controlObj = obj;
      }
    } else if (cur == KAP_SERVICE_CHAN_DISCONNECTED) {
      self->DestroyObject(self->m_dataObj);
      self->DestroyObject(self->m_controlObj);
    }
  }
  void DestroyObject(std::atomic<void*>& object) {
    void* obj = object.exchange(nullptr);
    if (obj != nullptr) m_tables.object.v1.DestroyChannelObject(obj);
    std::lock_guard<std::mutex> guard(m_lock);
    m_ready = false;
  }
  static void OnControlState(void* ud, void*) {
    auto* self = static_cast<MiniServer*>(ud);
    KAPRPC_ObjectState s = self->m_tables.object.v1.GetObjectState(self->m_controlObj);
    Notified(ud, "control:" + std::to_string(s));
    if (s == KAP_RPC_OBJ_CONNECTED) {
      static const KAPRPC_ObjectNotifySink s_sink = {
          1,
          {[](void* ud, void* ctx, void*) { static_cast<MiniServer*>(ud)->OnInvoke("data", ctx); },
           &OnDataState}};
      void* obj = nullptr;
      if (self->m_tables.object.v1.CreateChannelObject(kDataObj, &s_sink, self,
                                                       self->m_options.dataFlags, &obj)) {
        self->m_dataObj = obj;
      }
    } else if (s == KAP_RPC_OBJ_DISCONNECTED) {
      self->DestroyObject(self->m_controlObj);
    }
  }
  static void OnDataState(void* ud, void*) {
    auto* self = static_cast<MiniServer*>(ud);
    KAPRPC_ObjectState s = self->m_tables.object.v1.GetObjectState(self->m_dataObj);
    Notified(ud, "data:" + std::to_string(s));
    bool ready = s == KAP_RPC_OBJ_SIDE_CHANNEL_CONNECTED;
    if (s == KAP_RPC_OBJ_CONNECTED) {
      uint32_t opts = 0;
      self->m_tables.object.v3.GetObjectOptions(self->m_dataObj, &opts);
      const uint32_t noSide =
          KAP_RPC_OBJ_CONFIG_NO_TCPSIDECHANNEL | KAP_RPC_OBJ_CONFIG_NO_VCHANSIDECHANNEL;
      if ((opts & noSide) == noSide) {
        ready = true;
      } else if (!self->m_sideChannelRequested) {
        self->m_sideChannelRequested = true;
        self->m_tables.object.v2.RequestSideChannel(
            self->m_dataObj, KAP_RPC_SIDE_CHANNEL_TYPE_TALON, "UsbRedirection");
      }
    } else if (s == KAP_RPC_OBJ_DISCONNECTED) {
      self->DestroyObject(self->m_dataObj);
    }
    if (ready) {
      std::lock_guard<std::mutex> guard(self->m_lock);
      self->m_ready = true;
    }
    self->m_changed.notify_all();
  }
  void OnInvoke(const char* object, void* ctx) {
    Notified(this, std::string("invoke:") + object + ":" +
                       std::to_string(m_tables.context.v1.GetCommand(ctx)));
    if (m_options.onInvoke) m_options.onInvoke(*this, ctx);
  }

  const uint32_t m_sessionId;
  Options m_options;
  Tables m_tables;
  void* m_channel = nullptr;
  uint32_t m_sinkId = 0xFFFFFFFFu;
  std::atomic<void*> m_controlObj{nullptr};
  std::atomic<void*> m_dataObj{nullptr};
  std::atomic<bool> m_started{false};
  std::atomic<bool> m_stop{false};
  std::atomic<bool> m_paused{false};
  std::atomic<bool> m_insidePoll{false};
  std::atomic<int> m_violations{0};
  bool m_sideChannelRequested = false;  // poll thread only
  std::thread::id m_pollThread;
  std::mutex m_lock;
  std::condition_variable m_changed;
  std::vector<std::string> m_events;  // guarded by m_lock
  bool m_ready = false;               // guarded by m_lock
  bool m_initDone = false;            // guarded by m_lock
  std::thread m_thread;
};

// The fixture the stand-in library's suites share: after every test the fault switches go
// back to normal and nothing the library counts (servers, sinks, objects, contexts, handed-out
// variants, clients) may be left behind. Not thread safe: TearDown runs after the test's
// threads end.
class SimFixture : public ::testing::Test {
 protected:
  void TearDown() override {
    KapSim_ResetFaults();
    KapSimCounters c = Counters();
    EXPECT_EQ(c.servers, 0);
    EXPECT_EQ(c.channelSinks, 0);
    EXPECT_EQ(c.objects, 0);
    EXPECT_EQ(c.contexts, 0);
    EXPECT_EQ(c.variants, 0);
    EXPECT_EQ(c.clients, 0);
  }
  static KapSimCounters Counters() {
    KapSimCounters c{};
    KapSim_GetCounters(&c);
    return c;
  }
};

}  // namespace kapsimtest
