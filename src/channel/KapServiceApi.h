/*
 * The binary contract with the channel-service library (libkapservice.so).
 *
 * The framework loads the library with dlopen, resolves the seven entry points by name, and
 * obtains every other function through the versioned tables that KAP_SERVICE_QUERY_INTERFACE
 * fills. In the other direction it hands the library notification sinks. A table or sink is
 * a uint32 `version` followed by groups of function pointers `v1`, `v2`, ...; a table filled
 * for version N has groups v1 to vN, later groups are left as the caller zeroed them, so a
 * newer group must be checked for null before use. Layouts are fixed for x86-64 (little
 * endian, natural alignment) and checked below. Compiles as C99 and as C++.
 *
 * Ownership across this interface:
 *  - Message contexts made with CreateContext belong to the caller until DestroyContext.
 *    Contexts handed to OnInvoke and OnDone belong to the library and live only during the
 *    callback; return values are appended to the OnInvoke context before it returns.
 *  - A KAP_RPC_VARIANT filled by the library (VariantFrom..., VariantCopy, GetParam,
 *    GetReturnVal and their named forms) owns its string or blob until VariantClear.
 *    AppendParam and AppendReturnVal copy the variant; the caller still clears its own.
 *  - Sinks and request callbacks are copied by the library when handed over; `userData` is
 *    passed back unchanged and never dereferenced by the library.
 */
#ifndef KAP_SERVICE_API_H
#define KAP_SERVICE_API_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#if defined(__cplusplus)
#define KAPSERVICE_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define KAPSERVICE_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#else
#define KAPSERVICE_STATIC_ASSERT_CAT2(a, b) a##b
#define KAPSERVICE_STATIC_ASSERT_CAT(a, b) KAPSERVICE_STATIC_ASSERT_CAT2(a, b)
#define KAPSERVICE_STATIC_ASSERT(cond, msg) \
  typedef char KAPSERVICE_STATIC_ASSERT_CAT(kapservice_static_assert_, __LINE__)[(cond) ? 1 : -1]
#endif

/* One byte, TRUE exactly on success. Not the host interface's 32-bit BOOL. */
typedef uint8_t Bool;

/* Opaque handles of the library. */
typedef void* KapServerID;
typedef void* KapMultiServerID;
typedef void* KapServerNotifySinkID;
typedef void* KapMsgChannelID;
typedef void* KapMsgGroupID;

typedef struct GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
} GUID;

/* All interface identifiers are {A500A600-00XX-81E2-88C1-29A7D3A93A62}; only XX differs. */
#define KAPSERVICE_DEFINE_IID(name, xx)     \
  static const GUID name = {0xA500A600u,    \
                            (uint16_t)(xx), \
                            0x81E2u,        \
                            {0x88u, 0xC1u, 0x29u, 0xA7u, 0xD3u, 0xA9u, 0x3Au, 0x62u}}
KAPSERVICE_DEFINE_IID(GUID_KAPRPC_VariantInterface_V1, 0x00);
KAPSERVICE_DEFINE_IID(GUID_KAPRPC_ChannelObjectInterface_V1, 0x02);
KAPSERVICE_DEFINE_IID(GUID_KAPRPC_ChannelContextInterface_V1, 0x03);
KAPSERVICE_DEFINE_IID(GUID_KAPOverlay_ClientInterface_V1, 0x05);
KAPSERVICE_DEFINE_IID(GUID_KAPService_ChannelInterface_V1, 0x06);
KAPSERVICE_DEFINE_IID(GUID_KAPOverlay_ClientInterface_V2, 0x07);
KAPSERVICE_DEFINE_IID(GUID_KAPRPC_ChannelContextInterface_V2, 0x08);
KAPSERVICE_DEFINE_IID(GUID_KAPRPC_ChannelObjectInterface_V2, 0x0A);
KAPSERVICE_DEFINE_IID(GUID_KAPService_ChannelInterface_V3, 0x0B);
KAPSERVICE_DEFINE_IID(GUID_KAPRPC_StreamDataInterface_V1, 0x0C);
KAPSERVICE_DEFINE_IID(GUID_KAPRPC_StreamDataInterface_V2, 0x0E);
KAPSERVICE_DEFINE_IID(GUID_KAPRPC_ChannelObjectInterface_V3, 0x0F);
KAPSERVICE_DEFINE_IID(GUID_KAPService_ChannelInterface_V2, 0x10);
KAPSERVICE_DEFINE_IID(GUID_KAPRPC_ChannelObjectInterface_V4, 0x12);

