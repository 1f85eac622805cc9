#include "SimTables.h"

#include <chrono>
#include <cstring>
#include <thread>

#include "FunctionRegistry.h"
#include "SimState.h"
#include "VariantStore.h"

using kapsim::Context;
using kapsim::Fn;
using kapsim::FunctionRegistry;
using kapsim::SimState;
using kapsim::StoredPtr;
using kapsim::StoredValue;
using kapsim::VariantStore;

#define KAPSIM_ENTER(fn, failed) \
  if (FunctionRegistry::Get().Enter(Fn::fn)) return failed

namespace {

SimState& State() { return SimState::Get(); }

bool IntegerOf(const KAP_RPC_VARIANT* v, uint64_t* out) {
  switch (v->vt) {
    case KAP_RPC_VT_I1:
      *out = static_cast<uint64_t>(static_cast<int64_t>(v->cVal));
      return true;
    case KAP_RPC_VT_UI1:
      *out = static_cast<uint8_t>(v->cVal);
      return true;
    case KAP_RPC_VT_I2:
      *out = static_cast<uint64_t>(static_cast<int64_t>(v->iVal));
      return true;
    case KAP_RPC_VT_UI2:
      *out = v->uiVal;
      return true;
    case KAP_RPC_VT_I4:
      *out = static_cast<uint64_t>(static_cast<int64_t>(v->lVal));
      return true;
    case KAP_RPC_VT_UI4:
      *out = v->ulVal;
      return true;
    case KAP_RPC_VT_I8:
    case KAP_RPC_VT_UI8:
      *out = v->ullVal;
      return true;
    default:
      return false;
  }
}

// Copies a stored name into a caller's buffer; false when it does not fit.
bool CopyName(const std::string& name, char* buf, int size) {
  if (buf == nullptr || size <= 0 || name.size() + 1 > static_cast<size_t>(size)) return false;
  std::memcpy(buf, name.c_str(), name.size() + 1);
  return true;
}

Bool Append(void* ctx, const char* name, const KAP_RPC_VARIANT* v, bool returnValue) {
  StoredPtr value = VariantStore::Store(v, name);  // copied before the context is locked
  if (!value) return FALSE;
  std::shared_ptr<Context> c = State().FindContext(ctx);
  if (!c) return FALSE;
  std::lock_guard<std::mutex> guard(c->lock);
  (returnValue ? c->returnValues : c->params).push_back(std::move(value));
  return TRUE;
}

Bool Read(void* ctx, int index, char* name, int nameSize, bool named, KAP_RPC_VARIANT* out,
          bool returnValue) {
  if (out == nullptr) return FALSE;
  std::shared_ptr<Context> c = State().FindContext(ctx);
  if (!c) return FALSE;
  std::lock_guard<std::mutex> guard(c->lock);
  const std::vector<StoredPtr>& list = returnValue ? c->returnValues : c->params;
  if (index < 0 || index >= static_cast<int>(list.size())) return FALSE;
  if (named && !CopyName(list[index]->name, name, nameSize)) return FALSE;
  return VariantStore::Get().HandOut(*list[index], out) ? TRUE : FALSE;
}

// Frees the string or blob of a variant the library handed out; false for a foreign one.
bool ReleaseHeld(KAP_RPC_VARIANT* v, bool countForeign) {
  void* p = nullptr;
  if (v->vt == KAP_RPC_VT_LPSTR) p = v->strVal;
  if (v->vt == KAP_RPC_VT_BLOB) p = v->blobVal.blobData;
  if (p == nullptr) return true;
  if (VariantStore::Get().Release(p)) return true;
  if (countForeign) VariantStore::Get().CountBadClear();
  return false;
}

}  // namespace

