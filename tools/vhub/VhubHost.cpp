#include "VhubHost.h"

#include <dlfcn.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <future>
#include <utility>

VhubHost* VhubHost::s_host = nullptr;

namespace {

template <class F>
bool Resolve(void* library, const char* name, F* out, std::string* error) {
  *out = reinterpret_cast<F>(dlsym(library, name));
  if (*out == nullptr && error != nullptr) {
    *error = std::string("missing entry point ") + name;
  }
  return *out != nullptr;
}

}  // namespace

VhubHost::VhubHost(std::string pluginPath) : m_pluginPath(std::move(pluginPath)) {
  s_host = this;
}

VhubHost::~VhubHost() {
  std::vector<DWORD> running;
  {
    std::lock_guard<std::mutex> lock(m_lock);
    for (const auto& session : m_sessions) {
      running.push_back(session.first);
    }
  }
  for (DWORD id : running) {
    StopSession(id);
  }
  if (m_initialised) {
    Fini();
  }
  if (m_library != nullptr) {
    dlclose(m_library);
  }
  std::lock_guard<std::mutex> lock(m_lock);
  for (auto& buffer : m_outstanding) {
    free(const_cast<char*>(buffer.first));
  }
  if (s_host == this) {
    s_host = nullptr;
  }
}

bool VhubHost::Load(std::string* error) {
  int flags = RTLD_NOW | RTLD_LOCAL;
#ifdef USBREDIR_SANITIZED
  // The plug-in's process-lifetime singletons (the count lock, the logger registry) are
  // never freed by design; LeakSanitizer counts them as lost once their module is unmapped,
  // so sanitizer builds keep the plug-in mapped after dlclose.
  flags |= RTLD_NODELETE;
#endif
  m_library = dlopen(m_pluginPath.c_str(), flags);
  if (m_library == nullptr) {
    if (error != nullptr) {
      const char* text = dlerror();
      *error = text != nullptr ? text : "dlopen failed";
    }
    return false;
  }
  return Resolve(m_library, "UsbRedirectionPlugin_Init", &m_entry.Init, error) &&
         Resolve(m_library, "UsbRedirectionPlugin_Fini", &m_entry.Fini, error) &&
         Resolve(m_library, "UsbRedirectionProxy_InitVhubCallback", &m_entry.InitVhubCallback,
                 error) &&
         Resolve(m_library, "UsbRedirectionProxy_Register", &m_entry.Register, error) &&
         Resolve(m_library, "UsbRedirectionProxy_Unregister", &m_entry.Unregister, error) &&
         Resolve(m_library, "UsbRedirectionProxy_Poll", &m_entry.Poll, error) &&
         Resolve(m_library, "UsbRedirectionProxy_Stop", &m_entry.Stop, error) &&
         Resolve(m_library, "UsbRedirectionProxy_SendResponse", &m_entry.SendResponse, error);
}

void VhubHost::Init() {
  m_entry.Init();
  m_initialised = true;
}

void VhubHost::Fini() {
  m_entry.Fini();
  m_initialised = false;
}

BOOL VhubHost::InitVhubCallback(bool withFree) {
  // The plug-in copies the table, so a local one is enough (and proves it does).
  USBRedir_CallbackInterface table = {};
  table.version = withFree ? 3 : 1;
  table.v1.OnChannelStateChange = &VhubHost::OnChannelStateChange;
  table.v1.OnMessageArrive = &VhubHost::OnMessageArrive;
  if (withFree) {
    table.v3.kapvhubFree = &VhubHost::KapvhubFree;
  }
  return m_entry.InitVhubCallback(&table);
}

bool VhubHost::StartSession(DWORD sessionId) {
  {
    std::unique_lock<std::mutex> lock(m_lock);
    if (m_sessions.count(sessionId) != 0) {
      // Already polled by its own thread: only ask the plug-in again, as a daemon would.
      lock.unlock();
      return m_entry.Register(sessionId) == TRUE;
    }
  }
  std::promise<bool> registered;
  std::future<bool> result = registered.get_future();
  std::thread thread([this, sessionId, &registered]() {
    bool ok = m_entry.Register(sessionId) == TRUE;
    registered.set_value(ok);
    if (ok) {
      m_entry.Poll(sessionId, nullptr);
    }
  });
  bool ok = result.get();
  std::lock_guard<std::mutex> lock(m_lock);
  if (!ok) {
    thread.join();
    return false;
  }
  m_sessions.emplace(sessionId, std::move(thread));
  return true;
}

void VhubHost::StopSession(DWORD sessionId) {
  std::thread thread;
  {
    std::lock_guard<std::mutex> lock(m_lock);
    auto it = m_sessions.find(sessionId);
    if (it == m_sessions.end()) {
      return;
    }
    thread = std::move(it->second);
    m_sessions.erase(it);
  }
  m_entry.Stop(sessionId);
  thread.join();  // Unregister only after Poll has returned
  m_entry.Unregister(sessionId);
  std::lock_guard<std::mutex> lock(m_lock);
  for (auto it = m_outstanding.begin(); it != m_outstanding.end();) {
    if (it->second.second == sessionId) {
      free(const_cast<char*>(it->first));
      ++m_reclaimed;
      it = m_outstanding.erase(it);
    } else {
      ++it;
    }
  }
}

BOOL VhubHost::SendResponse(DWORD sessionId, const void* data, uint32_t length,
                            USB_RedirPackageType type, const USBRedir_SendResponseExt* extData) {
  // The plug-in only reads both during the call.
  return m_entry.SendResponse(sessionId, static_cast<char*>(const_cast<void*>(data)), length,
                              type, const_cast<USBRedir_SendResponseExt*>(extData));
}

