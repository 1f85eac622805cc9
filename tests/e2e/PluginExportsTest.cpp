// The plug-in as a host sees it: loaded with dlopen, reached only through exported names.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstddef>

#include "usbRedirectionPlugin.h"

extern "C" int usbredir_c_header_table_size(void);

namespace {

const char* const kExports[] = {
    "UsbRedirectionPlugin_Init",         "UsbRedirectionPlugin_Fini",
    "UsbRedirectionProxy_InitVhubCallback", "UsbRedirectionProxy_Register",
    "UsbRedirectionProxy_Unregister",    "UsbRedirectionProxy_Poll",
    "UsbRedirectionProxy_Stop",          "UsbRedirectionProxy_SendResponse",
};

// Internal entry points and classes that must stay invisible to the host.
const char* const kInternals[] = {
    "UsbRedirectionMultiServerProxy_Register",
    "UsbRedirectionMultiServerProxy_InitVhubCallback",
    "UsbRedirectionProxy_Initialize",
    "UsbRedirectionProxy_SessionAlreadyExists",
    "gCallbackInterface",
    "_ZN10LoggerBase23s_defaultLoggerLogLevelE",
    "_ZN8RCObject7ReleaseEv",
};

class PluginLibrary : public ::testing::Test {
 protected:
  void SetUp() override {
    int flags = RTLD_NOW | RTLD_LOCAL;
#ifdef USBREDIR_SANITIZED
    flags |= RTLD_NODELETE;  // as the stand-in host does: see VhubHost::Load
#endif
    m_handle = dlopen(USBREDIR_PLUGIN_PATH, flags);
    ASSERT_NE(m_handle, nullptr) << dlerror();
  }
  void TearDown() override {
    if (m_handle != nullptr) {
      dlclose(m_handle);
    }
  }
  template <class F>
  F Resolve(const char* name) {
    return reinterpret_cast<F>(dlsym(m_handle, name));
  }
  void* m_handle = nullptr;
};

TEST_F(PluginLibrary, ExportsTheEightEntryPoints) {
  for (const char* name : kExports) {
    EXPECT_NE(dlsym(m_handle, name), nullptr) << name;
  }
}

TEST_F(PluginLibrary, HidesInternalSymbols) {
  for (const char* name : kInternals) {
    EXPECT_EQ(dlsym(m_handle, name), nullptr) << name;
  }
}

TEST_F(PluginLibrary, InitVhubCallbackAnswersTrueEveryTime) {
  auto init = Resolve<void (*)()>("UsbRedirectionPlugin_Init");
  auto fini = Resolve<void (*)()>("UsbRedirectionPlugin_Fini");
  auto initCallback =
      Resolve<BOOL (*)(USBRedir_CallbackInterface*)>("UsbRedirectionProxy_InitVhubCallback");
  ASSERT_NE(initCallback, nullptr);
  init();
  USBRedir_CallbackInterface table = {};
  table.version = 3;
  EXPECT_EQ(initCallback(&table), TRUE);
  EXPECT_EQ(initCallback(&table), TRUE);
  fini();
}

TEST_F(PluginLibrary, SessionCallsOnUnknownSessionsAreHarmlessInAnyOrder) {
  auto poll = Resolve<void (*)(DWORD, void*)>("UsbRedirectionProxy_Poll");
  auto stop = Resolve<void (*)(DWORD)>("UsbRedirectionProxy_Stop");
  auto unregister = Resolve<void (*)(DWORD)>("UsbRedirectionProxy_Unregister");
  auto send = Resolve<BOOL (*)(DWORD, char*, uint32_t, USB_RedirPackageType,
                               USBRedir_SendResponseExt*)>("UsbRedirectionProxy_SendResponse");
  stop(7);
  poll(7, nullptr);  // returns at once for an unknown session
  unregister(7);
  char payload[4] = {1, 2, 3, 4};
  EXPECT_EQ(send(7, payload, sizeof(payload), USB_REDIR_PACKAGE_TYPE_URB, nullptr), FALSE);
  EXPECT_EQ(send(7, nullptr, 0, USB_REDIR_PACKAGE_TYPE_PROPBAG, nullptr), FALSE);
}

TEST(PublicHeader, LayoutSeenFromCMatchesCpp) {
  EXPECT_EQ(usbredir_c_header_table_size(), 48 + 24);
  EXPECT_EQ(offsetof(USBRedir_CallbackInterface, v3.kapvhubFree), 40u);
  EXPECT_EQ(offsetof(USBRedir_SendResponseExt, trailerLength), 16u);
}

}  // namespace
