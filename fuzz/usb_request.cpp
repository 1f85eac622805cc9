// Fuzzes client requests end to end: each input is one request of any command id, with any number
// of parameters of any variant type and content, sent by a simulated client of the stand-in channel
// service to a registered, polled session of the plug-in (its exported entry points, linked in).
// The host of this file answers asynchronous requests with bytes from the input, and the input may
// make one library call of the reply fail.
//
// Checked for every input, once the plug-in has answered the request:
//  - the host was called exactly when the layout of the command's listed parameters is
//    right, once, with the session id, the payload, package and operation type and response
//    pointers that the layout gives;
//  - the reply carries the request's message id and the host's bytes, or less when the
//    host gave nothing or the input made an append fail;
//  - no message context or variant of the stand-in is left alive, and nothing was passed to
//    it that it did not hand out.
// The session stays up across inputs; the client is replaced now and then so that the stand-in's
// record of requests stays small.
//
// Input: command byte (0xF0 and up: that id itself; 0xFF: a 32-bit id follows), option byte (bits
// 0-1 object, 2-3 a failing library call, 4 the host answers, 5 named parameters), parameter count
// byte, the parameters (type byte, then 8 value bytes or a length and the bytes), then the host's
// answer (a length and the bytes).
#include <unistd.h>

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <thread>

#include "FuzzSupport.h"
#include "KapSimLibrary.h"
#include "VhubHost.h"
#include "usb/UsbOperationType.h"
#include "usbRedirectionPlugin.h"

namespace {

const DWORD kSession = 7;
const uint32_t kWaitMs = 30000;          // generous: a loaded machine, sanitizers
const unsigned kInputsPerClient = 2048;  // then the client is replaced

const char* const kObjects[] = {"UsbRedirControlObj", "UsbRedirDataObj", "UsbRedirDataObjTcp"};
const uint16_t kTypes[] = {KAP_RPC_VT_EMPTY, KAP_RPC_VT_NULL, KAP_RPC_VT_I2, KAP_RPC_VT_I4,
                           KAP_RPC_VT_R4,    KAP_RPC_VT_R8,   KAP_RPC_VT_I1, KAP_RPC_VT_UI1,
                           KAP_RPC_VT_UI2,   KAP_RPC_VT_UI4,  KAP_RPC_VT_I8, KAP_RPC_VT_UI8,
                           KAP_RPC_VT_LPSTR, KAP_RPC_VT_BLOB};
// Library calls the input may make fail: two that only the reply to an asynchronous request makes
// (the reply then stays empty), and the parameter read (the host is then never called).
const char* const kFaults[] = {nullptr, "Context.v1.AppendReturnVal", "Variant.v1.VariantFromStr",
                               "Context.v1.GetParam"};

// What the host's callbacks see; written on the session's poll thread.
struct HostState {
  std::mutex lock;
  std::condition_variable changed;
  unsigned connected = 0;                // guarded by lock
  unsigned disconnected = 0;             // guarded by lock
  std::vector<VhubHost::Message> calls;  // guarded by lock
  bool answer = false;                   // guarded by lock
  std::string reply;                     // guarded by lock; the host's, never freed by the plug-in
};
HostState gHost;

void OnChannelStateChange(DWORD /*sessionId*/, USB_RedirChannelState state) {
  std::lock_guard<std::mutex> guard(gHost.lock);
  (state == USB_REDIR_CHANNEL_CONNECTED ? gHost.connected : gHost.disconnected)++;
  gHost.changed.notify_all();
}

void OnMessageArrive(DWORD sessionId, char* msg, uint32_t msgLength, USB_RedirPackageType type,
                     USB_OperationType opType, char** respMsg, uint32_t* respMsgLength) {
  std::lock_guard<std::mutex> guard(gHost.lock);
  bool canRespond = respMsg != nullptr && respMsgLength != nullptr;
  gHost.calls.push_back({sessionId, msg != nullptr ? std::string(msg, msgLength) : std::string(),
                         type, opType, canRespond});
  if (canRespond && gHost.answer) {
    // Single-server mode never gives a reply buffer back, so the host keeps it.
    *respMsg = &gHost.reply[0];
    *respMsgLength = static_cast<uint32_t>(gHost.reply.size());
  }
}

class Session {
 public:
  Session() {
    char pattern[] = "/tmp/usbredir-fuzz-XXXXXX";
    Require(mkdtemp(pattern) != nullptr, "mkdtemp");
    m_root = pattern;
    // The plug-in logs at its most verbose level into a folder of this run.
    std::filesystem::create_directories(m_root + "/.quorin");
    std::ofstream(m_root + "/.quorin/config") << "UsbRedirPlugin.log.logLevel = \"verbose\"\n";
    setenv("HOME", m_root.c_str(), 1);
    setenv("TMPDIR", m_root.c_str(), 1);
    setenv("USER", "fuzzer", 1);
    setenv("KAPSERVICE_PATH", KAPSERVICE_SIM_PATH, 1);
    std::string error;
    if (!m_sim.Load(KAPSERVICE_SIM_PATH, &error)) {
      Require(false, error.c_str());
    }
    UsbRedirectionPlugin_Init();
    USBRedir_CallbackInterface table = {};
    table.version = 1;
    table.v1.OnChannelStateChange = &OnChannelStateChange;
    table.v1.OnMessageArrive = &OnMessageArrive;
    UsbRedirectionProxy_InitVhubCallback(&table);
    std::promise<bool> registered;
    m_poll = std::thread([&registered] {
      bool ok = UsbRedirectionProxy_Register(kSession) == TRUE;
      registered.set_value(ok);
      if (ok) {
        UsbRedirectionProxy_Poll(kSession, nullptr);
      }
    });
    Require(registered.get_future().get(), "Register failed");
    Connect();
  }

