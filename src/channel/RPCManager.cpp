#include "channel/RPCManager.h"

#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <sys/time.h>

#include "channel/RPCPluginInstance.h"
#include "channel/SessionUtils.h"
#include "logging/Log.h"
#include "runtime/ExceptionBoundary.h"

const char* const RPCManager::kKapServicePath =
    "/usr/lib/quorin/zeltagent/CHX/vchan_plugins/libkapservice.so";

QrMutex RPCManager::s_RPCManagerMutex(false, "");
std::map<KapServerID, RCPtr<RPCManager>> RPCManager::s_IdToRPCManagerMap;

namespace {

const uint32_t kSliceMs = 100;
const uint32_t kPendingMessagesTimeoutMs = 1000;
// An older request still open when a newer one completes is reported after this long.
const int64_t kStillPendingMs = 1000;

// Milliseconds of the wall clock, truncated to 32 bits; 0 when the clock cannot be read.
uint32_t TickCount() {
  struct timeval tv;
  if (gettimeofday(&tv, nullptr) != 0) {
    return 0;
  }
  return static_cast<uint32_t>(static_cast<uint64_t>(tv.tv_sec) * 1000 +
                               static_cast<uint64_t>(tv.tv_usec) / 1000);
}

void CopyName(char* dst, size_t size, const char* src) {
  if (src == nullptr) {
    src = "";
  }
  strncpy(dst, src, size - 1);
  dst[size - 1] = '\0';
}

template <typename Fn>
void LookUp(void* dll, const char* name, Fn& fn) {
  fn = reinterpret_cast<Fn>(dlsym(dll, name));
}

// The connection and channel states, or with objectStates the object states too; any other
// value is formatted into the caller's buffer.
const char* StateName(int state, char* unknownBuf, size_t size, bool objectStates) {
  switch (state) {
    case -1:
      return "UNINITIALIZED";
    case 0:
      return "DISCONNECTED";
    case 1:
      return "PENDING";
    case 2:
      return "CONNECTED";
    default:
      break;
  }
  if (objectStates) {
    switch (state) {
      case 3:
        return "SIDE_CHANNEL_PENDING";
      case 4:
        return "SIDE_CHANNEL_CONNECTED";
      case 5:
        return "PENDING_AND_PEER_OBJ_CREATED";
      default:
        break;
    }
    snprintf(unknownBuf, size, "unknown[%d]", state);
  } else {
    snprintf(unknownBuf, size, "unknown%d", state);
  }
  return unknownBuf;
}

}  // namespace

RPCManager::RPCManager(const char* tokenName, const char* controlObjName, const char* dataObjName,
                       const char* dataObjTcpName)
    : m_isTcpEnabled(false),
      m_isTcpEnabledConfigured(false),
      m_isRIVETPrefered(false),
      m_isVirtualSideChannelEnabled(false),
      m_fKAPServiceServerInit(nullptr),
      m_fKAPServiceServerInitLP(nullptr),
      m_fKAPServiceServerExit(nullptr),
      m_fKAPServiceServerInit2(nullptr),
      m_fKAPServiceServerExit2(nullptr),
      m_fKAPServiceMultiServerInit(nullptr),
      m_fKAPServiceMultiServerExit(nullptr),
      m_sessionId(kNoSession),
      m_isServer(false),
      m_serverInit(false),
      m_initialized(false),
      m_multiServerId(nullptr),
      m_hInitThreadId(0),
      m_hKapServiceDll(nullptr),
      m_hServerSink(nullptr),
      m_RPCManagerMutex(false, "") {
  CopyName(m_tokenName, sizeof(m_tokenName), tokenName);
  CopyName(m_controlObjName, sizeof(m_controlObjName), controlObjName);
  CopyName(m_dataObjName, sizeof(m_dataObjName), dataObjName);
  CopyName(m_dataObjTcpName, sizeof(m_dataObjTcpName), dataObjTcpName);
  memset(&m_qi, 0, sizeof(m_qi));
  memset(&m_iServer, 0, sizeof(m_iServer));
  memset(&m_iChannel, 0, sizeof(m_iChannel));
  memset(&m_iChannelObj, 0, sizeof(m_iChannelObj));
  memset(&m_iChannelCtx, 0, sizeof(m_iChannelCtx));
  memset(&m_iVariant, 0, sizeof(m_iVariant));
  memset(&m_iOverlayGuest, 0, sizeof(m_iOverlayGuest));
  memset(&m_iOverlayClient, 0, sizeof(m_iOverlayClient));
  memset(&m_iStreamData, 0, sizeof(m_iStreamData));
  memset(&m_serverSink, 0, sizeof(m_serverSink));
  memset(&m_channelSink, 0, sizeof(m_channelSink));
  memset(&m_channelControlObjSink, 0, sizeof(m_channelControlObjSink));
  memset(&m_channelDataObjSink, 0, sizeof(m_channelDataObjSink));
  memset(&m_requestSink, 0, sizeof(m_requestSink));

  m_serverSink.version = 1;
  m_serverSink.v1.OnServerConnected = KapOnServerConnected;
  m_serverSink.v1.OnServerDisconnected = KapOnServerDisconnected;
  m_serverSink.v1.OnServerInstanceCreated = KapOnServerInstanceCreated;
  m_serverSink.v1.OnServerInstanceDestroyed = KapOnServerInstanceDestroyed;
  m_channelSink.version = 1;
  m_channelSink.v1.OnConnectionStateChanged = OnConnectionStateChanged;
  m_channelSink.v1.OnChannelStateChanged = OnChannelStateChanged;
  m_channelSink.v1.OnPeerObjectCreated = OnPeerChannelObjectCreated;
  m_channelControlObjSink.version = 1;
  m_channelControlObjSink.v1.OnInvoke = OnControlMsgInvoke;
  m_channelControlObjSink.v1.OnObjectStateChanged = OnChannelControlObjectStateChanged;
  m_channelDataObjSink.version = 1;
  m_channelDataObjSink.v1.OnInvoke = OnDataMsgInvoke;
  m_channelDataObjSink.v1.OnObjectStateChanged = OnChannelDataObjectStateChanged;
  m_requestSink.version = 1;
  m_requestSink.v1.OnDone = OnMsgDone;
  m_requestSink.v1.OnAbort = OnMsgAbort;
}

void RPCManager::ForgetEntryPoints() {
  m_fKAPServiceServerInit = nullptr;
  m_fKAPServiceServerInitLP = nullptr;
  m_fKAPServiceServerExit = nullptr;
  m_fKAPServiceServerInit2 = nullptr;
  m_fKAPServiceServerExit2 = nullptr;
  m_fKAPServiceMultiServerInit = nullptr;
  m_fKAPServiceMultiServerExit = nullptr;
}

