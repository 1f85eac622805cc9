// Owner of the channel service for one server (or one session in multi-server mode): loads
// the library, starts and ends its server, keeps its interface tables and the notification
// sinks whose static callbacks route library events to the right RPCPluginInstance, and
// offers the waits through which the initialising thread drives the library's dispatch.
// Subclasses (the USB session servers) override the virtual hooks.
// Thread safety: life-cycle operations (init, exit, waits that poll) belong to one thread,
// the one that completed Init; the id maps are guarded by their mutexes (below), and the
// sink callbacks arrive only inside polls made on that thread.
#ifndef CHANNEL_RPCMANAGER_H
#define CHANNEL_RPCMANAGER_H

#include <cstdint>
#include <map>
#include <vector>

#include "channel/KapServiceApi.h"
#include "runtime/AutoMutexLock.h"
#include "runtime/QrEvent.h"
#include "runtime/QrMutex.h"
#include "runtime/QrThread.h"
#include "runtime/RCPtr.h"
#include "usbRedirectionPlugin.h"

class RPCPluginInstance;

class RPCManager : public RCObject {
 public:
  static constexpr DWORD kNoSession = 0xFFFFFFFF;
  // Default location of the channel service; KAPSERVICE_PATH, when set and not empty,
  // names another file.
  static const char* const kKapServicePath;

  RPCManager(const char* tokenName, const char* controlObjName, const char* dataObjName,
             const char* dataObjTcpName);
  RPCManager(const RPCManager&) = delete;
  RPCManager& operator=(const RPCManager&) = delete;

  // Client path: the manager as a channel plug-in inside a host that calls KAPPluginInit.
  virtual bool KAPPluginInit(KAP_SERVICE_QUERY_INTERFACE qi);
  virtual bool KAPPluginExit();
  virtual bool KAPPluginCreateInstance(void* channel, void** userData);
  virtual bool KAPPluginDestroyInstance(void* userData);
  // The client path holds one reference on the instance made here for the library's
  // userData; OnDestroyInstance drops it.
  virtual RPCPluginInstance* OnCreateInstance();
  virtual RPCPluginInstance* OnCreateServerInstance(KapServerID serverId);
  virtual void OnDestroyInstance(RPCPluginInstance* instance);
  virtual void OnDestroyServerInstance(KapServerID serverId, RCPtr<RPCPluginInstance> instance);
  virtual bool ClientLogInit();
  virtual bool ClientLogExit();
  virtual void OnServerInit();
  virtual void OnServerExit();
  virtual void OnClientInit();
  virtual void OnClientExit();
  virtual bool OnServerConnected(KAPService_SessionType type, KapServerID serverId);
  virtual bool OnServerDisconnected(KapServerID serverId);
  virtual bool ConfigureTcpSideChan();
  virtual bool ConfigureVirtualSideChan();
  virtual void ConfigureSidechannelType(KAPService_SessionType type);
  virtual bool PlatformAllowRunAsServer();

  DWORD SessionId() const { return m_sessionId; }
  const char* TokenName() const { return m_tokenName; }
  bool IsServer() const { return m_isServer; }
  bool IsClient() const { return !m_isServer; }
  bool IsTcpEnabled() const { return m_isTcpEnabled; }
  bool IsVirtualSideChannelEnabled() const { return m_isVirtualSideChannelEnabled; }
  bool IsRIVETSideChannelPreferred() const { return m_isRIVETPrefered; }
  const char* GetTcpObjName() const { return m_dataObjTcpName; }

  // The held tables; a function the library did not offer reads as null.
  const KAPRPC_ChannelContextInterface* ChannelContextInterface() const { return &m_iChannelCtx; }
  const KAPRPC_VariantInterface* VariantInterface() const { return &m_iVariant; }
  const KAPRPC_StreamDataInterface* StreamDataInterface() const { return &m_iStreamData; }
  const KAPService_ServerInterface* ServerInterface() const { return &m_iServer; }
  const KAPOverlayGuest_Interface* OverlayGuestInterface() const { return &m_iOverlayGuest; }
  const KAPOverlayClient_Interface* OverlayClientInterface() const { return &m_iOverlayClient; }

