/*
 * Control API of the stand-in channel-service library (libkapservice.so built from
 * tools/kapservice-sim). Tests, the demo and benchmarks play the remote clients through it,
 * switch faults on the library's functions and read counters that prove nothing leaks.
 *
 * The library side follows channel/KapServiceApi.h. What this stand-in does where the
 * interface leaves room:
 *  - Servers are keyed by session id; KAPService_ServerInit and ServerInitLP serve
 *    KAPSIM_OWN_SESSION. One server (or one multi-server session) per session at a time. A
 *    server's channel is bound to the thread that initialised it; the channel table's
 *    functions act on the calling thread's channel, or on the only channel when the thread
 *    has none bound and exactly one exists (otherwise they fail and count an unbound call).
 *  - A multi-server session (KAPService_MultiServerInit) gets one server per client that
 *    connects to it, once a server sink is registered; each server has its own channel and
 *    KapServerID. The thread that initialised the session polls for all its servers; inside
 *    a server's callbacks the channel table acts on that server's channel. A client's arrival
 *    is reported as OnServerConnected and OnServerInstanceCreated (the connection is already
 *    CONNECTED when the instance registers its channel sink); its departure, or StopServer,
 *    as the usual drop followed by OnServerDisconnected and OnServerInstanceDestroyed, after
 *    which the server is gone.
 *  - The server interface table is offered under GUID_KAPService_ServerInterface_V1 (the
 *    framework's own identifier). Message channels belong to a server; peers are played
 *    through KapSim_SendToMsgChannel and named by GetMsgChannelInfo with the process id and
 *    token the test gave. CreateMsgChannelGroup and DestroyMsgChannelGroup are not provided.
 *  - SwitchToStreamDataMode hands out one end of a socket pair for a connected channel;
 *    KapSim_GetStreamDataPeer gives the other.
 *  - Notifications (connection, channel and object states, incoming requests, completions)
 *    are queued and delivered only inside v1.Poll / v3.Poll, on the thread that polls, one
 *    at a time. An object or channel state changes when its notification is delivered; the
 *    connection state changes at once when a client connects or disconnects.
 *  - Message functions (CreateContext, DestroyContext, Invoke, the context and variant
 *    tables) are safe from any thread at the same time.
 *  - The stream-data table is offered with functions that answer FALSE.
 *  - When an object goes away (destroyed, disconnected by either side, server ended), every
 *    message sent on it with completion wanted and not finished gets OnAbort(FALSE,
 *    KAPSIM_ABORT_REASON_DISCONNECTED), delivered in a later poll of the channel.
 *  - A client keeps the messages it received and the replies to its requests until the caller
 *    releases them (KapSim_ReleaseMessages, KapSim_ReleaseRequest) or destroys the client, so
 *    a long-running caller releases what it has read to keep memory flat.
 * State lives as long as the library stays loaded. Every function here is thread safe.
 */
#ifndef KAP_SERVICE_SIM_H
#define KAP_SERVICE_SIM_H

#include "channel/KapServiceApi.h"