/* ---- States, session types, object options ---------------------------------------- */

typedef enum KAPService_ConnectionState {
  KAP_SERVICE_CONN_UNINITIALIZED = -1,
  KAP_SERVICE_CONN_DISCONNECTED = 0,
  KAP_SERVICE_CONN_PENDING = 1,
  KAP_SERVICE_CONN_CONNECTED = 2
} KAPService_ConnectionState;

typedef enum KAPService_ChannelState {
  KAP_SERVICE_CHAN_UNINITIALIZED = -1,
  KAP_SERVICE_CHAN_DISCONNECTED = 0,
  KAP_SERVICE_CHAN_PENDING = 1,
  KAP_SERVICE_CHAN_CONNECTED = 2
} KAPService_ChannelState;

typedef enum KAPService_SessionType {
  KAP_SERVICE_NONE_SESSION = -1,
  KAP_SERVICE_TALON_SESSION = 0,
  KAP_SERVICE_QUILL_SESSION = 1
} KAPService_SessionType;

typedef enum KAPRPC_ObjectState {
  KAP_RPC_OBJ_UNINITIALIZED = -1,
  KAP_RPC_OBJ_DISCONNECTED = 0,
  KAP_RPC_OBJ_PENDING = 1,
  KAP_RPC_OBJ_CONNECTED = 2,
  KAP_RPC_OBJ_SIDE_CHANNEL_PENDING = 3,
  KAP_RPC_OBJ_SIDE_CHANNEL_CONNECTED = 4,
  KAP_RPC_OBJ_PENDING_AND_PEER_OBJ_CREATED = 5
} KAPRPC_ObjectState;

/* Bits, used both as creation flags and as the options an object reports. */
typedef enum KAPRPC_ObjectConfigurationFlags {
  KAP_RPC_OBJ_CONFIG_DEFAULT = 0,
  KAP_RPC_OBJ_CONFIG_INVOKE_ALLOW_ANY_THREAD = 1,
  KAP_RPC_OBJ_SUPPORT_COMPRESSION = 4,
  KAP_RPC_OBJ_SUPPORT_ENCRYPTION = 8,
  KAP_RPC_OBJ_CONFIG_NO_TCPSIDECHANNEL = 16,
  KAP_RPC_OBJ_CONFIG_NO_VCHANSIDECHANNEL = 32,
  KAP_RPC_OBJ_PREFER_RIVETSIDECHANNEL = 64
} KAPRPC_ObjectConfigurationFlags;

typedef enum KAPRPC_SideChannelType {
  KAP_RPC_SIDE_CHANNEL_TYPE_TALON = 1, /* the virtual side channel */
  KAP_RPC_SIDE_CHANNEL_TYPE_TCP = 2,
  KAP_RPC_SIDE_CHANNEL_TYPE_RIVET = 3
} KAPRPC_SideChannelType;

/* ---- Variants and message-context operations ---------------------------------------- */

