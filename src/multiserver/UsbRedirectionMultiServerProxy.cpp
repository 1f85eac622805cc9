// The internal UsbRedirectionMultiServerProxy_* entry points of multi-server mode.
#include "multiserver/UsbRedirectionMultiServerProxy.h"

#include <new>
#include <vector>

#include "logging/Log.h"
#include "runtime/AutoMutexLock.h"
#include "usb/HostCallbacks.h"

UsbRedirMultiServrSessions gMultiServerSessions;
QrMutex gUsbRedirMultiServerSessionMutex(false, "");

namespace {

// A poll round: long enough not to spin, short enough for a host loop to stop promptly.
const uint32_t kPollRoundMs = 100;

// The session's manager, or empty; the caller holds the mutex.
RCPtr<UsbRedirectionServerMultiServer> FindSessionLocked(DWORD sessionId)
    QR_REQUIRES(gUsbRedirMultiServerSessionMutex) {
  auto found = gMultiServerSessions.find(sessionId);
  return found != gMultiServerSessions.end() ? found->second
                                             : RCPtr<UsbRedirectionServerMultiServer>();
}

}  // namespace

bool UsbRedirectionMultiServerProxy_SessionAlreadyExists(DWORD sessionId) {
  AutoMutexLock lock(gUsbRedirMultiServerSessionMutex);
  return gMultiServerSessions.count(sessionId) != 0;
}

BOOL UsbRedirectionMultiServerProxy_Initialize(DWORD sessionId) {
  AutoMutexLock lock(gUsbRedirMultiServerSessionMutex);
  if (FindSessionLocked(sessionId).Ptr() != nullptr) {
    QR_LOG(LOGGER_LOG_INFO, "Session already exists for sessionId = %d.\n",
           static_cast<int>(sessionId));
    return TRUE;
  }
  RCPtr<UsbRedirectionServerMultiServer> server =
      new (std::nothrow) UsbRedirectionServerMultiServer();
  if (server.Ptr() == nullptr || !server->MultiServerInit(sessionId)) {
    QR_LOG(LOGGER_LOG_ERROR, "MultiServerInit() for session %d failed.\n",
           static_cast<int>(sessionId));
    return FALSE;
  }
  gMultiServerSessions[sessionId] = server;
  QR_LOG(LOGGER_LOG_INFO, "Server init for session %d finished.\n", static_cast<int>(sessionId));
  return TRUE;
}

extern "C" {

BOOL UsbRedirectionMultiServerProxy_InitVhubCallback(USBRedir_CallbackInterface* pInterface) {
  if (pInterface == nullptr) {
    // Outside the contract; refusing it keeps the host alive and changes nothing.
    QR_LOG(LOGGER_LOG_ERROR,
           "UsbRedirectionMultiServerProxy_InitVhubCallback() invalid interface.\n");
    return TRUE;
  }
  gCallbackInterface = *pInterface;
  QR_LOG(LOGGER_LOG_INFO, "Init kapvhub callbacks finished.\n");
  return TRUE;
}

BOOL UsbRedirectionMultiServerProxy_Register(DWORD sessionId) {
  return UsbRedirectionMultiServerProxy_Initialize(sessionId);
}

void UsbRedirectionMultiServerProxy_Unregister(DWORD sessionId) {
  AutoMutexLock lock(gUsbRedirMultiServerSessionMutex);
  RCPtr<UsbRedirectionServerMultiServer> server = FindSessionLocked(sessionId);
  if (server.Ptr() == nullptr) {
    QR_LOG(LOGGER_LOG_ERROR, "Session %d not exist.\n", static_cast<int>(sessionId));
    return;
  }
  server->CleanupUsbChannel();
  KapserviceReservedParam reserved;
  reserved.signature = static_cast<int32_t>(0xBABECAFEu);
  reserved.version = 1;
  reserved.v1.bNotUnloadPrivApi = true;
  server->MultiServerExit(sessionId, &reserved);
  // By key: the host's notice above may have changed the table.
  gMultiServerSessions.erase(sessionId);
  QR_LOG(LOGGER_LOG_INFO, "Server exited for session %d.\n", static_cast<int>(sessionId));
}

void UsbRedirectionMultiServerProxy_Poll(DWORD sessionId, void* /*threadData*/) {
  RCPtr<UsbRedirectionServerMultiServer> server;
  {
    AutoMutexLock lock(gUsbRedirMultiServerSessionMutex);
    server = FindSessionLocked(sessionId);
  }
  if (server.Ptr() == nullptr) {
    QR_LOG(LOGGER_LOG_ERROR, "Session %d not exist.\n", static_cast<int>(sessionId));
    return;
  }
  std::vector<QrEvent*> none;
  // The library's timed poll waits for work; without it, poll and sleep in slices.
  if (server->PollWaitMultiple(none, false, kPollRoundMs, false) == -2) {
    server->Poll(kPollRoundMs);
  }
}

BOOL UsbRedirectionMultiServerProxy_SendResponse(DWORD sessionId, char* data, uint32_t length,
                                                 USB_RedirPackageType type,
                                                 USBRedir_SendResponseExt* extData) {
  AutoMutexLock lock(gUsbRedirMultiServerSessionMutex);
  RCPtr<UsbRedirectionServerMultiServer> server = FindSessionLocked(sessionId);
  if (server.Ptr() == nullptr) {
    QR_LOG(LOGGER_LOG_ERROR, "Session %d not exist.\n", static_cast<int>(sessionId));
    return FALSE;
  }
  // The fast queue id doubles as the mapped id of the server the response is for.
  KapServerID serverId =
      extData != nullptr ? server->GetKapServerIdByMappedServerId(extData->fastQueueId) : nullptr;
  QR_LOG(LOGGER_LOG_VERBOSE, "Send response for session %d serverId [%p].\n",
         static_cast<int>(sessionId), serverId);
  // Failures are logged by the manager and the instance; the host only learns the session.
  server->SendMessage(serverId, data, length, type, extData);
  return TRUE;
}

}  // extern "C"