extern "C" {

// ---- Channel ----

static Bool SimChThreadInitialize(void* channel, uint32_t) {
  KAPSIM_ENTER(ChThreadInitialize, FALSE);
  return State().BindThread(channel) ? TRUE : FALSE;
}
static Bool SimChThreadUninitialize(void) {
  KAPSIM_ENTER(ChThreadUninitialize, FALSE);
  return State().UnbindThread() ? TRUE : FALSE;
}
static void SimChPoll(void) {
  KAPSIM_ENTER(ChPoll, );
  State().Poll(0);
}
static Bool SimChRegisterSink(const KAPService_ChannelNotifySink* sink, void* userData,
                              uint32_t* sinkId) {
  KAPSIM_ENTER(ChRegisterSink, FALSE);
  return State().RegisterChannelSink(sink, userData, sinkId) ? TRUE : FALSE;
}
static Bool SimChUnregisterSink(uint32_t sinkId) {
  KAPSIM_ENTER(ChUnregisterSink, FALSE);
  return State().UnregisterChannelSink(sinkId) ? TRUE : FALSE;
}
static Bool SimChConnect(void) {
  KAPSIM_ENTER(ChConnect, FALSE);
  return State().Connect() ? TRUE : FALSE;
}
static Bool SimChDisconnect(void) {
  KAPSIM_ENTER(ChDisconnect, FALSE);
  return State().Disconnect() ? TRUE : FALSE;
}
static KAPService_ConnectionState SimChGetConnectionState(void) {
  KAPSIM_ENTER(ChGetConnectionState, KAP_SERVICE_CONN_UNINITIALIZED);
  return State().ConnectionState();
}
static KAPService_ChannelState SimChGetChannelState(void) {
  KAPSIM_ENTER(ChGetChannelState, KAP_SERVICE_CHAN_UNINITIALIZED);
  return State().ChannelState();
}
static Bool SimChSwitchToStreamData(const char* name, void* channel, int* fd) {
  KAPSIM_ENTER(ChSwitchToStreamData, FALSE);
  return State().SwitchToStreamData(name, channel, fd) ? TRUE : FALSE;
}
static KAPService_SessionType SimChGetSessionType(void) {
  KAPSIM_ENTER(ChGetSessionType, KAP_SERVICE_NONE_SESSION);
  return State().SessionType();
}
static void SimChPoll3(int msTimeout) {
  if (FunctionRegistry::Get().Enter(Fn::ChPoll3)) {
    // A failing poll still takes its time, so that a caller's poll loop does not spin.
    if (msTimeout > 0) std::this_thread::sleep_for(std::chrono::milliseconds(msTimeout));
    return;
  }
  State().Poll(msTimeout < 0 ? 0 : msTimeout);
}
static uint32_t SimChThreadInitialize4(void* channel, uint32_t) {
  KAPSIM_ENTER(ChThreadInitialize4, 0);
  return State().BindThread(channel) ? State().JobDispatcher(channel) : 0;
}
static uint32_t SimChGetJobDispatcher(void* channel) {
  KAPSIM_ENTER(ChGetJobDispatcher, 0);
  return State().JobDispatcher(channel);
}

// ---- Channel object ----

static Bool SimObjCreate(const char* name, const KAPRPC_ObjectNotifySink* sink, void* userData,
                         uint32_t flags, void** object) {
  KAPSIM_ENTER(ObjCreate, FALSE);
  return State().CreateObject(name, sink, userData, flags, object) ? TRUE : FALSE;
}
static Bool SimObjDestroy(void* object) {
  KAPSIM_ENTER(ObjDestroy, FALSE);
  return State().DestroyObject(object) ? TRUE : FALSE;
}
static KAPRPC_ObjectState SimObjGetState(void* object) {
  KAPSIM_ENTER(ObjGetState, KAP_RPC_OBJ_UNINITIALIZED);
  return State().ObjectState(object);
}
static Bool SimObjGetName(void* object, char* name, uint32_t* size) {
  KAPSIM_ENTER(ObjGetName, FALSE);
  return State().ObjectName(object, name, size) ? TRUE : FALSE;
}
static Bool SimObjCreateContext(void* object, void** context) {
  KAPSIM_ENTER(ObjCreateContext, FALSE);
  return State().CreateContext(object, 0, context) ? TRUE : FALSE;
}
static Bool SimObjDestroyContext(void* context) {
  KAPSIM_ENTER(ObjDestroyContext, FALSE);
  return State().DestroyContext(context) ? TRUE : FALSE;
}
static Bool SimObjInvoke(void* object, void* context, const KAPRPC_RequestCallback* callback,
                         void* userData) {
  KAPSIM_ENTER(ObjInvoke, FALSE);
  return State().Invoke(object, context, callback, userData) ? TRUE : FALSE;
}
static Bool SimObjIsSideChannelAvailable(KAPRPC_SideChannelType type) {
  KAPSIM_ENTER(ObjIsSideChannelAvailable, FALSE);
  return type >= KAP_RPC_SIDE_CHANNEL_TYPE_TALON && type <= KAP_RPC_SIDE_CHANNEL_TYPE_RIVET;
}
static Bool SimObjRequestSideChannel(void* object, KAPRPC_SideChannelType type, const char* token) {
  KAPSIM_ENTER(ObjRequestSideChannel, FALSE);
  return State().RequestSideChannel(object, type, token) ? TRUE : FALSE;
}
static Bool SimObjGetOptions(void* object, uint32_t* options) {
  KAPSIM_ENTER(ObjGetOptions, FALSE);
  return State().ObjectOptions(object, options) ? TRUE : FALSE;
}
static Bool SimObjCreateContext3(void* object, uint32_t options, void** context) {
  KAPSIM_ENTER(ObjCreateContext3, FALSE);
  return State().CreateContext(object, options, context) ? TRUE : FALSE;
}
static KAPRPC_ObjectState SimObjGetStateByName(const char* name) {
  KAPSIM_ENTER(ObjGetStateByName, KAP_RPC_OBJ_UNINITIALIZED);
  return State().ObjectStateByName(name);
}

// ---- Context ----

static uint32_t SimCtxGetId(void* ctx) {
  KAPSIM_ENTER(CtxGetId, 0);
  std::shared_ptr<Context> c = State().FindContext(ctx);
  return c ? c->id : 0;
}
// A context's command and return code: a plain field read or written under its lock.
#define KAPSIM_CONTEXT_FIELD(Name, field)                  \
  static uint32_t SimCtxGet##Name(void* ctx) {             \
    KAPSIM_ENTER(CtxGet##Name, 0);                         \
    std::shared_ptr<Context> c = State().FindContext(ctx); \
    if (!c) return 0;                                      \
    std::lock_guard<std::mutex> guard(c->lock);            \
    return c->field;                                       \
  }                                                        \
  static Bool SimCtxSet##Name(void* ctx, uint32_t value) { \
    KAPSIM_ENTER(CtxSet##Name, FALSE);                     \
    std::shared_ptr<Context> c = State().FindContext(ctx); \
    if (!c) return FALSE;                                  \
    std::lock_guard<std::mutex> guard(c->lock);            \
    c->field = value;                                      \
    return TRUE;                                           \
  }
KAPSIM_CONTEXT_FIELD(Command, command)
KAPSIM_CONTEXT_FIELD(ReturnCode, returnCode)
#undef KAPSIM_CONTEXT_FIELD

static Bool SimCtxGetNamedCommand(void* ctx, char* name, int size) {
  KAPSIM_ENTER(CtxGetNamedCommand, FALSE);
  std::shared_ptr<Context> c = State().FindContext(ctx);
  if (!c) return FALSE;
  std::lock_guard<std::mutex> guard(c->lock);
  return CopyName(c->namedCommand, name, size) ? TRUE : FALSE;
}
static Bool SimCtxSetNamedCommand(void* ctx, const char* name) {
  KAPSIM_ENTER(CtxSetNamedCommand, FALSE);
  if (name == nullptr) return FALSE;
  std::shared_ptr<Context> c = State().FindContext(ctx);
  if (!c) return FALSE;
  std::lock_guard<std::mutex> guard(c->lock);
  c->namedCommand = name;
  return TRUE;
}

// Parameters and return values are two lists with the same five entry points each.
#define KAPSIM_CONTEXT_LIST(Name, list, isReturn)                                              \
  static int SimCtxGet##Name##Count(void* ctx) {                                               \
    KAPSIM_ENTER(CtxGet##Name##Count, 0);                                                      \
    std::shared_ptr<Context> c = State().FindContext(ctx);                                     \
    if (!c) return 0;                                                                          \
    std::lock_guard<std::mutex> guard(c->lock);                                                \
    return static_cast<int>(c->list.size());                                                   \
  }                                                                                            \
  static Bool SimCtxAppend##Name(void* ctx, const KAP_RPC_VARIANT* v) {                        \
    KAPSIM_ENTER(CtxAppend##Name, FALSE);                                                      \
    return Append(ctx, nullptr, v, isReturn);                                                  \
  }                                                                                            \
  static Bool SimCtxGet##Name(void* ctx, int index, KAP_RPC_VARIANT* v) {                      \
    KAPSIM_ENTER(CtxGet##Name, FALSE);                                                         \
    return Read(ctx, index, nullptr, 0, false, v, isReturn);                                   \
  }                                                                                            \
  static Bool SimCtxAppendNamed##Name(void* ctx, const char* name, const KAP_RPC_VARIANT* v) { \
    KAPSIM_ENTER(CtxAppendNamed##Name, FALSE);                                                 \
    if (name == nullptr) return FALSE;                                                         \
    return Append(ctx, name, v, isReturn);                                                     \
  }                                                                                            \
  static Bool SimCtxGetNamed##Name(void* ctx, int index, char* name, int size,                 \
                                   KAP_RPC_VARIANT* v) {                                       \
    KAPSIM_ENTER(CtxGetNamed##Name, FALSE);                                                    \
    return Read(ctx, index, name, size, true, v, isReturn);                                    \
  }
KAPSIM_CONTEXT_LIST(Param, params, false)
KAPSIM_CONTEXT_LIST(ReturnVal, returnValues, true)
#undef KAPSIM_CONTEXT_LIST

static Bool SimCtxSetOps(void* ctx, KAPRPC_ChannelContextOps op, const KAP_RPC_VARIANT* v) {
  KAPSIM_ENTER(CtxSetOps, FALSE);
  uint64_t value = 0;
  if (v == nullptr || !IntegerOf(v, &value)) return FALSE;
  if (op != KAP_RPC_CHANNEL_CONTEXT_OPT_POST &&
      op != KAP_RPC_CHANNEL_CONTEXT_OPT_BEGIN_ASYNC_RESULT &&
      op != KAP_RPC_CHANNEL_CONTEXT_OPT_END_ASYNC_RESULT) {
    return FALSE;
  }
  std::shared_ptr<Context> c = State().FindContext(ctx);
  if (!c) return FALSE;
  std::lock_guard<std::mutex> guard(c->lock);
  if (op == KAP_RPC_CHANNEL_CONTEXT_OPT_POST) c->post = value != 0;
  return TRUE;
}

// ---- Variant ----

static Bool SimVarInit(KAP_RPC_VARIANT* v) {
  KAPSIM_ENTER(VarInit, FALSE);
  if (v == nullptr) return FALSE;
  std::memset(v, 0, sizeof(*v));
  return TRUE;
}
static Bool SimVarCopy(KAP_RPC_VARIANT* dst, const KAP_RPC_VARIANT* src) {
  KAPSIM_ENTER(VarCopy, FALSE);
  if (dst == nullptr) return FALSE;
  StoredPtr value = VariantStore::Store(src, nullptr);
  if (!value) return FALSE;
  ReleaseHeld(dst, false);  // what dst held is replaced; a foreign pointer is left alone
  return VariantStore::Get().HandOut(*value, dst) ? TRUE : FALSE;
}
static Bool SimVarClear(KAP_RPC_VARIANT* v) {
  KAPSIM_ENTER(VarClear, FALSE);
  if (v == nullptr) return FALSE;
  if (!ReleaseHeld(v, true)) return FALSE;
  std::memset(v, 0, sizeof(*v));
  return TRUE;
}

#define KAPSIM_VARIANT_FROM(fnId, type, vtCode, member)   \
  static Bool Sim##fnId(KAP_RPC_VARIANT* v, type value) { \
    KAPSIM_ENTER(fnId, FALSE);                            \
    if (v == nullptr) return FALSE;                       \
    std::memset(v, 0, sizeof(*v));                        \
    v->vt = vtCode;                                       \
    v->member = value;                                    \
    return TRUE;                                          \
  }
