// The multi-server proxy: the UsbRedirectionMultiServerProxy_* entry points, counterparts of
// the exported single-server functions for sessions served by several channel-service
// servers, over the table of registered sessions. They are internal: not exported, and
// nothing in the plug-in calls them.
// Calling order expected of a host: InitVhubCallback; per session Register, then Poll in a
// loop on the same thread for as long as the session is to be served (there is no Stop in
// this mode), SendResponse from any thread; Unregister once the last Poll has returned.
// Thread safety: gUsbRedirMultiServerSessionMutex guards the table and is held across the
// whole of Initialize, Unregister and SendResponse, calls into the channel service and the
// host's notices included (it is recursive), so the sends of all sessions are serialised.
// Poll holds it only to find its session, never while it dispatches.
#ifndef MULTISERVER_USBREDIRECTIONMULTISERVERPROXY_H
#define MULTISERVER_USBREDIRECTIONMULTISERVERPROXY_H

#include <cstddef>
#include <cstdint>
#include <map>

#include "multiserver/UsbRedirectionServerMultiServer.h"
#include "runtime/QrMutex.h"
#include "runtime/RCPtr.h"
#include "usbRedirectionPlugin.h"

// Handed to the channel service when a multi-server session ends: the library is asked to
// keep its privileged interface loaded.
struct KapserviceReservedParam {
  int32_t signature;  // 0xBABECAFE
  int32_t version;    // 1
  struct {
    bool bNotUnloadPrivApi;
  } v1;
};
static_assert(sizeof(KapserviceReservedParam) == 12, "KapserviceReservedParam is 12 bytes");
static_assert(offsetof(KapserviceReservedParam, v1.bNotUnloadPrivApi) == 8, "v1 at 8");

// The table's references keep the managers alive.
typedef std::map<DWORD, RCPtr<UsbRedirectionServerMultiServer>> UsbRedirMultiServrSessions;

extern UsbRedirMultiServrSessions gMultiServerSessions;  // guarded by the mutex below
extern QrMutex gUsbRedirMultiServerSessionMutex;

bool UsbRedirectionMultiServerProxy_SessionAlreadyExists(DWORD sessionId);
BOOL UsbRedirectionMultiServerProxy_Initialize(DWORD sessionId);

extern "C" {

// Copies the whole table (v1, v2 and v3): requests then reach v2.OnMessageArrive with the
// mapped id of their server, and reply buffers go back through v3.kapvhubFree. TRUE always.
BOOL UsbRedirectionMultiServerProxy_InitVhubCallback(USBRedir_CallbackInterface* pInterface);
// Starts the session's multi-server channel service on this thread, which must be the
// session's Poll thread; TRUE also when the session exists.
BOOL UsbRedirectionMultiServerProxy_Register(DWORD sessionId);
// Tells the host the session's channel is down, then ends the channel service.
void UsbRedirectionMultiServerProxy_Unregister(DWORD sessionId);
// One round of the session's main loop: dispatches the notifications of all its servers
// (client requests, servers coming and going) for about 100 ms on the calling thread, then
// returns, so that the host decides when to stop by no longer calling it. Only the thread
// that registered the session can dispatch; on any other thread the call returns at once.
// threadData is not used.
void UsbRedirectionMultiServerProxy_Poll(DWORD sessionId, void* threadData);
// Sends a host message to the client of the server whose mapped id is extData's
// fastQueueId; without extData it names no server. TRUE for every registered session.
BOOL UsbRedirectionMultiServerProxy_SendResponse(DWORD sessionId, char* data, uint32_t length,
                                                 USB_RedirPackageType type,
                                                 USBRedir_SendResponseExt* extData);

}  // extern "C"

#endif  // MULTISERVER_USBREDIRECTIONMULTISERVERPROXY_H