/* The values of KAP_RPC_VARIANT.vt: the same numbers as the OLE variant types. */
enum _KAP_RPC_VARENUM {
  KAP_RPC_VT_EMPTY = 0,
  KAP_RPC_VT_NULL = 1,
  KAP_RPC_VT_I2 = 2,
  KAP_RPC_VT_I4 = 3,
  KAP_RPC_VT_R4 = 4,
  KAP_RPC_VT_R8 = 5,
  KAP_RPC_VT_I1 = 16,
  KAP_RPC_VT_UI1 = 17,
  KAP_RPC_VT_UI2 = 18,
  KAP_RPC_VT_UI4 = 19,
  KAP_RPC_VT_I8 = 20,
  KAP_RPC_VT_UI8 = 21,
  KAP_RPC_VT_LPSTR = 30,
  KAP_RPC_VT_BLOB = 65
};
typedef uint16_t KAP_RPC_VARTYPE;

/* The bytes belong to whoever filled the blob. */
typedef struct KAP_RPC_BLOB {
  uint32_t size;
  char* blobData;
} KAP_RPC_BLOB;

/* The union is anonymous (a C11 feature that C99 compilers accept as an extension). */
typedef struct KAP_RPC_VARIANT {
  KAP_RPC_VARTYPE vt;
  uint16_t wReserved1;
  uint16_t wReserved2;
  uint16_t wReserved3;
  union {
    int16_t iVal;
    uint16_t uiVal;
    int32_t lVal;
    uint32_t ulVal;
    int64_t llVal;
    uint64_t ullVal;
    char cVal;
    float fVal;
    double dVal;
    char* strVal;
    KAP_RPC_BLOB blobVal;
  };
} KAP_RPC_VARIANT;

typedef enum KAPRPC_ChannelContextOps {
  KAP_RPC_CHANNEL_CONTEXT_OPT_POST = 1,
  KAP_RPC_CHANNEL_CONTEXT_OPT_BEGIN_ASYNC_RESULT = 2,
  KAP_RPC_CHANNEL_CONTEXT_OPT_END_ASYNC_RESULT = 3
} KAPRPC_ChannelContextOps;

/* ---- Query record and entry points -------------------------------------------------- */

typedef struct KAP_SERVICE_QUERY_INTERFACE {
  uint32_t Version;
  /* Fills `table` for the version named by iid; FALSE when that version is not offered. */
  Bool (*QueryInterface)(const GUID* iid, void* table);
} KAP_SERVICE_QUERY_INTERFACE;

/* The names the framework resolves with dlsym. Each init present needs its exit. */
#define KAPSERVICE_SERVER_INIT_NAME "KAPService_ServerInit"
#define KAPSERVICE_SERVER_INIT_LP_NAME "KAPService_ServerInitLP"
#define KAPSERVICE_SERVER_EXIT_NAME "KAPService_ServerExit"
#define KAPSERVICE_SERVER_INIT2_NAME "KAPService_ServerInit2"
#define KAPSERVICE_SERVER_EXIT2_NAME "KAPService_ServerExit2"
#define KAPSERVICE_MULTI_SERVER_INIT_NAME "KAPService_MultiServerInit"
#define KAPSERVICE_MULTI_SERVER_EXIT_NAME "KAPService_MultiServerExit"

typedef Bool (*KAPService_ServerInit_Fn)(const char* tokenName, KAP_SERVICE_QUERY_INTERFACE* qi,
                                         void** channel);
/* `reserved` is null. */
typedef Bool (*KAPService_ServerInitLP_Fn)(const char* tokenName, void* reserved,
                                           KAP_SERVICE_QUERY_INTERFACE* qi, void** channel);
typedef Bool (*KAPService_ServerExit_Fn)(void);
typedef Bool (*KAPService_ServerInit2_Fn)(uint32_t sessionId, const char* tokenName,
                                          KAP_SERVICE_QUERY_INTERFACE* qi, void** channel);
typedef Bool (*KAPService_ServerExit2_Fn)(uint32_t sessionId);
/* `reserved` is "". */
typedef Bool (*KAPService_MultiServerInit_Fn)(uint32_t sessionId, const char* tokenName,
                                              const char* reserved, KAP_SERVICE_QUERY_INTERFACE* qi,
                                              KapMultiServerID* multiServerId);
/* `reserved` is null or the caller's own record. */
typedef Bool (*KAPService_MultiServerExit_Fn)(KapMultiServerID multiServerId, void* reserved);

