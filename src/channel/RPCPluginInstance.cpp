#include "channel/RPCPluginInstance.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

#include "channel/RPCManager.h"
#include "channel/RPCVariant.h"
#include "channel/SessionUtils.h"
#include "logging/Log.h"
#include "runtime/ExceptionBoundary.h"

namespace {

const uint32_t kNoSink = 0xFFFFFFFF;

}  // namespace

// In stream-data mode the channel belongs to the descriptor; the RPC operations refuse.
#define REFUSE_IN_STREAM_DATA_MODE(trace, opName, result)                                       \
  do {                                                                                          \
    if (m_inStreamDataMode) {                                                                   \
      (trace).SetExitMsg(LOGGER_LOG_ERROR, "%s is not supported in streamData mode\n", opName); \
      return result;                                                                            \
    }                                                                                           \
  } while (0)

const char* RPCPluginInstance::RCPChannelTypeStr(int type) {
  static char s_unknown[32];
  switch (type) {
    case RPC_CHANNEL_TYPE_CONTROL:
      return "CONTROL";
    case RPC_CHANNEL_TYPE_DATA:
      return "DATA";
    default:
      snprintf(s_unknown, sizeof(s_unknown), "unknown%d", type);
      return s_unknown;
  }
}

RPCPluginInstance::RPCPluginInstance(RPCManager* rpcManager)
    : m_rpcManager(rpcManager),
      m_hChannel(nullptr),
      m_hChannelSink(kNoSink),
      m_discardNewConnection(false),
      m_channelControlObjName{},
      m_hChannelControlObj(nullptr),
      m_channelDataObjName{},
      m_hChannelDataObj(nullptr),
      m_connectRequested(false),
      m_connected(false),
      m_useTcp(false),
      m_useVirtualSideChannel(false),
      m_sideChannelPending(false),
      m_isReady(false),
      m_controlObjIsReady(false),
      m_dataObjIsReady(false),
      m_inStreamDataMode(false),
      m_pendingMsgMutex(false, ""),
      m_pendingMsgEvent(true, true, ""),
      m_pendingMsgCount(0),
      m_hReadyEvent(true, false, ""),
      m_hRejectEvent(true, false, ""),
      m_hServerId(nullptr),
      m_msgChannelLock(false, ""),
      m_objectLock(false, "") {
  FunctionTrace trace(LOGGER_LOG_INFO, __PRETTY_FUNCTION__, nullptr, "0x%p created\n",
                      static_cast<void*>(this));
}

RPCPluginInstance::~RPCPluginInstance() {
  FunctionTrace trace(LOGGER_LOG_INFO, __PRETTY_FUNCTION__, nullptr, "0x%p destroyed\n",
                      static_cast<void*>(this));
}

// ---- Default upcalls ----

BOOL RPCPluginInstance::IsEncryptionDisabled() { return FALSE; }

BOOL RPCPluginInstance::IsCompressionDisabled() { return FALSE; }

void RPCPluginInstance::OnConnectionReject() {}

void RPCPluginInstance::OnMsgChannelReady(MsgChannelHandle /*handle*/, const char* /*name*/) {}

void RPCPluginInstance::OnMsgChannelReceived(MsgChannelHandle /*handle*/, KapMsgGroupID /*group*/,
                                             KapMsgChannelID /*source*/, void* /*msg*/,
                                             int /*len*/) {}

void RPCPluginInstance::OnReady() {}

void RPCPluginInstance::OnNotReady() {}

void RPCPluginInstance::OnDone(uint32_t /*requestCtxId*/, void* /*returnCtx*/) {}

void RPCPluginInstance::OnAbort(uint32_t /*requestCtxId*/, Bool /*userCancelled*/,
                                uint32_t /*reason*/) {}

void RPCPluginInstance::OnInvoke(void* /*messageCtx*/) {}

// ---- Tables ----

const KAPRPC_ChannelContextInterface* RPCPluginInstance::ChannelContextInterface() const {
  return m_rpcManager->ChannelContextInterface();
}

const KAPRPC_VariantInterface* RPCPluginInstance::VariantInterface() const {
  return m_rpcManager->VariantInterface();
}

const KAPOverlayGuest_Interface* RPCPluginInstance::OverlayGuestInterface() const {
  return m_rpcManager->OverlayGuestInterface();
}

const KAPOverlayClient_Interface* RPCPluginInstance::OverlayClientInterface() const {
  return m_rpcManager->OverlayClientInterface();
}

KAPService_SessionType RPCPluginInstance::ChannelSessionType() const {
  // Version 2 of the channel table added it; an older library reports no session type.
  if (m_rpcManager->m_iChannel.v2.GetSessionType == nullptr) {
    return KAP_SERVICE_NONE_SESSION;
  }
  return m_rpcManager->m_iChannel.v2.GetSessionType();
}

// ---- Waits ----

bool RPCPluginInstance::WaitUntilReady(uint32_t msTimeout) {
  FunctionTrace trace(LOGGER_LOG_INFO, __PRETTY_FUNCTION__, nullptr, "timeout %d\n",
                      static_cast<int>(msTimeout));
  REFUSE_IN_STREAM_DATA_MODE(trace, "WaitUntilReady", false);
  bool ready = m_rpcManager->WaitForEvent(&m_hReadyEvent, msTimeout);
  trace.SetExitMsg(LOGGER_LOG_INFO, ready ? "Ready\n" : "Not ready\n");
  return ready;
}

