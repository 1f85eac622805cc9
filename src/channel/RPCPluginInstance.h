// One channel between a server and its client: registers for the channel's notifications,
// connects when the client connects, creates and follows the control and data objects,
// becomes ready when both are connected, and sends and receives request messages on them.
// Subclasses (the USB plug-in instances) override the On... operations.
// Thread safety: channel and object notifications arrive inside the manager's polls on its
// init thread, and the channel state is touched only there. CreateMessage, InvokeMessage,
// DestroyMessage, GetChannelOptions, IsReady and the pending-message operations may be
// called from any thread: the object handles are read under m_objectLock, which the init
// thread also holds while it destroys an object, and the pending count and request list
// are guarded by m_pendingMsgMutex. Lock order: m_objectLock before m_pendingMsgMutex.
// The message-channel operations may be called from any thread (m_msgChannelLock guards the
// open channels and the peers seen; it is never held across a call into the library);
// their callbacks arrive inside the manager's polls like the others.
#ifndef CHANNEL_RPCPLUGININSTANCE_H
#define CHANNEL_RPCPLUGININSTANCE_H

#include <atomic>
#include <cstdint>
#include <list>
#include <map>
#include <vector>

#include "channel/KapServiceApi.h"
#include "channel/MsgChannelId.h"
#include "runtime/AutoMutexLock.h"
#include "runtime/QrElapsedTimer.h"
#include "runtime/QrEvent.h"
#include "runtime/QrMutex.h"
#include "runtime/RCPtr.h"
#include "usbRedirectionPlugin.h"

class RPCManager;

// The framework's handle of a message channel.
typedef void* MsgChannelHandle;

class RPCPluginInstance : public RCObject {
 public:
  enum RPCChannelType { RPC_CHANNEL_TYPE_CONTROL = 0, RPC_CHANNEL_TYPE_DATA = 1 };

  // "CONTROL", "DATA", or "unknown<value>" in a static buffer.
  static const char* RCPChannelTypeStr(int type);

  explicit RPCPluginInstance(RPCManager* rpcManager);
  RPCPluginInstance(const RPCPluginInstance&) = delete;
  RPCPluginInstance& operator=(const RPCPluginInstance&) = delete;

  virtual BOOL IsEncryptionDisabled();
  virtual BOOL IsCompressionDisabled();
  // The channel disconnected after a connect that never completed.
  virtual void OnConnectionReject();
  virtual void OnMsgChannelReady(MsgChannelHandle handle, const char* name);
  virtual void OnMsgChannelReceived(MsgChannelHandle handle, KapMsgGroupID group,
                                    KapMsgChannelID source, void* msg, int len);
  // OnReady and OnNotReady alternate, starting with OnReady.
  virtual void OnReady();
  virtual void OnNotReady();
  // Completion of a message sent with needOnDone; returnCtx lives only during the call.
  virtual void OnDone(uint32_t requestCtxId, void* returnCtx);
  virtual void OnAbort(uint32_t requestCtxId, Bool userCancelled, uint32_t reason);
  // A request from the client; return values appended to messageCtx before returning are
  // sent back as the answer.
  virtual void OnInvoke(void* messageCtx);

  RPCManager* GetRPCManager() const { return m_rpcManager; }
  bool WaitUntilReady(uint32_t msTimeout);
  // 0 ready, 1 rejected, -1 time-out, -2 error.
  int WaitUntilReadyOrRejected(uint32_t msTimeout);
  bool IsReady() const { return m_isReady.load(); }
  void SetDiscardNewConnections(bool discard) { m_discardNewConnection = discard; }
  bool GetDiscardNewConnections() const { return m_discardNewConnection; }
  bool WaitForPendingMessages(uint32_t msTimeout);
  bool InStreamDataMode() const { return m_inStreamDataMode.load(); }
  bool RegisterChannelSink(void* channel);
  bool UnregisterChannelSink();
  bool ChannelConnect();
  bool ChannelDisconnect();

  void SetServerId(KapServerID serverId) { m_hServerId = serverId; }
  KapServerID GetServerId() const { return m_hServerId; }
  // Messages sent with completion wanted and not yet completed.
  int32_t PendingMessageCount();

  // Message channels of this instance's server (multi-server mode), through the server
  // table; each answers null, false or 0 with a log line when the library lacks the
  // function. The channel is ready once the library reported it open (OnMsgChannelReady);
  // it stays open until CloseMsgChannel or the instance's end.
  MsgChannelHandle OpenMsgChannel(const char* name);
  bool IsMsgChannelReady(MsgChannelHandle handle);
  // False for a handle this instance did not open or already closed.
  bool CloseMsgChannel(MsgChannelHandle handle);
  bool SendMsgToGroup(MsgChannelHandle handle, KapMsgGroupID group, void* msg, int msgLen);
  // The identity of a peer that wrote to a channel (an id seen by OnMsgChannelReceived), or
  // of one of this instance's own channels (its handle).
  bool GetMsgChannelInfo(KapMsgChannelID id, KAPService_MsgChannelInfo* info);
  void TrackPeerID(KapMsgChannelID id);

