// Every function the stand-in library offers, by name: its call count, its fault switch,
// and the highest version the query offers for each table. Tests switch faults by name
// through the control API; each library function calls Enter() first.
// Thread safe: counts and switches are atomics, read and written without a lock.
#pragma once

#include <atomic>
#include <cstdint>

#define KAPSIM_FUNCTIONS(X)                                               \
  X(ServerInit, "KAPService_ServerInit")                                  \
  X(ServerInitLP, "KAPService_ServerInitLP")                              \
  X(ServerExit, "KAPService_ServerExit")                                  \
  X(ServerInit2, "KAPService_ServerInit2")                                \
  X(ServerExit2, "KAPService_ServerExit2")                                \
  X(MultiServerInit, "KAPService_MultiServerInit")                        \
  X(MultiServerExit, "KAPService_MultiServerExit")                        \
  X(QueryInterface, "QueryInterface")                                     \
  X(ChThreadInitialize, "Channel.v1.ThreadInitialize")                    \
  X(ChThreadUninitialize, "Channel.v1.ThreadUninitialize")                \
  X(ChPoll, "Channel.v1.Poll")                                            \
  X(ChRegisterSink, "Channel.v1.RegisterChannelNotifySink")               \
  X(ChUnregisterSink, "Channel.v1.UnregisterChannelNotifySink")           \
  X(ChConnect, "Channel.v1.Connect")                                      \
  X(ChDisconnect, "Channel.v1.Disconnect")                                \
  X(ChGetConnectionState, "Channel.v1.GetConnectionState")                \
  X(ChGetChannelState, "Channel.v1.GetChannelState")                      \
  X(ChSwitchToStreamData, "Channel.v2.SwitchToStreamDataMode")            \
  X(ChGetSessionType, "Channel.v2.GetSessionType")                        \
  X(ChPoll3, "Channel.v3.Poll")                                           \
  X(ChThreadInitialize4, "Channel.v4.ThreadInitialize")                   \
  X(ChGetJobDispatcher, "Channel.v4.GetChannelLocalJobDispatcher")        \
  X(ObjCreate, "ChannelObject.v1.CreateChannelObject")                    \
  X(ObjDestroy, "ChannelObject.v1.DestroyChannelObject")                  \
  X(ObjGetState, "ChannelObject.v1.GetObjectState")                       \
  X(ObjGetName, "ChannelObject.v1.GetObjectName")                         \
  X(ObjCreateContext, "ChannelObject.v1.CreateContext")                   \
  X(ObjDestroyContext, "ChannelObject.v1.DestroyContext")                 \
  X(ObjInvoke, "ChannelObject.v1.Invoke")                                 \
  X(ObjIsSideChannelAvailable, "ChannelObject.v2.IsSideChannelAvailable") \
  X(ObjRequestSideChannel, "ChannelObject.v2.RequestSideChannel")         \
  X(ObjGetOptions, "ChannelObject.v3.GetObjectOptions")                   \
  X(ObjCreateContext3, "ChannelObject.v3.CreateContext")                  \
  X(ObjGetStateByName, "ChannelObject.v4.GetObjectStateByName")           \
  X(CtxGetId, "Context.v1.GetId")                                         \
  X(CtxGetCommand, "Context.v1.GetCommand")                               \
  X(CtxSetCommand, "Context.v1.SetCommand")                               \
  X(CtxGetNamedCommand, "Context.v1.GetNamedCommand")                     \
  X(CtxSetNamedCommand, "Context.v1.SetNamedCommand")                     \
  X(CtxGetParamCount, "Context.v1.GetParamCount")                         \
  X(CtxAppendParam, "Context.v1.AppendParam")                             \
  X(CtxGetParam, "Context.v1.GetParam")                                   \
  X(CtxAppendNamedParam, "Context.v1.AppendNamedParam")                   \
  X(CtxGetNamedParam, "Context.v1.GetNamedParam")                         \
  X(CtxGetReturnCode, "Context.v1.GetReturnCode")                         \
  X(CtxSetReturnCode, "Context.v1.SetReturnCode")                         \
  X(CtxGetReturnValCount, "Context.v1.GetReturnValCount")                 \
  X(CtxAppendReturnVal, "Context.v1.AppendReturnVal")                     \
  X(CtxGetReturnVal, "Context.v1.GetReturnVal")                           \
  X(CtxAppendNamedReturnVal, "Context.v1.AppendNamedReturnVal")           \
  X(CtxGetNamedReturnVal, "Context.v1.GetNamedReturnVal")                 \
  X(CtxSetOps, "Context.v2.SetOps")                                       \
  X(VarInit, "Variant.v1.VariantInit")                                    \
  X(VarCopy, "Variant.v1.VariantCopy")                                    \
  X(VarClear, "Variant.v1.VariantClear")                                  \
  X(VarFromChar, "Variant.v1.VariantFromChar")                            \
  X(VarFromShort, "Variant.v1.VariantFromShort")                          \
  X(VarFromUShort, "Variant.v1.VariantFromUShort")                        \
  X(VarFromInt32, "Variant.v1.VariantFromInt32")                          \
  X(VarFromUInt32, "Variant.v1.VariantFromUInt32")                        \
  X(VarFromInt64, "Variant.v1.VariantFromInt64")                          \
  X(VarFromUInt64, "Variant.v1.VariantFromUInt64")                        \
  X(VarFromFloat, "Variant.v1.VariantFromFloat")                          \
  X(VarFromDouble, "Variant.v1.VariantFromDouble")                        \
  X(VarFromStr, "Variant.v1.VariantFromStr")                              \
  X(VarFromBlob, "Variant.v1.VariantFromBlob")                            \
  X(SdGetHeaderTailSize, "StreamData.v1.GetStreamDataHeaderTailSize")     \
  X(SdGetHeaderTail, "StreamData.v1.GetStreamDataHeaderTail")             \
  X(SdGetMinimalSize, "StreamData.v1.GetMinimalStreamDataSize")           \
  X(SdGetSize, "StreamData.v1.GetStreamDataSize")                         \
  X(SdGetInfo, "StreamData.v1.GetStreamDataInfo")                         \
  X(SdGetData, "StreamData.v2.GetStreamData")                             \
  X(SdFreePayload, "StreamData.v2.FreeStreamDataPayload")                 \
  X(SdGetInfo2, "StreamData.v2.GetStreamDataInfo")                        \
  X(SvRegisterSink, "Server.v1.RegisterServerNotifySink")                 \
  X(SvUnregisterSink, "Server.v1.UnregisterServerNotifySink")             \
  X(SvStartServer, "Server.v1.StartServer")                               \
  X(SvStopServer, "Server.v1.StopServer")                                 \
  X(SvStopAllServers, "Server.v1.StopAllServers")                         \
  X(SvGetChannel, "Server.v1.GetChannel")                                 \
  X(SvGetIdSize, "Server.v1.GetUniqueSerializedIdSize")                   \
  X(SvGetId, "Server.v1.GetUniqueSerializedId")                           \
  X(SvIsIdOwner, "Server.v1.IsUniqueSerializedIdOwner")                   \
  X(SvOpenMsgChannel, "Server.v1.OpenMsgChannel")                         \
  X(SvGetMsgChannelInfo, "Server.v1.GetMsgChannelInfo")                   \
  X(SvCloseMsgChannel, "Server.v1.CloseMsgChannel")                       \
  X(SvSendMsgToGroup, "Server.v1.SendMsgToGroup")

