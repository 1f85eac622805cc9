/*
 * The smallest host of the installed plug-in, written as a host author would: C, the
 * installed usbRedirectionPlugin.h only, the plug-in loaded with dlopen from the path given
 * as the first argument (or USBREDIR_DEFAULT_PLUGIN, which the CMake package supplies).
 * It plays one session against the stand-in channel service named by KAPSERVICE_PATH:
 * Init, InitVhubCallback, Register and Poll on a thread, a client connects (the host must
 * see CONNECTED), asks "IsUsbAvailable" (the host must see it and its answer must reach
 * the client), disconnects; Stop, Unregister, Fini. Exits 0 when every step held.
 * Built and run by scripts/install-test.sh.
 */
#include <dlfcn.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>
#include <usbRedirectionPlugin.h>

#include "KapServiceSim.h" /* the stand-in's control API: plays the remote client */

#define SESSION 7u
#define WAIT_MS 10000

#define PLUGIN_FUNCTIONS(X)               \
  X(UsbRedirectionPlugin_Init)            \
  X(UsbRedirectionPlugin_Fini)            \
  X(UsbRedirectionProxy_InitVhubCallback) \
  X(UsbRedirectionProxy_Register)         \
  X(UsbRedirectionProxy_Unregister)       \
  X(UsbRedirectionProxy_Poll)             \
  X(UsbRedirectionProxy_Stop)             \
  X(UsbRedirectionProxy_SendResponse)
#define SIM_FUNCTIONS(X)     \
  X(KapSim_ConnectClient)    \
  X(KapSim_DisconnectClient) \
  X(KapSim_DestroyClient)    \
  X(KapSim_SendRequest)      \
  X(KapSim_WaitRequest)      \
  X(KapSim_GetReply)         \
  X(KapSim_GetReplyValue)

/* All eight entry points are resolved, as a host does, though SendResponse is not used. */
#define DECLARE(name) static __typeof__(&name) p_##name;
PLUGIN_FUNCTIONS(DECLARE)
SIM_FUNCTIONS(DECLARE)

/* What the callbacks saw, under g_lock. */
static pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t g_changed = PTHREAD_COND_INITIALIZER;
static int g_registerDone;
static int g_registerOk; /* written before g_registerDone counts */
static int g_connected;
static int g_disconnected;
static int g_requests; /* "IsUsbAvailable" requests seen */
static char* g_answer; /* the reply buffer lent to the plug-in, until it hands it back */
static int g_badFrees;

static void Fail(const char* what) {
  fprintf(stderr, "install host: FAILED: %s\n", what);
  fflush(stdout);
  _exit(1); /* the poll thread may still run inside the plug-in */
}

static void* Resolve(void* library, const char* name) {
  void* function = dlsym(library, name);
  if (function == NULL) {
    Fail(name);
  }
  return function;
}

/* Waits until *counter reaches atLeast; 0 on time-out. */
static int WaitFor(const int* counter, int atLeast) {
  struct timespec deadline;
  int reached;
  clock_gettime(CLOCK_REALTIME, &deadline);
  deadline.tv_sec += WAIT_MS / 1000;
  pthread_mutex_lock(&g_lock);
  while (*counter < atLeast && pthread_cond_timedwait(&g_changed, &g_lock, &deadline) == 0) {
  }
  reached = *counter >= atLeast;
  pthread_mutex_unlock(&g_lock);
  return reached;
}

static void Count(int* counter) {
  pthread_mutex_lock(&g_lock);
  ++*counter;
  pthread_cond_broadcast(&g_changed);
  pthread_mutex_unlock(&g_lock);
}

static void OnChannelStateChange(DWORD sessionId, USB_RedirChannelState state) {
  if (sessionId == SESSION) {
    printf("host: session %u %s\n", sessionId,
           state == USB_REDIR_CHANNEL_CONNECTED ? "CONNECTED" : "DISCONNECTED");
    Count(state == USB_REDIR_CHANNEL_CONNECTED ? &g_connected : &g_disconnected);
  }
}

static void OnMessageArrive(DWORD sessionId, char* msg, uint32_t msgLength,
                            USB_RedirPackageType type, USB_OperationType opType, char** respMsg,
                            uint32_t* respMsgLength) {
  printf("host: session %u message of %u bytes, package type %d, operation %d\n", sessionId,
         msgLength, (int)type, (int)opType);
  (void)msg;
  if (opType != USB_OPERATION_TYPE_RUSB_ISUSBAVAILABLE || respMsg == NULL ||
      respMsgLength == NULL) {
    return;
  }
  pthread_mutex_lock(&g_lock);
  if (g_answer == NULL && (g_answer = malloc(3)) != NULL) {
    memcpy(g_answer, "yes", 3);
    *respMsg = g_answer;
    *respMsgLength = 3;
  }
  pthread_mutex_unlock(&g_lock);
  Count(&g_requests);
}

static void KapvhubFree(char* buffer, uint32_t length) {
  pthread_mutex_lock(&g_lock);
  if (buffer != NULL && buffer == g_answer && length == 3) {
    free(g_answer);
    g_answer = NULL;
  } else {
    ++g_badFrees;
  }
  pthread_mutex_unlock(&g_lock);
}