  // Server life. The thread that initialises becomes the init thread: it alone may poll.
  bool ServerInitForSession(DWORD sessionId, RPCPluginInstance* rpcPlugin, uint32_t msTimeoutReady);
  bool ServerInit(RPCPluginInstance* rpcPlugin, uint32_t msTimeoutReady, bool lowPriv);
  bool MultiServerInit(DWORD sessionId);
  bool ServerExitForSession(DWORD sessionId, RPCPluginInstance* rpcPlugin,
                            bool exitOnDifferentThread);
  bool ServerExit(RPCPluginInstance* rpcPlugin);
  bool MultiServerExit(DWORD sessionId, void* reserved);

  // Multi-server control; false with a log line when the server table lacks the function.
  bool StartServer(KapServerID serverId);
  bool StopServer(KapServerID serverId);
  bool StopAllServers(KapServerID serverId);

  // Waits in slices of at most 100 ms. On the init thread each slice also polls the
  // library, so its notifications are dispatched; elsewhere the events are only waited on.
  // Results: the index of the completing event (0 for wait-all), -1 on time-out, -2 on
  // error (including an empty list off the init thread).
  int WaitMultiple(std::vector<QrEvent*>& events, bool waitAll, uint32_t msTimeout,
                   bool wakeOnOSMessages);
  // As WaitMultiple, but the library's timed poll (channel table v3) does the waiting on
  // the init thread; -2 when the library lacks it.
  int PollWaitMultiple(std::vector<QrEvent*>& events, bool waitAll, uint32_t msTimeout,
                       bool wakeOnOSMessages);
  // True when the event (null: none) was signalled within the time-out.
  bool WaitForEvent(QrEvent* event, uint32_t msTimeout);
  void Poll(uint32_t msTimeout);

  bool QueryInterface(const GUID* iid, void* table);

  // Multi-server lookups; empty pointers when the server id is unknown.
  static RCPtr<RPCManager> GetRPCManagerByServerId(KapServerID serverId);
  static RCPtr<RPCPluginInstance> GetInstanceByServerId(KapServerID serverId);

  // Names for log lines; an unknown value is formatted into a static buffer per function.
  static const char* ConnectionStateToStr(int state);
  static const char* ChannelStateToStr(int state);
  static const char* ChannelObjectStateToStr(int state);

  bool ClientInit(const KAP_SERVICE_QUERY_INTERFACE* qi);
  bool ClientExit();

 protected:
  ~RPCManager() override;

  bool m_isTcpEnabled;
  bool m_isTcpEnabledConfigured;
  bool m_isRIVETPrefered;
  bool m_isVirtualSideChannelEnabled;

  KAPService_ServerInit_Fn m_fKAPServiceServerInit;
  KAPService_ServerInitLP_Fn m_fKAPServiceServerInitLP;
  KAPService_ServerExit_Fn m_fKAPServiceServerExit;
  KAPService_ServerInit2_Fn m_fKAPServiceServerInit2;
  KAPService_ServerExit2_Fn m_fKAPServiceServerExit2;
  KAPService_MultiServerInit_Fn m_fKAPServiceMultiServerInit;
  KAPService_MultiServerExit_Fn m_fKAPServiceMultiServerExit;

 private:
  friend class RPCPluginInstance;
  friend class RPCManagerTestPeer;