RPCManager::~RPCManager() {
  FunctionTrace trace(LOGGER_LOG_INFO, __PRETTY_FUNCTION__);
  if (m_hKapServiceDll != nullptr) {
    dlclose(m_hKapServiceDll);
    ForgetEntryPoints();
  }
  m_hKapServiceDll = nullptr;
  m_IdToRPCInstanceMap.clear();
}

// ---- Virtual hooks ----

bool RPCManager::KAPPluginInit(KAP_SERVICE_QUERY_INTERFACE qi) {
  ClientLogInit();
  {
    FunctionTrace trace(LOGGER_LOG_INFO, __PRETTY_FUNCTION__);
    ClientInit(&qi);
  }
  return true;
}

bool RPCManager::KAPPluginExit() {
  QR_LOG(LOGGER_LOG_INFO, "Plugin with token %s is exiting.\n", m_tokenName);
  ClientExit();
  ClientLogExit();
  return true;
}

bool RPCManager::KAPPluginCreateInstance(void* channel, void** userData) {
  FunctionTrace trace(LOGGER_LOG_INFO, __PRETTY_FUNCTION__);
  if (!m_initialized) {
    trace.SetExitMsg(LOGGER_LOG_WARN, "Plugin is not initialized yet.\n");
    return false;
  }
  if (userData == nullptr) {
    return false;
  }
  RPCPluginInstance* instance = OnCreateInstance();
  if (instance == nullptr) {
    return false;
  }
  instance->AddRef();  // held for the library's userData until KAPPluginDestroyInstance
  instance->RegisterChannelSink(channel);
  *userData = instance;
  return true;
}

bool RPCManager::KAPPluginDestroyInstance(void* userData) {
  RPCPluginInstance* instance = static_cast<RPCPluginInstance*>(userData);
  if (instance != nullptr) {
    instance->ChannelDisconnect();
    instance->UnregisterChannelSink();
  }
  OnDestroyInstance(instance);
  return true;
}

RPCPluginInstance* RPCManager::OnCreateInstance() {
  return new (std::nothrow) RPCPluginInstance(this);
}

RPCPluginInstance* RPCManager::OnCreateServerInstance(KapServerID /*serverId*/) {
  // The caller keeps it through m_IdToRPCInstanceMap's counted reference.
  return new (std::nothrow) RPCPluginInstance(this);
}

void RPCManager::OnDestroyInstance(RPCPluginInstance* instance) {
  if (instance != nullptr) {
    instance->Release();
  }
}

void RPCManager::OnDestroyServerInstance(KapServerID /*serverId*/,
                                         RCPtr<RPCPluginInstance> /*instance*/) {}

bool RPCManager::ClientLogInit() { return false; }

bool RPCManager::ClientLogExit() { return false; }

void RPCManager::OnServerInit() {}

void RPCManager::OnServerExit() {}

void RPCManager::OnClientInit() {}

void RPCManager::OnClientExit() {}

bool RPCManager::OnServerConnected(KAPService_SessionType type, KapServerID serverId) {
  QR_LOG(LOGGER_LOG_INFO, "%s server [%p] connected.", SessionUtils::SessionTypeToStr(type).c_str(),
         serverId);
  return true;
}

bool RPCManager::OnServerDisconnected(KapServerID serverId) {
  QR_LOG(LOGGER_LOG_INFO, "Server [%p] disconnected.", serverId);
  return true;
}

bool RPCManager::ConfigureTcpSideChan() { return true; }

bool RPCManager::ConfigureVirtualSideChan() { return true; }

void RPCManager::ConfigureSidechannelType(KAPService_SessionType /*type*/) {}

bool RPCManager::PlatformAllowRunAsServer() { return true; }

// ---- Loading and initialisation ----

bool RPCManager::LoadKapService() {
  if (m_hKapServiceDll != nullptr) {
    return true;
  }
  // A set-user-id host must not load a library its caller names.
  const char* path = secure_getenv("KAPSERVICE_PATH");
  if (path == nullptr || path[0] == '\0') {
    path = kKapServicePath;
  }
  QR_LOG(LOGGER_LOG_INFO, "Load kapservice from %s \n", path);
  errno = 0;
  void* dll = dlopen(path, RTLD_LAZY);
  if (dll == nullptr) {
    QR_LOG(LOGGER_LOG_ERROR, "Failed to load \"%s\": 0x%x.\n", path, errno);
    return false;
  }
  LookUp(dll, KAPSERVICE_SERVER_INIT_NAME, m_fKAPServiceServerInit);
  LookUp(dll, KAPSERVICE_SERVER_INIT_LP_NAME, m_fKAPServiceServerInitLP);
  LookUp(dll, KAPSERVICE_SERVER_EXIT_NAME, m_fKAPServiceServerExit);
  LookUp(dll, KAPSERVICE_SERVER_INIT2_NAME, m_fKAPServiceServerInit2);
  LookUp(dll, KAPSERVICE_SERVER_EXIT2_NAME, m_fKAPServiceServerExit2);
  LookUp(dll, KAPSERVICE_MULTI_SERVER_INIT_NAME, m_fKAPServiceMultiServerInit);
  LookUp(dll, KAPSERVICE_MULTI_SERVER_EXIT_NAME, m_fKAPServiceMultiServerExit);

  bool mismatch = false;
  if (m_fKAPServiceServerInit != nullptr && m_fKAPServiceServerExit == nullptr) {
    QR_LOG(LOGGER_LOG_ERROR, "kapService does not contain matching ServerExit function\n");
    mismatch = true;
  }
  if (m_fKAPServiceServerInit2 != nullptr && m_fKAPServiceServerExit2 == nullptr) {
    QR_LOG(LOGGER_LOG_ERROR, "kapService does not contain matching ServerExit2 function\n");
    mismatch = true;
  }
  if (m_fKAPServiceMultiServerInit != nullptr && m_fKAPServiceMultiServerExit == nullptr) {
    QR_LOG(LOGGER_LOG_ERROR, "kapService does not contain matching MultiServerExit function\n");
    mismatch = true;
  }
  if (mismatch) {
    dlclose(dll);
    ForgetEntryPoints();
    return false;
  }
  m_hKapServiceDll = dll;
  return true;
}

bool RPCManager::QueryInterface(const GUID* iid, void* table) {
  if (m_qi.QueryInterface == nullptr) {
    return false;
  }
  return m_qi.QueryInterface(iid, table) != FALSE;
}

