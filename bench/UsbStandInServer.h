// The cheapest server the stand-in channel service can have: the baseline the plug-in's
// throughput is measured against. It starts a server for one session on its own thread,
// connects the channel, creates the control then the data object as the plug-in does, polls
// with v3.Poll, and hands each data-object request's blob to a plain function after reading
// it exactly as the plug-in must (command, then the blob parameter, then clear it). It
// can also post a host-to-client URB with the same four parameters the plug-in sends.
// Thread safe: the poll thread owns the channel; the handles it publishes are atomics, and
// Post only uses the message functions, which the library allows from any thread.
#ifndef BENCH_USBSTANDINSERVER_H
#define BENCH_USBSTANDINSERVER_H

#include <dlfcn.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

#include "channel/KapServiceApi.h"

class UsbStandInServer {
 public:
  typedef void (*BlobHandler)(const char* data, uint32_t size);

  UsbStandInServer(const char* libraryPath, uint32_t sessionId, BlobHandler handler)
      : m_sessionId(sessionId), m_handler(handler) {
    m_library = dlopen(libraryPath, RTLD_NOW | RTLD_LOCAL);
    if (m_library != nullptr) {
      m_init = reinterpret_cast<KAPService_ServerInit2_Fn>(
          dlsym(m_library, KAPSERVICE_SERVER_INIT2_NAME));
      m_exit = reinterpret_cast<KAPService_ServerExit2_Fn>(
          dlsym(m_library, KAPSERVICE_SERVER_EXIT2_NAME));
    }
    if (m_init == nullptr || m_exit == nullptr) {
      return;
    }
    std::atomic<int> started{0};
    m_thread = std::thread([this, &started]() { Run(&started); });
    while (started.load() == 0) {
      std::this_thread::yield();
    }
    m_started = started.load() > 0;
  }

  ~UsbStandInServer() {
    m_stop = true;
    if (m_thread.joinable()) {
      m_thread.join();
    }
    if (m_started) {
      if (m_sinkId != kNoSink) {
        m_channel.v1.UnregisterChannelNotifySink(m_sinkId);
      }
      m_exit(m_sessionId);
    }
    if (m_library != nullptr) {
      dlclose(m_library);
    }
  }

  UsbStandInServer(const UsbStandInServer&) = delete;
  UsbStandInServer& operator=(const UsbStandInServer&) = delete;

  bool Started() const { return m_started; }

  // Posts what the plug-in posts for a host URB: queue id, header and trailer lengths, data.
  bool PostUrb(const char* data, uint32_t size, uint32_t queueId, uint64_t header,
               uint64_t trailer) {
    void* object = m_dataObject.load();
    void* ctx = nullptr;
    if (object == nullptr || m_object.v1.CreateContext(object, &ctx) != TRUE) {
      return false;
    }
    KAP_RPC_VARIANT params[4] = {};
    params[0].vt = KAP_RPC_VT_UI4;
    params[0].ulVal = queueId;
    params[1].vt = KAP_RPC_VT_UI8;
    params[1].ullVal = header;
    params[2].vt = KAP_RPC_VT_UI8;
    params[2].ullVal = trailer;
    params[3].vt = KAP_RPC_VT_BLOB;
    params[3].blobVal.size = size;
    params[3].blobVal.blobData = const_cast<char*>(data);
    KAP_RPC_VARIANT post = {};
    post.vt = KAP_RPC_VT_UI4;
    post.ulVal = 1;
    bool ok = m_context.v1.SetCommand(ctx, kPostMsgFast) == TRUE;
    for (const KAP_RPC_VARIANT& param : params) {
      ok = ok && m_context.v1.AppendParam(ctx, &param) == TRUE;
    }
    ok = ok && m_context.v2.SetOps(ctx, KAP_RPC_CHANNEL_CONTEXT_OPT_POST, &post) == TRUE;
    ok = ok && m_object.v1.Invoke(object, ctx, nullptr, nullptr) == TRUE;
    return m_object.v1.DestroyContext(ctx) == TRUE && ok;
  }

 private:
  static const uint32_t kNoSink = 0xFFFFFFFFu;
  static const uint32_t kPostMsgFast = 1;
  static const uint32_t kObjectFlags = KAP_RPC_OBJ_CONFIG_INVOKE_ALLOW_ANY_THREAD |
                                       KAP_RPC_OBJ_CONFIG_NO_TCPSIDECHANNEL |
                                       KAP_RPC_OBJ_CONFIG_NO_VCHANSIDECHANNEL;