int RPCPluginInstance::WaitUntilReadyOrRejected(uint32_t msTimeout) {
  FunctionTrace trace(LOGGER_LOG_INFO, __PRETTY_FUNCTION__, nullptr, "timeout %d\n",
                      static_cast<int>(msTimeout));
  REFUSE_IN_STREAM_DATA_MODE(trace, "WaitUntilReadyOrRejected", 0);
  std::vector<QrEvent*> events{&m_hReadyEvent, &m_hRejectEvent};
  int rc = m_rpcManager->WaitMultiple(events, false, msTimeout, false);
  if (rc == 0) {
    m_rpcManager->OnServerInit();
    trace.SetExitMsg(LOGGER_LOG_INFO, "Ready\n");
  } else if (rc == 1) {
    trace.SetExitMsg(LOGGER_LOG_INFO, "Rejected\n");
  } else {
    trace.SetExitMsg(LOGGER_LOG_INFO, "Not ready\n");
  }
  return rc;
}

bool RPCPluginInstance::WaitForPendingMessages(uint32_t msTimeout) {
  FunctionTrace trace(LOGGER_LOG_TRACE, __PRETTY_FUNCTION__);
  REFUSE_IN_STREAM_DATA_MODE(trace, "WaitForPendingMessages", false);
  if (m_rpcManager->WaitForEvent(&m_pendingMsgEvent, msTimeout)) {
    return true;
  }
  int32_t count = PendingMessageCount();
  trace.SetExitMsg(LOGGER_LOG_INFO, "%d message%s still pending\n", count, count == 1 ? "" : "s");
  return false;
}

int32_t RPCPluginInstance::PendingMessageCount() {
  AutoMutexLock lock(m_pendingMsgMutex);
  return m_pendingMsgCount;
}

// ---- Channel ----

bool RPCPluginInstance::RegisterChannelSink(void* channel) {
  FunctionTrace trace(LOGGER_LOG_INFO, __PRETTY_FUNCTION__);
  REFUSE_IN_STREAM_DATA_MODE(trace, "RegisterChannelSink", false);
  if (m_hChannelSink != kNoSink) {
    trace.SetExitMsg(LOGGER_LOG_ERROR, "Channel sink already registered\n");
    return true;
  }
  const KAPService_ChannelInterface& iChannel = m_rpcManager->m_iChannel;
  uint32_t sinkId = kNoSink;
  if (iChannel.v1.RegisterChannelNotifySink == nullptr ||
      iChannel.v1.RegisterChannelNotifySink(&m_rpcManager->m_channelSink, this, &sinkId) != TRUE) {
    trace.SetExitMsg(LOGGER_LOG_ERROR, "Channel.v1.RegisterChannelNotifySink() failed\n");
    return false;
  }
  m_hChannelSink = sinkId;
  m_hChannel = channel;
  QR_LOG(LOGGER_LOG_INFO, "Channel.v1.RegisterChannelNotifySink() [OK]\n");
  if (iChannel.v1.GetConnectionState != nullptr &&
      iChannel.v1.GetConnectionState() == KAP_SERVICE_CONN_CONNECTED) {
    QR_LOG(LOGGER_LOG_INFO, "Simulating connect callback\n");
    RPCManager::OnConnectionStateChanged(this, KAP_SERVICE_CONN_CONNECTED,
                                         KAP_SERVICE_CONN_CONNECTED, nullptr);
  }
  return true;
}

bool RPCPluginInstance::UnregisterChannelSink() {
  FunctionTrace trace(LOGGER_LOG_INFO, __PRETTY_FUNCTION__);
  REFUSE_IN_STREAM_DATA_MODE(trace, "UnregisterChannelSink", false);
  if (m_hChannelSink == kNoSink) {
    trace.SetExitMsg(LOGGER_LOG_ERROR, "Channel sink not registered\n");
    return true;
  }
  const KAPService_ChannelInterface& iChannel = m_rpcManager->m_iChannel;
  if (iChannel.v1.GetConnectionState != nullptr &&
      iChannel.v1.GetConnectionState() == KAP_SERVICE_CONN_CONNECTED) {
    QR_LOG(LOGGER_LOG_INFO, "Simulating disconnect callback\n");
    RPCManager::OnConnectionStateChanged(this, KAP_SERVICE_CONN_DISCONNECTED,
                                         KAP_SERVICE_CONN_DISCONNECTED, nullptr);
  }
  bool ok = iChannel.v1.UnregisterChannelNotifySink != nullptr &&
            iChannel.v1.UnregisterChannelNotifySink(m_hChannelSink) == TRUE;
  if (ok) {
    trace.SetExitMsg(LOGGER_LOG_INFO, "Channel.v1.UnregisterChannelNotifySink() [OK]\n");
  } else {
    trace.SetExitMsg(LOGGER_LOG_ERROR, "Channel.v1.UnregisterChannelNotifySink() failed\n");
  }
  m_hChannel = nullptr;
  m_hChannelSink = kNoSink;
  return ok;
}

bool RPCPluginInstance::ChannelConnect() {
  FunctionTrace trace(LOGGER_LOG_INFO, __PRETTY_FUNCTION__);
  REFUSE_IN_STREAM_DATA_MODE(trace, "ChannelConnect", false);
  const KAPService_ChannelInterface& iChannel = m_rpcManager->m_iChannel;
  if (iChannel.v1.Connect != nullptr && iChannel.v1.Connect() == TRUE) {
    trace.SetExitMsg(LOGGER_LOG_INFO, "Channel.v1.Connect() [OK]\n");
    m_connectRequested = true;
    return true;
  }
  trace.SetExitMsg(LOGGER_LOG_ERROR, "Channel.v1.Connect() failed\n");
  return false;
}