bool RPCManager::Init(bool isServer, const KAP_SERVICE_QUERY_INTERFACE* qi) {
  FunctionTrace trace(LOGGER_LOG_INFO, __PRETTY_FUNCTION__);
  if (qi == nullptr || qi->QueryInterface == nullptr) {
    return false;
  }
  // Tables are asked of the new record; m_qi keeps the previous one until Init succeeds.
  auto queryTable = [qi](const GUID& iid, void* table, size_t size) {
    memset(table, 0, size);
    return qi->QueryInterface(&iid, table) == TRUE;
  };

  if (!queryTable(GUID_KAPService_ChannelInterface_V3, &m_iChannel, sizeof(m_iChannel)) &&
      !queryTable(GUID_KAPService_ChannelInterface_V2, &m_iChannel, sizeof(m_iChannel))) {
    if (isServer) {
      QR_LOG(LOGGER_LOG_DEBUG,
             "Failed to get KAPService_ChannelInterface_V2, streamData mode does not "
             "supported\n");
    }
    if (!queryTable(GUID_KAPService_ChannelInterface_V1, &m_iChannel, sizeof(m_iChannel))) {
      trace.SetExitMsg(LOGGER_LOG_ERROR, "Failed to get KAPService_ChannelInterface\n");
      return false;
    }
  }

  if (!queryTable(GUID_KAPRPC_ChannelObjectInterface_V4, &m_iChannelObj, sizeof(m_iChannelObj)) &&
      !queryTable(GUID_KAPRPC_ChannelObjectInterface_V3, &m_iChannelObj, sizeof(m_iChannelObj)) &&
      !queryTable(GUID_KAPRPC_ChannelObjectInterface_V2, &m_iChannelObj, sizeof(m_iChannelObj)) &&
      !queryTable(GUID_KAPRPC_ChannelObjectInterface_V1, &m_iChannelObj, sizeof(m_iChannelObj))) {
    trace.SetExitMsg(LOGGER_LOG_ERROR, "Failed to get KAPRPC_ChannelObjectInterface\n");
    return false;
  }

  if (!queryTable(GUID_KAPRPC_ChannelContextInterface_V2, &m_iChannelCtx, sizeof(m_iChannelCtx)) &&
      !queryTable(GUID_KAPRPC_ChannelContextInterface_V1, &m_iChannelCtx, sizeof(m_iChannelCtx))) {
    trace.SetExitMsg(LOGGER_LOG_ERROR, "Failed to get KAPRPC_ChannelContextInterface\n");
    return false;
  }

  if (!queryTable(GUID_KAPRPC_VariantInterface_V1, &m_iVariant, sizeof(m_iVariant))) {
    trace.SetExitMsg(LOGGER_LOG_ERROR, "Failed to get KAPRPC_VariantInterface\n");
    return false;
  }

  if (!queryTable(GUID_KAPRPC_StreamDataInterface_V2, &m_iStreamData, sizeof(m_iStreamData)) &&
      !queryTable(GUID_KAPRPC_StreamDataInterface_V1, &m_iStreamData, sizeof(m_iStreamData))) {
    memset(&m_iStreamData, 0, sizeof(m_iStreamData));
    QR_LOG(LOGGER_LOG_WARN, "Failed to get KAPRPC_StreamDataInterface\n");
  }

  // Multi-server initialisation asks for it afterwards.
  memset(&m_iServer, 0, sizeof(m_iServer));

  if (!isServer) {
    if (!queryTable(GUID_KAPOverlay_ClientInterface_V2, &m_iOverlayClient,
                    sizeof(m_iOverlayClient)) &&
        !queryTable(GUID_KAPOverlay_ClientInterface_V1, &m_iOverlayClient,
                    sizeof(m_iOverlayClient))) {
      trace.SetExitMsg(LOGGER_LOG_ERROR, "Failed to get KAPOverlay_ClientInterface\n");
      return false;
    }
    m_isRIVETPrefered = true;
    trace.SetExitMsg(LOGGER_LOG_DEBUG, "RIVET side channel %ssupported\n", "");
  }

  m_hInitThreadId = QrThread::GetCurrentThreadID();
  m_isServer = isServer;
  m_qi = *qi;
  return true;
}

// ---- Server life ----

bool RPCManager::ServerInitForSession(DWORD sessionId, RPCPluginInstance* rpcPlugin,
                                      uint32_t msTimeoutReady) {
  return ServerInitImp(sessionId, rpcPlugin, msTimeoutReady, false, false);
}

bool RPCManager::ServerInit(RPCPluginInstance* rpcPlugin, uint32_t msTimeoutReady, bool lowPriv) {
  return ServerInitImp(static_cast<DWORD>(getpgid(getpid())), rpcPlugin, msTimeoutReady, false,
                       lowPriv);
}

bool RPCManager::MultiServerInit(DWORD sessionId) {
  return ServerInitImp(sessionId, nullptr, 0, true, false);
}

bool RPCManager::ServerExitForSession(DWORD sessionId, RPCPluginInstance* rpcPlugin,
                                      bool exitOnDifferentThread) {
  return ServerExitImp(sessionId, rpcPlugin, exitOnDifferentThread);
}

bool RPCManager::ServerExit(RPCPluginInstance* rpcPlugin) {
  return ServerExitImp(static_cast<DWORD>(getpgid(getpid())), rpcPlugin, false);
}

