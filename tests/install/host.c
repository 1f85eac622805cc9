/* The smallest host of the installed plug-in, as a host author writes it: C, the installed
   usbRedirectionPlugin.h only, the plug-in dlopened from the first argument (or from
   USBREDIR_DEFAULT_PLUGIN, which the CMake package supplies). One session against the stand-in
   named by KAPSERVICE_PATH: a client connects and the host answers its "IsUsbAvailable".
   Exits 0 when every step held, 3 when Register found no channel service, 1 on any other
   failure. Run by scripts/install-test.sh; tests/e2e runs it set-user-id. */
#define _POSIX_C_SOURCE 200809L
#include <dlfcn.h>
#include <pthread.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>
#include <usbRedirectionPlugin.h>

#include "KapServiceSim.h" /* the stand-in's control API: plays the remote client */

#define SESSION 7u

#define FUNCTIONS(X)                              \
  X(plugin, UsbRedirectionPlugin_Init)            \
  X(plugin, UsbRedirectionPlugin_Fini)            \
  X(plugin, UsbRedirectionProxy_InitVhubCallback) \
  X(plugin, UsbRedirectionProxy_Register)         \
  X(plugin, UsbRedirectionProxy_Unregister)       \
  X(plugin, UsbRedirectionProxy_Poll)             \
  X(plugin, UsbRedirectionProxy_Stop)             \
  X(sim, KapSim_ConnectClient)                    \
  X(sim, KapSim_DestroyClient)                    \
  X(sim, KapSim_SendRequest)                      \
  X(sim, KapSim_WaitRequest)
#define DECLARE(library, name) static __typeof__(&name) p_##name;
FUNCTIONS(DECLARE)

static atomic_int g_registered; /* 1 when Register succeeded, -1 when it failed */
static atomic_int g_connected;
static atomic_int g_asked;

static void Fail(const char* what) {
  fprintf(stderr, "install host: FAILED: %s\n", what);
  _exit(1); /* the poll thread may still run inside the plug-in */
}

/* Waits up to ten seconds for *flag to become non-zero; answers it. */
static int WaitFor(atomic_int* flag) {
  struct timespec millisecond = {0, 1000000};
  for (int i = 0; i < 10000 && *flag == 0; ++i) nanosleep(&millisecond, NULL);
  return *flag;
}

static void OnChannelStateChange(DWORD sessionId, USB_RedirChannelState state) {
  g_connected = sessionId == SESSION && state == USB_REDIR_CHANNEL_CONNECTED;
}

/* Answers "IsUsbAvailable" with "yes". The buffer is static: a single-server plug-in never
   hands it back, and must not free it either. */
static void OnMessageArrive(DWORD sessionId, char* msg, uint32_t msgLength,
                            USB_RedirPackageType type, USB_OperationType opType, char** respMsg,
                            uint32_t* respMsgLength) {
  static char answer[] = "yes";
  (void)sessionId, (void)msg, (void)msgLength, (void)type;
  if (opType == USB_OPERATION_TYPE_RUSB_ISUSBAVAILABLE && respMsg != NULL &&
      respMsgLength != NULL) {
    *respMsg = answer;
    *respMsgLength = 3;
    g_asked = 1;
  }
}

/* Register and Poll on the same thread, as the calling order asks. */
static void* PollThread(void* unused) {
  (void)unused;
  g_registered = p_UsbRedirectionProxy_Register(SESSION) == TRUE ? 1 : -1;
  if (g_registered == 1) p_UsbRedirectionProxy_Poll(SESSION, NULL);
  return NULL;
}

int main(int argc, char** argv) {
  const char* pluginPath = argc > 1 ? argv[1] : NULL;
  USBRedir_CallbackInterface table = {.version = 1, .v1 = {OnChannelStateChange, OnMessageArrive}};
  pthread_t poller;
  KapSimParam params[3] = {{.value = {.vt = KAP_RPC_VT_LPSTR, .strVal = "IsUsbAvailable"}},
                           {.value = {.vt = KAP_RPC_VT_LPSTR, .strVal = "7-1"}},
                           {.value = {.vt = KAP_RPC_VT_BLOB, .blobVal = {.blobData = ""}}}};
  uint32_t requestId = 0;
#ifdef USBREDIR_DEFAULT_PLUGIN
  pluginPath = pluginPath != NULL ? pluginPath : USBREDIR_DEFAULT_PLUGIN;
#endif
  /* The stand-in first: the plug-in's own dlopen of the same path then shares it. Without
     a path dlopen answers this program, where the look-ups below fail. */
  void* sim = dlopen(getenv("KAPSERVICE_PATH"), RTLD_NOW);
  void* plugin = sim != NULL ? dlopen(pluginPath, RTLD_NOW) : NULL;
  if (plugin == NULL) Fail(dlerror());
#define RESOLVE(library, name) \
  if ((p_##name = (__typeof__(p_##name))dlsym(library, #name)) == NULL) Fail(#name);
  FUNCTIONS(RESOLVE)

  p_UsbRedirectionPlugin_Init();
  if (p_UsbRedirectionProxy_InitVhubCallback(&table) != TRUE) Fail("InitVhubCallback");
  if (pthread_create(&poller, NULL, PollThread, NULL) != 0 || WaitFor(&g_registered) != 1) {
    fprintf(stderr, "install host: Register failed\n");
    _exit(3);
  }
  KapSimClient* client =
      p_KapSim_ConnectClient(SESSION, KAPSIM_CLIENT_DEFAULT, KAP_SERVICE_TALON_SESSION);
  if (client == NULL || !WaitFor(&g_connected)) Fail("the host was not told CONNECTED");
  if (p_KapSim_SendRequest(client, "UsbRedirControlObj", 2, params, 3, &requestId) != TRUE ||
      p_KapSim_WaitRequest(client, requestId, 10000) != KAPSIM_REQUEST_ANSWERED || !g_asked) {
    Fail("IsUsbAvailable was not answered by the host");
  }
  p_KapSim_DestroyClient(client);
  p_UsbRedirectionProxy_Stop(SESSION);
  pthread_join(poller, NULL);
  p_UsbRedirectionProxy_Unregister(SESSION);
  p_UsbRedirectionPlugin_Fini();
  dlclose(plugin);
  dlclose(sim);
  printf("install host: a session served, stopped, unregistered, unloaded\n");
  return 0;
}