bool RPCPluginInstance::ChannelDisconnect() {
  FunctionTrace trace(LOGGER_LOG_INFO, __PRETTY_FUNCTION__);
  REFUSE_IN_STREAM_DATA_MODE(trace, "ChannelDisconnect", false);
  bool result = true;
  if (m_connectRequested) {
    const KAPService_ChannelInterface& iChannel = m_rpcManager->m_iChannel;
    if (iChannel.v1.Disconnect != nullptr && iChannel.v1.Disconnect() == TRUE) {
      trace.SetExitMsg(LOGGER_LOG_INFO, "Channel.v1.Disconnect() [OK]\n");
    } else {
      trace.SetExitMsg(LOGGER_LOG_ERROR, "Channel.v1.Disconnect() failed\n");
      result = false;
    }
  }
  // A rejection the channel itself reported stays visible to WaitUntilReadyOrRejected: the
  // library may deliver the connection's drop in the same poll, before the wait looks.
  // Only a rejection found by this disconnect is taken back.
  bool rejectedBefore = m_hRejectEvent.Wait(0) == QrEvent::WAIT_RC_OK;
  OnChannelDisconnected();
  if (!rejectedBefore) {
    m_hRejectEvent.Reset();
  }
  return result;
}

void RPCPluginInstance::OnChannelConnected() {
  FunctionTrace trace(LOGGER_LOG_INFO, __PRETTY_FUNCTION__);
  m_connected = true;
  m_hRejectEvent.Reset();
}

void RPCPluginInstance::OnChannelDisconnected() {
  FunctionTrace trace(LOGGER_LOG_INFO, __PRETTY_FUNCTION__);
  bool reject = m_connectRequested && !m_connected;
  m_connectRequested = false;
  m_connected = false;
  if (reject) {
    m_hRejectEvent.Set();
    OnConnectionReject();
  }
  if (m_hChannelDataObj != nullptr) {
    m_dataObjIsReady = false;
    ChannelObjDestroy(m_channelDataObjName, &m_hChannelDataObj);
  }
  if (m_hChannelControlObj != nullptr) {
    m_controlObjIsReady = false;
    ChannelObjDestroy(m_channelControlObjName, &m_hChannelControlObj);
  }
}

// ---- Channel objects ----

bool RPCPluginInstance::ChannelControlObjCreate(const char* name) {
  FunctionTrace trace(LOGGER_LOG_TRACE, __PRETTY_FUNCTION__, nullptr, "%s",
                      name != nullptr ? name : "");
  REFUSE_IN_STREAM_DATA_MODE(trace, "ChannelControlObjCreate", false);
  if (name == nullptr || name[0] == '\0') {
    return false;
  }
  snprintf(m_channelControlObjName, sizeof(m_channelControlObjName), "%s", name);
  trace.SetExitMsg(LOGGER_LOG_DEBUG, "Creating control object: %s\n", m_channelControlObjName);
  return ChannelObjCreate(m_channelControlObjName, &m_rpcManager->m_channelControlObjSink, false,
                          false, &m_hChannelControlObj);
}

bool RPCPluginInstance::ChannelDataObjCreate(const char* name) {
  FunctionTrace trace(LOGGER_LOG_TRACE, __PRETTY_FUNCTION__, nullptr, "%s",
                      name != nullptr ? name : "");
  REFUSE_IN_STREAM_DATA_MODE(trace, "ChannelDataObjCreate", false);
  if (name == nullptr || name[0] == '\0') {
    return false;
  }
  snprintf(m_channelDataObjName, sizeof(m_channelDataObjName), "%s", name);
  trace.SetExitMsg(LOGGER_LOG_INFO, "Creating data object: %s\n", m_channelDataObjName);
  return ChannelObjCreate(m_channelDataObjName, &m_rpcManager->m_channelDataObjSink,
                          m_rpcManager->m_isTcpEnabled, m_rpcManager->m_isVirtualSideChannelEnabled,
                          &m_hChannelDataObj);
}