/* ---- Notification sinks (version 1) -------------------------------------------------- */

typedef struct KAPService_ServerNotifySink {
  uint32_t version;
  struct {
    Bool (*OnServerConnected)(void* userData, KAPService_SessionType type, KapServerID server);
    Bool (*OnServerDisconnected)(void* userData, KapServerID server);
    Bool (*OnServerInstanceCreated)(void* userData, KapServerID server, void** instanceUserData);
    Bool (*OnServerInstanceDestroyed)(void* userData, void* instanceUserData, KapServerID server);
  } v1;
} KAPService_ServerNotifySink;

typedef struct KAPService_ChannelNotifySink {
  uint32_t version;
  struct {
    void (*OnConnectionStateChanged)(void* userData, KAPService_ConnectionState current,
                                     KAPService_ConnectionState transient, void* reserved);
    void (*OnChannelStateChanged)(void* userData, KAPService_ChannelState current,
                                  KAPService_ChannelState transient, void* reserved);
    void (*OnPeerObjectCreated)(void* userData, const char* name, void* reserved);
  } v1;
} KAPService_ChannelNotifySink;

typedef struct KAPRPC_ObjectNotifySink {
  uint32_t version;
  struct {
    void (*OnInvoke)(void* userData, void* context, void* reserved);
    void (*OnObjectStateChanged)(void* userData, void* reserved);
  } v1;
} KAPRPC_ObjectNotifySink;

/* Handed to Invoke; null entries (or a null pointer) ask for no completion. */
typedef struct KAPRPC_RequestCallback {
  uint32_t version;
  struct {
    void (*OnDone)(void* userData, uint32_t requestId, void* returnContext);
    void (*OnAbort)(void* userData, uint32_t requestId, Bool userCancelled, uint32_t reason);
  } v1;
} KAPRPC_RequestCallback;

/* ---- Message channels ---------------------------------------------------------------- */

typedef struct KAPService_MsgChannelNotifySink {
  uint32_t version;
  struct {
    Bool (*OnMsgChannelOpened)(void* userData, KapMsgChannelID channel);
    void (*OnMsgChannelMembershipChange)(void* userData, KapMsgChannelID channel,
                                         KapMsgGroupID group, Bool added);
    void (*OnMsgReceived)(void* userData, KapMsgGroupID group, KapMsgChannelID source, void* msg,
                          int msgLen);
  } v1;
} KAPService_MsgChannelNotifySink;

typedef struct KAPService_MsgChannelGroupNotifySink {
  uint32_t version;
  struct {
    Bool (*OnMsgChannelGroupCreated)(void* userData, KapMsgGroupID group);
  } v1;
} KAPService_MsgChannelGroupNotifySink;

typedef struct KAPService_MsgChannelInfo {
  uint32_t version;
  int32_t serverPid;
  char serverToken[256];    /* NUL-terminated */
  char msgChannelName[256]; /* NUL-terminated */
} KAPService_MsgChannelInfo;

/* ---- Interface tables --------------------------------------------------------------- */

/*
 * The library defines no identifier for this table and no init fills it. The framework asks
 * for it under an identifier of its own, outside the library's family above so that it can
 * never name another table, and only when it starts a multi-server session, after every
 * other table. A library that does not know the identifier answers FALSE and the table
 * stays zero-filled, which is exactly the behaviour without this query: multi-server
 * initialisation stops at "ServerInterface is needed for MultiServer mode.", and message
 * channels, unique server ids and StartServer/StopServer/StopAllServers refuse with their
 * log lines. Single-server mode never asks for it. The stand-in channel service answers it.
 * {3F5E7B21-5AC4-4D0B-9E61-535256494631}
 */
static const GUID GUID_KAPService_ServerInterface_V1 = {
    0x3F5E7B21u, 0x5AC4u, 0x4D0Bu, {0x9Eu, 0x61u, 0x53u, 0x52u, 0x56u, 0x49u, 0x46u, 0x31u}};

