// The control API of the stand-in channel service, reached with dlopen/dlsym so that the
// program that plays the clients loads the very library the plug-in loads (same path, same
// instance) without linking it. Used by tests, benchmarks and the demo.
// Thread safe after Load: the functions are the library's, which are all thread safe.
#ifndef VHUB_KAPSIMLIBRARY_H
#define VHUB_KAPSIMLIBRARY_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "KapServiceSim.h"

// Parameters a simulated client sends. They point at the caller's bytes, which must stay
// alive until the request is sent (the stand-in copies them then).
inline KapSimParam KapSimStrParam(const char* text) {
  KapSimParam param{};
  param.value.vt = KAP_RPC_VT_LPSTR;
  param.value.strVal = const_cast<char*>(text);
  return param;
}

inline KapSimParam KapSimBlobParam(const char* data, size_t size) {
  KapSimParam param{};
  param.value.vt = KAP_RPC_VT_BLOB;
  param.value.blobVal.size = static_cast<uint32_t>(size);
  param.value.blobVal.blobData = const_cast<char*>(data);
  return param;
}

inline KapSimParam KapSimUInt32Param(uint32_t value) {
  KapSimParam param{};
  param.value.vt = KAP_RPC_VT_UI4;
  param.value.ulVal = value;
  return param;
}

// X(name) for every control function the demo, benchmarks and tests use.
#define KAPSIM_CONTROL_FUNCTIONS(X) \
  X(KapSim_ConnectClient)           \
  X(KapSim_DisconnectClient)        \
  X(KapSim_DestroyClient)           \
  X(KapSim_IsClientConnected)       \
  X(KapSim_ConnectObject)           \
  X(KapSim_DisconnectObject)        \
  X(KapSim_GetChannelState)         \
  X(KapSim_GetObjectState)          \
  X(KapSim_WaitChannelState)        \
  X(KapSim_WaitObjectState)         \
  X(KapSim_SendRequest)             \
  X(KapSim_WaitRequest)             \
  X(KapSim_GetReply)                \
  X(KapSim_GetReplyValue)           \
  X(KapSim_GetMessageCount)         \
  X(KapSim_WaitMessageCount)        \
  X(KapSim_GetMessage)              \
  X(KapSim_GetMessageParam)         \
  X(KapSim_ReleaseMessages)         \
  X(KapSim_ReleaseRequest)          \
  X(KapSim_SetFault)                \
  X(KapSim_SetFaultAfter)           \
  X(KapSim_SetMaxVersion)           \
  X(KapSim_OfferVersion1Only)       \
  X(KapSim_ResetFaults)             \
  X(KapSim_GetCallCount)            \
  X(KapSim_GetCounters)             \
  X(KapSim_IsServerRunning)         \
  X(KapSim_GetObjectFlags)          \
  X(KapSim_CompleteMessage)         \
  X(KapSim_AbortMessage)            \
  X(KapSim_SetObjectState)          \
  X(KapSim_GetSideChannelRequest)   \
  X(KapSim_GetClientServer)         \
  X(KapSim_SendToMsgChannel)        \
  X(KapSim_GetStreamDataPeer)

class KapSimLibrary {
 public:
  KapSimLibrary() = default;
  ~KapSimLibrary();
  KapSimLibrary(const KapSimLibrary&) = delete;
  KapSimLibrary& operator=(const KapSimLibrary&) = delete;

  // Loads the library at `path` and resolves every control function; the error on failure.
  bool Load(const std::string& path, std::string* error);
  // The loaded library, for its channel-service entry points beyond the control API.
  void* Handle() const { return m_library; }

#define KAPSIM_DECLARE_POINTER(name) decltype(&::name) name = nullptr;
  KAPSIM_CONTROL_FUNCTIONS(KAPSIM_DECLARE_POINTER)
#undef KAPSIM_DECLARE_POINTER

 private:
  void* m_library = nullptr;
};

#endif  // VHUB_KAPSIMLIBRARY_H
