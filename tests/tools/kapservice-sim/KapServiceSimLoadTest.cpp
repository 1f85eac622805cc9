// The stand-in library under load: message functions from several threads at once, a 64 MiB
// blob each way, and many sessions with their clients side by side.
#include <atomic>
#include <cstring>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "KapServiceSim.h"
#include "MiniServer.h"
#include "SimFixture.h"

namespace kapsimtest {
namespace {

using KapServiceSimLoad = SimFixture;

TEST_F(KapServiceSimLoad, MessageFunctionsRunFromSeveralThreadsAtOnce) {
  std::atomic<int> invoked{0};
  MiniServer::Options o;
  o.onInvoke = [&invoked](MiniServer& s, void* ctx) {
    // Each request is answered with what it carried, while senders work on other threads.
    const Tables& t = s.T();
    KAP_RPC_VARIANT v{};
    if (t.context.v1.GetParam(ctx, 0, &v)) {
      t.context.v1.AppendReturnVal(ctx, &v);
      t.variant.v1.VariantClear(&v);
    }
    ++invoked;
  };
  MiniServer srv(301, o);
  KapSimClient* cl = KapSim_ConnectClient(301, 0, KAP_SERVICE_TALON_SESSION);
  ASSERT_TRUE(srv.WaitReady(5000));
  const Tables& t = srv.T();
  constexpr int kThreads = 4;
  constexpr int kPerThread = 150;
  std::atomic<int> failures{0};
  std::vector<std::thread> senders;
  for (int n = 0; n < kThreads; ++n) {
    senders.emplace_back([&, n] {
      std::mt19937 rng(n);
      for (int i = 0; i < kPerThread; ++i) {
        void* obj = (rng() & 1) ? srv.DataObject() : srv.ControlObject();
        void* ctx = nullptr;
        if (!t.object.v1.CreateContext(obj, &ctx)) {
          ++failures;
          continue;
        }
        KAP_RPC_VARIANT v{};
        std::string text = "t" + std::to_string(n) + "-" + std::to_string(i);
        bool ok = t.variant.v1.VariantFromStr(&v, text.c_str()) == TRUE &&
                  t.context.v1.AppendParam(ctx, &v) == TRUE;
        t.variant.v1.VariantClear(&v);
        std::vector<char> bytes(rng() % 4096, static_cast<char>(i));
        KAP_RPC_BLOB blob{static_cast<uint32_t>(bytes.size()), bytes.data()};
        ok = ok && t.variant.v1.VariantFromBlob(&v, &blob) == TRUE &&
             t.context.v1.AppendNamedParam(ctx, "payload", &v) == TRUE;
        t.variant.v1.VariantClear(&v);
        KAP_RPC_VARIANT one = U32(1);
        ok = ok && t.context.v1.SetCommand(ctx, 1) == TRUE &&
             t.context.v2.SetOps(ctx, KAP_RPC_CHANNEL_CONTEXT_OPT_POST, &one) == TRUE &&
             t.object.v1.Invoke(obj, ctx, nullptr, nullptr) == TRUE;
        ok = t.object.v1.DestroyContext(ctx) == TRUE && ok;
        if (!ok) ++failures;
        if (i % 10 == 0) {
          KapSimParam p[] = {{nullptr, Str("ping")}};
          if (!KapSim_SendRequest(cl, kControlObj, 2, p, 1, nullptr)) ++failures;
        }
      }
    });
  }
  for (std::thread& th : senders) th.join();
  EXPECT_EQ(failures.load(), 0);
  ASSERT_EQ(KapSim_WaitMessageCount(cl, kThreads * kPerThread, 5000), TRUE);
  EXPECT_EQ(KapSim_GetMessageCount(cl), kThreads * kPerThread);
  for (int i = 0; i < 2000 && invoked.load() < kThreads * kPerThread / 10; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  EXPECT_EQ(invoked.load(), kThreads * kPerThread / 10);
  EXPECT_EQ(srv.Violations(), 0);
  KapSim_DestroyClient(cl);
}

TEST_F(KapServiceSimLoad, BlobOf64MiBTravelsBothWays) {
  constexpr uint32_t kSize = 64u << 20;
  std::vector<char> big(kSize);
  for (uint32_t i = 0; i < kSize; i += 4096) big[i] = static_cast<char>(i >> 12);
  big[kSize - 1] = 0x5A;
  std::atomic<bool> matched{false};
  MiniServer::Options o;
  o.onInvoke = [&](MiniServer& s, void* ctx) {
    KAP_RPC_VARIANT v{};
    if (s.T().context.v1.GetParam(ctx, 0, &v) && v.vt == KAP_RPC_VT_BLOB &&
        v.blobVal.size == kSize) {
      matched = std::memcmp(v.blobVal.blobData, big.data(), kSize) == 0;
    }
    s.T().variant.v1.VariantClear(&v);
  };
  MiniServer srv(302, o);
  KapSimClient* cl = KapSim_ConnectClient(302, 0, KAP_SERVICE_TALON_SESSION);
  ASSERT_TRUE(srv.WaitReady(5000));

  KapSimParam p[] = {{nullptr, Blob(big.data(), kSize)}};
  uint32_t id = 0;
  ASSERT_EQ(KapSim_SendRequest(cl, kDataObj, 1, p, 1, &id), TRUE);
  ASSERT_EQ(KapSim_WaitRequest(cl, id, 30000), KAPSIM_REQUEST_ANSWERED);
  EXPECT_TRUE(matched.load());

  const Tables& t = srv.T();
  KAP_RPC_VARIANT v{};
  KAP_RPC_BLOB blob{kSize, big.data()};
  ASSERT_EQ(t.variant.v1.VariantFromBlob(&v, &blob), TRUE);
  ASSERT_TRUE(srv.Send(srv.DataObject(), 1, {v}, nullptr, nullptr, nullptr));
  EXPECT_EQ(t.variant.v1.VariantClear(&v), TRUE);
  ASSERT_EQ(KapSim_WaitMessageCount(cl, 1, 30000), TRUE);
  const KAP_RPC_VARIANT* got = nullptr;
  ASSERT_EQ(KapSim_GetMessageParam(cl, 0, 0, nullptr, &got), TRUE);
  ASSERT_EQ(got->blobVal.size, kSize);
  EXPECT_EQ(std::memcmp(got->blobVal.blobData, big.data(), kSize), 0);
  KapSim_DestroyClient(cl);
}

TEST_F(KapServiceSimLoad, ManySessionsEachServeTheirOwnClient) {
  constexpr int kSessions = 24;
  MiniServer::Options o;
  o.onInvoke = [](MiniServer& s, void* ctx) {
    KAP_RPC_VARIANT v{};
    // Answer with the session's channel handle so a crossed wire would show.
    s.T().variant.v1.VariantFromUInt64(&v, reinterpret_cast<uintptr_t>(s.Channel()));
    s.T().context.v1.AppendReturnVal(ctx, &v);
  };
  std::vector<std::unique_ptr<MiniServer>> servers;
  std::vector<KapSimClient*> clients;
  for (int i = 0; i < kSessions; ++i) {
    servers.push_back(std::make_unique<MiniServer>(400 + i, o));
    ASSERT_TRUE(servers.back()->Started());
  }
  for (int i = 0; i < kSessions; ++i) {
    clients.push_back(KapSim_ConnectClient(400 + i, 0, KAP_SERVICE_TALON_SESSION));
    ASSERT_NE(clients.back(), nullptr);
  }
  for (int i = 0; i < kSessions; ++i) ASSERT_TRUE(servers[i]->WaitReady(10000)) << i;
  std::vector<uint32_t> ids(kSessions);
  for (int i = 0; i < kSessions; ++i) {
    ASSERT_EQ(KapSim_SendRequest(clients[i], kControlObj, 2, nullptr, 0, &ids[i]), TRUE);
  }
  for (int i = 0; i < kSessions; ++i) {
    ASSERT_EQ(KapSim_WaitRequest(clients[i], ids[i], 10000), KAPSIM_REQUEST_ANSWERED);
    const KAP_RPC_VARIANT* v = nullptr;
    ASSERT_EQ(KapSim_GetReplyValue(clients[i], ids[i], 0, nullptr, &v), TRUE);
    EXPECT_EQ(v->ullVal, reinterpret_cast<uintptr_t>(servers[i]->Channel())) << i;
    EXPECT_EQ(servers[i]->Violations(), 0);
  }
  KapSimCounters c{};
  KapSim_GetCounters(&c);
  EXPECT_EQ(c.servers, kSessions);
  EXPECT_EQ(c.objects, 2 * kSessions);
  for (KapSimClient* cl : clients) KapSim_DestroyClient(cl);
  servers.clear();
}

}  // namespace
}  // namespace kapsimtest