typedef struct KAPService_ServerInterface {
  uint32_t version;
  struct {
    Bool (*RegisterServerNotifySink)(void* userData, const KAPService_ServerNotifySink* sink,
                                     KapMultiServerID multiServer, KapServerNotifySinkID* sinkId);
    Bool (*UnregisterServerNotifySink)(KapServerNotifySinkID sinkId);
    Bool (*StartServer)(void* userData, KapServerID server);
    Bool (*StopServer)(KapServerID server);
    Bool (*StopAllServers)(KapServerID server);
    void* (*GetChannel)(KapServerID server);
    int (*GetUniqueSerializedIdSize)(KapServerID server);
    Bool (*GetUniqueSerializedId)(KapServerID server, int size, char* out);
    Bool (*IsUniqueSerializedIdOwner)(KapServerID server, const char* id);
    Bool (*OpenMsgChannel)(void* userData, KapServerID server, const char* name,
                           KAPService_MsgChannelNotifySink* sink);
    Bool (*GetMsgChannelInfo)(KapServerID server, KapMsgGroupID group,
                              KAPService_MsgChannelInfo* info);
    Bool (*CloseMsgChannel)(KapMsgChannelID channel);
    Bool (*CreateMsgChannelGroup)(void* userData, KapServerID server,
                                  KAPService_MsgChannelGroupNotifySink* sink,
                                  KapMsgChannelID* channels, uint32_t count);
    Bool (*SendMsgToGroup)(KapMsgChannelID channel, KapMsgGroupID group, void* msg, int len);
    Bool (*DestroyMsgChannelGroup)(KapMsgGroupID group);
  } v1;
} KAPService_ServerInterface;

/*
 * The channel functions take no channel handle: they act on the channel of the calling
 * thread (the thread that initialised the server, or one bound with ThreadInitialize).
 */
typedef struct KAPService_ChannelInterface {
  uint32_t version;
  struct {
    Bool (*ThreadInitialize)(void* channel, uint32_t flags);
    Bool (*ThreadUninitialize)(void);
    void (*Poll)(void);
    Bool (*RegisterChannelNotifySink)(const KAPService_ChannelNotifySink* sink, void* userData,
                                      uint32_t* sinkId);
    Bool (*UnregisterChannelNotifySink)(uint32_t sinkId);
    Bool (*Connect)(void);
    Bool (*Disconnect)(void);
    KAPService_ConnectionState (*GetConnectionState)(void);
    KAPService_ChannelState (*GetChannelState)(void);
  } v1;
  struct {
    Bool (*SwitchToStreamDataMode)(const char* name, void* channel, int* fd);
    KAPService_SessionType (*GetSessionType)(void);
  } v2;
  struct {
    /* Dispatches, waiting up to msTimeout for something to dispatch. */
    void (*Poll)(int msTimeout);
  } v3;
  struct {
    uint32_t (*ThreadInitialize)(void* channel, uint32_t flags); /* job dispatcher, 0 on failure */
    uint32_t (*GetChannelLocalJobDispatcher)(void* channel);
  } v4;
} KAPService_ChannelInterface;

typedef struct KAPRPC_ChannelObjectInterface {
  uint32_t version;
  struct {
    Bool (*CreateChannelObject)(const char* name, const KAPRPC_ObjectNotifySink* sink,
                                void* userData, uint32_t flags, void** object);
    Bool (*DestroyChannelObject)(void* object);
    KAPRPC_ObjectState (*GetObjectState)(void* object);
    /* *size: in, the buffer's size; out, the name's size with its terminator. */
    Bool (*GetObjectName)(void* object, char* name, uint32_t* size);
    Bool (*CreateContext)(void* object, void** context);
    Bool (*DestroyContext)(void* context);
    Bool (*Invoke)(void* object, void* context, const KAPRPC_RequestCallback* callback,
                   void* userData);
  } v1;
  struct {
    Bool (*IsSideChannelAvailable)(KAPRPC_SideChannelType type);
    Bool (*RequestSideChannel)(void* object, KAPRPC_SideChannelType type, const char* token);
  } v2;
  struct {
    Bool (*GetObjectOptions)(void* object, uint32_t* options);
    Bool (*CreateContext)(void* object, uint32_t options, void** context);
  } v3;
  struct {
    KAPRPC_ObjectState (*GetObjectStateByName)(const char* name);
  } v4;
} KAPRPC_ChannelObjectInterface;