bool RPCPluginInstance::ChannelObjCreate(char* name, KAPRPC_ObjectNotifySink* sink, bool useTcp,
                                         bool useVirtualSideChannel, void** object) {
  FunctionTrace trace(LOGGER_LOG_TRACE, __PRETTY_FUNCTION__, nullptr, "%s\n",
                      name != nullptr ? name : "");
  REFUSE_IN_STREAM_DATA_MODE(trace, "ChannelObjCreate", false);
  if (object == nullptr) {
    return false;
  }
  if (*object != nullptr) {
    trace.SetExitMsg(LOGGER_LOG_ERROR, "Channel object \"%s\" already created\n", name);
    return true;
  }
  m_useTcp = useTcp;
  m_useVirtualSideChannel = useVirtualSideChannel;
  KAPService_SessionType session = ChannelSessionType();

  uint32_t base = KAP_RPC_OBJ_CONFIG_INVOKE_ALLOW_ANY_THREAD;
  if (!IsCompressionDisabled()) {
    base |= KAP_RPC_OBJ_SUPPORT_COMPRESSION;
  }
  uint32_t enc = IsEncryptionDisabled() ? 0 : KAP_RPC_OBJ_SUPPORT_ENCRYPTION;
  uint32_t pref = (session == KAP_SERVICE_QUILL_SESSION && m_rpcManager->m_isRIVETPrefered)
                      ? KAP_RPC_OBJ_PREFER_RIVETSIDECHANNEL
                      : 0;
  uint32_t flags;
  if (!m_rpcManager->m_isServer) {
    flags = base | pref | enc;
  } else if (useTcp) {
    flags = base | enc | KAP_RPC_OBJ_CONFIG_NO_VCHANSIDECHANNEL;
  } else if (useVirtualSideChannel) {
    flags = pref != 0 ? (base | enc | KAP_RPC_OBJ_CONFIG_NO_TCPSIDECHANNEL | pref)
                      : (base | KAP_RPC_OBJ_CONFIG_NO_TCPSIDECHANNEL);
  } else {
    flags = KAP_RPC_OBJ_CONFIG_INVOKE_ALLOW_ANY_THREAD | KAP_RPC_OBJ_CONFIG_NO_TCPSIDECHANNEL |
            KAP_RPC_OBJ_CONFIG_NO_VCHANSIDECHANNEL;
  }

  const KAPRPC_ChannelObjectInterface& iObj = m_rpcManager->m_iChannelObj;
  void* created = nullptr;
  if (iObj.v1.CreateChannelObject == nullptr ||
      iObj.v1.CreateChannelObject(name, sink, this, flags, &created) != TRUE) {
    trace.SetExitMsg(LOGGER_LOG_ERROR, "Failed to create channel object \"%s\"\n", name);
    return false;
  }
  {
    AutoMutexLock lock(m_objectLock);
    *object = created;
  }
  trace.SetExitMsg(LOGGER_LOG_INFO, "Channel object \"%s\" created with flags 0x%x\n", name, flags);
  return true;
}

bool RPCPluginInstance::ChannelObjDestroy(char* name, void** object) {
  FunctionTrace trace(LOGGER_LOG_INFO, __PRETTY_FUNCTION__);
  REFUSE_IN_STREAM_DATA_MODE(trace, "ChannelObjDestroy", false);
  if (object == nullptr) {
    trace.SetExitMsg(LOGGER_LOG_ERROR, "Null object handle in ChannelObjDestroy\n");
    return false;
  }
  bool result = true;
  bool lostReady = false;
  {
    // Senders on other threads use the handle under this lock, so it cannot be destroyed
    // under their feet.
    AutoMutexLock lock(m_objectLock);
    if (*object != nullptr) {
      const KAPRPC_ChannelObjectInterface& iObj = m_rpcManager->m_iChannelObj;
      if (iObj.v1.DestroyChannelObject != nullptr &&
          iObj.v1.DestroyChannelObject(*object) == TRUE) {
        trace.SetExitMsg(LOGGER_LOG_INFO, "Channel object \"%s\" destroyed\n", name);
      } else {
        trace.SetExitMsg(LOGGER_LOG_ERROR, "Failed to destroy channel object \"%s\"\n", name);
        result = false;
      }
      *object = nullptr;
    }
    if (m_isReady.load()) {
      m_hReadyEvent.Reset();
      m_isReady.store(false);
      lostReady = true;
    }
  }
  if (lostReady) {
    OnNotReady();
  }
  return result;
}

void RPCPluginInstance::BecomeReadyIfBothObjectsAre() {
  if (m_controlObjIsReady && m_dataObjIsReady && !m_isReady.load()) {
    m_hReadyEvent.Set();
    m_isReady.store(true);
    OnReady();
  }
}

void RPCPluginInstance::OnChannelControlObjConnected() {
  FunctionTrace trace(LOGGER_LOG_INFO, __PRETTY_FUNCTION__);
  m_controlObjIsReady = true;
  BecomeReadyIfBothObjectsAre();
}

void RPCPluginInstance::OnChannelDataObjConnected() {
  FunctionTrace trace(LOGGER_LOG_INFO, __PRETTY_FUNCTION__);
  m_dataObjIsReady = true;
  BecomeReadyIfBothObjectsAre();
}

void RPCPluginInstance::OnChannelControlObjDisconnected() {
  FunctionTrace trace(LOGGER_LOG_INFO, __PRETTY_FUNCTION__);
  m_controlObjIsReady = false;
  ChannelObjDestroy(m_channelControlObjName, &m_hChannelControlObj);
}

void RPCPluginInstance::OnChannelDataObjDisconnected() {
  FunctionTrace trace(LOGGER_LOG_INFO, __PRETTY_FUNCTION__);
  m_dataObjIsReady = false;
  ChannelObjDestroy(m_channelDataObjName, &m_hChannelDataObj);
}

void RPCPluginInstance::RequestSideChannel(KAPRPC_SideChannelType type) {
  const KAPRPC_ChannelObjectInterface& iObj = m_rpcManager->m_iChannelObj;
  // Version 2 of the object table added side channels; without it the data object stays
  // connected and not ready, as with a refused request.
  if (iObj.v2.RequestSideChannel != nullptr) {
    // The outcome arrives as the object's next state.
    iObj.v2.RequestSideChannel(m_hChannelDataObj, type, m_rpcManager->m_tokenName);
  }
}