bool RPCManager::ServerInitImp(DWORD sessionId, RPCPluginInstance* rpcPlugin,
                               uint32_t msTimeoutReady, bool multiServerMode, bool lowPriv) {
  FunctionTrace trace(LOGGER_LOG_INFO, __PRETTY_FUNCTION__, nullptr,
                      "sessionId = %d  multiServerMode = %d\n", static_cast<int>(sessionId),
                      multiServerMode ? 1 : 0);
  if (!PlatformAllowRunAsServer()) {
    trace.SetExitMsg(LOGGER_LOG_ERROR, "Running as server not allowed.\n");
    m_serverInit = false;
    return false;
  }
  if (m_initialized) {
    trace.SetExitMsg(LOGGER_LOG_ERROR, "Already initialized\n");
    return false;
  }
  if (!LoadKapService()) {
    trace.SetExitMsg(LOGGER_LOG_ERROR, "LoadKapService() failed.\n");
    return false;
  }

  m_sessionId = sessionId;
  void* channel = nullptr;
  KAP_SERVICE_QUERY_INTERFACE qi;
  memset(&qi, 0, sizeof(qi));

  const char* initName;
  bool present;
  Bool initResult = FALSE;
  if (multiServerMode) {
    initName = "KAPService_MultiServerInit()";
    present = m_fKAPServiceMultiServerInit != nullptr;
    if (present) {
      initResult = m_fKAPServiceMultiServerInit(sessionId, m_tokenName, "", &qi, &m_multiServerId);
    }
  } else if (sessionId != kNoSession) {
    initName = "KAPService_ServerInit2()";
    present = m_fKAPServiceServerInit2 != nullptr;
    if (present) {
      initResult = m_fKAPServiceServerInit2(sessionId, m_tokenName, &qi, &channel);
    }
  } else if (lowPriv) {
    initName = "KAPService_ServerInitLP()";
    present = m_fKAPServiceServerInitLP != nullptr;
    if (present) {
      initResult = m_fKAPServiceServerInitLP(m_tokenName, nullptr, &qi, &channel);
    }
  } else {
    initName = "KAPService_ServerInit()";
    present = m_fKAPServiceServerInit != nullptr;
    if (present) {
      initResult = m_fKAPServiceServerInit(m_tokenName, &qi, &channel);
    }
  }
  if (!present) {
    trace.SetExitMsg(LOGGER_LOG_ERROR, "%s not available\n", initName);
    m_sessionId = kNoSession;
    return false;
  }
  m_serverInit = initResult == TRUE;
  if (!m_serverInit) {
    trace.SetExitMsg(LOGGER_LOG_ERROR, "%s failed\n", initName);
    m_sessionId = kNoSession;
    m_multiServerId = nullptr;
    return false;
  }

  // From here on a failure ends the server again so that the manager can be initialised
  // anew; the library stays loaded.
  auto cleanUp = [&](const char* msg) {
    trace.SetExitMsg(LOGGER_LOG_ERROR, "%s", msg);
    m_sessionId = kNoSession;
    KAPServiceServerExit(sessionId, nullptr);
    m_serverInit = false;
    return false;
  };

  if (!Init(true, &qi)) {
    return cleanUp("Init() failed\n");
  }
  if (!ConfigureTcpSideChan()) {
    return cleanUp("Error in configuring TcpSide Channel.\n");
  }
  if (m_isTcpEnabled) {
    if (!multiServerMode && !IsSideChannelAvailable(KAP_RPC_SIDE_CHANNEL_TYPE_TCP)) {
      return cleanUp("TCP requested but unavailable\n");
    }
  } else if (!ConfigureVirtualSideChan()) {
    return cleanUp("Error in configuring Virtual Side Channel.\n");
  }
  if (m_isVirtualSideChannelEnabled && !multiServerMode &&
      !IsSideChannelAvailable(KAP_RPC_SIDE_CHANNEL_TYPE_TALON)) {
    return cleanUp("Virtual side channel requested but unavailable\n");
  }

  if (!multiServerMode) {
    if (rpcPlugin == nullptr || !rpcPlugin->RegisterChannelSink(channel)) {
      return cleanUp("RegisterChannelSink() failed\n");
    }
    if (msTimeoutReady == 0) {
      m_initialized = true;
      return true;
    }
    int rc = rpcPlugin->WaitUntilReadyOrRejected(msTimeoutReady);
    if (rc == 0) {
      m_initialized = true;
      return true;
    }
    // The sink was registered on a server that is about to end; take it back so that the
    // instance does not keep a dangling channel handle.
    rpcPlugin->UnregisterChannelSink();
    char msg[64];
    snprintf(msg, sizeof(msg), "WaitUntilReadyOrRejected failed [%d]\n", rc);
    return cleanUp(msg);
  }

  // Asked for last and only here, under the framework's own identifier (see
  // KapServiceApi.h): a library that does not offer it leaves the table zero-filled.
  if (!QueryInterface(&GUID_KAPService_ServerInterface_V1, &m_iServer)) {
    memset(&m_iServer, 0, sizeof(m_iServer));
  }
  if (m_iServer.v1.RegisterServerNotifySink == nullptr) {
    return cleanUp("ServerInterface is needed for MultiServer mode.\n");
  }
  if (m_iServer.v1.RegisterServerNotifySink(this, &m_serverSink, m_multiServerId, &m_hServerSink) !=
      TRUE) {
    m_hServerSink = nullptr;
    return cleanUp("RegisterServerNotifySink() failed.\n");
  }
  m_initialized = true;
  return true;
}

bool RPCManager::IsSideChannelAvailable(int type) {
  // Version 2 of the object table added it; an older library offers no side channel.
  if (m_iChannelObj.v2.IsSideChannelAvailable == nullptr) {
    return false;
  }
  return m_iChannelObj.v2.IsSideChannelAvailable(static_cast<KAPRPC_SideChannelType>(type)) == TRUE;
}

bool RPCManager::KAPServiceServerExit(DWORD sessionId, void* reserved) {
  FunctionTrace trace(LOGGER_LOG_INFO, __PRETTY_FUNCTION__);
  if (m_multiServerId != nullptr) {
    KapMultiServerID id = m_multiServerId;
    m_multiServerId = nullptr;
    if (m_fKAPServiceMultiServerExit != nullptr &&
        m_fKAPServiceMultiServerExit(id, reserved) == TRUE) {
      trace.SetExitMsg(LOGGER_LOG_INFO, "KAPService_ServerExit() [OK]\n");
      return true;
    }
    trace.SetExitMsg(LOGGER_LOG_ERROR, "KAPService_MultiServerExit(%p) failed.\n", id);
    return false;
  }
  if (sessionId == kNoSession) {
    if (m_fKAPServiceServerExit != nullptr && m_fKAPServiceServerExit() == TRUE) {
      trace.SetExitMsg(LOGGER_LOG_INFO, "KAPService_ServerExit() [OK]\n");
      return true;
    }
    trace.SetExitMsg(LOGGER_LOG_ERROR, "KAPService_ServerExit() failed.\n");
    return false;
  }
  if (m_fKAPServiceServerExit2 != nullptr && m_fKAPServiceServerExit2(sessionId) == TRUE) {
    trace.SetExitMsg(LOGGER_LOG_INFO, "KAPService_ServerExit() [OK]\n");
    return true;
  }
  trace.SetExitMsg(LOGGER_LOG_ERROR, "KAPService_ServerExit2(%d) failed.\n",
                   static_cast<int>(sessionId));
  return false;
}