#ifdef __cplusplus
extern "C" {
#endif

#define KAPSIM_API __attribute__((visibility("default")))

/* The session key of servers started with KAPService_ServerInit or ServerInitLP. */
#define KAPSIM_OWN_SESSION 0xFFFFFFFFu
#define KAPSIM_ABORT_REASON_DISCONNECTED 1u

typedef struct KapSimClient KapSimClient; /* opaque; never dereference */

/* Client options, or-ed. */
enum {
  KAPSIM_CLIENT_DEFAULT = 0,
  /* Objects report options that allow side channels and accept a requested one
     (SIDE_CHANNEL_PENDING, then SIDE_CHANNEL_CONNECTED). Without it objects report
     NO_TCPSIDECHANNEL | NO_VCHANSIDECHANNEL and a requested side channel fails. */
  KAPSIM_CLIENT_SIDE_CHANNELS = 1,
  /* A requested side channel fails: SIDE_CHANNEL_PENDING, then CONNECTED again. */
  KAPSIM_CLIENT_REFUSE_SIDE_CHANNEL = 2,
  /* The connection is rejected: after the server's Connect the channel reports
     DISCONNECTED (never CONNECTED), then the connection DISCONNECTED. */
  KAPSIM_CLIENT_REJECT = 4,
  /* Objects stay PENDING after the server creates them, until KapSim_ConnectObject. */
  KAPSIM_CLIENT_MANUAL_OBJECTS = 8
};

/* Connects a client to the server of sessionId: the connection is CONNECTED at once and
   reported in the next poll; the channel becomes CONNECTED after the server's Connect; each
   object CONNECTED after the server creates it. Null when no server runs for the session
   or a client is already connected to it. For a multi-server session each client gets a new
   server (null until a server sink is registered). */
KAPSIM_API KapSimClient* KapSim_ConnectClient(uint32_t sessionId, uint32_t options,
                                              KAPService_SessionType sessionType);
/* The client goes away: objects, channel and connection report DISCONNECTED (in that
   order). FALSE when it was not connected. */
KAPSIM_API Bool KapSim_DisconnectClient(KapSimClient* client);
/* Frees the client's records (disconnecting it first); its borrowed pointers die here. */
KAPSIM_API void KapSim_DestroyClient(KapSimClient* client);
KAPSIM_API Bool KapSim_IsClientConnected(KapSimClient* client);
/* The server a client of a multi-server session is served by; null for any other client. */
KAPSIM_API KapServerID KapSim_GetClientServer(KapSimClient* client);
/* A process (pid, token) writes msg to the open message channel named channelName of the
   client's server; delivered in a later poll. Each (pid, token) is one peer of the channel,
   with its own KapMsgChannelID. FALSE when no such channel is open. */
KAPSIM_API Bool KapSim_SendToMsgChannel(KapSimClient* client, const char* channelName, int32_t pid,
                                        const char* token, const void* msg, int msgLen);
/* The library's end of the client's stream-data socket pair; -1 before the switch. */
KAPSIM_API int KapSim_GetStreamDataPeer(KapSimClient* client);
/* Makes a PENDING object CONNECTED, or a connected one DISCONNECTED (the peer dropped it). */
KAPSIM_API Bool KapSim_ConnectObject(KapSimClient* client, const char* objectName);
KAPSIM_API Bool KapSim_DisconnectObject(KapSimClient* client, const char* objectName);
/* Reports any state of an object to the server, in the next poll (for states a client's
   behaviour never produces on its own, such as SIDE_CHANNEL_CONNECTED without a request). */
KAPSIM_API Bool KapSim_SetObjectState(KapSimClient* client, const char* objectName,
                                      KAPRPC_ObjectState state);

/* States as the server's side has last been told; UNINITIALIZED when there is none. */
KAPSIM_API KAPService_ChannelState KapSim_GetChannelState(KapSimClient* client);
KAPSIM_API KAPRPC_ObjectState KapSim_GetObjectState(KapSimClient* client, const char* name);
/* Wait until the state is reached; FALSE on time-out. */
KAPSIM_API Bool KapSim_WaitChannelState(KapSimClient* client, KAPService_ChannelState state,
                                        uint32_t msTimeout);
KAPSIM_API Bool KapSim_WaitObjectState(KapSimClient* client, const char* name,
                                       KAPRPC_ObjectState state, uint32_t msTimeout);
/* The flags the server created the object with; FALSE when there is no such object. */
KAPSIM_API Bool KapSim_GetObjectFlags(KapSimClient* client, const char* name, uint32_t* flags);

/* The last side channel the server requested on an object (type and token); FALSE when it
   requested none. The token is copied, cut to tokenSize - 1 characters. */
KAPSIM_API Bool KapSim_GetSideChannelRequest(KapSimClient* client, const char* name,
                                             KAPRPC_SideChannelType* type, char* token,
                                             int tokenSize);

/* One parameter or return value given by a test; name null for an unnamed one. The value
   is copied by the call. */
typedef struct KapSimParam {
  const char* name;
  KAP_RPC_VARIANT value;
} KapSimParam;

typedef enum KapSimRequestState {
  KAPSIM_REQUEST_UNKNOWN = -1,
  KAPSIM_REQUEST_PENDING = 0,  /* queued, the server has not polled it yet */
  KAPSIM_REQUEST_ANSWERED = 1, /* the server's OnInvoke returned; the reply is readable */
  KAPSIM_REQUEST_DROPPED = 2   /* the object or its OnInvoke was gone at delivery */
} KapSimRequestState;

/* Sends a request to the server on a connected object (any command id, any parameters).
   The server's OnInvoke gets it in a poll; what it appended is kept as the reply until
   KapSim_ReleaseRequest. With a null requestId nothing is kept: the request is sent and
   forgotten. */
KAPSIM_API Bool KapSim_SendRequest(KapSimClient* client, const char* objectName, uint32_t command,
                                   const KapSimParam* params, int count, uint32_t* requestId);
KAPSIM_API KapSimRequestState KapSim_WaitRequest(KapSimClient* client, uint32_t requestId,
                                                 uint32_t msTimeout);
KAPSIM_API Bool KapSim_GetReply(KapSimClient* client, uint32_t requestId, uint32_t* returnCode,
                                int* returnValueCount);
/* Borrowed pointers, valid until KapSim_ReleaseRequest or KapSim_DestroyClient; *name is ""
   for an unnamed value. */
KAPSIM_API Bool KapSim_GetReplyValue(KapSimClient* client, uint32_t requestId, int index,
                                     const char** name, const KAP_RPC_VARIANT** value);
/* Forgets a request and its reply (answered, dropped or still pending); FALSE when unknown. */
KAPSIM_API Bool KapSim_ReleaseRequest(KapSimClient* client, uint32_t requestId);

/* One message the server invoked towards this client, in invoke order; indices count every
   message the client received (0, 1, 2, ...). Pointers borrowed until the message is
   released or the client destroyed. */
typedef struct KapSimMessage {
  const char* objectName;
  uint32_t requestId; /* the context's GetId */
  uint32_t command;
  const char* namedCommand; /* "" when none was set */
  int paramCount;
  Bool postMode;           /* SetOps(POST) with a non-zero value */
  Bool completionWanted;   /* a request callback with OnDone or OnAbort was given */
  Bool finished;           /* completed or aborted */
  uint32_t contextOptions; /* the options of a v3 CreateContext, else 0 */
} KapSimMessage;

KAPSIM_API int KapSim_GetMessageCount(KapSimClient* client);
KAPSIM_API Bool KapSim_WaitMessageCount(KapSimClient* client, int count, uint32_t msTimeout);
KAPSIM_API Bool KapSim_GetMessage(KapSimClient* client, int index, KapSimMessage* out);
KAPSIM_API Bool KapSim_GetMessageParam(KapSimClient* client, int index, int param,
                                       const char** name, const KAP_RPC_VARIANT** value);
/* Finishes a message sent with completion wanted: OnDone with a context holding the return
   code and values, or OnAbort; delivered in a later poll. FALSE when not wanted or done. */
KAPSIM_API Bool KapSim_CompleteMessage(KapSimClient* client, int index, uint32_t returnCode,
                                       const KapSimParam* values, int count);
KAPSIM_API Bool KapSim_AbortMessage(KapSimClient* client, int index, Bool userCancelled,
                                    uint32_t reason);
/* The caller has read every message with an index below count: they are freed and no longer
   readable (GetMessage and GetMessageParam answer FALSE), while indices, GetMessageCount and
   WaitMessageCount go on counting every message received. A released message that still
   awaits its completion stays until it is completed or aborted (by its index, or by the
   object going away). FALSE for an unknown client. */
KAPSIM_API Bool KapSim_ReleaseMessages(KapSimClient* client, int count);

/* ---- Faults and versions ---- */

typedef enum KapSimFault {
  KAPSIM_FAULT_NONE = 0,
  /* Answers FALSE (0 for counts and ids, UNINITIALIZED or NONE for states); a failing
     Poll dispatches nothing, v3.Poll still waits its time-out. */
  KAPSIM_FAULT_FAIL = 1,
  KAPSIM_FAULT_ABSENT = 2 /* left null in tables filled from now on (table functions only) */
} KapSimFault;

/* function: an entry point's name, "QueryInterface", or "<Table>.v<N>.<Function>" with
   Table one of Channel, ChannelObject, Context, Variant, StreamData, Server (for example
   "Channel.v3.Poll", "ChannelObject.v3.CreateContext", "Variant.v1.VariantFromBlob").
   FALSE for an unknown name, or ABSENT on an entry point (use a build variant instead:
   kapservice_noexit, kapservice_noexit2, kapservice_nomultiexit each lack one exit). */
KAPSIM_API Bool KapSim_SetFault(const char* function, KapSimFault fault);
/* The function succeeds on its next `passes` calls and fails (as KAPSIM_FAULT_FAIL) on every
   later one, until KapSim_SetFault or KapSim_ResetFaults changes it: reaches the second of
   two appends, say. FALSE for an unknown name. */
KAPSIM_API Bool KapSim_SetFaultAfter(const char* function, uint32_t passes);
/* Highest version the query offers for a table (Channel 3, ChannelObject 4, Context 2,
   Variant 1, StreamData 2, Server 1 by default; 0 offers none; OverlayClient is never
   offered). */
KAPSIM_API Bool KapSim_SetMaxVersion(const char* table, uint32_t version);
KAPSIM_API void KapSim_OfferVersion1Only(void);
/* Clears faults, restores versions and zeroes call counts; live state is untouched. */
KAPSIM_API void KapSim_ResetFaults(void);

/* ---- Counters ---- */

/* Calls of a function named as for KapSim_SetFault, failed or not; 0 for unknown names. */
KAPSIM_API uint64_t KapSim_GetCallCount(const char* function);

typedef struct KapSimCounters {
  int64_t servers;       /* running servers of all kinds, multi-server sessions included */
  int64_t channelSinks;  /* registered channel sinks */
  int64_t objects;       /* live channel objects */
  int64_t contexts;      /* live message contexts, the caller's and the library's */
  int64_t variants;      /* strings and blobs the library handed out, not yet cleared */
  int64_t clients;       /* simulated clients not destroyed */
  uint64_t badHandles;   /* calls with an unknown object, context, channel or sink id */
  uint64_t badClears;    /* VariantClear of a string or blob the library did not hand out */
  uint64_t unboundCalls; /* channel-table calls from a thread with no channel */
  int64_t serverSinks;   /* registered server sinks */
  int64_t msgChannels;   /* message channels opened and not closed */
} KapSimCounters;
KAPSIM_API void KapSim_GetCounters(KapSimCounters* out);
KAPSIM_API Bool KapSim_IsServerRunning(uint32_t sessionId);

#ifdef __cplusplus
}
#endif

#endif /* KAP_SERVICE_SIM_H */
