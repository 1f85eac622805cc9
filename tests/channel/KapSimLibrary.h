// Test access to the stand-in channel service: loads the built library once (it stays
// loaded for the whole test binary, so the framework's own dlopen shares its state), points
// KAPSERVICE_PATH at it, and resolves the simulator's control API by name.
#ifndef TESTS_CHANNEL_KAPSIMLIBRARY_H
#define TESTS_CHANNEL_KAPSIMLIBRARY_H

#include <dlfcn.h>

#include <cstdlib>

#include <gtest/gtest.h>

#include "../../tools/kapservice-sim/KapServiceSim.h"

#define KAPSIM_FUNCTIONS(X)                                                                      \
  X(KapSim_ConnectClient)                                                                        \
  X(KapSim_DisconnectClient)                                                                     \
  X(KapSim_DestroyClient)                                                                        \
  X(KapSim_IsClientConnected)                                                                    \
  X(KapSim_ConnectObject) X(KapSim_DisconnectObject) X(KapSim_GetChannelState)                   \
      X(KapSim_GetObjectState) X(KapSim_GetObjectFlags) X(KapSim_SendRequest)                    \
          X(KapSim_WaitRequest) X(KapSim_GetReply) X(KapSim_GetReplyValue)                       \
              X(KapSim_GetMessageCount) X(KapSim_GetMessage) X(KapSim_GetMessageParam)           \
                  X(KapSim_CompleteMessage) X(KapSim_AbortMessage) X(KapSim_SetFault)            \
                      X(KapSim_SetMaxVersion) X(KapSim_OfferVersion1Only) X(KapSim_ResetFaults)  \
                          X(KapSim_GetCallCount) X(KapSim_GetCounters) X(KapSim_IsServerRunning) \
                              X(KapSim_SetObjectState) X(KapSim_GetSideChannelRequest)           \
                                  X(KapSim_GetClientServer) X(KapSim_SendToMsgChannel)           \
                                      X(KapSim_GetStreamDataPeer)

struct KapSimLibrary {
#define KAPSIM_MEMBER(name) decltype(&::name) name = nullptr;
  KAPSIM_FUNCTIONS(KAPSIM_MEMBER)
#undef KAPSIM_MEMBER
  void* handle = nullptr;

  // The loaded library, or null (with a test failure) when it cannot be loaded.
  static KapSimLibrary* Get() {
    static KapSimLibrary* s_library = Load();
    return s_library;
  }

 private:
  static KapSimLibrary* Load() {
    setenv("KAPSERVICE_PATH", KAPSERVICE_SIM_PATH, 1);
    auto* lib = new KapSimLibrary();
    lib->handle = dlopen(KAPSERVICE_SIM_PATH, RTLD_NOW);
    if (lib->handle == nullptr) {
      ADD_FAILURE() << "cannot load " << KAPSERVICE_SIM_PATH << ": " << dlerror();
      return nullptr;
    }
#define KAPSIM_RESOLVE(name)                                                  \
  lib->name = reinterpret_cast<decltype(&::name)>(dlsym(lib->handle, #name)); \
  if (lib->name == nullptr) {                                                 \
    ADD_FAILURE() << "missing " #name;                                        \
    return nullptr;                                                           \
  }
    KAPSIM_FUNCTIONS(KAPSIM_RESOLVE)
#undef KAPSIM_RESOLVE
    return lib;
  }
};

#endif  // TESTS_CHANNEL_KAPSIMLIBRARY_H