bool RPCManager::ServerExitImp(DWORD sessionId, RPCPluginInstance* rpcPlugin,
                               bool exitOnDifferentThread) {
  FunctionTrace trace(LOGGER_LOG_INFO, __PRETTY_FUNCTION__, nullptr, "sessionId = %d\n",
                      static_cast<int>(sessionId));
  if (!m_initialized) {
    trace.SetExitMsg(LOGGER_LOG_ERROR, "Not initialized\n");
    return false;
  }
  // The server is ended whatever happens to the instance on the way (an exception when
  // memory runs out included): left running, it would call a sink that is about to go.
  std::exception_ptr failure;
  if (rpcPlugin != nullptr) {
    try {
      InstanceExitImp(rpcPlugin, exitOnDifferentThread);
    } catch (...) {
      failure = std::current_exception();
    }
  }
  bool result = true;
  if (m_serverInit) {
    result = KAPServiceServerExit(sessionId, nullptr);
    m_serverInit = false;
  }
  OnServerExit();
  m_initialized = false;
  m_hInitThreadId = 0;
  m_sessionId = kNoSession;
  if (failure) {
    std::rethrow_exception(failure);
  }
  return result;
}

bool RPCManager::InstanceExitImp(RPCPluginInstance* rpcPlugin, bool exitOnDifferentThread) {
  FunctionTrace trace(LOGGER_LOG_INFO, __PRETTY_FUNCTION__, nullptr, "Exit Instance = %p\n",
                      static_cast<void*>(rpcPlugin));
  if (exitOnDifferentThread || rpcPlugin == nullptr) {
    return true;
  }
  rpcPlugin->WaitForPendingMessages(kPendingMessagesTimeoutMs);
  if (rpcPlugin->InStreamDataMode()) {
    return true;
  }
  bool ok = rpcPlugin->ChannelDisconnect();
  if (!ok) {
    trace.SetExitMsg(LOGGER_LOG_ERROR, "ChannelDisconnect() failed\n");
  }
  if (!rpcPlugin->InStreamDataMode() && !rpcPlugin->UnregisterChannelSink()) {
    trace.SetExitMsg(LOGGER_LOG_ERROR, "UnregisterChannelSink() failed\n");
    return false;
  }
  return ok;
}

bool RPCManager::MultiServerExit(DWORD sessionId, void* reserved) {
  RCPtr<RPCManager> self(this);  // the map entries dropped below may be the last references
  if (m_hServerSink != nullptr) {
    if (m_iServer.v1.UnregisterServerNotifySink != nullptr &&
        m_iServer.v1.UnregisterServerNotifySink(m_hServerSink) == TRUE) {
      m_hServerSink = nullptr;
    } else {
      QR_LOG(LOGGER_LOG_ERROR, "UnregisterServerNotifySink() failed.\n");
    }
  }
  bool result = true;
  {
    // An exit on a different thread only traces, so the walk may hold the lock.
    AutoMutexLock lock(m_RPCManagerMutex);
    for (auto& entry : m_IdToRPCInstanceMap) {
      result = InstanceExitImp(entry.second, true) && result;
    }
  }
  OnServerExit();
  {
    std::map<KapServerID, RCPtr<RPCPluginInstance>> dropped;
    {
      AutoMutexLock lock(m_RPCManagerMutex);
      dropped.swap(m_IdToRPCInstanceMap);
    }
    // The references drop here, outside the lock: an instance's destructor may log.
  }
  {
    // Servers still connected when the session ends are not reported any more; their
    // entries would otherwise keep this manager alive for the life of the process.
    std::vector<RCPtr<RPCManager>> dropped;
    AutoMutexLock lock(s_RPCManagerMutex);
    for (auto it = s_IdToRPCManagerMap.begin(); it != s_IdToRPCManagerMap.end();) {
      if (it->second.Ptr() == this) {
        dropped.push_back(it->second);
        it = s_IdToRPCManagerMap.erase(it);
      } else {
        ++it;
      }
    }
  }
  if (m_serverInit) {
    result = KAPServiceServerExit(sessionId, reserved) && result;
    m_serverInit = false;
  }
  m_initialized = false;
  m_hInitThreadId = 0;
  m_sessionId = kNoSession;
  return result;
}

bool RPCManager::StartServer(KapServerID serverId) {
  if (m_iServer.v1.StartServer == nullptr) {
    QR_LOG(LOGGER_LOG_ERROR, "Must called from multi-server mode.\n");
    return false;
  }
  return m_iServer.v1.StartServer(this, serverId) == TRUE;
}

bool RPCManager::StopServer(KapServerID serverId) {
  if (m_iServer.v1.StopServer == nullptr) {
    QR_LOG(LOGGER_LOG_ERROR, "Must called from multi-server mode.\n");
    return false;
  }
  return m_iServer.v1.StopServer(serverId) == TRUE;
}

bool RPCManager::StopAllServers(KapServerID serverId) {
  if (m_iServer.v1.StopAllServers == nullptr) {
    QR_LOG(LOGGER_LOG_ERROR, "Must called from multi-server mode.\n");
    return false;
  }
  return m_iServer.v1.StopAllServers(serverId) == TRUE;
}

// ---- Client path ----

bool RPCManager::ClientInit(const KAP_SERVICE_QUERY_INTERFACE* qi) {
  FunctionTrace trace(LOGGER_LOG_INFO, __PRETTY_FUNCTION__);
  if (m_initialized) {
    trace.SetExitMsg(LOGGER_LOG_ERROR, "Already initialized\n");
    return false;
  }
  if (!Init(false, qi)) {
    trace.SetExitMsg(LOGGER_LOG_ERROR, "Init() failed\n");
    return false;
  }
  if (!ConfigureTcpSideChan()) {
    trace.SetExitMsg(LOGGER_LOG_ERROR, "Error in configuring TcpSide Channel.\n");
    return false;
  }
  if (!m_isTcpEnabled && !ConfigureVirtualSideChan()) {
    trace.SetExitMsg(LOGGER_LOG_ERROR, "Error in configuring Virtual Side Channel.\n");
    return false;
  }
  m_initialized = true;
  OnClientInit();
  return true;
}

bool RPCManager::ClientExit() {
  FunctionTrace trace(LOGGER_LOG_INFO, __PRETTY_FUNCTION__);
  if (!m_initialized) {
    trace.SetExitMsg(LOGGER_LOG_ERROR, "Not initialized\n");
    return false;
  }
  m_initialized = false;
  m_hInitThreadId = 0;
  OnClientExit();
  return true;
}

// ---- Waiting ----

bool RPCManager::IsInitThread() const {
  return m_hInitThreadId != 0 && m_hInitThreadId == QrThread::GetCurrentThreadID();
}

