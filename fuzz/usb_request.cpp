// Fuzzes client requests end to end: each input is one request of any command id, with any
// number of parameters of any variant type and content, sent by a simulated client of the
// stand-in channel service to a registered, polled session of the plug-in (its exported
// entry points, linked in). The host of this file answers asynchronous requests with bytes
// from the input, and the input may make one library call of the reply fail.
//
// Checked for every input, once the plug-in has answered the request:
//  - the host was called exactly when the layout of the command's listed parameters is
//    right, once, with the session id, the payload, package and operation type and response
//    pointers that the layout gives;
//  - the reply carries the request's message id and the host's bytes, or less when the
//    host gave nothing or the input made an append fail;
//  - no message context or variant of the stand-in is left alive, and nothing was passed to
//    it that it did not hand out.
// The session stays up across inputs; the client is replaced now and then so that the
// stand-in's record of requests stays small.
//
// Input: command byte (0xF0 and up: that id itself; 0xFF: a 32-bit id follows), option byte
// (bits 0-1 object, 2-3 a failing library call, 4 the host answers, 5 named parameters),
// parameter count byte, the parameters (type byte, then 8 value bytes or a length and the
// bytes), then the host's answer (a length and the bytes).
#include <unistd.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "KapSimLibrary.h"
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
// Library calls the input may make fail: two that only the reply to an asynchronous request
// makes (the reply then stays empty), and the parameter read (the host is then never called).
const char* const kFaults[] = {nullptr, "Context.v1.AppendReturnVal", "Variant.v1.VariantFromStr",
                               "Context.v1.GetParam"};
const char* const kGetParamFault = kFaults[3];

struct HostCall {
  DWORD sessionId;
  bool payloadNull;
  std::string payload;
  USB_RedirPackageType type;
  USB_OperationType opType;
  bool canRespond;
};

// What the host's callbacks see; written on the session's poll thread.
struct HostState {
  std::mutex lock;
  std::condition_variable changed;
  unsigned connected = 0;       // guarded by lock
  unsigned disconnected = 0;    // guarded by lock
  std::vector<HostCall> calls;  // guarded by lock
  bool answer = false;          // guarded by lock
  std::string reply;            // guarded by lock; the host's, never freed by the plug-in
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
  gHost.calls.push_back({sessionId, msg == nullptr,
                         msg != nullptr ? std::string(msg, msgLength) : std::string(), type, opType,
                         canRespond});
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
    if (mkdtemp(pattern) == nullptr) {
      abort();
    }
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
      fprintf(stderr, "%s\n", error.c_str());
      abort();
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
    if (!registered.get_future().get()) {
      abort();
    }
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
    if (counters.servers != 0 || counters.contexts != 0 || counters.variants != 0 ||
        counters.objects != 0 || counters.channelSinks != 0) {
      fprintf(stderr, "the stand-in still holds plug-in state after Unregister\n");
      abort();
    }
  }

  void Connect() {
    unsigned before = Connections();
    m_client =
        m_sim.KapSim_ConnectClient(kSession, KAPSIM_CLIENT_DEFAULT, KAP_SERVICE_TALON_SESSION);
    std::unique_lock<std::mutex> lock(gHost.lock);
    if (m_client == nullptr || !gHost.changed.wait_for(lock, std::chrono::milliseconds(kWaitMs),
                                                       [&] { return gHost.connected > before; })) {
      fprintf(stderr, "the client did not connect\n");
      abort();
    }
    m_inputs = 0;
  }

  void Reconnect() {
    unsigned before;
    {
      std::lock_guard<std::mutex> guard(gHost.lock);
      before = gHost.disconnected;
    }
    m_sim.KapSim_DestroyClient(m_client);
    std::unique_lock<std::mutex> lock(gHost.lock);
    if (!gHost.changed.wait_for(lock, std::chrono::milliseconds(kWaitMs),
                                [&] { return gHost.disconnected > before; })) {
      fprintf(stderr, "the host was not told of the disconnect\n");
      abort();
    }
    lock.unlock();
    Connect();
  }

  unsigned Connections() {
    std::lock_guard<std::mutex> guard(gHost.lock);
    return gHost.connected;
  }

  // A connected object to send on, or null.
  const char* Object(unsigned choice) {
    const char* name = kObjects[choice % 3];
    KAPRPC_ObjectState state = m_sim.KapSim_GetObjectState(m_client, name);
    return state == KAP_RPC_OBJ_CONNECTED || state == KAP_RPC_OBJ_SIDE_CHANNEL_CONNECTED ? name
                                                                                         : nullptr;
  }

  KapSimLibrary m_sim;
  KapSimClient* m_client = nullptr;
  unsigned m_inputs = 0;

 private:
  std::string m_root;
  std::thread m_poll;
};

