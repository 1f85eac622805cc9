#include "multiserver/UsbRedirectionServerMultiServer.h"

#include <atomic>
#include <new>

#include "channel/SessionUtils.h"
#include "logging/Log.h"
#include "multiserver/UsbRedirectionServerMultiServerPlugin.h"
#include "runtime/AutoMutexLock.h"
#include "usb/HostCallbacks.h"

namespace {

// The next mapped server id, shared by every session of the process.
std::atomic<uint32_t> kapServerId(1);

DWORD NextMappedServerId() {
  DWORD id = kapServerId.fetch_add(1);
  // After 2^32 connections the counter wraps; 0 never names a server.
  return id != 0 ? id : kapServerId.fetch_add(1);
}

}  // namespace

UsbRedirectionServerMultiServer::UsbRedirectionServerMultiServer()
    : RPCManager("UsbRedirection", "UsbRedirControlObj", "UsbRedirDataObj", "UsbRedirDataObjTcp"),
      mServerIdsMutex(false, "") {}

UsbRedirectionServerMultiServer::~UsbRedirectionServerMultiServer() = default;

RPCPluginInstance* UsbRedirectionServerMultiServer::OnCreateServerInstance(KapServerID hServerId) {
  QR_LOG(LOGGER_LOG_INFO, "Create server instance for server [%p].", hServerId);
  return new (std::nothrow) UsbRedirectionServerMultiServerPlugin(this, SessionId());
}

// Instances are made per server by the framework, so there is nothing to do when the
// session starts or ends.
void UsbRedirectionServerMultiServer::OnServerInit() {}

void UsbRedirectionServerMultiServer::OnServerExit() {}

bool UsbRedirectionServerMultiServer::OnServerConnected(KAPService_SessionType type,
                                                        KapServerID hServerId) {
  QR_LOG(LOGGER_LOG_INFO, "%s server [%p] connected.", SessionUtils::SessionTypeToStr(type).c_str(),
         hServerId);
  AutoMutexLock lock(mServerIdsMutex);
  if (mServerIds.empty() && gCallbackInterface.v1.OnChannelStateChange != nullptr) {
    gCallbackInterface.v1.OnChannelStateChange(SessionId(), USB_REDIR_CHANNEL_CONNECTED);
  }
  DWORD mappedId = NextMappedServerId();
  mServerIds[hServerId] = mappedId;
  QR_LOG(LOGGER_LOG_DEBUG, "server [%p] mapped to %d.\n", hServerId, static_cast<int>(mappedId));
  return true;
}

bool UsbRedirectionServerMultiServer::OnServerDisconnected(KapServerID hServerId) {
  QR_LOG(LOGGER_LOG_INFO, "Server [%p] disconnected.", hServerId);
  AutoMutexLock lock(mServerIdsMutex);
  auto found = mServerIds.find(hServerId);
  if (found == mServerIds.end()) {
    QR_LOG(LOGGER_LOG_ERROR, "Server [%p] is not located.", hServerId);
    return true;
  }
  DWORD mappedId = found->second;
  mServerIds.erase(found);
  QR_LOG(LOGGER_LOG_INFO, "mapped kap server %d disconnected.", static_cast<int>(mappedId));
  if (gCallbackInterface.v2.OnKapServerStateChange != nullptr) {
    gCallbackInterface.v2.OnKapServerStateChange(SessionId(), mappedId,
                                                 USB_REDIR_CHANNEL_DISCONNECTED);
  }
  return true;
}

DWORD UsbRedirectionServerMultiServer::GetMappedServerIdByKapServerId(KapServerID hServerId) {
  AutoMutexLock lock(mServerIdsMutex);
  auto found = mServerIds.find(hServerId);
  return found != mServerIds.end() ? found->second : 0;
}

KapServerID UsbRedirectionServerMultiServer::GetKapServerIdByMappedServerId(DWORD mappedServerId) {
  AutoMutexLock lock(mServerIdsMutex);
  for (const auto& entry : mServerIds) {
    if (entry.second == mappedServerId) {
      return entry.first;
    }
  }
  return nullptr;
}

RCPtr<UsbRedirectionServerMultiServerPlugin>
UsbRedirectionServerMultiServer::GetMultiServerPluginByServerId(KapServerID hServerId) {
  RCPtr<RPCPluginInstance> instance = GetInstanceByServerId(hServerId);
  RCPtr<UsbRedirectionServerMultiServerPlugin> plugin(
      dynamic_cast<UsbRedirectionServerMultiServerPlugin*>(instance.Ptr()));
  if (plugin.Ptr() == nullptr) {
    QR_LOG(LOGGER_LOG_ERROR, "UsbRedirectionServerMultiServerPlugin cast failed!\n");
  }
  return plugin;
}

bool UsbRedirectionServerMultiServer::SendMessage(KapServerID hServerId, const char* data,
                                                  uint32_t length, USB_RedirPackageType type,
                                                  const USBRedir_SendResponseExt* extData) {
  RCPtr<UsbRedirectionServerMultiServerPlugin> plugin = GetMultiServerPluginByServerId(hServerId);
  return plugin.Ptr() != nullptr && plugin->SendMessage(data, length, type, extData);
}

void UsbRedirectionServerMultiServer::CleanupUsbChannel() {
  QR_LOG(LOGGER_LOG_INFO, "Trigger usb redirection shut down for session %d.",
         static_cast<int>(SessionId()));
  if (gCallbackInterface.v1.OnChannelStateChange != nullptr) {
    gCallbackInterface.v1.OnChannelStateChange(SessionId(), USB_REDIR_CHANNEL_DISCONNECTED);
  }
}