  // At exit: the session ends as a host ends it, and nothing of the stand-in stays alive.
  void Stop() {
    m_sim.KapSim_DestroyClient(m_client);
    UsbRedirectionProxy_Stop(kSession);
    m_poll.join();
    UsbRedirectionProxy_Unregister(kSession);
    UsbRedirectionPlugin_Fini();
    KapSimCounters counters{};
    m_sim.KapSim_GetCounters(&counters);
    std::error_code ignored;
    std::filesystem::remove_all(m_root, ignored);
    Require(counters.servers == 0 && counters.contexts == 0 && counters.variants == 0 &&
                counters.objects == 0 && counters.channelSinks == 0,
            "the stand-in still holds plug-in state after Unregister");
  }

  // Replaces the client once it has sent kInputsPerClient requests.
  void Next() {
    if (++m_inputs > kInputsPerClient) {
      unsigned before = Count(&HostState::disconnected);
      m_sim.KapSim_DestroyClient(m_client);
      WaitCount(&HostState::disconnected, before, "the host was not told of the disconnect");
      Connect();
    }
  }

  KapSimLibrary m_sim;
  KapSimClient* m_client = nullptr;

 private:
  void Connect() {
    unsigned before = Count(&HostState::connected);
    m_client =
        m_sim.KapSim_ConnectClient(kSession, KAPSIM_CLIENT_DEFAULT, KAP_SERVICE_TALON_SESSION);
    Require(m_client != nullptr, "the client did not connect");
    WaitCount(&HostState::connected, before, "the client did not connect");
    m_inputs = 0;
  }

  unsigned Count(unsigned HostState::*counter) {
    std::lock_guard<std::mutex> guard(gHost.lock);
    return gHost.*counter;
  }

  // The host must be told of one more connect or disconnect than `before`.
  void WaitCount(unsigned HostState::*counter, unsigned before, const char* what) {
    std::unique_lock<std::mutex> lock(gHost.lock);
    Require(gHost.changed.wait_for(lock, std::chrono::milliseconds(kWaitMs),
                                   [&] { return gHost.*counter > before; }),
            what);
  }