void RPCPluginInstance::OnDataObjConnectedState() {
  const KAPRPC_ChannelObjectInterface& iObj = m_rpcManager->m_iChannelObj;
  uint32_t opts = 0;
  bool rivet = false;
  bool haveOptions = iObj.v3.GetObjectOptions != nullptr;
  if (haveOptions) {
    if (iObj.v3.GetObjectOptions(m_hChannelDataObj, &opts) != TRUE) {
      QR_LOG(LOGGER_LOG_WARN, "Obtain DataObj options failed \n");
      opts = 0;
    } else {
      QR_LOG(LOGGER_LOG_DEBUG, "DataObj options = 0x%08x\n", opts);
      rivet = (opts & KAP_RPC_OBJ_PREFER_RIVETSIDECHANNEL) != 0 &&
              ChannelSessionType() == KAP_SERVICE_QUILL_SESSION && m_rpcManager->m_isRIVETPrefered;
      opts &= KAP_RPC_OBJ_CONFIG_NO_TCPSIDECHANNEL | KAP_RPC_OBJ_CONFIG_NO_VCHANSIDECHANNEL |
              KAP_RPC_OBJ_PREFER_RIVETSIDECHANNEL;
    }
    const uint32_t noSideChannels =
        KAP_RPC_OBJ_CONFIG_NO_TCPSIDECHANNEL | KAP_RPC_OBJ_CONFIG_NO_VCHANSIDECHANNEL;
    if ((opts & noSideChannels) == noSideChannels) {
      OnChannelDataObjConnected();
      return;
    }
  }

  if (haveOptions && !m_rpcManager->m_isServer && opts != 0) {
    // The peer chose the side channel.
    if (m_sideChannelPending) {
      QR_LOG(LOGGER_LOG_ERROR, "Side channel request failed.\n");
      return;
    }
    if ((opts & KAP_RPC_OBJ_CONFIG_NO_TCPSIDECHANNEL) == 0) {
      QR_LOG(LOGGER_LOG_INFO, "Requesting tcp side channel.\n");
      RequestSideChannel(KAP_RPC_SIDE_CHANNEL_TYPE_TCP);
    } else if (rivet) {
      QR_LOG(LOGGER_LOG_INFO, "Requesting RIVET side channel.\n");
      RequestSideChannel(KAP_RPC_SIDE_CHANNEL_TYPE_RIVET);
    } else {
      QR_LOG(LOGGER_LOG_INFO, "Requesting virtual side channel.\n");
      RequestSideChannel(KAP_RPC_SIDE_CHANNEL_TYPE_TALON);
    }
    return;
  }

  QR_LOG(LOGGER_LOG_DEBUG, "Determine sc[0x%08x] type by itself.\n", opts);
  if (m_useTcp) {
    if (m_sideChannelPending) {
      QR_LOG(LOGGER_LOG_ERROR, "TCP Side channel request failed.\n");
    } else {
      QR_LOG(LOGGER_LOG_INFO, "Requesting TCP side channel.\n");
      RequestSideChannel(KAP_RPC_SIDE_CHANNEL_TYPE_TCP);
    }
  } else if (m_useVirtualSideChannel) {
    if (m_sideChannelPending) {
      QR_LOG(LOGGER_LOG_ERROR, "Virtual Side channel request failed.\n");
    } else if (rivet) {
      QR_LOG(LOGGER_LOG_INFO, "Requesting RIVET side channel.\n");
      RequestSideChannel(KAP_RPC_SIDE_CHANNEL_TYPE_RIVET);
    } else {
      QR_LOG(LOGGER_LOG_INFO, "Requesting virtual side channel.\n");
      RequestSideChannel(KAP_RPC_SIDE_CHANNEL_TYPE_TALON);
    }
  } else {
    OnChannelDataObjConnected();
  }
}

// ---- Messages ----

void* RPCPluginInstance::ObjectFor(RPCChannelType type) const {
  return type == RPC_CHANNEL_TYPE_DATA ? m_hChannelDataObj : m_hChannelControlObj;
}

bool RPCPluginInstance::CreateContextLocked(void** pMessageCtx, RPCChannelType type, bool extended,
                                            uint32_t options) {
  if (pMessageCtx == nullptr) {
    QR_LOG(LOGGER_LOG_DEBUG, "Failed to create message (CreateContext failed)\n");
    return false;
  }
  AutoMutexLock lock(m_objectLock);
  void* object = ObjectFor(type);
  if (object == nullptr) {
    QR_LOG(LOGGER_LOG_DEBUG, "Failed to create message (hChannel == NULL)\n");
    return false;
  }
  if (!m_isReady.load()) {
    QR_LOG(LOGGER_LOG_DEBUG, "Failed to create message (not ready)\n");
    return false;
  }
  const KAPRPC_ChannelObjectInterface& iObj = m_rpcManager->m_iChannelObj;
  Bool created = FALSE;
  if (extended) {
    created = iObj.v3.CreateContext(object, options, pMessageCtx);
  } else if (iObj.v1.CreateContext != nullptr) {
    created = iObj.v1.CreateContext(object, pMessageCtx);
  }
  if (created != TRUE) {
    QR_LOG(LOGGER_LOG_DEBUG, "Failed to create message (CreateContext failed)\n");
    return false;
  }
  return true;
}

bool RPCPluginInstance::CreateMessage(void** pMessageCtx, RPCChannelType type) {
  return CreateContextLocked(pMessageCtx, type, false, 0);
}

bool RPCPluginInstance::CreateExtMessage(void** pMessageCtx, RPCChannelType type,
                                         uint32_t options) {
  if (options == 0) {
    return CreateMessage(pMessageCtx, type);
  }
  // Version 3 of the object table added contexts with options.
  if (m_rpcManager->m_iChannelObj.v3.CreateContext == nullptr) {
    QR_LOG(LOGGER_LOG_ERROR, "Failed to create message (API not available for 0x%x)\n", options);
    return false;
  }
  return CreateContextLocked(pMessageCtx, type, true, options);
}

