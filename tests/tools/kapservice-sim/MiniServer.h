// A minimal server side written against the channel-service tables, the way the framework
// drives them: it loads the library with dlopen, starts a server for a session on its own
// thread, queries the tables highest version first, registers a channel sink and polls with
// v3.Poll. Its sinks connect the channel, create the control then the data object and
// record every notification, checking that each arrives inside a poll on the polling thread.
// Thread safe: the recorded events are guarded by a mutex; object handles are atomics.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "KapServiceSim.h"
#include "KapSimLibrary.h"

namespace kapsimtest {

extern const char* const kControlObj;
extern const char* const kDataObj;

// The library's entry points, resolved once with dlsym as the framework does.
struct Library {
  void* handle = nullptr;
  KAPService_ServerInit_Fn serverInit = nullptr;
  KAPService_ServerExit_Fn serverExit = nullptr;
  KAPService_ServerInit2_Fn serverInit2 = nullptr;
  KAPService_ServerExit2_Fn serverExit2 = nullptr;
  KAPService_MultiServerInit_Fn multiServerInit = nullptr;
  KAPService_MultiServerExit_Fn multiServerExit = nullptr;
  static const Library& Get();
};

struct Tables {
  KAP_SERVICE_QUERY_INTERFACE qi{};
  KAPService_ChannelInterface channel{};
  KAPRPC_ChannelObjectInterface object{};
  KAPRPC_ChannelContextInterface context{};
  KAPRPC_VariantInterface variant{};
  // Queries each table, highest version first, as the framework does; false if one is missing.
  bool Query();
};

class MiniServer {
 public:
  struct Options {
    bool startPaused = false;
    uint32_t dataFlags = 0x31;  // INVOKE_ALLOW_ANY_THREAD | NO_TCP | NO_VCHAN
    std::function<void(MiniServer&, void* ctx)> onInvoke;
  };
  MiniServer(uint32_t sessionId, Options options);
  explicit MiniServer(uint32_t sessionId) : MiniServer(sessionId, Options()) {}
  ~MiniServer();

  bool Started() const { return m_started; }
  const Tables& T() const { return m_tables; }
  void* Channel() const { return m_channel; }
  void* ControlObject() const { return m_controlObj.load(); }
  void* DataObject() const { return m_dataObj.load(); }
  bool WaitReady(uint32_t ms);
  bool WaitEvent(const std::string& event, uint32_t ms);
  std::vector<std::string> Events();
  void SetPaused(bool paused) { m_paused = paused; }
  int Violations() const { return m_violations; }

  // Sends a message on an object from the calling thread; callback may be null (a post).
  bool Send(void* object, uint32_t command, const std::vector<KAP_RPC_VARIANT>& params,
            const KAPRPC_RequestCallback* callback, void* userData, uint32_t* requestId);

  void Record(const std::string& event);
  void CheckInsidePoll();

 private:
  void Run();
  static void OnConnection(void* ud, KAPService_ConnectionState cur, KAPService_ConnectionState,
                           void*);
  static void OnChannel(void* ud, KAPService_ChannelState cur, KAPService_ChannelState, void*);
  static void OnPeer(void* ud, const char* name, void*);
  void OnInvoke(const char* object, void* ctx);
  static void OnControlState(void* ud, void*);
  static void OnDataState(void* ud, void*);
  void DestroyObject(std::atomic<void*>& object);

  const uint32_t m_sessionId;
  Options m_options;
  Tables m_tables;
  void* m_channel = nullptr;
  uint32_t m_sinkId = 0xFFFFFFFFu;
  std::atomic<void*> m_controlObj{nullptr};
  std::atomic<void*> m_dataObj{nullptr};
  std::atomic<bool> m_started{false};
  std::atomic<bool> m_stop{false};
  std::atomic<bool> m_paused{false};
  std::atomic<bool> m_insidePoll{false};
  std::atomic<int> m_violations{0};
  bool m_sideChannelRequested = false;  // poll thread only
  std::thread::id m_pollThread;
  std::mutex m_lock;
  std::condition_variable m_changed;
  std::vector<std::string> m_events;  // guarded by m_lock
  bool m_ready = false;               // guarded by m_lock
  bool m_initDone = false;            // guarded by m_lock
  std::thread m_thread;
};

// The fixture the stand-in library's suites share: after every test the fault switches go
// back to normal and nothing the library counts (servers, sinks, objects, contexts, handed-out
// variants, clients) may be left behind. Not thread safe: TearDown runs after the test's
// threads end.
class SimFixture : public ::testing::Test {
 protected:
  void TearDown() override {
    KapSim_ResetFaults();
    KapSimCounters c{};
    KapSim_GetCounters(&c);
    EXPECT_EQ(c.servers, 0);
    EXPECT_EQ(c.channelSinks, 0);
    EXPECT_EQ(c.objects, 0);
    EXPECT_EQ(c.contexts, 0);
    EXPECT_EQ(c.variants, 0);
    EXPECT_EQ(c.clients, 0);
  }
};

// A variant made by hand, the way a client or a test builds one.
inline KAP_RPC_VARIANT U32(uint32_t v) { return KapSimUInt32Param(v).value; }
inline KAP_RPC_VARIANT Str(const char* s) { return KapSimStrParam(s).value; }
inline KAP_RPC_VARIANT Blob(const void* data, uint32_t size) {
  return KapSimBlobParam(static_cast<const char*>(data), size).value;
}
inline KAP_RPC_VARIANT U64(uint64_t v) {
  KAP_RPC_VARIANT out{};
  out.vt = KAP_RPC_VT_UI8;
  out.ullVal = v;
  return out;
}

}  // namespace kapsimtest
