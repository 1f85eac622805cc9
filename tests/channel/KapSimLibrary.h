// The stand-in channel service, loaded once for the whole binary (the framework's own
// dlopen shares its state) with KAPSERVICE_PATH pointing at it; its control API by name.
#ifndef TESTS_CHANNEL_KAPSIMLIBRARY_H
#define TESTS_CHANNEL_KAPSIMLIBRARY_H

#include <dlfcn.h>

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "../../tools/kapservice-sim/KapServiceSim.h"

// clang-format off
#define KAPSIM_FUNCTIONS(X)                                                                     \
  X(KapSim_ConnectClient) X(KapSim_DisconnectClient) X(KapSim_DestroyClient)                    \
  X(KapSim_ConnectObject) X(KapSim_DisconnectObject) X(KapSim_GetChannelState)                  \
  X(KapSim_GetObjectFlags) X(KapSim_SendRequest) X(KapSim_WaitRequest) X(KapSim_GetReply)       \
  X(KapSim_GetReplyValue) X(KapSim_GetMessageCount) X(KapSim_GetMessage)                        \
  X(KapSim_GetMessageParam) X(KapSim_CompleteMessage) X(KapSim_AbortMessage) X(KapSim_SetFault) \
  X(KapSim_SetMaxVersion) X(KapSim_OfferVersion1Only) X(KapSim_ResetFaults)                     \
  X(KapSim_GetCallCount) X(KapSim_GetCounters) X(KapSim_IsServerRunning)                        \
  X(KapSim_SetObjectState) X(KapSim_GetSideChannelRequest) X(KapSim_GetClientServer)            \
  X(KapSim_SendToMsgChannel) X(KapSim_GetStreamDataPeer)
// clang-format on

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

inline KapSimCounters Counters(KapSimLibrary* sim) {
  KapSimCounters counters;
  sim->KapSim_GetCounters(&counters);
  return counters;
}

// Fails the test when anything the stand-in counts differs from `before`.
inline void ExpectNothingLeft(KapSimLibrary* sim, const KapSimCounters& before) {
  KapSimCounters after = Counters(sim);
  const int64_t KapSimCounters::*live[] = {
      &KapSimCounters::servers,    &KapSimCounters::serverSinks, &KapSimCounters::channelSinks,
      &KapSimCounters::objects,    &KapSimCounters::contexts,    &KapSimCounters::variants,
      &KapSimCounters::msgChannels};
  for (size_t i = 0; i < sizeof(live) / sizeof(live[0]); ++i) {
    EXPECT_EQ(after.*live[i], before.*live[i]) << "counter " << i;
  }
  EXPECT_EQ(after.badHandles, before.badHandles);
  EXPECT_EQ(after.badClears, before.badClears);
}

// Parameters a simulated client sends; the variants point into the caller's text.
inline KapSimParam SimParam(uint16_t vt, uint32_t number, const std::string* bytes = nullptr) {
  KapSimParam p = {};
  p.value.vt = vt;
  p.value.ulVal = number;
  if (vt == KAP_RPC_VT_LPSTR) p.value.strVal = const_cast<char*>(bytes->c_str());
  if (vt == KAP_RPC_VT_BLOB) {
    p.value.blobVal.size = static_cast<uint32_t>(bytes->size());
    p.value.blobVal.blobData = const_cast<char*>(bytes->data());
  }
  return p;
}

// A variant as text: a string or blob as its bytes, a number in decimal, null as "<none>".
inline std::string VariantText(const KAP_RPC_VARIANT* value) {
  if (value == nullptr) return "<none>";
  if (value->vt == KAP_RPC_VT_LPSTR) return value->strVal;
  if (value->vt == KAP_RPC_VT_BLOB)
    return std::string(value->blobVal.blobData, value->blobVal.size);
  return std::to_string(value->vt == KAP_RPC_VT_UI4 ? value->ulVal : value->ullVal);
}

// Parameter `param` of a client's message `index`, and value `index` of a request's reply.
inline std::string MessageParam(KapSimLibrary* sim, KapSimClient* c, int index, int param) {
  const char* name = nullptr;
  const KAP_RPC_VARIANT* value = nullptr;
  sim->KapSim_GetMessageParam(c, index, param, &name, &value);
  return VariantText(value);
}
inline std::string ReplyValue(KapSimLibrary* sim, KapSimClient* c, uint32_t requestId, int index) {
  const char* name = nullptr;
  const KAP_RPC_VARIANT* value = nullptr;
  sim->KapSim_GetReplyValue(c, requestId, index, &name, &value);
  return VariantText(value);
}

#endif  // TESTS_CHANNEL_KAPSIMLIBRARY_H