int RPCManager::WaitMultiple(std::vector<QrEvent*>& events, bool waitAll, uint32_t msTimeout,
                             bool wakeOnOSMessages) {
  uint32_t msBegin = TickCount();
  bool doPoll = IsInitThread();
  if (!doPoll && events.empty()) {
    QR_LOG(LOGGER_LOG_DEBUG,
           "Called with empty QrEvents vector on different thread: m_hInitThreadId(0x%08lX); "
           "GetCurrentThreadId(0x%08lX)\n",
           static_cast<unsigned long>(m_hInitThreadId),
           static_cast<unsigned long>(QrThread::GetCurrentThreadID()));
    return -2;
  }
  if (doPoll && m_iChannel.v1.Poll != nullptr) {
    m_iChannel.v1.Poll();
  }
  uint32_t msCurrent = 0;
  for (;;) {
    uint32_t slice = std::min(msTimeout - msCurrent, kSliceMs);
    if (events.size() > 1) {
      int rc = QrEvent::WaitMultiple(events, waitAll, slice, wakeOnOSMessages);
      if (rc != -1) {
        return rc;
      }
    } else if (events.size() == 1) {
      int rc = events[0]->Wait(slice);
      if (rc != -1) {
        return rc;
      }
    } else if (slice > 0) {
      usleep(static_cast<useconds_t>(slice) * 1000);
    }
    if (msTimeout == 0) {
      break;
    }
    uint32_t elapsed = TickCount() - msBegin;
    if (elapsed < msCurrent || elapsed >= msTimeout) {
      break;
    }
    msCurrent = elapsed;
    if (doPoll && m_iChannel.v1.Poll != nullptr) {
      m_iChannel.v1.Poll();
    }
  }
  return -1;
}

int RPCManager::PollWaitMultiple(std::vector<QrEvent*>& events, bool waitAll, uint32_t msTimeout,
                                 bool wakeOnOSMessages) {
  if (m_iChannel.v3.Poll == nullptr) {
    QR_LOG(LOGGER_LOG_ERROR, "Please upgrade kapservice to support v3.Poll\n");
    return -2;
  }
  uint32_t msBegin = TickCount();
  bool doPoll = IsInitThread();
  if (!doPoll && events.empty()) {
    QR_LOG(LOGGER_LOG_DEBUG,
           "Called with empty QrEvents vector on different thread: m_hInitThreadId(0x%08lX); "
           "GetCurrentThreadId(0x%08lX)\n",
           static_cast<unsigned long>(m_hInitThreadId),
           static_cast<unsigned long>(QrThread::GetCurrentThreadID()));
    return -2;
  }
  uint32_t msCurrent = 0;
  uint32_t msLimit = std::max<uint32_t>(msTimeout, 1);
  for (;;) {
    uint32_t slice = std::min(msTimeout - msCurrent, kSliceMs);
    uint32_t waitMs = slice;
    if (doPoll) {
      m_iChannel.v3.Poll(static_cast<int>(slice));
      waitMs = 0;
    }
    int rc = -1;
    if (events.size() > 1) {
      rc = QrEvent::WaitMultiple(events, waitAll, waitMs, wakeOnOSMessages);
    } else if (events.size() == 1) {
      rc = events[0]->Wait(waitMs);
    }
    if (rc != -1) {
      return rc;
    }
    uint32_t elapsed = TickCount() - msBegin;
    if (elapsed < msCurrent || elapsed >= msLimit) {
      break;
    }
    msCurrent = elapsed;
  }
  return -1;
}

bool RPCManager::WaitForEvent(QrEvent* event, uint32_t msTimeout) {
  std::vector<QrEvent*> events;
  if (event != nullptr) {
    events.push_back(event);
  }
  return WaitMultiple(events, false, msTimeout, false) == 0;
}

void RPCManager::Poll(uint32_t msTimeout) { WaitForEvent(nullptr, msTimeout); }

// ---- Server sink (multi-server mode) ----
// Called from the channel service's polls: see the note on the channel callbacks below.

Bool RPCManager::KapOnServerConnected(void* userData, KAPService_SessionType type,
                                      KapServerID serverId) try {
  RPCManager* manager = static_cast<RPCManager*>(userData);
  if (manager == nullptr) {
    return FALSE;
  }
  {
    AutoMutexLock lock(s_RPCManagerMutex);
    s_IdToRPCManagerMap[serverId] = manager;
  }
  return manager->OnServerConnected(type, serverId) ? TRUE : FALSE;
} catch (...) {
  ExceptionBoundary::Caught(__PRETTY_FUNCTION__);
  return FALSE;
}

Bool RPCManager::KapOnServerDisconnected(void* userData, KapServerID serverId) try {
  RCPtr<RPCManager> manager;
  {
    AutoMutexLock lock(s_RPCManagerMutex);
    auto found = s_IdToRPCManagerMap.find(serverId);
    if (found != s_IdToRPCManagerMap.end()) {
      manager = found->second;
    }
  }
  if (manager.Ptr() != nullptr) {
    manager->OnServerDisconnected(serverId);
  } else {
    QR_LOG(LOGGER_LOG_WARN, "Cannot find server %p userData %p\n", serverId, userData);
  }
  return TRUE;
} catch (...) {
  ExceptionBoundary::Caught(__PRETTY_FUNCTION__);
  return FALSE;
}

Bool RPCManager::KapOnServerInstanceCreated(void* userData, KapServerID serverId,
                                            void** pInstanceUserData) try {
  RCPtr<RPCManager> manager;
  {
    AutoMutexLock lock(s_RPCManagerMutex);
    auto found = s_IdToRPCManagerMap.find(serverId);
    if (found != s_IdToRPCManagerMap.end()) {
      manager = found->second;
    }
  }
  if (manager.Ptr() == nullptr) {
    return FALSE;
  }
  RCPtr<RPCPluginInstance> instance(manager->OnCreateServerInstance(serverId));
  if (pInstanceUserData != nullptr) {
    *pInstanceUserData = instance.Ptr();
  }
  if (instance.Ptr() == nullptr) {
    return FALSE;
  }
  AutoMutexLock lock(manager->m_RPCManagerMutex);
  manager->m_IdToRPCInstanceMap[serverId] = instance;
  instance->SetServerId(serverId);
  void* channel = manager->m_iServer.v1.GetChannel != nullptr
                      ? manager->m_iServer.v1.GetChannel(serverId)
                      : nullptr;
  instance->RegisterChannelSink(channel);
  return TRUE;
} catch (...) {
  ExceptionBoundary::Caught(__PRETTY_FUNCTION__);
  return FALSE;
}

Bool RPCManager::KapOnServerInstanceDestroyed(void* serverUserData, void* pInstanceUserData,
                                              KapServerID serverId) {
  FunctionTrace trace(LOGGER_LOG_INFO, __PRETTY_FUNCTION__, nullptr, "Server=%p.\n", serverId);
  RCPtr<RPCManager> manager = GetRPCManagerByServerId(serverId);
  if (manager.Ptr() == nullptr) {
    return FALSE;
  }
  RCPtr<RPCPluginInstance> instance;
  {
    AutoMutexLock lock(manager->m_RPCManagerMutex);
    auto found = manager->m_IdToRPCInstanceMap.find(serverId);
    if (found != manager->m_IdToRPCInstanceMap.end()) {
      instance = found->second;
      manager->m_IdToRPCInstanceMap.erase(found);
    }
  }
  return manager->KAPServerDestroyInstance(serverId, instance);
}

