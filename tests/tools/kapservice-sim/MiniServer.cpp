#include "MiniServer.h"

#include <dlfcn.h>

#include <chrono>
#include <cstring>
#include <type_traits>

namespace kapsimtest {

const char* const kControlObj = "UsbRedirControlObj";
const char* const kDataObj = "UsbRedirDataObj";

const Library& Library::Get() {
  static Library s_lib = [] {
    Library lib;
    lib.handle = dlopen(KAPSERVICE_SIM_PATH, RTLD_LAZY);
    auto resolve = [&lib](auto* fn, const char* name) {
      *fn = reinterpret_cast<std::remove_pointer_t<decltype(fn)>>(
          lib.handle != nullptr ? dlsym(lib.handle, name) : nullptr);
    };
    resolve(&lib.serverInit, KAPSERVICE_SERVER_INIT_NAME);
    resolve(&lib.serverExit, KAPSERVICE_SERVER_EXIT_NAME);
    resolve(&lib.serverInit2, KAPSERVICE_SERVER_INIT2_NAME);
    resolve(&lib.serverExit2, KAPSERVICE_SERVER_EXIT2_NAME);
    resolve(&lib.multiServerInit, KAPSERVICE_MULTI_SERVER_INIT_NAME);
    resolve(&lib.multiServerExit, KAPSERVICE_MULTI_SERVER_EXIT_NAME);
    return lib;
  }();
  return s_lib;
}

bool Tables::Query() {
  auto q = qi.QueryInterface;
  if (q == nullptr) return false;
  bool ok = q(&GUID_KAPService_ChannelInterface_V3, &channel) ||
            q(&GUID_KAPService_ChannelInterface_V2, &channel) ||
            q(&GUID_KAPService_ChannelInterface_V1, &channel);
  ok = ok && (q(&GUID_KAPRPC_ChannelObjectInterface_V4, &object) ||
              q(&GUID_KAPRPC_ChannelObjectInterface_V3, &object) ||
              q(&GUID_KAPRPC_ChannelObjectInterface_V2, &object) ||
              q(&GUID_KAPRPC_ChannelObjectInterface_V1, &object));
  ok = ok && (q(&GUID_KAPRPC_ChannelContextInterface_V2, &context) ||
              q(&GUID_KAPRPC_ChannelContextInterface_V1, &context));
  return ok && q(&GUID_KAPRPC_VariantInterface_V1, &variant);
}

MiniServer::MiniServer(uint32_t sessionId, Options options)
    : m_sessionId(sessionId), m_options(std::move(options)) {
  m_paused = m_options.startPaused;
  m_thread = std::thread([this] { Run(); });
  std::unique_lock<std::mutex> lk(m_lock);
  m_changed.wait(lk, [this] { return m_initDone; });
}

MiniServer::~MiniServer() {
  m_stop = true;
  m_thread.join();
  // The exit path runs on the caller's thread, as the host's control thread does it.
  if (!m_started) return;
  if (m_sinkId != 0xFFFFFFFFu) m_tables.channel.v1.UnregisterChannelNotifySink(m_sinkId);
  Library::Get().serverExit2(m_sessionId);
}

void MiniServer::Run() {
  m_pollThread = std::this_thread::get_id();
  bool ok =
      Library::Get().serverInit2 != nullptr &&
      Library::Get().serverInit2(m_sessionId, "UsbRedirection", &m_tables.qi, &m_channel) == TRUE;
  m_started = ok;
  if (ok && m_tables.Query()) {
    static const KAPService_ChannelNotifySink s_sink = {1, {&OnConnection, &OnChannel, &OnPeer}};
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

void MiniServer::CheckInsidePoll() {
  if (!m_insidePoll || std::this_thread::get_id() != m_pollThread) ++m_violations;
}

void MiniServer::Record(const std::string& event) {
  {
    std::lock_guard<std::mutex> guard(m_lock);
    m_events.push_back(event);
  }
  m_changed.notify_all();
}

std::vector<std::string> MiniServer::Events() {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_events;
}

bool MiniServer::WaitReady(uint32_t ms) {
  std::unique_lock<std::mutex> lk(m_lock);
  return m_changed.wait_for(lk, std::chrono::milliseconds(ms), [this] { return m_ready; });
}

bool MiniServer::WaitEvent(const std::string& event, uint32_t ms) {
  std::unique_lock<std::mutex> lk(m_lock);
  return m_changed.wait_for(lk, std::chrono::milliseconds(ms), [&] {
    for (const std::string& e : m_events) {
      if (e == event) return true;
    }
    return false;
  });
}

void MiniServer::OnConnection(void* ud, KAPService_ConnectionState cur, KAPService_ConnectionState,
                              void*) {
  auto* self = static_cast<MiniServer*>(ud);
  self->CheckInsidePoll();
  self->Record("conn:" + std::to_string(cur));
  if (cur == KAP_SERVICE_CONN_CONNECTED) self->m_tables.channel.v1.Connect();
}

void MiniServer::OnChannel(void* ud, KAPService_ChannelState cur, KAPService_ChannelState, void*) {
  auto* self = static_cast<MiniServer*>(ud);
  self->CheckInsidePoll();
  self->Record("chan:" + std::to_string(cur));
  if (cur == KAP_SERVICE_CHAN_CONNECTED) {
    static const KAPRPC_ObjectNotifySink s_sink = {
        1,
        {[](void* ud, void* ctx, void*) { static_cast<MiniServer*>(ud)->OnInvoke("control", ctx); },
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

void MiniServer::OnPeer(void* ud, const char* name, void*) {
  auto* self = static_cast<MiniServer*>(ud);
  self->CheckInsidePoll();
  self->Record(std::string("peer:") + name);
}

void MiniServer::DestroyObject(std::atomic<void*>& object) {
  void* obj = object.exchange(nullptr);
  if (obj != nullptr) m_tables.object.v1.DestroyChannelObject(obj);
  std::lock_guard<std::mutex> guard(m_lock);
  m_ready = false;
}

void MiniServer::OnControlState(void* ud, void*) {
  auto* self = static_cast<MiniServer*>(ud);
  self->CheckInsidePoll();
  KAPRPC_ObjectState s = self->m_tables.object.v1.GetObjectState(self->m_controlObj);
  self->Record("control:" + std::to_string(s));
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

void MiniServer::OnDataState(void* ud, void*) {
  auto* self = static_cast<MiniServer*>(ud);
  self->CheckInsidePoll();
  KAPRPC_ObjectState s = self->m_tables.object.v1.GetObjectState(self->m_dataObj);
  self->Record("data:" + std::to_string(s));
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
      self->m_tables.object.v2.RequestSideChannel(self->m_dataObj, KAP_RPC_SIDE_CHANNEL_TYPE_TALON,
                                                  "UsbRedirection");
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

void MiniServer::OnInvoke(const char* object, void* ctx) {
  CheckInsidePoll();
  Record(std::string("invoke:") + object + ":" +
         std::to_string(m_tables.context.v1.GetCommand(ctx)));
  if (m_options.onInvoke) m_options.onInvoke(*this, ctx);
}

bool MiniServer::Send(void* object, uint32_t command, const std::vector<KAP_RPC_VARIANT>& params,
                      const KAPRPC_RequestCallback* callback, void* userData, uint32_t* requestId) {
  const Tables& t = m_tables;
  void* ctx = nullptr;
  if (!t.object.v1.CreateContext(object, &ctx)) return false;
  bool ok = t.context.v1.SetCommand(ctx, command) == TRUE;
  for (const KAP_RPC_VARIANT& p : params) ok = ok && t.context.v1.AppendParam(ctx, &p) == TRUE;
  if (callback == nullptr) {
    KAP_RPC_VARIANT one = U32(1);
    ok = ok && t.context.v2.SetOps(ctx, KAP_RPC_CHANNEL_CONTEXT_OPT_POST, &one) == TRUE;
  }
  if (requestId != nullptr) *requestId = t.context.v1.GetId(ctx);
  ok = ok && t.object.v1.Invoke(object, ctx, callback, userData) == TRUE;
  return t.object.v1.DestroyContext(ctx) == TRUE && ok;
}

}  // namespace kapsimtest
