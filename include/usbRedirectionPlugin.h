/*
 * The binary contract between the USB redirection plug-in and the host that loads it.
 *
 * A host compiles against this header only: it loads libusbRedirectionPlugin.so, resolves
 * the eight functions below by name and hands the plug-in a USBRedir_CallbackInterface.
 * Layouts are fixed for x86-64 (little-endian, natural alignment) and checked below; a
 * versioned table only ever grows at its end. Compiles as C99 and as C++.
 *
 * Buffer ownership across this interface:
 *  - msg/msgLength given to an OnMessageArrive entry point belong to the plug-in and are
 *    valid only during the callback; the host copies what it keeps. msg is not
 *    NUL-terminated.
 *  - respMsg/respMsgLength are null for messages that take no response. Otherwise they
 *    point to a null pointer and a zero length; the host may store there a buffer it
 *    allocated and its length (a null buffer means no answer: the reply carries no return
 *    values). After the callback returns, on the same thread and before any other
 *    callback of that session, the plug-in copies the buffer into the reply. What happens
 *    to the buffer then depends on the mode the table was handed over in:
 *      Single-server mode (UsbRedirectionProxy_InitVhubCallback, the only registration
 *      exported): only the two v1 entries are copied; version, v2 and v3 of the plug-in's
 *      copy stay zero, so requests always reach v1.OnMessageArrive and v3.kapvhubFree is
 *      never called, even when the host's table has it. The plug-in only forgets the
 *      buffer and logs the error "Memory is not freed by kapvhub, memory leak!" once per
 *      answered request. The buffer stays the host's: it may free or reuse it from the
 *      session's next callback on (or once Poll has returned).
 *      Multi-server mode (the plug-in's internal registration): all 48 bytes of the table
 *      are copied; requests reach v2.OnMessageArrive when present (else v1). Each buffer
 *      is handed back exactly once through v3.kapvhubFree(buffer, length) with the pointer
 *      and length the host stored, also when the reply could not be built; without a
 *      v3.kapvhubFree entry it is only forgotten, with the same error line as above.
 *  - data/length/extData given to UsbRedirectionProxy_SendResponse are read during the
 *    call only; the caller keeps ownership.
 *  - The table given to UsbRedirectionProxy_InitVhubCallback is copied; the host may free
 *    it when the call returns.
 */
#ifndef USB_REDIRECTION_PLUGIN_H
#define USB_REDIRECTION_PLUGIN_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef uint32_t DWORD; /* a desktop session id or a mapped server id */
typedef int32_t BOOL;   /* 1 = TRUE, 0 = FALSE */

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

typedef enum USB_RedirChannelState {
  USB_REDIR_CHANNEL_CONNECTED = 1,
  USB_REDIR_CHANNEL_DISCONNECTED = 2
} USB_RedirChannelState;

typedef enum USB_RedirPackageType {
  USB_REDIR_PACKAGE_TYPE_PROPBAG = 1, /* property-bag text: device lists, control operations */
  USB_REDIR_PACKAGE_TYPE_URB = 2      /* USB request block stream: device I/O */
} USB_RedirPackageType;

/* The operation a property-bag message stands for; URB messages are always UNKNOWN. */
typedef enum USB_OperationType {
  USB_OPERATION_TYPE_UNKNOWN = 0,
  USB_OPERATION_TYPE_USB_DEVICE_UNPLUGGED = 1, /* "UnplugDevice" */
  USB_OPERATION_TYPE_USB_DEVICE_PLUGIN = 2,    /* "PlugInDevice" */
  USB_OPERATION_TYPE_RUSB_ISUSBAVAILABLE = 3,  /* "IsUsbAvailable" */
  USB_OPERATION_TYPE_RUSB_CLIENTSTARTUP = 4,   /* "ClientStartup" */
  USB_OPERATION_TYPE_RUSB_OXBISREADY = 5,      /* "OxbIsReady" */
  USB_OPERATION_TYPE_RUSB_FILTERDEVICE = 6,    /* "Filter" */
  USB_OPERATION_TYPE_RUSB_UNFILTERDEVICE = 7   /* "UnFilter" */
} USB_OperationType;

/* The host's callback table; an entry the host does not provide is null. */
typedef struct USBRedir_CallbackInterface {
  uint32_t version;
  struct {
    /* The USB channel of a session became ready or stopped. */
    void (*OnChannelStateChange)(DWORD sessionId, USB_RedirChannelState state);
    /* A message from the client; see the ownership notes above. */
    void (*OnMessageArrive)(DWORD sessionId, char* msg, uint32_t msgLength,
                            USB_RedirPackageType type, USB_OperationType opType,
                            char** respMsg, uint32_t* respMsgLength);
  } v1;
  struct {
    void (*OnKapServerStateChange)(DWORD sessionId, DWORD serverId,
                                   USB_RedirChannelState state);
    void (*OnMessageArrive)(DWORD sessionId, DWORD serverId, char* msg, uint32_t msgLength,
                            USB_RedirPackageType type, USB_OperationType opType,
                            char** respMsg, uint32_t* respMsgLength);
  } v2;
  struct {
    /* Gives back a response buffer the host allocated; called in multi-server mode only
       (single-server registration never copies it, see the ownership notes above). */
    void (*kapvhubFree)(char* buffer, uint32_t length);
  } v3;
} USBRedir_CallbackInterface;