  unsigned m_inputs = 0;
  std::string m_root;
  std::thread m_poll;
};

// One parameter as sent, and as the stand-in stores it (strings end at their first NUL).
struct Param {
  uint16_t vt;
  std::string name;
  std::string bytes;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Session* session = nullptr;
  if (session == nullptr) {
    session = new Session();  // lives to the end; the exit handler stops it
    atexit([] { session->Stop(); });
  }
  session->Next();
  FuzzReader in(data, size);
  uint32_t command = in.Byte();
  command = command == 0xFF  ? static_cast<uint32_t>(in.Bytes(4))
            : command < 0xF0 ? command % 3
                             : command;
  const uint8_t options = in.Byte();
  const char* object = kObjects[(options & 3) % 3];
  const char* fault = kFaults[(options >> 2) & 3];
  const bool answer = (options & 16) != 0, named = (options & 32) != 0;
  std::vector<Param> params(in.Byte() % 9);  // never resized: `sent` points into it
  std::vector<KapSimParam> sent;
  for (Param& p : params) {
    p.vt = kTypes[in.Byte() % (sizeof(kTypes) / sizeof(kTypes[0]))];
    p.name = named ? in.Text() : "";
    const bool counted = p.vt == KAP_RPC_VT_LPSTR || p.vt == KAP_RPC_VT_BLOB;
    const uint64_t value = counted ? 0 : in.Bytes(8);
    p.bytes = counted ? in.Text() : std::string(reinterpret_cast<const char*>(&value), 8);
    sent.push_back(p.vt == KAP_RPC_VT_LPSTR  ? KapSimStrParam(p.bytes.c_str())
                   : p.vt == KAP_RPC_VT_BLOB ? KapSimBlobParam(p.bytes.data(), p.bytes.size())
                                             : KapSimParam{});
    sent.back().name = named ? p.name.c_str() : nullptr;
    sent.back().value.vt = p.vt;
    if (!counted) {
      sent.back().value.ullVal = value;
    }
  }
  const std::string reply = in.Text();
  KapSimLibrary& sim = session->m_sim;
  KapSimClient* client = session->m_client;
  const KAPRPC_ObjectState state = sim.KapSim_GetObjectState(client, object);
  if (state != KAP_RPC_OBJ_CONNECTED && state != KAP_RPC_OBJ_SIDE_CHANNEL_CONNECTED) {
    return 0;  // nothing to send on
  }
  {
    std::lock_guard<std::mutex> guard(gHost.lock);
    gHost.calls.clear();
    gHost.answer = answer;
    gHost.reply = reply;
  }
  Require(fault == nullptr || sim.KapSim_SetFault(fault, KAPSIM_FAULT_FAIL), "unknown fault");
  uint32_t requestId = 0;
  Require(sim.KapSim_SendRequest(client, object, command, sent.data(),
                                 static_cast<int>(sent.size()), &requestId),
          "the stand-in refused the request");
  Require(sim.KapSim_WaitRequest(client, requestId, kWaitMs) == KAPSIM_REQUEST_ANSWERED,
          "the request was not answered");
  if (fault != nullptr) {
    sim.KapSim_ResetFaults();
  }

  // The layouts: command 0 (string, blob), 1 (blob), 2 (string, string, blob); nothing reaches the
  // host when the parameters cannot be read.
  auto is = [&](size_t index, uint16_t vt) {
    return index < params.size() && params[index].vt == vt;
  };
  const Param* payload = nullptr;
  if (fault == kFaults[3]) {
    // Nothing can be read, so nothing reaches the host.
  } else if (command == 0 && is(0, KAP_RPC_VT_LPSTR) && is(1, KAP_RPC_VT_BLOB)) {
    payload = &params[1];
  } else if (command == 1 && is(0, KAP_RPC_VT_BLOB)) {
    payload = &params[0];
  } else if (command == 2 && is(0, KAP_RPC_VT_LPSTR) && is(1, KAP_RPC_VT_LPSTR) &&
             is(2, KAP_RPC_VT_BLOB)) {
    payload = &params[2];
  }
  std::vector<VhubHost::Message> calls;
  {
    std::lock_guard<std::mutex> guard(gHost.lock);
    calls.swap(gHost.calls);
  }
  Require(calls.size() == (payload != nullptr ? 1u : 0u), "the host was called against the layout");
  if (payload != nullptr) {
    const VhubHost::Message& call = calls[0];
    bool urb = command == 1;
    Require(call.sessionId == kSession && call.payload == payload->bytes &&
                call.type == (urb ? USB_REDIR_PACKAGE_TYPE_URB : USB_REDIR_PACKAGE_TYPE_PROPBAG) &&
                call.opType == (urb ? USB_OPERATION_TYPE_UNKNOWN
                                    : GetUsbOperationType(params[0].bytes.c_str())) &&
                call.canRespond == (command == 2),
            "the host was called with other values than the request's");
  }

  // The reply: the message id and the host's bytes, as far as the appends succeeded.
  const int replyValues = payload != nullptr && command == 2 && answer && fault == nullptr ? 2 : 0;
  uint32_t code = 0;
  int count = -1;
  Require(sim.KapSim_GetReply(client, requestId, &code, &count) && count == replyValues,
          "the reply has another number of values");
  const char* name = nullptr;
  const KAP_RPC_VARIANT* value = nullptr;
  Require(replyValues == 0 || (sim.KapSim_GetReplyValue(client, requestId, 0, &name, &value) &&
                               value->vt == KAP_RPC_VT_LPSTR &&
                               strcmp(params[1].bytes.c_str(), value->strVal) == 0),
          "the reply does not echo the message id");
  Require(replyValues == 0 ||
              (sim.KapSim_GetReplyValue(client, requestId, 1, &name, &value) &&
               value->vt == KAP_RPC_VT_BLOB &&
               std::string(value->blobVal.blobData != nullptr ? value->blobVal.blobData : "",
                           value->blobVal.size) == reply),
          "the reply does not carry the host's bytes");

  KapSimCounters counters{};
  sim.KapSim_GetCounters(&counters);
  Require(counters.contexts == 0 && counters.variants == 0 && counters.badHandles == 0 &&
              counters.badClears == 0,
          "message contexts or variants leaked, or bad handles");
  return 0;
}