  bool QueryTables() {
    auto query = m_qi.QueryInterface;
    return query != nullptr && query(&GUID_KAPService_ChannelInterface_V3, &m_channel) &&
           query(&GUID_KAPRPC_ChannelObjectInterface_V4, &m_object) &&
           query(&GUID_KAPRPC_ChannelContextInterface_V2, &m_context) &&
           query(&GUID_KAPRPC_VariantInterface_V1, &m_variant);
  }

  void Run(std::atomic<int>* started) {
    void* channel = nullptr;
    bool ok = m_init(m_sessionId, "UsbRedirection", &m_qi, &channel) == TRUE;
    if (ok && !QueryTables()) {
      m_exit(m_sessionId);
      ok = false;
    }
    if (ok) {
      static const KAPService_ChannelNotifySink s_sink = {1, {&OnConnection, &OnChannel, nullptr}};
      m_channel.v1.RegisterChannelNotifySink(&s_sink, this, &m_sinkId);
    }
    started->store(ok ? 1 : -1);
    if (!ok) {
      return;
    }
    while (!m_stop.load(std::memory_order_relaxed)) {
      m_channel.v3.Poll(kPollSliceMs);  // the plug-in polls in slices of the same length
    }
  }

  static void OnConnection(void* userData, KAPService_ConnectionState current,
                           KAPService_ConnectionState, void*) {
    auto* self = static_cast<UsbStandInServer*>(userData);
    if (current == KAP_SERVICE_CONN_CONNECTED) {
      self->m_channel.v1.Connect();
    }
  }

  static void OnChannel(void* userData, KAPService_ChannelState current, KAPService_ChannelState,
                        void*) {
    auto* self = static_cast<UsbStandInServer*>(userData);
    if (current == KAP_SERVICE_CHAN_CONNECTED) {
      static const KAPRPC_ObjectNotifySink s_sink = {1, {&OnControlInvoke, &OnControlState}};
      void* object = nullptr;
      if (self->m_object.v1.CreateChannelObject("UsbRedirControlObj", &s_sink, self, kObjectFlags,
                                                &object) == TRUE) {
        self->m_controlObject = object;
      }
    } else if (current == KAP_SERVICE_CHAN_DISCONNECTED) {
      self->Destroy(&self->m_dataObject);
      self->Destroy(&self->m_controlObject);
    }
  }

  void Destroy(std::atomic<void*>* object) {
    void* old = object->exchange(nullptr);
    if (old != nullptr) {
      m_object.v1.DestroyChannelObject(old);
    }
  }

  static void OnControlInvoke(void*, void*, void*) {}

  static void OnControlState(void* userData, void*) {
    auto* self = static_cast<UsbStandInServer*>(userData);
    void* control = self->m_controlObject.load();
    if (control != nullptr && self->m_dataObject.load() == nullptr &&
        self->m_object.v1.GetObjectState(control) == KAP_RPC_OBJ_CONNECTED) {
      static const KAPRPC_ObjectNotifySink s_sink = {1, {&OnDataInvoke, &OnDataState}};
      void* object = nullptr;
      if (self->m_object.v1.CreateChannelObject("UsbRedirDataObj", &s_sink, self, kObjectFlags,
                                                &object) == TRUE) {
        self->m_dataObject = object;
      }
    }
  }

  static void OnDataState(void*, void*) {}

  // What any server must do with a URB: check the command, take the blob, give it back.
  static void OnDataInvoke(void* userData, void* ctx, void*) {
    auto* self = static_cast<UsbStandInServer*>(userData);
    if (self->m_context.v1.GetCommand(ctx) != kPostMsgFast) {
      return;
    }
    KAP_RPC_VARIANT blob = {};
    if (self->m_context.v1.GetParam(ctx, 0, &blob) == TRUE && blob.vt == KAP_RPC_VT_BLOB) {
      self->m_handler(blob.blobVal.blobData, blob.blobVal.size);
    }
    self->m_variant.v1.VariantClear(&blob);
  }

  static const int kPollSliceMs = 100;

  const uint32_t m_sessionId;
  const BlobHandler m_handler;
  void* m_library = nullptr;
  KAPService_ServerInit2_Fn m_init = nullptr;
  KAPService_ServerExit2_Fn m_exit = nullptr;
  KAP_SERVICE_QUERY_INTERFACE m_qi{};
  KAPService_ChannelInterface m_channel{};
  KAPRPC_ChannelObjectInterface m_object{};
  KAPRPC_ChannelContextInterface m_context{};
  KAPRPC_VariantInterface m_variant{};
  uint32_t m_sinkId = kNoSink;
  bool m_started = false;
  std::atomic<bool> m_stop{false};
  std::atomic<void*> m_controlObject{nullptr};
  std::atomic<void*> m_dataObject{nullptr};
  std::thread m_thread;
};

#endif  // BENCH_USBSTANDINSERVER_H
