// The library's seven entry points. Build variants leave one exit out (KAPSIM_OMIT_...), to
// stand for a library the framework must reject.
#include "FunctionRegistry.h"
#include "SimState.h"
#include "SimTables.h"

#define KAPSIM_EXPORT extern "C" __attribute__((visibility("default")))

using kapsim::Fn;
using kapsim::FunctionRegistry;
using kapsim::SimState;

namespace {

Bool Start(Fn fn, uint32_t sessionId, const char* token, KAP_SERVICE_QUERY_INTERFACE* qi,
           void** channel) {
  if (FunctionRegistry::Get().Enter(fn) || qi == nullptr) return FALSE;
  if (!SimState::Get().StartServer(sessionId, token, channel)) return FALSE;
  *qi = kapsim::MakeQueryRecord();
  return TRUE;
}

Bool End(Fn fn, uint32_t sessionId) {
  if (FunctionRegistry::Get().Enter(fn)) return FALSE;
  return SimState::Get().EndServer(sessionId) ? TRUE : FALSE;
}

}  // namespace

KAPSIM_EXPORT Bool KAPService_ServerInit(const char* tokenName, KAP_SERVICE_QUERY_INTERFACE* qi,
                                         void** channel) {
  return Start(Fn::ServerInit, KAPSIM_OWN_SESSION, tokenName, qi, channel);
}

KAPSIM_EXPORT Bool KAPService_ServerInitLP(const char* tokenName, void*,
                                           KAP_SERVICE_QUERY_INTERFACE* qi, void** channel) {
  return Start(Fn::ServerInitLP, KAPSIM_OWN_SESSION, tokenName, qi, channel);
}

#ifndef KAPSIM_OMIT_SERVER_EXIT
KAPSIM_EXPORT Bool KAPService_ServerExit(void) { return End(Fn::ServerExit, KAPSIM_OWN_SESSION); }
#endif

KAPSIM_EXPORT Bool KAPService_ServerInit2(uint32_t sessionId, const char* tokenName,
                                          KAP_SERVICE_QUERY_INTERFACE* qi, void** channel) {
  // The own-session key is not a session id a caller may name.
  if (sessionId == KAPSIM_OWN_SESSION) {
    FunctionRegistry::Get().Enter(Fn::ServerInit2);
    return FALSE;
  }
  return Start(Fn::ServerInit2, sessionId, tokenName, qi, channel);
}

#ifndef KAPSIM_OMIT_SERVER_EXIT2
KAPSIM_EXPORT Bool KAPService_ServerExit2(uint32_t sessionId) {
  if (sessionId == KAPSIM_OWN_SESSION) {
    FunctionRegistry::Get().Enter(Fn::ServerExit2);
    return FALSE;
  }
  return End(Fn::ServerExit2, sessionId);
}
#endif

KAPSIM_EXPORT Bool KAPService_MultiServerInit(uint32_t sessionId, const char* tokenName,
                                              const char* reserved, KAP_SERVICE_QUERY_INTERFACE* qi,
                                              KapMultiServerID* multiServerId) {
  if (FunctionRegistry::Get().Enter(Fn::MultiServerInit) || qi == nullptr || reserved == nullptr) {
    return FALSE;
  }
  if (!SimState::Get().StartMultiServer(sessionId, tokenName, multiServerId)) return FALSE;
  *qi = kapsim::MakeQueryRecord();
  return TRUE;
}

#ifndef KAPSIM_OMIT_MULTI_SERVER_EXIT
KAPSIM_EXPORT Bool KAPService_MultiServerExit(KapMultiServerID multiServerId, void*) {
  if (FunctionRegistry::Get().Enter(Fn::MultiServerExit)) return FALSE;
  return SimState::Get().EndMultiServer(multiServerId) ? TRUE : FALSE;
}
#endif

// The declarations must keep the signatures the framework resolves by name.
[[maybe_unused]] static KAPService_ServerInit_Fn const s_checkInit = &KAPService_ServerInit;
[[maybe_unused]] static KAPService_ServerInitLP_Fn const s_checkInitLP = &KAPService_ServerInitLP;
[[maybe_unused]] static KAPService_ServerInit2_Fn const s_checkInit2 = &KAPService_ServerInit2;
[[maybe_unused]] static KAPService_MultiServerInit_Fn const s_checkMultiInit = &KAPService_MultiServerInit;