Bool RPCManager::KAPServerDestroyInstance(KapServerID serverId, RCPtr<RPCPluginInstance> instance) {
  FunctionTrace trace(LOGGER_LOG_INFO, __PRETTY_FUNCTION__);
  if (instance.Ptr() != nullptr) {
    instance->ChannelDisconnect();
    instance->UnregisterChannelSink();
  }
  OnDestroyServerInstance(serverId, instance);
  RCPtr<RPCManager> dropped;
  {
    AutoMutexLock lock(s_RPCManagerMutex);
    auto found = s_IdToRPCManagerMap.find(serverId);
    if (found != s_IdToRPCManagerMap.end()) {
      dropped = found->second;  // released after the lock: it may be the last reference
      s_IdToRPCManagerMap.erase(found);
    }
  }
  return TRUE;
}

RCPtr<RPCManager> RPCManager::GetRPCManagerByServerId(KapServerID serverId) {
  RCPtr<RPCManager> manager;
  {
    AutoMutexLock lock(s_RPCManagerMutex);
    auto found = s_IdToRPCManagerMap.find(serverId);
    if (found != s_IdToRPCManagerMap.end()) {
      manager = found->second;
    }
  }
  if (manager.Ptr() == nullptr) {
    QR_LOG(LOGGER_LOG_WARN, "Cannot find server %p.\n", serverId);
  }
  return manager;
}

RCPtr<RPCPluginInstance> RPCManager::GetInstanceByServerId(KapServerID serverId) {
  RCPtr<RPCManager> manager = GetRPCManagerByServerId(serverId);
  RCPtr<RPCPluginInstance> instance;
  if (manager.Ptr() == nullptr) {
    return instance;
  }
  AutoMutexLock lock(manager->m_RPCManagerMutex);
  auto found = manager->m_IdToRPCInstanceMap.find(serverId);
  if (found != manager->m_IdToRPCInstanceMap.end()) {
    instance = found->second;
  }
  return instance;
}

// ---- Names ----

const char* RPCManager::ConnectionStateToStr(int state) {
  static char s_unknown[32];
  return StateName(state, s_unknown, sizeof(s_unknown), false);
}

const char* RPCManager::ChannelStateToStr(int state) {
  static char s_unknown[32];
  return StateName(state, s_unknown, sizeof(s_unknown), false);
}

const char* RPCManager::ChannelObjectStateToStr(int state) {
  static char s_unknown[32];
  return StateName(state, s_unknown, sizeof(s_unknown), true);
}

// ---- Channel, object and request callbacks (userData is the instance) ----
// The channel service calls these from its polls: an exception (no memory) ends the one
// notification, which is logged, and must not unwind through the library.

void RPCManager::OnConnectionStateChanged(void* userData, KAPService_ConnectionState current,
                                          KAPService_ConnectionState transient, void*) try {
  FunctionTrace trace(LOGGER_LOG_INFO, __PRETTY_FUNCTION__, nullptr, "Connection is now %s\n",
                      ConnectionStateToStr(transient));
  RPCPluginInstance* instance = static_cast<RPCPluginInstance*>(userData);
  if (instance == nullptr) {
    return;
  }
  if (transient != current) {
    trace.SetExitMsg(LOGGER_LOG_INFO, "   but the current state is %s\n",
                     ConnectionStateToStr(current));
  }
  switch (current) {
    case KAP_SERVICE_CONN_DISCONNECTED:
      instance->ChannelDisconnect();
      break;
    case KAP_SERVICE_CONN_CONNECTED:
      if (instance->m_discardNewConnection) {
        QR_LOG(LOGGER_LOG_WARN, "New connection discarded by request.\n");
      } else {
        instance->ChannelConnect();
      }
      break;
    default:
      trace.SetExitMsg(LOGGER_LOG_ERROR, "State %s is not handled\n",
                       ConnectionStateToStr(current));
      break;
  }
} catch (...) {
  ExceptionBoundary::Caught(__PRETTY_FUNCTION__);
}

void RPCManager::OnChannelStateChanged(void* userData, KAPService_ChannelState current,
                                       KAPService_ChannelState transient, void*) try {
  FunctionTrace trace(LOGGER_LOG_INFO, __PRETTY_FUNCTION__, nullptr, "Channel is now %s\n",
                      ChannelStateToStr(transient));
  RPCPluginInstance* instance = static_cast<RPCPluginInstance*>(userData);
  if (instance == nullptr) {
    return;
  }
  RPCManager* manager = instance->m_rpcManager;
  if (transient != current) {
    trace.SetExitMsg(LOGGER_LOG_ERROR, "   but the current state is %s\n",
                     ChannelStateToStr(current));
  }
  switch (transient) {
    case KAP_SERVICE_CHAN_DISCONNECTED:
      SessionUtils::SetSessionType(KAP_SERVICE_NONE_SESSION);
      instance->OnChannelDisconnected();
      break;
    case KAP_SERVICE_CHAN_CONNECTED: {
      KAPService_SessionType session = instance->ChannelSessionType();
      SessionUtils::SetSessionType(session);
      manager->ConfigureSidechannelType(session);
      QR_LOG(LOGGER_LOG_DEBUG, "Set session type of the channel to %s\n",
             SessionUtils::SessionTypeToStr(session).c_str());
      instance->OnChannelConnected();
      break;
    }
    default:
      trace.SetExitMsg(LOGGER_LOG_ERROR, "State %s is not handled.\n",
                       ChannelStateToStr(transient));
      break;
  }
  if (manager->m_isServer && current == KAP_SERVICE_CHAN_CONNECTED &&
      transient == KAP_SERVICE_CHAN_CONNECTED) {
    QR_LOG(LOGGER_LOG_INFO, "Channel connect, creating channel objects.\n");
    instance->ChannelControlObjCreate(manager->m_controlObjName);
  }
} catch (...) {
  ExceptionBoundary::Caught(__PRETTY_FUNCTION__);
}