bool RPCPluginInstance::GetChannelOptions(RPCChannelType type, uint32_t* options) {
  const KAPRPC_ChannelObjectInterface& iObj = m_rpcManager->m_iChannelObj;
  if (iObj.v3.GetObjectOptions == nullptr) {
    QR_LOG(LOGGER_LOG_ERROR, "Failed to get channel options (no API) \n");
    return false;
  }
  if (options == nullptr) {
    QR_LOG(LOGGER_LOG_ERROR, "Failed to get channel options (invalid argument) \n");
    return false;
  }
  AutoMutexLock lock(m_objectLock);
  void* object = ObjectFor(type);
  if (object == nullptr) {
    QR_LOG(LOGGER_LOG_DEBUG, "Failed to get channel options (hChannel == NULL)\n");
    return false;
  }
  if (!m_isReady.load()) {
    QR_LOG(LOGGER_LOG_DEBUG, "Failed to get channel options (not ready)\n");
    return false;
  }
  if (iObj.v3.GetObjectOptions(object, options) != TRUE) {
    QR_LOG(LOGGER_LOG_DEBUG, "Failed to get channel options (GetObjectOptions failed)\n");
    return false;
  }
  return true;
}

bool RPCPluginInstance::DestroyMessage(void* messageCtx) {
  const KAPRPC_ChannelObjectInterface& iObj = m_rpcManager->m_iChannelObj;
  if (messageCtx == nullptr || iObj.v1.DestroyContext == nullptr ||
      iObj.v1.DestroyContext(messageCtx) != TRUE) {
    QR_LOG(LOGGER_LOG_DEBUG, "Failed to destroy message (DestroyContext failed)\n");
    return false;
  }
  return true;
}

bool RPCPluginInstance::InvokeMessage(void* messageCtx, Bool needOnDone, RPCChannelType type) {
  FunctionTrace trace(LOGGER_LOG_TRACE, __PRETTY_FUNCTION__);
  REFUSE_IN_STREAM_DATA_MODE(trace, "InvokeMessage", false);
  const bool wantDone = needOnDone != FALSE;
  KAPRPC_RequestCallback sinkCopy = m_rpcManager->m_requestSink;
  if (!wantDone) {
    // A one-way post: no completion, and the library may drop the reply bookkeeping.
    sinkCopy.v1.OnDone = nullptr;
    sinkCopy.v1.OnAbort = nullptr;
    const KAPRPC_ChannelContextInterface& iCtx = m_rpcManager->m_iChannelCtx;
    bool posted = false;
    // Version 2 of the context table added SetOps.
    if (iCtx.v2.SetOps != nullptr) {
      RPCVariant variant(this);
      const KAPRPC_VariantInterface& iVar = m_rpcManager->m_iVariant;
      if (iVar.v1.VariantFromUInt32 != nullptr && iVar.v1.VariantFromUInt32(&variant, 1) == TRUE) {
        posted = iCtx.v2.SetOps(messageCtx, KAP_RPC_CHANNEL_CONTEXT_OPT_POST, &variant) == TRUE;
      }
    }
    if (!posted) {
      QR_LOG(LOGGER_LOG_WARN, "Unable to set post mode for kapservice.\n");
    }
  }

  AutoMutexLock objectLock(m_objectLock);
  void* object = ObjectFor(type);
  if (object == nullptr || !m_isReady.load()) {
    trace.SetExitMsg(LOGGER_LOG_DEBUG, "Failed to send message (not ready)\n");
    return false;
  }
  const KAPRPC_ChannelContextInterface& iCtx = m_rpcManager->m_iChannelCtx;
  uint32_t id = iCtx.v1.GetId != nullptr ? iCtx.v1.GetId(messageCtx) : 0;
  RequestList::iterator entry;
  // A one-way post leaves the pending count and its event as they are, so only a message
  // that wants completion is counted (this is the per-message path of every URB sent).
  if (wantDone) {
    // The entry goes in before Invoke: the completion may arrive on the init thread before
    // Invoke returns here.
    AutoMutexLock lock(m_pendingMsgMutex);
    TrackPendingMessagesLocked(1, nullptr, 0);
    entry = m_requestList.emplace(m_requestList.end());
    entry->m_id = id;  // its timer started when it was made
  }
  const KAPRPC_ChannelObjectInterface& iObj = m_rpcManager->m_iChannelObj;
  if (iObj.v1.Invoke == nullptr || iObj.v1.Invoke(object, messageCtx, &sinkCopy, this) != TRUE) {
    if (wantDone) {
      // No completion will come for it, so it must not hold the pending count up.
      AutoMutexLock lock(m_pendingMsgMutex);
      m_requestList.erase(entry);
      TrackPendingMessagesLocked(-1, nullptr, 0);
    }
    trace.SetExitMsg(LOGGER_LOG_ERROR, "Failed to send message (Invoke failed)\n");
    return false;
  }
  return true;
}

void RPCPluginInstance::ForgetRequestLocked(uint32_t id) {
  for (auto it = m_requestList.begin(); it != m_requestList.end(); ++it) {
    if (it->m_id == id) {
      m_requestList.erase(it);
      break;
    }
  }
  TrackPendingMessagesLocked(-1, nullptr, 0);  // nobody reads the count's text here
}