void VhubHost::SetResponder(Responder responder) {
  std::lock_guard<std::mutex> lock(m_lock);
  m_responder = std::move(responder);
}

void VhubHost::SetMessageObserver(MessageObserver observer) {
  std::lock_guard<std::mutex> lock(m_lock);
  m_observer = std::move(observer);
}

bool VhubHost::WaitForState(DWORD sessionId, USB_RedirChannelState state, size_t count,
                            int timeoutMs) {
  std::unique_lock<std::mutex> lock(m_lock);
  return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&]() {
    return CountStatesLocked(sessionId, state) >= count;
  });
}

bool VhubHost::WaitForMessages(DWORD sessionId, size_t count, int timeoutMs) {
  std::unique_lock<std::mutex> lock(m_lock);
  return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                            [&]() { return m_totals[sessionId].first >= count; });
}

void VhubHost::SetKeepRecords(bool keep) {
  std::lock_guard<std::mutex> lock(m_lock);
  m_keepRecords = keep;
}

size_t VhubHost::MessageCount(DWORD sessionId) const {
  std::lock_guard<std::mutex> lock(m_lock);
  auto it = m_totals.find(sessionId);
  return it != m_totals.end() ? it->second.first : 0;
}

uint64_t VhubHost::MessageBytes(DWORD sessionId) const {
  std::lock_guard<std::mutex> lock(m_lock);
  auto it = m_totals.find(sessionId);
  return it != m_totals.end() ? it->second.second : 0;
}

std::vector<VhubHost::Message> VhubHost::Messages(DWORD sessionId) const {
  std::lock_guard<std::mutex> lock(m_lock);
  auto it = m_messages.find(sessionId);
  return it != m_messages.end() ? it->second : std::vector<Message>();
}

std::vector<VhubHost::StateChange> VhubHost::StateChanges() const {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_states;
}

size_t VhubHost::StateChangeCount(DWORD sessionId, USB_RedirChannelState state) const {
  std::lock_guard<std::mutex> lock(m_lock);
  return CountStatesLocked(sessionId, state);
}

size_t VhubHost::CountStatesLocked(DWORD sessionId, USB_RedirChannelState state) const {
  auto it = m_stateCounts.find({sessionId, static_cast<int>(state)});
  return it != m_stateCounts.end() ? it->second : 0;
}

size_t VhubHost::BuffersGivenOut() const {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_given;
}

size_t VhubHost::BuffersFreed() const {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_freed;
}

size_t VhubHost::BuffersReclaimed() const {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_reclaimed;
}

size_t VhubHost::BadFrees() const {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_badFrees;
}

void VhubHost::OnChannelStateChange(DWORD sessionId, USB_RedirChannelState state) {
  if (s_host != nullptr) {
    s_host->RecordState(sessionId, state);
  }
}

void VhubHost::OnMessageArrive(DWORD sessionId, char* msg, uint32_t msgLength,
                               USB_RedirPackageType type, USB_OperationType opType,
                               char** respMsg, uint32_t* respMsgLength) {
  if (s_host == nullptr) {
    return;
  }
  Message message{sessionId, std::string(msg != nullptr ? msg : "", msg != nullptr ? msgLength : 0),
                  type, opType, respMsg != nullptr && respMsgLength != nullptr};
  s_host->RecordMessage(std::move(message), respMsg, respMsgLength);
}

void VhubHost::KapvhubFree(char* buffer, uint32_t length) {
  if (s_host != nullptr) {
    s_host->RecordFree(buffer, length);
  }
}

void VhubHost::RecordState(DWORD sessionId, USB_RedirChannelState state) {
  std::lock_guard<std::mutex> lock(m_lock);
  ++m_stateCounts[{sessionId, static_cast<int>(state)}];
  if (m_keepRecords) {
    m_states.push_back({sessionId, state});
  }
  m_changed.notify_all();
}

void VhubHost::RecordMessage(Message message, char** respMsg, uint32_t* respMsgLength) {
  Responder responder;
  MessageObserver observer;
  {
    std::lock_guard<std::mutex> lock(m_lock);
    responder = m_responder;
    observer = m_observer;
  }
  std::string reply;
  if (message.canRespond && responder && responder(message, &reply)) {
    // At least one byte, so an empty reply is still a valid, distinct buffer.
    char* buffer = static_cast<char*>(malloc(reply.size() + 1));
    if (buffer != nullptr) {
      memcpy(buffer, reply.data(), reply.size());
      *respMsg = buffer;
      *respMsgLength = static_cast<uint32_t>(reply.size());
      std::lock_guard<std::mutex> lock(m_lock);
      m_outstanding[buffer] = {*respMsgLength, message.sessionId};
      ++m_given;
    }
  }
  if (observer) {
    observer(message);
  }
  std::lock_guard<std::mutex> lock(m_lock);
  std::pair<size_t, uint64_t>& totals = m_totals[message.sessionId];
  ++totals.first;
  totals.second += message.payload.size();
  if (m_keepRecords) {
    m_messages[message.sessionId].push_back(std::move(message));
  }
  m_changed.notify_all();
}

void VhubHost::RecordFree(char* buffer, uint32_t length) {
  std::lock_guard<std::mutex> lock(m_lock);
  auto it = m_outstanding.find(buffer);
  if (it == m_outstanding.end() || it->second.first != length) {
    ++m_badFrees;  // not ours, or handed back with another length: keep it, count it
    return;
  }
  m_outstanding.erase(it);
  free(buffer);
  ++m_freed;
  m_changed.notify_all();
}