Session* gSession = nullptr;

Session& TheSession() {
  if (gSession == nullptr) {
    gSession = new Session();  // lives to the end; the exit handler stops it
    atexit([] { gSession->Stop(); });
  }
  return *gSession;
}

class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
  uint8_t Byte() { return m_pos < m_size ? m_data[m_pos++] : 0; }
  uint64_t Bytes(size_t count) {
    uint64_t value = 0;
    for (size_t i = 0; i < count; ++i) {
      value |= static_cast<uint64_t>(Byte()) << (8 * i);
    }
    return value;
  }
  // A length byte (255: a 16-bit length follows), then up to that many bytes.
  std::string Text() {
    size_t length = Byte();
    if (length == 255) {
      length = Bytes(2);
    }
    length = std::min(length, m_size - m_pos);
    std::string out(reinterpret_cast<const char*>(m_data + m_pos), length);
    m_pos += length;
    return out;
  }

 private:
  const uint8_t* m_data;
  size_t m_size;
  size_t m_pos = 0;
};

// One parameter as sent, and as the stand-in stores it (strings end at their first NUL).
struct Param {
  uint16_t vt;
  std::string name;
  std::string bytes;
};

KapSimParam ToKapSim(const Param& p, bool named) {
  KapSimParam out{};
  out.name = named ? p.name.c_str() : nullptr;
  out.value.vt = p.vt;
  if (p.vt == KAP_RPC_VT_LPSTR) {
    out.value.strVal = const_cast<char*>(p.bytes.c_str());
  } else if (p.vt == KAP_RPC_VT_BLOB) {
    out.value.blobVal.size = static_cast<uint32_t>(p.bytes.size());
    out.value.blobVal.blobData = const_cast<char*>(p.bytes.data());
  } else {
    memcpy(&out.value.ullVal, p.bytes.data(), sizeof(out.value.ullVal));
  }
  return out;
}

bool Is(const std::vector<Param>& params, size_t index, uint16_t vt) {
  return index < params.size() && params[index].vt == vt;
}

std::string StringOf(const Param& p) { return p.bytes.c_str(); }

