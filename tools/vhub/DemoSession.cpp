#include "DemoSession.h"

#include <cstdio>

namespace {

const char* const kControl = "UsbRedirControlObj";
const char* const kData = "UsbRedirDataObj";
const uint32_t kWaitMs = 10000;
const int kUrbWindow = 16;  // URBs in flight per session, like a device's queue depth

KapSimParam Blob(const std::string& bytes) { return KapSimBlobParam(bytes.data(), bytes.size()); }

}  // namespace

void DemoLog::Event(DWORD sessionId, const std::string& text) {
  if (m_quiet) {
    return;
  }
  std::lock_guard<std::mutex> lock(m_lock);
  printf("[%7.3fs] session %u: %s\n", Elapsed(), sessionId, text.c_str());
  fflush(stdout);
}

double DemoLog::Elapsed() const {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
}

DemoSession::DemoSession(DWORD sessionId, VhubHost* host, KapSimLibrary* sim,
                         const DemoOptions& options, DemoLog* log)
    : m_sessionId(sessionId), m_host(host), m_sim(sim), m_options(options), m_log(log) {}

DemoSession::~DemoSession() {
  if (m_client != nullptr) {
    m_sim->KapSim_DestroyClient(m_client);
  }
}

bool DemoSession::Check(bool condition, const std::string& failure) {
  if (!condition) {
    m_failures.push_back(failure);
    Event("FAILED: " + failure);
  }
  return condition;
}

bool DemoSession::Connect(size_t connectedCount) {
  m_client = m_sim->KapSim_ConnectClient(m_sessionId, KAPSIM_CLIENT_DEFAULT,
                                         KAP_SERVICE_TALON_SESSION);
  if (!Check(m_client != nullptr, "the client could not connect")) {
    return false;
  }
  return Check(m_host->WaitForState(m_sessionId, USB_REDIR_CHANNEL_CONNECTED, connectedCount,
                                    kWaitMs),
               "the host was not told CONNECTED");
}

bool DemoSession::AsyncRequest(const char* operation, const std::string& body,
                               std::string* answer) {
  std::string id = std::to_string(m_sessionId) + "-" + std::to_string(++m_requests);
  std::vector<KapSimParam> params = {KapSimStrParam(operation), KapSimStrParam(id.c_str()), Blob(body)};
  uint32_t requestId = 0;
  ++m_expectedHostMessages;
  if (!Check(m_sim->KapSim_SendRequest(m_client, kControl, 2, params.data(), 3, &requestId) ==
                 TRUE,
             std::string(operation) + " could not be sent") ||
      !Check(m_sim->KapSim_WaitRequest(m_client, requestId, kWaitMs) == KAPSIM_REQUEST_ANSWERED,
             std::string(operation) + " was not answered")) {
    return false;
  }
  uint32_t code = 0;
  int count = 0;
  const char* name = nullptr;
  const KAP_RPC_VARIANT* echoed = nullptr;
  const KAP_RPC_VARIANT* value = nullptr;
  if (!Check(m_sim->KapSim_GetReply(m_client, requestId, &code, &count) == TRUE && count == 2 &&
                 m_sim->KapSim_GetReplyValue(m_client, requestId, 0, &name, &echoed) == TRUE &&
                 m_sim->KapSim_GetReplyValue(m_client, requestId, 1, &name, &value) == TRUE &&
                 echoed->vt == KAP_RPC_VT_LPSTR && id == echoed->strVal &&
                 value->vt == KAP_RPC_VT_BLOB,
             std::string(operation) + " got no reply with its message id and the host's answer")) {
    return false;
  }
  answer->assign(value->blobVal.blobData, value->blobVal.size);
  m_sim->KapSim_ReleaseRequest(m_client, requestId);
  ++m_stats.messagesFromHost;
  m_stats.bytesFromHost += answer->size();
  return true;
}

bool DemoSession::Post(const char* operation, const std::string& body) {
  std::vector<KapSimParam> params = {KapSimStrParam(operation), Blob(body)};
  uint32_t requestId = 0;
  ++m_expectedHostMessages;
  bool delivered =
      m_sim->KapSim_SendRequest(m_client, kControl, 0, params.data(), 2, &requestId) == TRUE &&
      m_sim->KapSim_WaitRequest(m_client, requestId, kWaitMs) == KAPSIM_REQUEST_ANSWERED;
  m_sim->KapSim_ReleaseRequest(m_client, requestId);
  return Check(delivered, std::string(operation) + " was not delivered");
}

bool DemoSession::CheckUrbReply(int index, size_t size) {
  // The hub's answer travels as one fast-queue message: queue id, header, trailer, data.
  KapSimMessage message{};
  const char* name = nullptr;
  const KAP_RPC_VARIANT* queueId = nullptr;
  const KAP_RPC_VARIANT* data = nullptr;
  return Check(
      m_sim->KapSim_GetMessage(m_client, index, &message) == TRUE && message.command == 1 &&
          message.paramCount == 4 && message.postMode == TRUE &&
          m_sim->KapSim_GetMessageParam(m_client, index, 0, &name, &queueId) == TRUE &&
          queueId->vt == KAP_RPC_VT_UI4 && queueId->ulVal == m_sessionId &&
          m_sim->KapSim_GetMessageParam(m_client, index, 3, &name, &data) == TRUE &&
          data->vt == KAP_RPC_VT_BLOB && data->blobVal.size == size,
      "a URB reply did not have the fast-queue layout");
}