KAPSIM_VARIANT_FROM(VarFromChar, char, KAP_RPC_VT_I1, cVal)
KAPSIM_VARIANT_FROM(VarFromShort, int16_t, KAP_RPC_VT_I2, iVal)
KAPSIM_VARIANT_FROM(VarFromUShort, uint16_t, KAP_RPC_VT_UI2, uiVal)
KAPSIM_VARIANT_FROM(VarFromInt32, int32_t, KAP_RPC_VT_I4, lVal)
KAPSIM_VARIANT_FROM(VarFromUInt32, uint32_t, KAP_RPC_VT_UI4, ulVal)
KAPSIM_VARIANT_FROM(VarFromInt64, int64_t, KAP_RPC_VT_I8, llVal)
KAPSIM_VARIANT_FROM(VarFromUInt64, uint64_t, KAP_RPC_VT_UI8, ullVal)
KAPSIM_VARIANT_FROM(VarFromFloat, float, KAP_RPC_VT_R4, fVal)
KAPSIM_VARIANT_FROM(VarFromDouble, double, KAP_RPC_VT_R8, dVal)
#undef KAPSIM_VARIANT_FROM

static Bool SimVarFromStr(KAP_RPC_VARIANT* v, const char* value) {
  KAPSIM_ENTER(VarFromStr, FALSE);
  if (v == nullptr || value == nullptr) return FALSE;
  StoredValue s;
  s.scalar.vt = KAP_RPC_VT_LPSTR;
  s.str = value;
  return VariantStore::Get().HandOut(s, v) ? TRUE : FALSE;
}
static Bool SimVarFromBlob(KAP_RPC_VARIANT* v, const KAP_RPC_BLOB* value) {
  KAPSIM_ENTER(VarFromBlob, FALSE);
  if (v == nullptr || value == nullptr || (value->size > 0 && value->blobData == nullptr)) {
    return FALSE;
  }
  // One copy straight into the hand-out: blobs may be tens of megabytes.
  char* p = nullptr;
  if (value->size > 0) {
    p = VariantStore::Get().Allocate(value->size);
    if (p == nullptr) return FALSE;
    std::memcpy(p, value->blobData, value->size);
  }
  std::memset(v, 0, sizeof(*v));
  v->vt = KAP_RPC_VT_BLOB;
  v->blobVal.size = value->size;
  v->blobVal.blobData = p;
  return TRUE;
}