void RPCManager::OnPeerChannelObjectCreated(void* userData, const char* name, void*) try {
  FunctionTrace trace(LOGGER_LOG_INFO, __PRETTY_FUNCTION__, nullptr,
                      "Peer channel object \"%s\" created\n", name != nullptr ? name : "");
  RPCPluginInstance* instance = static_cast<RPCPluginInstance*>(userData);
  if (instance == nullptr || name == nullptr) {
    return;
  }
  RPCManager* manager = instance->m_rpcManager;
  if (manager->m_isServer) {
    return;
  }
  if (strcmp(name, manager->m_controlObjName) == 0) {
    instance->ChannelControlObjCreate(manager->m_controlObjName);
  } else if (strcmp(name, manager->m_dataObjName) == 0) {
    instance->ChannelDataObjCreate(manager->m_dataObjName);
  } else if (strcmp(name, manager->m_dataObjTcpName) == 0) {
    instance->ChannelDataObjCreate(manager->m_dataObjTcpName);
  }
} catch (...) {
  ExceptionBoundary::Caught(__PRETTY_FUNCTION__);
}

void RPCManager::OnControlMsgInvoke(void* userData, void* messageCtx, void*) try {
  RPCPluginInstance* instance = static_cast<RPCPluginInstance*>(userData);
  if (instance != nullptr) {
    instance->OnInvoke(messageCtx);
  }
} catch (...) {
  ExceptionBoundary::Caught(__PRETTY_FUNCTION__);
}

void RPCManager::OnDataMsgInvoke(void* userData, void* messageCtx, void*) try {
  RPCPluginInstance* instance = static_cast<RPCPluginInstance*>(userData);
  if (instance != nullptr) {
    instance->OnInvoke(messageCtx);
  }
} catch (...) {
  ExceptionBoundary::Caught(__PRETTY_FUNCTION__);
}

void RPCManager::OnChannelControlObjectStateChanged(void* userData, void*) try {
  RPCPluginInstance* instance = static_cast<RPCPluginInstance*>(userData);
  if (instance == nullptr) {
    return;
  }
  RPCManager* manager = instance->m_rpcManager;
  const KAPRPC_ChannelObjectInterface& iObj = manager->m_iChannelObj;
  int state = (instance->m_hChannelControlObj != nullptr && iObj.v1.GetObjectState != nullptr)
                  ? iObj.v1.GetObjectState(instance->m_hChannelControlObj)
                  : KAP_RPC_OBJ_UNINITIALIZED;
  FunctionTrace trace(LOGGER_LOG_INFO, __PRETTY_FUNCTION__, nullptr,
                      "Channel object \"%s\" is now %s\n", instance->m_channelControlObjName,
                      ChannelObjectStateToStr(state));
  switch (state) {
    case KAP_RPC_OBJ_DISCONNECTED:
      instance->OnChannelControlObjDisconnected();
      break;
    case KAP_RPC_OBJ_CONNECTED:
      instance->OnChannelControlObjConnected();
      if (manager->m_isServer) {
        instance->ChannelDataObjCreate(manager->m_isTcpEnabled ? manager->m_dataObjTcpName
                                                               : manager->m_dataObjName);
      }
      break;
    default:
      trace.SetExitMsg(LOGGER_LOG_ERROR, "State %s is not handled.\n",
                       ChannelObjectStateToStr(state));
      break;
  }
} catch (...) {
  ExceptionBoundary::Caught(__PRETTY_FUNCTION__);
}

void RPCManager::OnChannelDataObjectStateChanged(void* userData, void*) try {
  RPCPluginInstance* instance = static_cast<RPCPluginInstance*>(userData);
  if (instance == nullptr) {
    return;
  }
  const KAPRPC_ChannelObjectInterface& iObj = instance->m_rpcManager->m_iChannelObj;
  int state = (instance->m_hChannelDataObj != nullptr && iObj.v1.GetObjectState != nullptr)
                  ? iObj.v1.GetObjectState(instance->m_hChannelDataObj)
                  : KAP_RPC_OBJ_UNINITIALIZED;
  FunctionTrace trace(LOGGER_LOG_INFO, __PRETTY_FUNCTION__, nullptr,
                      "Channel object \"%s\" is now %s\n", instance->m_channelDataObjName,
                      ChannelObjectStateToStr(state));
  switch (state) {
    case KAP_RPC_OBJ_SIDE_CHANNEL_PENDING:
      instance->m_sideChannelPending = true;
      break;
    case KAP_RPC_OBJ_SIDE_CHANNEL_CONNECTED:
      if (instance->m_sideChannelPending) {
        instance->OnChannelDataObjConnected();
        instance->m_sideChannelPending = false;
      } else {
        QR_LOG(LOGGER_LOG_INFO, "Side channel was not pending when connected was received.\n");
      }
      break;
    case KAP_RPC_OBJ_DISCONNECTED:
      instance->OnChannelDataObjDisconnected();
      break;
    case KAP_RPC_OBJ_CONNECTED:
      instance->OnDataObjConnectedState();
      break;
    default:
      trace.SetExitMsg(LOGGER_LOG_ERROR, "State %s is not handled.\n",
                       ChannelObjectStateToStr(state));
      break;
  }
} catch (...) {
  ExceptionBoundary::Caught(__PRETTY_FUNCTION__);
}

void RPCManager::OnMsgDone(void* userData, uint32_t requestCtxId, void* returnCtx) try {
  RPCPluginInstance* instance = static_cast<RPCPluginInstance*>(userData);
  if (instance == nullptr) {
    return;
  }
  {
    AutoMutexLock lock(instance->m_pendingMsgMutex);
    // The requests sent before this one are still waiting for their completions.
    for (auto& request : instance->m_requestList) {
      if (request.m_id == requestCtxId) {
        break;
      }
      int64_t ms = request.m_timer.MarkMS64(QrTimer::NO_CHANGE);
      if (ms > kStillPendingMs) {
        QR_LOG(LOGGER_LOG_DEBUG, "Request %d still pending sfter %dms\n",
               static_cast<int>(request.m_id), static_cast<int>(ms));
      }
    }
    instance->ForgetRequestLocked(requestCtxId);
  }
  instance->OnDone(requestCtxId, returnCtx);
} catch (...) {
  ExceptionBoundary::Caught(__PRETTY_FUNCTION__);
}

void RPCManager::OnMsgAbort(void* userData, uint32_t requestCtxId, Bool userCancelled,
                            uint32_t reason) try {
  RPCPluginInstance* instance = static_cast<RPCPluginInstance*>(userData);
  if (instance == nullptr) {
    return;
  }
  {
    AutoMutexLock lock(instance->m_pendingMsgMutex);
    // An aborted request will not complete; keeping it would only produce false
    // "still pending" lines later.
    instance->ForgetRequestLocked(requestCtxId);
  }
  instance->OnAbort(requestCtxId, userCancelled, reason);
} catch (...) {
  ExceptionBoundary::Caught(__PRETTY_FUNCTION__);
}