typedef struct KAPRPC_ChannelContextInterface {
  uint32_t version;
  struct {
    uint32_t (*GetId)(void* ctx);
    uint32_t (*GetCommand)(void* ctx);
    Bool (*SetCommand)(void* ctx, uint32_t command);
    Bool (*GetNamedCommand)(void* ctx, char* name, int size);
    Bool (*SetNamedCommand)(void* ctx, const char* name);
    int (*GetParamCount)(void* ctx);
    Bool (*AppendParam)(void* ctx, const KAP_RPC_VARIANT* value);
    Bool (*GetParam)(void* ctx, int index, KAP_RPC_VARIANT* value);
    Bool (*AppendNamedParam)(void* ctx, const char* name, const KAP_RPC_VARIANT* value);
    Bool (*GetNamedParam)(void* ctx, int index, char* name, int nameSize, KAP_RPC_VARIANT* value);
    uint32_t (*GetReturnCode)(void* ctx);
    Bool (*SetReturnCode)(void* ctx, uint32_t code);
    int (*GetReturnValCount)(void* ctx);
    Bool (*AppendReturnVal)(void* ctx, const KAP_RPC_VARIANT* value);
    Bool (*GetReturnVal)(void* ctx, int index, KAP_RPC_VARIANT* value);
    Bool (*AppendNamedReturnVal)(void* ctx, const char* name, const KAP_RPC_VARIANT* value);
    Bool (*GetNamedReturnVal)(void* ctx, int index, char* name, int nameSize,
                              KAP_RPC_VARIANT* value);
  } v1;
  struct {
    Bool (*SetOps)(void* ctx, KAPRPC_ChannelContextOps op, const KAP_RPC_VARIANT* value);
  } v2;
} KAPRPC_ChannelContextInterface;

typedef struct KAPRPC_VariantInterface {
  uint32_t version;
  struct {
    Bool (*VariantInit)(KAP_RPC_VARIANT* v);
    Bool (*VariantCopy)(KAP_RPC_VARIANT* dst, const KAP_RPC_VARIANT* src);
    Bool (*VariantClear)(KAP_RPC_VARIANT* v);
    Bool (*VariantFromChar)(KAP_RPC_VARIANT* v, char value);
    Bool (*VariantFromShort)(KAP_RPC_VARIANT* v, int16_t value);
    Bool (*VariantFromUShort)(KAP_RPC_VARIANT* v, uint16_t value);
    Bool (*VariantFromInt32)(KAP_RPC_VARIANT* v, int32_t value);
    Bool (*VariantFromUInt32)(KAP_RPC_VARIANT* v, uint32_t value);
    Bool (*VariantFromInt64)(KAP_RPC_VARIANT* v, int64_t value);
    Bool (*VariantFromUInt64)(KAP_RPC_VARIANT* v, uint64_t value);
    Bool (*VariantFromFloat)(KAP_RPC_VARIANT* v, float value);
    Bool (*VariantFromDouble)(KAP_RPC_VARIANT* v, double value);
    Bool (*VariantFromStr)(KAP_RPC_VARIANT* v, const char* value);
    Bool (*VariantFromBlob)(KAP_RPC_VARIANT* v, const KAP_RPC_BLOB* value);
  } v1;
} KAPRPC_VariantInterface;

/*
 * The framework only queries this table and never calls it, so its arguments are not part
 * of the contract here; the slots keep their order.
 */