// ---- Server ----

static Bool SimSvRegisterSink(void* userData, const KAPService_ServerNotifySink* sink,
                              KapMultiServerID multiServer, KapServerNotifySinkID* sinkId) {
  KAPSIM_ENTER(SvRegisterSink, FALSE);
  return State().RegisterServerSink(userData, sink, multiServer, sinkId) ? TRUE : FALSE;
}
static Bool SimSvUnregisterSink(KapServerNotifySinkID sinkId) {
  KAPSIM_ENTER(SvUnregisterSink, FALSE);
  return State().UnregisterServerSink(sinkId) ? TRUE : FALSE;
}
static Bool SimSvStartServer(void*, KapServerID server) {
  KAPSIM_ENTER(SvStartServer, FALSE);
  return State().IsServerKnown(server) ? TRUE : FALSE;  // every server starts as it connects
}
static Bool SimSvStopServer(KapServerID server) {
  KAPSIM_ENTER(SvStopServer, FALSE);
  return State().StopServer(server, false) ? TRUE : FALSE;
}
static Bool SimSvStopAllServers(KapServerID server) {
  KAPSIM_ENTER(SvStopAllServers, FALSE);
  return State().StopServer(server, true) ? TRUE : FALSE;
}
static void* SimSvGetChannel(KapServerID server) {
  KAPSIM_ENTER(SvGetChannel, nullptr);
  return State().ServerChannel(server);
}
static int SimSvGetIdSize(KapServerID server) {
  KAPSIM_ENTER(SvGetIdSize, 0);
  std::string id;
  return State().UniqueId(server, &id) ? static_cast<int>(id.size() + 1) : 0;
}
static Bool SimSvGetId(KapServerID server, int size, char* out) {
  KAPSIM_ENTER(SvGetId, FALSE);
  std::string id;
  if (out == nullptr || !State().UniqueId(server, &id) || size < static_cast<int>(id.size() + 1)) {
    return FALSE;
  }
  std::memcpy(out, id.c_str(), id.size() + 1);
  return TRUE;
}
static Bool SimSvIsIdOwner(KapServerID server, const char* candidate) {
  KAPSIM_ENTER(SvIsIdOwner, FALSE);
  std::string id;
  return candidate != nullptr && State().UniqueId(server, &id) && id == candidate ? TRUE : FALSE;
}
static Bool SimSvOpenMsgChannel(void* userData, KapServerID server, const char* name,
                                KAPService_MsgChannelNotifySink* sink) {
  KAPSIM_ENTER(SvOpenMsgChannel, FALSE);
  return State().OpenMsgChannel(userData, server, name, sink) ? TRUE : FALSE;
}
static Bool SimSvGetMsgChannelInfo(KapServerID server, KapMsgGroupID id,
                                   KAPService_MsgChannelInfo* info) {
  KAPSIM_ENTER(SvGetMsgChannelInfo, FALSE);
  return State().MsgChannelInfo(server, id, info) ? TRUE : FALSE;
}
static Bool SimSvCloseMsgChannel(KapMsgChannelID channel) {
  KAPSIM_ENTER(SvCloseMsgChannel, FALSE);
  return State().CloseMsgChannel(channel) ? TRUE : FALSE;
}
static Bool SimSvSendMsgToGroup(KapMsgChannelID channel, KapMsgGroupID group, void* msg, int len) {
  KAPSIM_ENTER(SvSendMsgToGroup, FALSE);
  return State().SendMsgToGroup(channel, group, msg, len) ? TRUE : FALSE;
}