  bool ServerInitImp(DWORD sessionId, RPCPluginInstance* rpcPlugin, uint32_t msTimeoutReady,
                     bool multiServerMode, bool lowPriv);
  bool ServerExitImp(DWORD sessionId, RPCPluginInstance* rpcPlugin, bool exitOnDifferentThread);
  bool InstanceExitImp(RPCPluginInstance* rpcPlugin, bool exitOnDifferentThread);
  bool KAPServiceServerExit(DWORD sessionId, void* reserved);
  bool Init(bool isServer, const KAP_SERVICE_QUERY_INTERFACE* qi);
  bool LoadKapService();
  // Clears every server entry point, once the library they came from is closed.
  void ForgetEntryPoints();
  Bool KAPServerDestroyInstance(KapServerID serverId, RCPtr<RPCPluginInstance> instance);
  // Object table v2; false against a library without it.
  bool IsSideChannelAvailable(int type);
  bool IsInitThread() const;

  // Server sink.
  static Bool KapOnServerConnected(void* userData, KAPService_SessionType type,
                                   KapServerID serverId);
  static Bool KapOnServerDisconnected(void* userData, KapServerID serverId);
  static Bool KapOnServerInstanceCreated(void* userData, KapServerID serverId,
                                         void** pInstanceUserData);
  static Bool KapOnServerInstanceDestroyed(void* serverUserData, void* pInstanceUserData,
                                           KapServerID serverId);
  // Channel sink.
  static void OnConnectionStateChanged(void* userData, KAPService_ConnectionState current,
                                       KAPService_ConnectionState transient, void* reserved);
  static void OnChannelStateChanged(void* userData, KAPService_ChannelState current,
                                    KAPService_ChannelState transient, void* reserved);
  static void OnPeerChannelObjectCreated(void* userData, const char* name, void* reserved);
  // Object sinks.
  static void OnControlMsgInvoke(void* userData, void* messageCtx, void* reserved);
  static void OnChannelControlObjectStateChanged(void* userData, void* reserved);
  static void OnDataMsgInvoke(void* userData, void* messageCtx, void* reserved);
  static void OnChannelDataObjectStateChanged(void* userData, void* reserved);
  // Request callback.
  static void OnMsgDone(void* userData, uint32_t requestCtxId, void* returnCtx);
  static void OnMsgAbort(void* userData, uint32_t requestCtxId, Bool userCancelled,
                         uint32_t reason);

  DWORD m_sessionId;
  bool m_isServer;
  bool m_serverInit;
  bool m_initialized;
  KapMultiServerID m_multiServerId;
  QrThreadID m_hInitThreadId;
  char m_tokenName[60];
  char m_controlObjName[64];
  char m_dataObjName[64];
  char m_dataObjTcpName[64];
  void* m_hKapServiceDll;
  KAP_SERVICE_QUERY_INTERFACE m_qi;
  KAPService_ServerInterface m_iServer;
  KAPService_ChannelInterface m_iChannel;
  KAPRPC_ChannelObjectInterface m_iChannelObj;
  KAPRPC_ChannelContextInterface m_iChannelCtx;
  KAPRPC_VariantInterface m_iVariant;
  KapServerNotifySinkID m_hServerSink;
  KAPService_ServerNotifySink m_serverSink;
  KAPService_ChannelNotifySink m_channelSink;
  KAPRPC_ObjectNotifySink m_channelControlObjSink;
  KAPRPC_ObjectNotifySink m_channelDataObjSink;
  KAPRPC_RequestCallback m_requestSink;
  KAPOverlayGuest_Interface m_iOverlayGuest;
  KAPOverlayClient_Interface m_iOverlayClient;
  KAPRPC_StreamDataInterface m_iStreamData;

  static QrMutex s_RPCManagerMutex;
  static std::map<KapServerID, RCPtr<RPCManager>> s_IdToRPCManagerMap
      QR_GUARDED_BY(s_RPCManagerMutex);

  QrMutex m_RPCManagerMutex;
  std::map<KapServerID, RCPtr<RPCPluginInstance>> m_IdToRPCInstanceMap
      QR_GUARDED_BY(m_RPCManagerMutex);
};

#endif  // CHANNEL_RPCMANAGER_H