typedef Bool (*KAPRPC_StreamDataFn)(void);
typedef struct KAPRPC_StreamDataInterface {
  uint32_t version;
  struct {
    KAPRPC_StreamDataFn GetStreamDataHeaderTailSize;
    KAPRPC_StreamDataFn GetStreamDataHeaderTail;
    KAPRPC_StreamDataFn GetMinimalStreamDataSize;
    KAPRPC_StreamDataFn GetStreamDataSize;
    KAPRPC_StreamDataFn GetStreamDataInfo;
  } v1;
  struct {
    KAPRPC_StreamDataFn GetStreamData;
    KAPRPC_StreamDataFn FreeStreamDataPayload;
    KAPRPC_StreamDataFn GetStreamDataInfo;
  } v2;
} KAPRPC_StreamDataInterface;

/* Held but never called by this system: only their size matters, with room to grow. */
typedef struct KAPOverlayClient_Interface {
  uint32_t version;
  void (*slots[32])(void);
} KAPOverlayClient_Interface;
typedef struct KAPOverlayGuest_Interface {
  uint32_t version;
  void (*slots[32])(void);
} KAPOverlayGuest_Interface;

/* ---- Layout checks (x86-64) ---------------------------------------------------------- */

KAPSERVICE_STATIC_ASSERT(sizeof(Bool) == 1, "Bool is one byte");
KAPSERVICE_STATIC_ASSERT(sizeof(GUID) == 16, "GUID is 16 bytes");
KAPSERVICE_STATIC_ASSERT(offsetof(GUID, Data4) == 8, "GUID.Data4 at 8");
KAPSERVICE_STATIC_ASSERT(sizeof(KAPService_ConnectionState) == 4, "enumerations are 32 bits");
KAPSERVICE_STATIC_ASSERT(sizeof(KAPRPC_ObjectState) == 4, "enumerations are 32 bits");
KAPSERVICE_STATIC_ASSERT(sizeof(KAPService_SessionType) == 4, "enumerations are 32 bits");
KAPSERVICE_STATIC_ASSERT(sizeof(KAP_RPC_BLOB) == 16, "blob is 16 bytes");
KAPSERVICE_STATIC_ASSERT(offsetof(KAP_RPC_BLOB, blobData) == 8, "blobData at 8");
KAPSERVICE_STATIC_ASSERT(sizeof(KAP_RPC_VARIANT) == 24, "variant is 24 bytes");
KAPSERVICE_STATIC_ASSERT(offsetof(KAP_RPC_VARIANT, vt) == 0, "vt at 0");
KAPSERVICE_STATIC_ASSERT(offsetof(KAP_RPC_VARIANT, ullVal) == 8, "union at 8");
KAPSERVICE_STATIC_ASSERT(offsetof(KAP_RPC_VARIANT, blobVal.blobData) == 16,
                         "blobVal.blobData at 16");
KAPSERVICE_STATIC_ASSERT(sizeof(KAP_SERVICE_QUERY_INTERFACE) == 16, "query record is 16 bytes");
KAPSERVICE_STATIC_ASSERT(offsetof(KAP_SERVICE_QUERY_INTERFACE, QueryInterface) == 8,
                         "QueryInterface at 8");
KAPSERVICE_STATIC_ASSERT(sizeof(KAPService_MsgChannelInfo) == 520, "message channel info");
KAPSERVICE_STATIC_ASSERT(offsetof(KAPService_MsgChannelInfo, serverToken) == 8, "token at 8");
KAPSERVICE_STATIC_ASSERT(offsetof(KAPService_MsgChannelInfo, msgChannelName) == 264, "name at 264");
/* Sinks: version, padding, then the callbacks from offset 8. */
KAPSERVICE_STATIC_ASSERT(sizeof(KAPService_ServerNotifySink) == 8 + 4 * 8, "server sink");
KAPSERVICE_STATIC_ASSERT(sizeof(KAPService_ChannelNotifySink) == 8 + 3 * 8, "channel sink");
KAPSERVICE_STATIC_ASSERT(sizeof(KAPRPC_ObjectNotifySink) == 8 + 2 * 8, "object sink");
KAPSERVICE_STATIC_ASSERT(sizeof(KAPRPC_RequestCallback) == 8 + 2 * 8, "request callback");
KAPSERVICE_STATIC_ASSERT(sizeof(KAPService_MsgChannelNotifySink) == 8 + 3 * 8, "msg sink");
KAPSERVICE_STATIC_ASSERT(offsetof(KAPRPC_ObjectNotifySink, v1.OnObjectStateChanged) == 16,
                         "OnObjectStateChanged at 16");