  // The server's unique serialised id.
  int GetUniqueSerializedIdSize();
  Bool GetUniqueSerializedId(int size, char* out);
  Bool IsUniqueSerializedIdOwner(const char* id);

  // Messages, from any thread (public so that code shared by the subclasses can send).
  // The context made here belongs to the caller until DestroyMessage, whether or not it
  // was invoked.
  bool CreateMessage(void** pMessageCtx, RPCChannelType type);
  bool CreateExtMessage(void** pMessageCtx, RPCChannelType type, uint32_t options);
  bool GetChannelOptions(RPCChannelType type, uint32_t* options);
  bool DestroyMessage(void* messageCtx);
  bool InvokeMessage(void* messageCtx, Bool needOnDone, RPCChannelType type);

  const KAPRPC_ChannelContextInterface* ChannelContextInterface() const;
  const KAPRPC_VariantInterface* VariantInterface() const;

  // Hands the channel over as a file descriptor (the caller's from then on), or answers 0.
  // There is no way back: the RPC operations refuse from then on.
  int SwitchToStreamDataMode();

 protected:
  ~RPCPluginInstance() override;

  const KAPOverlayGuest_Interface* OverlayGuestInterface() const;
  const KAPOverlayClient_Interface* OverlayClientInterface() const;

 private:
  friend class RPCManager;
  friend class RPCVariant;

  struct RequestData {
    uint32_t m_id;
    QrElapsedTimer m_timer;
  };
  typedef std::list<RequestData> RequestList;

  int32_t TrackPendingMessages(int delta, char* msg, int32_t maxMsgLen);
  int32_t TrackPendingMessagesLocked(int delta, char* msg, int32_t maxMsgLen)
      QR_REQUIRES(m_pendingMsgMutex);
  // A request that completed or was aborted leaves the list and the pending count.
  void ForgetRequestLocked(uint32_t id) QR_REQUIRES(m_pendingMsgMutex);
  void OnChannelConnected();
  void OnChannelDisconnected();
  bool ChannelControlObjCreate(const char* name);
  bool ChannelDataObjCreate(const char* name);
  bool ChannelObjCreate(char* name, KAPRPC_ObjectNotifySink* sink, bool useTcp,
                        bool useVirtualSideChannel, void** object);
  bool ChannelObjDestroy(char* name, void** object);
  void OnChannelControlObjConnected();
  void OnChannelControlObjDisconnected();
  void OnChannelDataObjConnected();
  void OnChannelDataObjDisconnected();
  void BecomeReadyIfBothObjectsAre();
  void OnDataObjConnectedState();
  void RequestSideChannel(KAPRPC_SideChannelType type);
  KAPService_SessionType ChannelSessionType() const;
  void* ObjectFor(RPCChannelType type) const;  // m_objectLock held
  bool CreateContextLocked(void** pMessageCtx, RPCChannelType type, bool extended,
                           uint32_t options);

  // Message-channel callbacks; userData is the channel's handle.
  static Bool KapOnMsgChannelOpened(void* userData, KapMsgChannelID channel);
  static void KapOnMsgChannelMembershipChange(void* userData, KapMsgChannelID channel,
                                              KapMsgGroupID group, Bool added);
  static void KapOnMsgReceived(void* userData, KapMsgGroupID group, KapMsgChannelID source,
                               void* msg, int msgLen);
  const KAPService_ServerInterface& ServerTable() const;

  RPCManager* m_rpcManager;
  void* m_hChannel;
  uint32_t m_hChannelSink;
  bool m_discardNewConnection;
  char m_channelControlObjName[64];
  void* m_hChannelControlObj;  // written on the init thread under m_objectLock
  char m_channelDataObjName[64];
  void* m_hChannelDataObj;  // written on the init thread under m_objectLock
  bool m_connectRequested;
  bool m_connected;
  bool m_useTcp;
  bool m_useVirtualSideChannel;
  bool m_sideChannelPending;
  std::atomic<bool> m_isReady;  // written on the init thread, read from any thread
  bool m_controlObjIsReady;
  bool m_dataObjIsReady;
  std::atomic<bool> m_inStreamDataMode;  // set on the init thread, read from any thread
  QrMutex m_pendingMsgMutex;
  QrEvent m_pendingMsgEvent;
  int32_t m_pendingMsgCount QR_GUARDED_BY(m_pendingMsgMutex);
  QrEvent m_hReadyEvent;
  QrEvent m_hRejectEvent;
  KapServerID m_hServerId;
  QrMutex m_msgChannelLock;
  std::vector<KapMsgChannelID> m_peers QR_GUARDED_BY(m_msgChannelLock);  // each id once
  // The open channels; holding a record keeps it (and its handle) alive.
  std::map<MsgChannelHandle, RCPtr<MsgChannelId>> m_msgChannels QR_GUARDED_BY(m_msgChannelLock);
  RequestList m_requestList QR_GUARDED_BY(m_pendingMsgMutex);
  QrMutex m_objectLock;
};

#endif  // CHANNEL_RPCPLUGININSTANCE_H