namespace kapsim {

enum class Fn : int {
#define KAPSIM_ENUM(id, name) id,
  KAPSIM_FUNCTIONS(KAPSIM_ENUM)
#undef KAPSIM_ENUM
      Count
};

enum class Table : int {
  Channel,
  ChannelObject,
  Context,
  Variant,
  StreamData,
  Server,
  OverlayClient,
  Count
};

// FAULT_FAIL_AFTER: the slot's remaining passes succeed, every later call fails.
enum Fault : int { FAULT_NONE = 0, FAULT_FAIL = 1, FAULT_ABSENT = 2, FAULT_FAIL_AFTER = 3 };

class FunctionRegistry {
 public:
  static FunctionRegistry& Get();

  // Counts the call; true when the function must fail.
  bool Enter(Fn fn) {
    Slot& s = m_slots[static_cast<int>(fn)];
    s.calls.fetch_add(1, std::memory_order_relaxed);
    int fault = s.fault.load(std::memory_order_relaxed);
    if (fault == FAULT_FAIL_AFTER) {
      return s.passes.fetch_sub(1, std::memory_order_relaxed) <= 0;
    }
    return fault == FAULT_FAIL;
  }
  bool IsAbsent(Fn fn) const {
    return m_slots[static_cast<int>(fn)].fault.load(std::memory_order_relaxed) == FAULT_ABSENT;
  }
  uint32_t MaxVersion(Table t) const {
    return m_maxVersion[static_cast<int>(t)].load(std::memory_order_relaxed);
  }

  // -1 for an unknown name.
  static int Find(const char* name);
  static bool IsEntryPoint(int index) { return index <= static_cast<int>(Fn::QueryInterface); }
  bool SetFault(int index, Fault fault);
  bool SetFaultAfter(int index, uint32_t passes);
  bool SetMaxVersion(const char* table, uint32_t version);
  void OfferVersion1Only();
  void Reset();
  uint64_t Calls(int index) const;

 private:
  FunctionRegistry();
  struct Slot {
    std::atomic<uint64_t> calls{0};
    std::atomic<int> fault{FAULT_NONE};
    std::atomic<int64_t> passes{0};  // for FAULT_FAIL_AFTER
  };
  Slot m_slots[static_cast<int>(Fn::Count)];
  std::atomic<uint32_t> m_maxVersion[static_cast<int>(Table::Count)];
};

}  // namespace kapsim
