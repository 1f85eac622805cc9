// A host that unloads the plug-in gets all of its memory back: loaded, started, serving a
// client's request and unloaded again and again, the process's heap stays where it was. The
// plug-in's process-lifetime state (the logger registry and its poll thread, the event and
// poll-thread tables, their locks) goes with the library.
#include <malloc.h>

#include "UsbEndToEndFixture.h"

namespace {

class PluginUnload : public UsbEndToEnd {
 protected:
  // One life of the plug-in in a host: load, Init, a session serving one request, unload.
  void ServeOnceAndUnload() {
    m_host = std::make_unique<VhubHost>(USBREDIR_PLUGIN_PATH);
    std::string error;
    ASSERT_TRUE(m_host->Load(&error)) << error;
    m_host->Init();
    ASSERT_EQ(m_host->InitVhubCallback(true), TRUE);
    KapSimClient* client = StartConnected(7);
    ASSERT_NE(client, nullptr);
    Request(client, "UsbRedirDataObj", 1, {Blob("urb")});
    for (KapSimClient* each : m_clients) {
      m_sim.KapSim_DestroyClient(each);
    }
    m_clients.clear();
    m_host.reset();  // stops and unregisters the session, Fini, dlclose
  }
};

}  // namespace

TEST_F(PluginUnload, ServingAndUnloadingAgainAndAgainKeepsTheHeapWhereItWas) {
#ifdef USBREDIR_SANITIZED
  GTEST_SKIP() << "sanitized hosts keep the plug-in mapped (see VhubHost::Load)";
#endif
  m_host.reset();  // the fixture's host: every load below is a fresh one
  // The first lives fill the C and C++ runtimes' caches (the allocator keeps some freed
  // blocks per thread, counted as in use), so only later ones are measured.
  for (int i = 0; i < 6; ++i) {
    ASSERT_NO_FATAL_FAILURE(ServeOnceAndUnload());
  }
  size_t before = mallinfo2().uordblks;
  const int kLives = 8;
  for (int i = 0; i < kLives; ++i) {
    ASSERT_NO_FATAL_FAILURE(ServeOnceAndUnload());
  }
  size_t after = mallinfo2().uordblks;
  // What one life kept before it was given back: some 3.5 KB (the registry and its poll
  // thread, two tables, three locks); the allocator's own bookkeeping varies by a few KB.
  EXPECT_LT(after, before + kLives * 1024) << (after - before) / kLives << " bytes per life";
}
