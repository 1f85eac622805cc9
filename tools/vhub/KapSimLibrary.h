// The control API of the stand-in channel service, reached with dlopen/dlsym so that the
// program that plays the clients loads the very library the plug-in loads (same path, same
// instance) without linking it. Used by tests, benchmarks and the demo.
// Thread safe after Load: the functions are the library's, which are all thread safe.
#ifndef VHUB_KAPSIMLIBRARY_H
#define VHUB_KAPSIMLIBRARY_H

#include <string>

#include "KapServiceSim.h"

// X(name) for every control function this host uses.
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
  X(KapSim_SetFault)                \
  X(KapSim_SetMaxVersion)           \
  X(KapSim_OfferVersion1Only)       \
  X(KapSim_ResetFaults)             \
  X(KapSim_GetCallCount)            \
  X(KapSim_GetCounters)             \
  X(KapSim_IsServerRunning)

class KapSimLibrary {
 public:
  KapSimLibrary() = default;
  ~KapSimLibrary();
  KapSimLibrary(const KapSimLibrary&) = delete;
  KapSimLibrary& operator=(const KapSimLibrary&) = delete;

  // Loads the library at `path` and resolves every control function; the error on failure.
  bool Load(const std::string& path, std::string* error);

#define KAPSIM_DECLARE_POINTER(name) decltype(&::name) name = nullptr;
  KAPSIM_CONTROL_FUNCTIONS(KAPSIM_DECLARE_POINTER)
#undef KAPSIM_DECLARE_POINTER

 private:
  void* m_library = nullptr;
};

#endif  // VHUB_KAPSIMLIBRARY_H