// ---- Stream data: offered, not simulated ----

#define KAPSIM_STREAM_STUB(fnId) \
  static Bool Sim##fnId(void) {  \
    KAPSIM_ENTER(fnId, FALSE);   \
    return FALSE;                \
  }
KAPSIM_STREAM_STUB(SdGetHeaderTailSize)
KAPSIM_STREAM_STUB(SdGetHeaderTail)
KAPSIM_STREAM_STUB(SdGetMinimalSize)
KAPSIM_STREAM_STUB(SdGetSize)
KAPSIM_STREAM_STUB(SdGetInfo)
KAPSIM_STREAM_STUB(SdGetData)
KAPSIM_STREAM_STUB(SdFreePayload)
KAPSIM_STREAM_STUB(SdGetInfo2)
#undef KAPSIM_STREAM_STUB

}  // extern "C"

namespace {

template <typename F>
F Pick(Fn fn, F f) {
  return FunctionRegistry::Get().IsAbsent(fn) ? nullptr : f;
}
#define KAPSIM_SET(group, member, fnId) t->group.member = Pick(Fn::fnId, &Sim##fnId)

void FillChannel(KAPService_ChannelInterface* t, uint32_t version) {
  t->version = version;
  KAPSIM_SET(v1, ThreadInitialize, ChThreadInitialize);
  KAPSIM_SET(v1, ThreadUninitialize, ChThreadUninitialize);
  KAPSIM_SET(v1, Poll, ChPoll);
  KAPSIM_SET(v1, RegisterChannelNotifySink, ChRegisterSink);
  KAPSIM_SET(v1, UnregisterChannelNotifySink, ChUnregisterSink);
  KAPSIM_SET(v1, Connect, ChConnect);
  KAPSIM_SET(v1, Disconnect, ChDisconnect);
  KAPSIM_SET(v1, GetConnectionState, ChGetConnectionState);
  KAPSIM_SET(v1, GetChannelState, ChGetChannelState);
  if (version < 2) return;
  KAPSIM_SET(v2, SwitchToStreamDataMode, ChSwitchToStreamData);
  KAPSIM_SET(v2, GetSessionType, ChGetSessionType);
  if (version < 3) return;
  KAPSIM_SET(v3, Poll, ChPoll3);
  if (version < 4) return;
  KAPSIM_SET(v4, ThreadInitialize, ChThreadInitialize4);
  KAPSIM_SET(v4, GetChannelLocalJobDispatcher, ChGetJobDispatcher);
}

void FillChannelObject(KAPRPC_ChannelObjectInterface* t, uint32_t version) {
  t->version = version;
  KAPSIM_SET(v1, CreateChannelObject, ObjCreate);
  KAPSIM_SET(v1, DestroyChannelObject, ObjDestroy);
  KAPSIM_SET(v1, GetObjectState, ObjGetState);
  KAPSIM_SET(v1, GetObjectName, ObjGetName);
  KAPSIM_SET(v1, CreateContext, ObjCreateContext);
  KAPSIM_SET(v1, DestroyContext, ObjDestroyContext);
  KAPSIM_SET(v1, Invoke, ObjInvoke);
  if (version < 2) return;
  KAPSIM_SET(v2, IsSideChannelAvailable, ObjIsSideChannelAvailable);
  KAPSIM_SET(v2, RequestSideChannel, ObjRequestSideChannel);
  if (version < 3) return;
  KAPSIM_SET(v3, GetObjectOptions, ObjGetOptions);
  KAPSIM_SET(v3, CreateContext, ObjCreateContext3);
  if (version < 4) return;
  KAPSIM_SET(v4, GetObjectStateByName, ObjGetStateByName);
}

void FillContext(KAPRPC_ChannelContextInterface* t, uint32_t version) {
  t->version = version;
  KAPSIM_SET(v1, GetId, CtxGetId);
  KAPSIM_SET(v1, GetCommand, CtxGetCommand);
  KAPSIM_SET(v1, SetCommand, CtxSetCommand);
  KAPSIM_SET(v1, GetNamedCommand, CtxGetNamedCommand);
  KAPSIM_SET(v1, SetNamedCommand, CtxSetNamedCommand);
  KAPSIM_SET(v1, GetParamCount, CtxGetParamCount);
  KAPSIM_SET(v1, AppendParam, CtxAppendParam);
  KAPSIM_SET(v1, GetParam, CtxGetParam);
  KAPSIM_SET(v1, AppendNamedParam, CtxAppendNamedParam);
  KAPSIM_SET(v1, GetNamedParam, CtxGetNamedParam);
  KAPSIM_SET(v1, GetReturnCode, CtxGetReturnCode);
  KAPSIM_SET(v1, SetReturnCode, CtxSetReturnCode);
  KAPSIM_SET(v1, GetReturnValCount, CtxGetReturnValCount);
  KAPSIM_SET(v1, AppendReturnVal, CtxAppendReturnVal);
  KAPSIM_SET(v1, GetReturnVal, CtxGetReturnVal);
  KAPSIM_SET(v1, AppendNamedReturnVal, CtxAppendNamedReturnVal);
  KAPSIM_SET(v1, GetNamedReturnVal, CtxGetNamedReturnVal);
  if (version < 2) return;
  KAPSIM_SET(v2, SetOps, CtxSetOps);
}

void FillVariant(KAPRPC_VariantInterface* t, uint32_t version) {
  t->version = version;
  KAPSIM_SET(v1, VariantInit, VarInit);
  KAPSIM_SET(v1, VariantCopy, VarCopy);
  KAPSIM_SET(v1, VariantClear, VarClear);
  KAPSIM_SET(v1, VariantFromChar, VarFromChar);
  KAPSIM_SET(v1, VariantFromShort, VarFromShort);
  KAPSIM_SET(v1, VariantFromUShort, VarFromUShort);
  KAPSIM_SET(v1, VariantFromInt32, VarFromInt32);
  KAPSIM_SET(v1, VariantFromUInt32, VarFromUInt32);
  KAPSIM_SET(v1, VariantFromInt64, VarFromInt64);
  KAPSIM_SET(v1, VariantFromUInt64, VarFromUInt64);
  KAPSIM_SET(v1, VariantFromFloat, VarFromFloat);
  KAPSIM_SET(v1, VariantFromDouble, VarFromDouble);
  KAPSIM_SET(v1, VariantFromStr, VarFromStr);
  KAPSIM_SET(v1, VariantFromBlob, VarFromBlob);
}

void FillStreamData(KAPRPC_StreamDataInterface* t, uint32_t version) {
  t->version = version;
  KAPSIM_SET(v1, GetStreamDataHeaderTailSize, SdGetHeaderTailSize);
  KAPSIM_SET(v1, GetStreamDataHeaderTail, SdGetHeaderTail);
  KAPSIM_SET(v1, GetMinimalStreamDataSize, SdGetMinimalSize);
  KAPSIM_SET(v1, GetStreamDataSize, SdGetSize);
  KAPSIM_SET(v1, GetStreamDataInfo, SdGetInfo);
  if (version < 2) return;
  KAPSIM_SET(v2, GetStreamData, SdGetData);
  KAPSIM_SET(v2, FreeStreamDataPayload, SdFreePayload);
  KAPSIM_SET(v2, GetStreamDataInfo, SdGetInfo2);
}
void FillServer(KAPService_ServerInterface* t, uint32_t version) {
  t->version = version;
  KAPSIM_SET(v1, RegisterServerNotifySink, SvRegisterSink);
  KAPSIM_SET(v1, UnregisterServerNotifySink, SvUnregisterSink);
  KAPSIM_SET(v1, StartServer, SvStartServer);
  KAPSIM_SET(v1, StopServer, SvStopServer);
  KAPSIM_SET(v1, StopAllServers, SvStopAllServers);
  KAPSIM_SET(v1, GetChannel, SvGetChannel);
  KAPSIM_SET(v1, GetUniqueSerializedIdSize, SvGetIdSize);
  KAPSIM_SET(v1, GetUniqueSerializedId, SvGetId);
  KAPSIM_SET(v1, IsUniqueSerializedIdOwner, SvIsIdOwner);
  KAPSIM_SET(v1, OpenMsgChannel, SvOpenMsgChannel);
  KAPSIM_SET(v1, GetMsgChannelInfo, SvGetMsgChannelInfo);
  KAPSIM_SET(v1, CloseMsgChannel, SvCloseMsgChannel);
  KAPSIM_SET(v1, SendMsgToGroup, SvSendMsgToGroup);
}
#undef KAPSIM_SET

struct Offer {
  uint8_t xx;  // the byte that tells the identifiers apart
  kapsim::Table table;
  uint32_t version;
};
const Offer kOffers[] = {
    {0x00, kapsim::Table::Variant, 1},    {0x02, kapsim::Table::ChannelObject, 1},
    {0x03, kapsim::Table::Context, 1},    {0x05, kapsim::Table::OverlayClient, 1},
    {0x06, kapsim::Table::Channel, 1},    {0x07, kapsim::Table::OverlayClient, 2},
    {0x08, kapsim::Table::Context, 2},    {0x0A, kapsim::Table::ChannelObject, 2},
    {0x0B, kapsim::Table::Channel, 3},    {0x0C, kapsim::Table::StreamData, 1},
    {0x0E, kapsim::Table::StreamData, 2}, {0x0F, kapsim::Table::ChannelObject, 3},
    {0x10, kapsim::Table::Channel, 2},    {0x12, kapsim::Table::ChannelObject, 4},
};

}  // namespace

