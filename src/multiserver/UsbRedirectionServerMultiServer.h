// The channel-service manager of one desktop session in multi-server mode, where several
// servers (client connections) serve the session at once. It makes one plug-in instance per
// server, gives every server a small id that the host sees instead of the library's handle,
// tells the host when servers come and go, and routes host messages to the instance of the
// server they name. Mapped ids come from one process-wide counter that starts at 1: unique
// across all sessions of the process and never reused (0 never names a server).
// Thread safety: the server sink's callbacks arrive on the session's poll thread; the id
// lookups and SendMessage come from host threads. mServerIdsMutex guards mServerIds and is
// held across the host notices made while the map changes, so the host sees one session's
// connect and disconnect notices in the order the map changed; a host must therefore not
// wait, inside those notices, for a thread that sends to the same session.
#ifndef MULTISERVER_USBREDIRECTIONSERVERMULTISERVER_H
#define MULTISERVER_USBREDIRECTIONSERVERMULTISERVER_H

#include <cstdint>
#include <map>

#include "channel/RPCManager.h"
#include "runtime/QrMutex.h"
#include "runtime/RCPtr.h"
#include "usbRedirectionPlugin.h"

class UsbRedirectionServerMultiServerPlugin;

class UsbRedirectionServerMultiServer : public RPCManager {
 public:
  UsbRedirectionServerMultiServer();

  // A new instance for the server, for the framework to own.
  RPCPluginInstance* OnCreateServerInstance(KapServerID hServerId) override;
  void OnServerInit() override;
  void OnServerExit() override;
  // The first server of the session tells the host the session's channel is up; every
  // server gets the next mapped id.
  bool OnServerConnected(KAPService_SessionType type, KapServerID hServerId) override;
  // Tells the host the server's mapped id is gone (v2.OnKapServerStateChange). The session's
  // channel stays up, even for the last server: CleanupUsbChannel ends it.
  bool OnServerDisconnected(KapServerID hServerId) override;

  // 0 when the server is not connected.
  DWORD GetMappedServerIdByKapServerId(KapServerID hServerId);
  // Null when no connected server has that id.
  KapServerID GetKapServerIdByMappedServerId(DWORD mappedServerId);
  // Empty (with an error line) when the server has no instance of this mode.
  RCPtr<UsbRedirectionServerMultiServerPlugin> GetMultiServerPluginByServerId(
      KapServerID hServerId);
  // Sends a host message to the server's client; the bytes are read during the call only.
  bool SendMessage(KapServerID hServerId, const char* data, uint32_t length,
                   USB_RedirPackageType type, const USBRedir_SendResponseExt* extData);
  // Tells the host the session's channel is down; called when the session is unregistered.
  void CleanupUsbChannel();

 protected:
  ~UsbRedirectionServerMultiServer() override;

 private:
  std::map<KapServerID, unsigned int> mServerIds QR_GUARDED_BY(mServerIdsMutex);
  QrMutex mServerIdsMutex;
};

#endif  // MULTISERVER_USBREDIRECTIONSERVERMULTISERVER_H
