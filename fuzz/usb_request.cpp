// Fuzzes client requests end to end, from a client of the stand-in to tools/vhub's host on the
// plug-in's entry points (linked in): the host is called exactly when the parameters have the
// command's layout, with what they hold; the reply echoes the message id and the host's bytes, or
// is empty; no context or variant is left, no bad handle passed. One library call may fail.
// Input: command byte (0xF0 and up: that id; 0xFF: a 32-bit id follows), option byte (bits 0-1
// object, 2-3 failing call, 4 the host answers, 5 named parameters), parameter count byte, the
// parameters (type byte, then 8 value bytes or a length and the bytes), the host's answer (a
// length and the bytes).
#include <filesystem>
#include <fstream>

#include "FuzzSupport.h"
#include "KapSimLibrary.h"
#include "VhubHost.h"
#include "usb/UsbOperationType.h"

namespace {

const int kWaitMs = 30000;                // generous: a loaded machine, sanitizers
const unsigned kInputsPerSession = 2048;  // then a new session replaces it

const char* const kObjects[] = {"UsbRedirControlObj", "UsbRedirDataObj", "UsbRedirDataObjTcp"};
const uint16_t kTypes[] = {KAP_RPC_VT_EMPTY, KAP_RPC_VT_NULL, KAP_RPC_VT_I2, KAP_RPC_VT_I4,
                           KAP_RPC_VT_R4,    KAP_RPC_VT_R8,   KAP_RPC_VT_I1, KAP_RPC_VT_UI1,
                           KAP_RPC_VT_UI2,   KAP_RPC_VT_UI4,  KAP_RPC_VT_I8, KAP_RPC_VT_UI8,
                           KAP_RPC_VT_LPSTR, KAP_RPC_VT_BLOB};
// Failing calls: two that only a reply makes (it stays empty), the parameter read (no host call).
const char* const kFaults[] = {nullptr, "Context.v1.AppendReturnVal", "Variant.v1.VariantFromStr",
                               "Context.v1.GetParam"};

// The host's answer and the messages it got. No lock: the stand-in's own locks order the writes
// before a request is sent against the poll thread's reads, and its calls against the answer.
bool gAnswer = false;
std::string gReply;
std::vector<VhubHost::Message> gCalls;

struct Setup {
  std::string root;
  KapSimLibrary sim;
  VhubHost host{""};  // "": this program, which links the plug-in in
  DWORD session = 0;
  KapSimClient* client = nullptr;
  unsigned inputs = 0;

  Setup() {
    char pattern[] = "/tmp/usbredir-fuzz-XXXXXX";
    Require(mkdtemp(pattern) != nullptr, "mkdtemp");
    root = pattern;
    std::filesystem::create_directories(root + "/.quorin");
    std::ofstream(root + "/.quorin/config") << "UsbRedirPlugin.log.logLevel = \"verbose\"\n";
    setenv("HOME", root.c_str(), 1);
    setenv("TMPDIR", root.c_str(), 1);
    setenv("USER", "fuzzer", 1);
    setenv("KAPSERVICE_PATH", KAPSERVICE_SIM_PATH, 1);
    std::string error;
    const bool loaded = sim.Load(KAPSERVICE_SIM_PATH, &error) && host.Load(&error);
    Require(loaded, error.c_str());
    host.Init();
    host.InitVhubCallback(false);
    host.SetKeepRecords(false);
    host.SetResponder([](const VhubHost::Message&, std::string* reply) {
      *reply = gReply;
      return gAnswer;
    });
    host.SetMessageObserver([](const VhubHost::Message& message) { gCalls.push_back(message); });
    Restart();  // before the exit handler is set: it must run before the stand-in's end
  }