int32_t RPCPluginInstance::TrackPendingMessages(int delta, char* msg, int32_t maxMsgLen) {
  AutoMutexLock lock(m_pendingMsgMutex);
  return TrackPendingMessagesLocked(delta, msg, maxMsgLen);
}

int32_t RPCPluginInstance::TrackPendingMessagesLocked(int delta, char* msg, int32_t maxMsgLen) {
  int32_t count = m_pendingMsgCount + delta;
  bool writeText = msg != nullptr && maxMsgLen >= 1;
  if (count > 0) {
    if (writeText) {
      snprintf(msg, static_cast<size_t>(maxMsgLen), " (%d message%s pending)", count,
               count == 1 ? "" : "s");
    }
    m_pendingMsgEvent.Reset();
    m_pendingMsgCount = count;
    return count;
  }
  if (writeText) {
    if (count == 0) {
      snprintf(msg, static_cast<size_t>(maxMsgLen), " (%d message%s pending)", count, "s");
    } else {
      snprintf(msg, static_cast<size_t>(maxMsgLen), " (unexpected message. delta: %d)", delta);
    }
  }
  m_pendingMsgEvent.Set();
  m_pendingMsgCount = 0;
  return 0;
}

// ---- Message channels, unique server ids, stream data ----

const KAPService_ServerInterface& RPCPluginInstance::ServerTable() const {
  return m_rpcManager->m_iServer;
}

MsgChannelHandle RPCPluginInstance::OpenMsgChannel(const char* name) {
  RCPtr<MsgChannelId> record(new (std::nothrow) MsgChannelId(name, this));
  // A full handle map (4096 open channels) is out of resources too.
  if (record.Ptr() == nullptr || record->GetHandleFromThis() == nullptr) {
    QR_LOG(LOGGER_LOG_ERROR, "Out of memory.\n");
    return nullptr;
  }
  MsgChannelHandle handle = record->GetHandleFromThis();
  const KAPService_ServerInterface& iServer = ServerTable();
  if (iServer.v1.OpenMsgChannel == nullptr) {
    return nullptr;
  }
  {
    // Registered before the library can report the channel open.
    AutoMutexLock lock(m_msgChannelLock);
    m_msgChannels[handle] = record;
  }
  KAPService_MsgChannelNotifySink sink;
  memset(&sink, 0, sizeof(sink));
  sink.version = 1;
  sink.v1.OnMsgChannelOpened = KapOnMsgChannelOpened;
  sink.v1.OnMsgChannelMembershipChange = KapOnMsgChannelMembershipChange;
  sink.v1.OnMsgReceived = KapOnMsgReceived;
  if (iServer.v1.OpenMsgChannel(handle, m_hServerId, record->GetChannelName(), &sink) != TRUE) {
    QR_LOG(LOGGER_LOG_ERROR, "OpenMsgChannel failed.\n");
    AutoMutexLock lock(m_msgChannelLock);
    m_msgChannels.erase(handle);
    return nullptr;
  }
  QR_LOG(LOGGER_LOG_INFO, "OpenMsgChannel succeed [h=%p].", handle);
  return handle;
}

bool RPCPluginInstance::IsMsgChannelReady(MsgChannelHandle handle) {
  RCPtr<MsgChannelId> record = MsgChannelId::GetThisFromHandle(handle);
  return record.Ptr() != nullptr && record->IsReady();
}

bool RPCPluginInstance::CloseMsgChannel(MsgChannelHandle handle) {
  RCPtr<MsgChannelId> record;
  {
    AutoMutexLock lock(m_msgChannelLock);
    auto found = m_msgChannels.find(handle);
    if (found == m_msgChannels.end()) {
      return false;
    }
    record = found->second;
    m_msgChannels.erase(found);
  }
  record->OnClose();
  const KAPService_ServerInterface& iServer = ServerTable();
  return iServer.v1.CloseMsgChannel != nullptr &&
         iServer.v1.CloseMsgChannel(record->GetKapMsgChannelID()) == TRUE;
}

bool RPCPluginInstance::SendMsgToGroup(MsgChannelHandle handle, KapMsgGroupID group, void* msg,
                                       int msgLen) {
  RCPtr<MsgChannelId> record = MsgChannelId::GetThisFromHandle(handle);
  const KAPService_ServerInterface& iServer = ServerTable();
  return record.Ptr() != nullptr && iServer.v1.SendMsgToGroup != nullptr &&
         iServer.v1.SendMsgToGroup(record->GetKapMsgChannelID(), group, msg, msgLen) == TRUE;
}

void RPCPluginInstance::TrackPeerID(KapMsgChannelID id) {
  AutoMutexLock lock(m_msgChannelLock);
  if (std::find(m_peers.begin(), m_peers.end(), id) == m_peers.end()) {
    m_peers.push_back(id);
  }
}

bool RPCPluginInstance::GetMsgChannelInfo(KapMsgChannelID id, KAPService_MsgChannelInfo* info) {
  bool isPeer;
  {
    AutoMutexLock lock(m_msgChannelLock);
    isPeer = std::find(m_peers.begin(), m_peers.end(), id) != m_peers.end();
  }
  KapMsgChannelID asked = id;
  if (isPeer) {
    QR_LOG(LOGGER_LOG_TRACE, "Get peer [%p] info.\n", id);
  } else {
    RCPtr<MsgChannelId> record = MsgChannelId::GetThisFromHandle(id);
    if (record.Ptr() != nullptr) {
      if (!record->IsReady()) {
        QR_LOG(LOGGER_LOG_WARN, "Please wait for OnMsgChannelReady.\n");
        return false;
      }
      asked = record->GetKapMsgChannelID();
    }
    QR_LOG(LOGGER_LOG_TRACE, "Get its own msgChannel[%p] info.\n", asked);
  }
  const KAPService_ServerInterface& iServer = ServerTable();
  return info != nullptr && iServer.v1.GetMsgChannelInfo != nullptr &&
         iServer.v1.GetMsgChannelInfo(m_hServerId, asked, info) == TRUE;
}