/* Framing of a URB response for the client's fast queue. */
typedef struct USBRedir_SendResponseExt {
  uint32_t fastQueueId;
  uint64_t headerLength;
  uint64_t trailerLength;
} USBRedir_SendResponseExt;

#if defined(__cplusplus)
#define USBREDIR_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define USBREDIR_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#else
#define USBREDIR_STATIC_ASSERT_CAT2(a, b) a##b
#define USBREDIR_STATIC_ASSERT_CAT(a, b) USBREDIR_STATIC_ASSERT_CAT2(a, b)
#define USBREDIR_STATIC_ASSERT(cond, msg) \
  typedef char USBREDIR_STATIC_ASSERT_CAT(usbredir_static_assert_, __LINE__)[(cond) ? 1 : -1]
#endif

USBREDIR_STATIC_ASSERT(sizeof(DWORD) == 4, "DWORD is 32 bits");
USBREDIR_STATIC_ASSERT(sizeof(BOOL) == 4, "BOOL is 32 bits");
USBREDIR_STATIC_ASSERT(sizeof(USB_RedirChannelState) == 4, "enumerations are 32 bits");
USBREDIR_STATIC_ASSERT(sizeof(USB_RedirPackageType) == 4, "enumerations are 32 bits");
USBREDIR_STATIC_ASSERT(sizeof(USB_OperationType) == 4, "enumerations are 32 bits");
USBREDIR_STATIC_ASSERT(sizeof(USBRedir_CallbackInterface) == 48, "callback table is 48 bytes");
USBREDIR_STATIC_ASSERT(offsetof(USBRedir_CallbackInterface, version) == 0, "version at 0");
USBREDIR_STATIC_ASSERT(offsetof(USBRedir_CallbackInterface, v1.OnChannelStateChange) == 8,
                       "v1.OnChannelStateChange at 8");
USBREDIR_STATIC_ASSERT(offsetof(USBRedir_CallbackInterface, v1.OnMessageArrive) == 16,
                       "v1.OnMessageArrive at 16");
USBREDIR_STATIC_ASSERT(offsetof(USBRedir_CallbackInterface, v2.OnKapServerStateChange) == 24,
                       "v2.OnKapServerStateChange at 24");
USBREDIR_STATIC_ASSERT(offsetof(USBRedir_CallbackInterface, v2.OnMessageArrive) == 32,
                       "v2.OnMessageArrive at 32");
USBREDIR_STATIC_ASSERT(offsetof(USBRedir_CallbackInterface, v3.kapvhubFree) == 40,
                       "v3.kapvhubFree at 40");
USBREDIR_STATIC_ASSERT(sizeof(USBRedir_SendResponseExt) == 24, "response extension is 24 bytes");
USBREDIR_STATIC_ASSERT(offsetof(USBRedir_SendResponseExt, fastQueueId) == 0, "fastQueueId at 0");
USBREDIR_STATIC_ASSERT(offsetof(USBRedir_SendResponseExt, headerLength) == 8, "headerLength at 8");
USBREDIR_STATIC_ASSERT(offsetof(USBRedir_SendResponseExt, trailerLength) == 16,
                       "trailerLength at 16");

#define USBREDIR_EXPORT __attribute__((visibility("default")))

/*
 * Calling order expected of the host: Init once; InitVhubCallback once, before any session
 * is registered; per session Register, then Poll on the same thread (it returns after Stop
 * from another thread), then Unregister; SendResponse from any thread while the session is
 * registered; Fini once after every session is unregistered.
 */
USBREDIR_EXPORT void UsbRedirectionPlugin_Init(void);
USBREDIR_EXPORT void UsbRedirectionPlugin_Fini(void);
/* Copies v1.OnChannelStateChange and v1.OnMessageArrive of the host's table (nothing
   else; see the ownership notes above); pInterface must not be null. Always TRUE. */
USBREDIR_EXPORT BOOL UsbRedirectionProxy_InitVhubCallback(USBRedir_CallbackInterface* pInterface);
USBREDIR_EXPORT BOOL UsbRedirectionProxy_Register(DWORD sessionId);
USBREDIR_EXPORT void UsbRedirectionProxy_Unregister(DWORD sessionId);
/* Blocks until UsbRedirectionProxy_Stop(sessionId); threadData is not used. */
USBREDIR_EXPORT void UsbRedirectionProxy_Poll(DWORD sessionId, void* threadData);
USBREDIR_EXPORT void UsbRedirectionProxy_Stop(DWORD sessionId);
/* extData may be null; it frames URB responses for the client's fast queue. */
USBREDIR_EXPORT BOOL UsbRedirectionProxy_SendResponse(DWORD sessionId, char* data,
                                                      uint32_t length, USB_RedirPackageType type,
                                                      USBRedir_SendResponseExt* extData);

#ifdef __cplusplus
}
#endif

#endif /* USB_REDIRECTION_PLUGIN_H */