  // A new session now and then keeps the host's reply buffers (single-server mode never hands them
  // back) and the stand-in's records few.
  void Restart() {
    if (client != nullptr) {
      sim.KapSim_DestroyClient(client);
      Require(host.WaitForState(session, USB_REDIR_CHANNEL_DISCONNECTED, 1, kWaitMs),
              "the host was not told of the disconnect");
      host.StopSession(session);
    }
    inputs = 0;
    Require(host.StartSession(++session), "Register failed");
    client = sim.KapSim_ConnectClient(session, KAPSIM_CLIENT_DEFAULT, KAP_SERVICE_TALON_SESSION);
    Require(
        client != nullptr && host.WaitForState(session, USB_REDIR_CHANNEL_CONNECTED, 1, kWaitMs),
        "the client did not connect");
  }
};

// One parameter as sent, and as the stand-in stores it (strings end at their first NUL).
struct Param {
  uint16_t vt;
  std::string name;
  std::string bytes;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Setup* setup = nullptr;
  if (setup == nullptr) {
    setup = new Setup();  // lives to the end
    atexit([] {
      setup->sim.KapSim_DestroyClient(setup->client);
      setup->host.StopSession(setup->session);
      setup->host.Fini();
      std::error_code ignored;
      std::filesystem::remove_all(setup->root, ignored);
    });
  }
  if (++setup->inputs > kInputsPerSession) {
    setup->Restart();
  }
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
  gReply = in.Text();
  KapSimLibrary& sim = setup->sim;
  KapSimClient* client = setup->client;
  const KAPRPC_ObjectState state = sim.KapSim_GetObjectState(client, object);
  if (state != KAP_RPC_OBJ_CONNECTED && state != KAP_RPC_OBJ_SIDE_CHANNEL_CONNECTED) {
    return 0;  // nothing to send on
  }
  gCalls.clear();
  gAnswer = answer;
  Require(fault == nullptr || sim.KapSim_SetFault(fault, KAPSIM_FAULT_FAIL), "unknown fault");
  uint32_t requestId = 0;
  Require(sim.KapSim_SendRequest(client, object, command, sent.data(),
                                 static_cast<int>(sent.size()), &requestId),
          "the stand-in refused the request");
  Require(sim.KapSim_WaitRequest(client, requestId, kWaitMs) == KAPSIM_REQUEST_ANSWERED,
          "the request was not answered");
  sim.KapSim_ResetFaults();

  // Each layout's blob is the payload; nothing reaches the host when the parameters cannot be read.
  static const std::vector<uint16_t> kLayouts[] = {
      {KAP_RPC_VT_LPSTR, KAP_RPC_VT_BLOB},
      {KAP_RPC_VT_BLOB},
      {KAP_RPC_VT_LPSTR, KAP_RPC_VT_LPSTR, KAP_RPC_VT_BLOB}};
  const std::vector<uint16_t>* layout = command < 3 ? &kLayouts[command] : nullptr;
  const Param* payload = layout != nullptr && fault != kFaults[3] &&
                                 params.size() >= layout->size() &&
                                 std::equal(layout->begin(), layout->end(), params.begin(),
                                            [](uint16_t vt, const Param& p) { return p.vt == vt; })
                             ? &params[layout->size() - 1]
                             : nullptr;
  const bool urb = command == 1;
  Require(
      gCalls.size() == (payload != nullptr ? 1u : 0u) &&
          (payload == nullptr ||
           (gCalls[0].sessionId == setup->session && gCalls[0].payload == payload->bytes &&
            gCalls[0].type == (urb ? USB_REDIR_PACKAGE_TYPE_URB : USB_REDIR_PACKAGE_TYPE_PROPBAG) &&
            gCalls[0].opType ==
                (urb ? USB_OPERATION_TYPE_UNKNOWN : GetUsbOperationType(params[0].bytes.c_str())) &&
            gCalls[0].canRespond == (command == 2))),
      "the host was called against the layout, or with other values than the request's");

  const int replyValues = payload != nullptr && command == 2 && answer && fault == nullptr ? 2 : 0;
  int count = -1;
  const KAP_RPC_VARIANT *id = nullptr, *blob = nullptr;
  Require(sim.KapSim_GetReply(client, requestId, nullptr, &count) && count == replyValues,
          "the reply has another number of values");
  Require(replyValues == 0 ||
              (sim.KapSim_GetReplyValue(client, requestId, 0, nullptr, &id) &&
               sim.KapSim_GetReplyValue(client, requestId, 1, nullptr, &blob) &&
               id->vt == KAP_RPC_VT_LPSTR && strcmp(params[1].bytes.c_str(), id->strVal) == 0 &&
               blob->vt == KAP_RPC_VT_BLOB &&
               std::string(blob->blobVal.blobData != nullptr ? blob->blobVal.blobData : "",
                           blob->blobVal.size) == gReply),
          "the reply does not echo the message id and carry the host's bytes");

  KapSimCounters counters{};
  sim.KapSim_GetCounters(&counters);
  Require(counters.contexts == 0 && counters.variants == 0 && counters.badHandles == 0 &&
              counters.badClears == 0,
          "message contexts or variants leaked, or bad handles");
  return 0;
}