bool DemoSession::UrbStream() {
  const std::string urb(m_options.payloadBytes, '\xa5');
  std::vector<KapSimParam> params = {Blob(urb)};
  const int already = m_sim->KapSim_GetMessageCount(m_client);
  const auto start = std::chrono::steady_clock::now();
  const auto until = start + std::chrono::duration<double>(m_options.durationSeconds);
  int sent = 0;
  bool firstChecked = false;
  do {
    const int received = m_sim->KapSim_GetMessageCount(m_client);
    if (!firstChecked && received > already) {
      CheckUrbReply(already, urb.size());
      firstChecked = true;
    }
    // What has been read is let go, so that a stream of any length keeps flat memory.
    if (firstChecked) {
      m_sim->KapSim_ReleaseMessages(m_client, received);
    }
    if (sent - (received - already) >= kUrbWindow &&
        !Check(m_sim->KapSim_WaitMessageCount(m_client, already + sent - kUrbWindow + 1,
                                              kWaitMs) == TRUE,
               "URB replies stopped arriving")) {
      return false;
    }
    // No request id: the client keeps no record of a URB it posts.
    if (!Check(m_sim->KapSim_SendRequest(m_client, kData, 1, params.data(), 1, nullptr) == TRUE,
               "a URB could not be sent")) {
      return false;
    }
    ++sent;
  } while (std::chrono::steady_clock::now() < until);
  if (!Check(m_sim->KapSim_WaitMessageCount(m_client, already + sent, kWaitMs) == TRUE,
             "not every URB was answered")) {
    return false;
  }
  if (!firstChecked) {
    CheckUrbReply(already, urb.size());
  }
  m_sim->KapSim_ReleaseMessages(m_client, already + sent);
  m_stats.urbSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
                           .count();
  m_stats.urbRoundTrips += sent;
  m_stats.messagesFromHost += sent;
  m_stats.bytesFromHost += static_cast<uint64_t>(sent) * urb.size();
  m_expectedHostMessages += sent;
  char text[160];
  snprintf(text, sizeof(text), "URB stream: %d round trips of %u bytes in %.2f s (%.0f/s)", sent,
           m_options.payloadBytes, m_stats.urbSeconds,
           m_stats.urbSeconds > 0 ? sent / m_stats.urbSeconds : 0.0);
  Event(text);
  return true;
}

bool DemoSession::Run() {
  if (!Check(m_host->StartSession(m_sessionId), "Register failed")) {
    return false;
  }
  Event("registered; its poll thread now drives the channel service");
  if (!Connect(1)) {
    return false;
  }
  Event("client connected; host told CONNECTED");

  std::string answer;
  if (AsyncRequest("ClientStartup", "clientVersion=5.4;os=demo", &answer)) {
    Event("ClientStartup answered by the host: \"" + answer + "\"");
  }
  if (AsyncRequest("IsUsbAvailable", "", &answer)) {
    Event("IsUsbAvailable answered by the host: \"" + answer + "\"");
  }
  if (Post("DeviceList", "0781:5581 Flash Drive;046d:c52b Receiver")) {
    Event("device list posted (2 devices)");
  }
  if (AsyncRequest("PlugInDevice", "vid=0781;pid=5581;serial=4C530001", &answer)) {
    Event("PlugInDevice 0781:5581 answered by the host: \"" + answer + "\"");
  }
  UrbStream();
  if (Post("UnplugDevice", "vid=0781;pid=5581")) {
    Event("UnplugDevice posted");
  }

  Check(m_sim->KapSim_DisconnectClient(m_client) == TRUE, "the client could not disconnect");
  if (Check(m_host->WaitForState(m_sessionId, USB_REDIR_CHANNEL_DISCONNECTED, 1, kWaitMs),
            "the host was not told DISCONNECTED")) {
    Event("client disconnected; host told DISCONNECTED");
  }
  m_sim->KapSim_DestroyClient(m_client);
  m_client = nullptr;
  if (Connect(2)) {
    Event("client reconnected; host told CONNECTED again");
    if (AsyncRequest("IsUsbAvailable", "", &answer)) {
      Event("IsUsbAvailable after reconnect answered: \"" + answer + "\"");
    }
  }

  Check(m_host->WaitForMessages(m_sessionId, m_expectedHostMessages, kWaitMs),
        "the host did not receive every message");
  m_stats.messagesToHost = m_host->MessageCount(m_sessionId);
  m_stats.bytesToHost = m_host->MessageBytes(m_sessionId);
  m_host->StopSession(m_sessionId);
  Event("stopped and unregistered");
  return m_failures.empty();
}