void Fail(const char* what, uint32_t command) {
  fprintf(stderr, "command %u: %s\n", command, what);
  abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Session& session = TheSession();
  if (++session.m_inputs > kInputsPerClient) {
    session.Reconnect();
  }
  Reader in(data, size);
  uint32_t command = in.Byte();
  if (command == 0xFF) {
    command = static_cast<uint32_t>(in.Bytes(4));
  } else if (command < 0xF0) {
    command %= 3;
  }
  uint8_t options = in.Byte();
  const char* object = session.Object(options & 3);
  const char* fault = kFaults[(options >> 2) & 3];
  bool answer = (options & 16) != 0;
  bool named = (options & 32) != 0;
  std::vector<Param> params(in.Byte() % 9);
  for (Param& p : params) {
    p.vt = kTypes[in.Byte() % (sizeof(kTypes) / sizeof(kTypes[0]))];
    if (named) {
      p.name = in.Text();
    }
    if (p.vt == KAP_RPC_VT_LPSTR || p.vt == KAP_RPC_VT_BLOB) {
      p.bytes = in.Text();
    } else {
      uint64_t value = in.Bytes(8);
      p.bytes.assign(reinterpret_cast<const char*>(&value), sizeof(value));
    }
  }
  std::string reply = in.Text();
  if (object == nullptr) {
    return 0;
  }
  std::vector<KapSimParam> sent;
  for (const Param& p : params) {
    sent.push_back(ToKapSim(p, named));
  }
  {
    std::lock_guard<std::mutex> guard(gHost.lock);
    gHost.calls.clear();
    gHost.answer = answer;
    gHost.reply = reply;
  }
  KapSimLibrary& sim = session.m_sim;
  if (fault != nullptr && !sim.KapSim_SetFault(fault, KAPSIM_FAULT_FAIL)) {
    Fail("unknown fault", command);
  }
  uint32_t requestId = 0;
  if (!sim.KapSim_SendRequest(session.m_client, object, command, sent.data(),
                              static_cast<int>(sent.size()), &requestId)) {
    Fail("the stand-in refused the request", command);
  }
  if (sim.KapSim_WaitRequest(session.m_client, requestId, kWaitMs) != KAPSIM_REQUEST_ANSWERED) {
    Fail("the request was not answered", command);
  }
  if (fault != nullptr) {
    sim.KapSim_ResetFaults();
  }

  // The layouts: command 0 (string, blob), 1 (blob), 2 (string, string, blob).
  bool valid = false;
  bool readable = fault != kGetParamFault;
  const Param* payload = nullptr;
  USB_RedirPackageType type = USB_REDIR_PACKAGE_TYPE_PROPBAG;
  USB_OperationType opType = USB_OPERATION_TYPE_UNKNOWN;
  if (!readable) {
    // Nothing can be read, so nothing reaches the host.
  } else if (command == 0 && Is(params, 0, KAP_RPC_VT_LPSTR) && Is(params, 1, KAP_RPC_VT_BLOB)) {
    valid = true;
    payload = &params[1];
  } else if (command == 1 && Is(params, 0, KAP_RPC_VT_BLOB)) {
    valid = true;
    payload = &params[0];
    type = USB_REDIR_PACKAGE_TYPE_URB;
  } else if (command == 2 && Is(params, 0, KAP_RPC_VT_LPSTR) && Is(params, 1, KAP_RPC_VT_LPSTR) &&
             Is(params, 2, KAP_RPC_VT_BLOB)) {
    valid = true;
    payload = &params[2];
  }
  if (valid && type == USB_REDIR_PACKAGE_TYPE_PROPBAG) {
    opType = GetUsbOperationType(StringOf(params[0]).c_str());
  }
  std::vector<HostCall> calls;
  {
    std::lock_guard<std::mutex> guard(gHost.lock);
    calls.swap(gHost.calls);
  }
  if (calls.size() != (valid ? 1u : 0u)) {
    Fail("the host was called against the layout", command);
  }
  if (valid) {
    const HostCall& call = calls[0];
    if (call.sessionId != kSession || call.payload != payload->bytes ||
        (call.payloadNull && !payload->bytes.empty()) || call.type != type ||
        call.opType != opType || call.canRespond != (command == 2)) {
      Fail("the host was called with other values than the request's", command);
    }
  }

  // The reply: the message id and the host's bytes, as far as the appends succeeded.
  size_t replyValues = 0;
  if (valid && command == 2 && answer) {
    replyValues = fault == nullptr ? 2 : 0;
  }
  uint32_t code = 0;
  int count = -1;
  if (!sim.KapSim_GetReply(session.m_client, requestId, &code, &count) ||
      static_cast<size_t>(count) != replyValues) {
    Fail("the reply has another number of values", command);
  }
  const char* name = nullptr;
  const KAP_RPC_VARIANT* value = nullptr;
  if (replyValues >= 1 &&
      (!sim.KapSim_GetReplyValue(session.m_client, requestId, 0, &name, &value) ||
       value->vt != KAP_RPC_VT_LPSTR || StringOf(params[1]) != value->strVal)) {
    Fail("the reply does not echo the message id", command);
  }
  if (replyValues == 2 &&
      (!sim.KapSim_GetReplyValue(session.m_client, requestId, 1, &name, &value) ||
       value->vt != KAP_RPC_VT_BLOB ||
       std::string(value->blobVal.blobData != nullptr ? value->blobVal.blobData : "",
                   value->blobVal.size) != reply)) {
    Fail("the reply does not carry the host's bytes", command);
  }

  KapSimCounters counters{};
  sim.KapSim_GetCounters(&counters);
  if (counters.contexts != 0 || counters.variants != 0 || counters.badHandles != 0 ||
      counters.badClears != 0) {
    Fail("message contexts or variants leaked, or bad handles", command);
  }
  return 0;
}