static void* PollThread(void* unused) {
  /* Register and Poll on the same thread, as the calling order asks. */
  int ok = p_UsbRedirectionProxy_Register(SESSION) == TRUE;
  (void)unused;
  g_registerOk = ok;
  Count(&g_registerDone);
  if (ok) {
    p_UsbRedirectionProxy_Poll(SESSION, NULL);
  }
  return NULL;
}

/* The client asks "IsUsbAvailable" on the control object; the host's answer comes back as
   the second return value. */
static void AskIsUsbAvailable(KapSimClient* client) {
  KapSimParam params[3];
  uint32_t requestId = 0;
  uint32_t code = 0;
  int count = 0;
  const char* name = NULL;
  const KAP_RPC_VARIANT* value = NULL;
  memset(params, 0, sizeof(params));
  params[0].value.vt = KAP_RPC_VT_LPSTR;
  params[0].value.strVal = (char*)"IsUsbAvailable";
  params[1].value.vt = KAP_RPC_VT_LPSTR;
  params[1].value.strVal = (char*)"7-1";
  params[2].value.vt = KAP_RPC_VT_BLOB;
  params[2].value.blobVal.blobData = (char*)"";
  if (p_KapSim_SendRequest(client, "UsbRedirControlObj", 2, params, 3, &requestId) != TRUE ||
      p_KapSim_WaitRequest(client, requestId, WAIT_MS) != KAPSIM_REQUEST_ANSWERED) {
    Fail("IsUsbAvailable was not answered");
  }
  if (!WaitFor(&g_requests, 1)) {
    Fail("the host did not see IsUsbAvailable");
  }
  if (p_KapSim_GetReply(client, requestId, &code, &count) != TRUE || count != 2 ||
      p_KapSim_GetReplyValue(client, requestId, 1, &name, &value) != TRUE ||
      value->vt != KAP_RPC_VT_BLOB || value->blobVal.size != 3 ||
      memcmp(value->blobVal.blobData, "yes", 3) != 0) {
    Fail("the client did not get the host's answer");
  }
  printf("client: IsUsbAvailable answered \"yes\"\n");
}

int main(int argc, char** argv) {
  const char* pluginPath = argc > 1 ? argv[1] : NULL;
  const char* simPath = getenv("KAPSERVICE_PATH");
  void* plugin;
  void* sim;
  USBRedir_CallbackInterface table;
  pthread_t poller;
  KapSimClient* client;
#ifdef USBREDIR_DEFAULT_PLUGIN
  if (pluginPath == NULL) {
    pluginPath = USBREDIR_DEFAULT_PLUGIN;
  }
#endif
  if (pluginPath == NULL || simPath == NULL) {
    fprintf(stderr, "usage: KAPSERVICE_PATH=<stand-in> %s <plug-in>\n", argv[0]);
    return 2;
  }
  setvbuf(stdout, NULL, _IOLBF, 0);

  /* The stand-in first: the plug-in's own dlopen of the same path then shares it. */
  if ((sim = dlopen(simPath, RTLD_NOW | RTLD_LOCAL)) == NULL ||
      (plugin = dlopen(pluginPath, RTLD_NOW | RTLD_LOCAL)) == NULL) {
    Fail(dlerror());
  }
#define RESOLVE_PLUGIN(name) p_##name = (__typeof__(p_##name))Resolve(plugin, #name);
#define RESOLVE_SIM(name) p_##name = (__typeof__(p_##name))Resolve(sim, #name);
  PLUGIN_FUNCTIONS(RESOLVE_PLUGIN)
  SIM_FUNCTIONS(RESOLVE_SIM)
  printf("host: loaded %s\n", pluginPath);

  p_UsbRedirectionPlugin_Init();
  memset(&table, 0, sizeof(table));
  table.version = 3;
  table.v1.OnChannelStateChange = OnChannelStateChange;
  table.v1.OnMessageArrive = OnMessageArrive;
  table.v3.kapvhubFree = KapvhubFree;
  if (p_UsbRedirectionProxy_InitVhubCallback(&table) != TRUE) {
    Fail("InitVhubCallback");
  }
  if (pthread_create(&poller, NULL, PollThread, NULL) != 0 || !WaitFor(&g_registerDone, 1) ||
      !g_registerOk) {
    Fail("Register");
  }
  printf("host: session %u registered and polled\n", SESSION);

  client = p_KapSim_ConnectClient(SESSION, KAPSIM_CLIENT_DEFAULT, KAP_SERVICE_TALON_SESSION);
  if (client == NULL || !WaitFor(&g_connected, 1)) {
    Fail("the host was not told CONNECTED");
  }
  AskIsUsbAvailable(client);
  if (p_KapSim_DisconnectClient(client) != TRUE || !WaitFor(&g_disconnected, 1)) {
    Fail("the host was not told DISCONNECTED");
  }
  p_KapSim_DestroyClient(client);

  p_UsbRedirectionProxy_Stop(SESSION);
  pthread_join(poller, NULL);
  p_UsbRedirectionProxy_Unregister(SESSION);
  p_UsbRedirectionPlugin_Fini();
  dlclose(plugin);
  dlclose(sim);

  if (g_badFrees != 0) {
    Fail("the plug-in handed back a buffer it was not lent");
  }
  if (g_answer != NULL) {
    printf("host: the plug-in kept the reply buffer; the host frees it\n");
    free(g_answer);
  }
  printf("host: stopped, unregistered, unloaded: OK\n");
  return 0;
}