extern "C" {

static Bool SimQueryInterface(const GUID* iid, void* table) {
  KAPSIM_ENTER(QueryInterface, FALSE);
  if (iid == nullptr || table == nullptr) return FALSE;
  if (std::memcmp(iid, &GUID_KAPService_ServerInterface_V1, sizeof(GUID)) == 0) {
    if (FunctionRegistry::Get().MaxVersion(kapsim::Table::Server) < 1) return FALSE;
    FillServer(static_cast<KAPService_ServerInterface*>(table), 1);
    return TRUE;
  }
  GUID base = GUID_KAPRPC_VariantInterface_V1;
  base.Data2 = iid->Data2 & 0x00FF;
  if (std::memcmp(&base, iid, sizeof(GUID)) != 0) return FALSE;
  for (const Offer& o : kOffers) {
    if (o.xx != (iid->Data2 & 0xFF)) continue;
    if (o.version > FunctionRegistry::Get().MaxVersion(o.table)) return FALSE;
    switch (o.table) {
      case kapsim::Table::Channel:
        FillChannel(static_cast<KAPService_ChannelInterface*>(table), o.version);
        return TRUE;
      case kapsim::Table::ChannelObject:
        FillChannelObject(static_cast<KAPRPC_ChannelObjectInterface*>(table), o.version);
        return TRUE;
      case kapsim::Table::Context:
        FillContext(static_cast<KAPRPC_ChannelContextInterface*>(table), o.version);
        return TRUE;
      case kapsim::Table::Variant:
        FillVariant(static_cast<KAPRPC_VariantInterface*>(table), o.version);
        return TRUE;
      case kapsim::Table::StreamData:
        FillStreamData(static_cast<KAPRPC_StreamDataInterface*>(table), o.version);
        return TRUE;
      default:
        return FALSE;
    }
  }
  return FALSE;
}

}  // extern "C"

namespace kapsim {

KAP_SERVICE_QUERY_INTERFACE MakeQueryRecord() {
  KAP_SERVICE_QUERY_INTERFACE qi{};
  qi.Version = 1;
  qi.QueryInterface = &SimQueryInterface;
  return qi;
}

}  // namespace kapsim
