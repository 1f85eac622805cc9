// The control API: C wrappers over SimState and the function registry.
#include "FunctionRegistry.h"
#include "KapServiceSim.h"
#include "SimState.h"

using kapsim::FunctionRegistry;
using kapsim::SimState;

extern "C" {

KapSimClient* KapSim_ConnectClient(uint32_t sessionId, uint32_t options,
                                   KAPService_SessionType sessionType) {
  return SimState::Get().ConnectClient(sessionId, options, sessionType);
}
Bool KapSim_DisconnectClient(KapSimClient* client) {
  return SimState::Get().DisconnectClient(client) ? TRUE : FALSE;
}
void KapSim_DestroyClient(KapSimClient* client) { SimState::Get().DestroyClient(client); }
Bool KapSim_IsClientConnected(KapSimClient* client) {
  return SimState::Get().IsClientConnected(client) ? TRUE : FALSE;
}
KapServerID KapSim_GetClientServer(KapSimClient* client) {
  return SimState::Get().ClientServer(client);
}
Bool KapSim_SendToMsgChannel(KapSimClient* client, const char* channelName, int32_t pid,
                             const char* token, const void* msg, int msgLen) {
  return SimState::Get().PeerSend(client, channelName, pid, token, msg, msgLen) ? TRUE : FALSE;
}
int KapSim_GetStreamDataPeer(KapSimClient* client) {
  return SimState::Get().StreamDataPeer(client);
}
Bool KapSim_ConnectObject(KapSimClient* client, const char* objectName) {
  return SimState::Get().SetObjectState(client, objectName, KAP_RPC_OBJ_CONNECTED) ? TRUE : FALSE;
}
Bool KapSim_DisconnectObject(KapSimClient* client, const char* objectName) {
  return SimState::Get().SetObjectState(client, objectName, KAP_RPC_OBJ_DISCONNECTED) ? TRUE
                                                                                      : FALSE;
}
Bool KapSim_SetObjectState(KapSimClient* client, const char* objectName, KAPRPC_ObjectState state) {
  return SimState::Get().SetObjectState(client, objectName, state) ? TRUE : FALSE;
}
KAPService_ChannelState KapSim_GetChannelState(KapSimClient* client) {
  return SimState::Get().ClientChannelState(client);
}
KAPRPC_ObjectState KapSim_GetObjectState(KapSimClient* client, const char* name) {
  return SimState::Get().ClientObjectState(client, name);
}
Bool KapSim_WaitChannelState(KapSimClient* client, KAPService_ChannelState state,
                             uint32_t msTimeout) {
  return SimState::Get().WaitChannelState(client, state, msTimeout) ? TRUE : FALSE;
}
Bool KapSim_WaitObjectState(KapSimClient* client, const char* name, KAPRPC_ObjectState state,
                            uint32_t msTimeout) {
  return SimState::Get().WaitObjectState(client, name, state, msTimeout) ? TRUE : FALSE;
}
Bool KapSim_GetObjectFlags(KapSimClient* client, const char* name, uint32_t* flags) {
  return SimState::Get().ObjectFlags(client, name, flags) ? TRUE : FALSE;
}
Bool KapSim_GetSideChannelRequest(KapSimClient* client, const char* name,
                                  KAPRPC_SideChannelType* type, char* token, int tokenSize) {
  return SimState::Get().SideChannelRequest(client, name, type, token, tokenSize) ? TRUE : FALSE;
}
Bool KapSim_SendRequest(KapSimClient* client, const char* objectName, uint32_t command,
                        const KapSimParam* params, int count, uint32_t* requestId) {
  return SimState::Get().SendRequest(client, objectName, command, params, count, requestId) ? TRUE
                                                                                            : FALSE;
}
KapSimRequestState KapSim_WaitRequest(KapSimClient* client, uint32_t requestId,
                                      uint32_t msTimeout) {
  return SimState::Get().WaitRequest(client, requestId, msTimeout);
}
Bool KapSim_GetReply(KapSimClient* client, uint32_t requestId, uint32_t* returnCode,
                     int* returnValueCount) {
  return SimState::Get().GetReply(client, requestId, returnCode, returnValueCount) ? TRUE : FALSE;
}
Bool KapSim_GetReplyValue(KapSimClient* client, uint32_t requestId, int index, const char** name,
                          const KAP_RPC_VARIANT** value) {
  return SimState::Get().GetReplyValue(client, requestId, index, name, value) ? TRUE : FALSE;
}
int KapSim_GetMessageCount(KapSimClient* client) { return SimState::Get().MessageCount(client); }
Bool KapSim_WaitMessageCount(KapSimClient* client, int count, uint32_t msTimeout) {
  return SimState::Get().WaitMessageCount(client, count, msTimeout) ? TRUE : FALSE;
}
Bool KapSim_GetMessage(KapSimClient* client, int index, KapSimMessage* out) {
  return SimState::Get().GetMessage(client, index, out) ? TRUE : FALSE;
}
Bool KapSim_GetMessageParam(KapSimClient* client, int index, int param, const char** name,
                            const KAP_RPC_VARIANT** value) {
  return SimState::Get().GetMessageParam(client, index, param, name, value) ? TRUE : FALSE;
}
Bool KapSim_CompleteMessage(KapSimClient* client, int index, uint32_t returnCode,
                            const KapSimParam* values, int count) {
  return SimState::Get().FinishMessage(client, index, true, returnCode, values, count, FALSE, 0)
             ? TRUE
             : FALSE;
}
Bool KapSim_AbortMessage(KapSimClient* client, int index, Bool userCancelled, uint32_t reason) {
  return SimState::Get().FinishMessage(client, index, false, 0, nullptr, 0, userCancelled, reason)
             ? TRUE
             : FALSE;
}
Bool KapSim_ReleaseMessages(KapSimClient* client, int count) {
  return SimState::Get().ReleaseMessages(client, count) ? TRUE : FALSE;
}
Bool KapSim_ReleaseRequest(KapSimClient* client, uint32_t requestId) {
  return SimState::Get().ReleaseRequest(client, requestId) ? TRUE : FALSE;
}
Bool KapSim_SetFault(const char* function, KapSimFault fault) {
  return FunctionRegistry::Get().SetFault(FunctionRegistry::Find(function),
                                          static_cast<kapsim::Fault>(fault))
             ? TRUE
             : FALSE;
}
Bool KapSim_SetFaultAfter(const char* function, uint32_t passes) {
  return FunctionRegistry::Get().SetFaultAfter(FunctionRegistry::Find(function), passes) ? TRUE
                                                                                         : FALSE;
}
Bool KapSim_SetMaxVersion(const char* table, uint32_t version) {
  return FunctionRegistry::Get().SetMaxVersion(table, version) ? TRUE : FALSE;
}
void KapSim_OfferVersion1Only(void) { FunctionRegistry::Get().OfferVersion1Only(); }
void KapSim_ResetFaults(void) { FunctionRegistry::Get().Reset(); }
uint64_t KapSim_GetCallCount(const char* function) {
  return FunctionRegistry::Get().Calls(FunctionRegistry::Find(function));
}
void KapSim_GetCounters(KapSimCounters* out) { SimState::Get().Counters(out); }
Bool KapSim_IsServerRunning(uint32_t sessionId) {
  return SimState::Get().IsServerRunning(sessionId) ? TRUE : FALSE;
}

}  // extern "C"