/* Tables: version, then 8 bytes per function in the order declared. */
KAPSERVICE_STATIC_ASSERT(sizeof(KAPService_ServerInterface) == 8 + 15 * 8, "server table");
KAPSERVICE_STATIC_ASSERT(offsetof(KAPService_ServerInterface, v1.DestroyMsgChannelGroup) ==
                             8 + 14 * 8,
                         "server table order");
KAPSERVICE_STATIC_ASSERT(sizeof(KAPService_ChannelInterface) == 8 + 14 * 8, "channel table");
KAPSERVICE_STATIC_ASSERT(offsetof(KAPService_ChannelInterface, v1.Poll) == 24, "v1.Poll");
KAPSERVICE_STATIC_ASSERT(offsetof(KAPService_ChannelInterface, v2.GetSessionType) == 88,
                         "v2.GetSessionType");
KAPSERVICE_STATIC_ASSERT(offsetof(KAPService_ChannelInterface, v3.Poll) == 96, "v3.Poll");
KAPSERVICE_STATIC_ASSERT(offsetof(KAPService_ChannelInterface, v4.ThreadInitialize) == 104,
                         "v4.ThreadInitialize");
KAPSERVICE_STATIC_ASSERT(sizeof(KAPRPC_ChannelObjectInterface) == 8 + 12 * 8, "object table");
KAPSERVICE_STATIC_ASSERT(offsetof(KAPRPC_ChannelObjectInterface, v1.Invoke) == 56, "v1.Invoke");
KAPSERVICE_STATIC_ASSERT(offsetof(KAPRPC_ChannelObjectInterface, v2.RequestSideChannel) == 72,
                         "v2.RequestSideChannel");
KAPSERVICE_STATIC_ASSERT(offsetof(KAPRPC_ChannelObjectInterface, v3.CreateContext) == 88,
                         "v3.CreateContext");
KAPSERVICE_STATIC_ASSERT(offsetof(KAPRPC_ChannelObjectInterface, v4.GetObjectStateByName) == 96,
                         "v4.GetObjectStateByName");
KAPSERVICE_STATIC_ASSERT(sizeof(KAPRPC_ChannelContextInterface) == 8 + 18 * 8, "context table");
KAPSERVICE_STATIC_ASSERT(offsetof(KAPRPC_ChannelContextInterface, v1.AppendParam) == 56,
                         "v1.AppendParam");
KAPSERVICE_STATIC_ASSERT(offsetof(KAPRPC_ChannelContextInterface, v2.SetOps) == 144, "v2.SetOps");
KAPSERVICE_STATIC_ASSERT(sizeof(KAPRPC_VariantInterface) == 8 + 14 * 8, "variant table");
KAPSERVICE_STATIC_ASSERT(offsetof(KAPRPC_VariantInterface, v1.VariantClear) == 24,
                         "v1.VariantClear");
KAPSERVICE_STATIC_ASSERT(offsetof(KAPRPC_VariantInterface, v1.VariantFromBlob) == 112,
                         "v1.VariantFromBlob");
KAPSERVICE_STATIC_ASSERT(sizeof(KAPRPC_StreamDataInterface) == 8 + 8 * 8, "stream-data table");

#ifdef __cplusplus
}
#endif

#endif /* KAP_SERVICE_API_H */