// The message-channel sinks are called from the channel service's polls, which an exception
// (no memory) must not unwind through: it ends the one notification, logged.
Bool RPCPluginInstance::KapOnMsgChannelOpened(void* userData, KapMsgChannelID channel) try {
  RCPtr<MsgChannelId> record = MsgChannelId::GetThisFromHandle(userData);
  if (record.Ptr() == nullptr) {
    return FALSE;
  }
  QR_LOG(LOGGER_LOG_DEBUG, "MsgChannel[%p] is opened.\n", channel);
  record->OnOpen(channel);
  RCPtr<RPCPluginInstance> instance = record->GetRPCInstance();
  if (instance.Ptr() == nullptr) {
    return FALSE;
  }
  instance->OnMsgChannelReady(userData, record->GetChannelName());
  return TRUE;
} catch (...) {
  ExceptionBoundary::Caught(__PRETTY_FUNCTION__);
  return FALSE;
}

void RPCPluginInstance::KapOnMsgChannelMembershipChange(void* /*userData*/,
                                                        KapMsgChannelID /*channel*/,
                                                        KapMsgGroupID /*group*/, Bool /*added*/) {}

void RPCPluginInstance::KapOnMsgReceived(void* userData, KapMsgGroupID group,
                                         KapMsgChannelID source, void* msg, int msgLen) try {
  RCPtr<MsgChannelId> record = MsgChannelId::GetThisFromHandle(userData);
  RCPtr<RPCPluginInstance> instance =
      record.Ptr() != nullptr ? record->GetRPCInstance() : RCPtr<RPCPluginInstance>();
  if (instance.Ptr() == nullptr) {
    return;
  }
  instance->TrackPeerID(source);
  instance->OnMsgChannelReceived(userData, group, source, msg, msgLen);
} catch (...) {
  ExceptionBoundary::Caught(__PRETTY_FUNCTION__);
}

int RPCPluginInstance::GetUniqueSerializedIdSize() {
  const KAPService_ServerInterface& iServer = ServerTable();
  if (iServer.v1.GetUniqueSerializedIdSize == nullptr) {
    QR_LOG(LOGGER_LOG_WARN, "GetUniqueSerializedIdSize API is not available.\n");
    return 0;
  }
  int size = iServer.v1.GetUniqueSerializedIdSize(m_hServerId);
  QR_LOG(LOGGER_LOG_DEBUG, "Server 0x%p id size is %d.\n", m_hServerId, size);
  return size;
}

Bool RPCPluginInstance::GetUniqueSerializedId(int size, char* out) {
  const KAPService_ServerInterface& iServer = ServerTable();
  if (iServer.v1.GetUniqueSerializedId == nullptr) {
    QR_LOG(LOGGER_LOG_WARN, "GetUniqueSerializedId API is not available.\n");
    return FALSE;
  }
  Bool ok =
      out != nullptr && size > 0 ? iServer.v1.GetUniqueSerializedId(m_hServerId, size, out) : FALSE;
  if (ok == TRUE) {
    // Printed within the buffer, whether or not the library terminated it.
    QR_LOG(LOGGER_LOG_DEBUG, "Server 0x%p id[%.*s].\n", m_hServerId,
           static_cast<int>(strnlen(out, static_cast<size_t>(size))), out);
  } else {
    QR_LOG(LOGGER_LOG_WARN, "Server 0x%p GetUniqueSerializedId with %d bytes buffer failed\n",
           m_hServerId, size);
  }
  return ok;
}

Bool RPCPluginInstance::IsUniqueSerializedIdOwner(const char* id) {
  const KAPService_ServerInterface& iServer = ServerTable();
  if (iServer.v1.IsUniqueSerializedIdOwner == nullptr) {
    QR_LOG(LOGGER_LOG_WARN, "IsUniqueSerializedIdOwner API is not available.\n");
    return FALSE;
  }
  Bool owner = iServer.v1.IsUniqueSerializedIdOwner(m_hServerId, id);
  QR_LOG(LOGGER_LOG_DEBUG, "[%s] %smatch 0x%p.\n", id != nullptr ? id : "",
         owner == TRUE ? "" : "does not ", m_hServerId);
  return owner;
}

int RPCPluginInstance::SwitchToStreamDataMode() {
  FunctionTrace trace(LOGGER_LOG_INFO, __PRETTY_FUNCTION__);
  int fd = 0;
  const KAPService_ChannelInterface& iChannel = m_rpcManager->m_iChannel;
  // Version 2 of the channel table added stream data.
  if (iChannel.v2.SwitchToStreamDataMode != nullptr &&
      iChannel.v2.SwitchToStreamDataMode(m_rpcManager->m_dataObjTcpName, m_hChannel, &fd) == TRUE) {
    m_inStreamDataMode.store(true);
    trace.SetExitMsg(LOGGER_LOG_INFO, "Switch to StreamData mode Succeeded fd=%d!\n", fd);
    return fd;
  }
  trace.SetExitMsg(LOGGER_LOG_ERROR, "Switch to StreamData mode failed!\n");
  return 0;
}
