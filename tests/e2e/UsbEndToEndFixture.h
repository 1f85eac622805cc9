// A host and the stand-in channel service (found via KAPSERVICE_PATH) around the built
// plug-in, reached through its exports only; HOME and TMPDIR point into a fresh folder.
#ifndef TESTS_E2E_USBENDTOENDFIXTURE_H
#define TESTS_E2E_USBENDTOENDFIXTURE_H

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <regex>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "KapSimLibrary.h"
#include "VhubHost.h"

inline std::vector<std::string> ReadLines(const std::string& path) {
  std::ifstream file(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(file, line);) lines.push_back(line);
  return lines;
}

// Lines that match `regex` whole.
inline size_t CountMatching(const std::vector<std::string>& lines, const std::string& regex) {
  std::regex re(regex);
  size_t count = 0;
  for (const std::string& line : lines) count += std::regex_match(line, re) ? 1 : 0;
  return count;
}

// Lines whose message (the text after the prefix) is exactly `message`.
inline size_t CountMessage(const std::vector<std::string>& lines, const std::string& message) {
  size_t count = 0;
  for (const std::string& line : lines) {
    size_t at = line.find("): " + message);
    count += at != std::string::npos && at + 3 + message.size() == line.size() ? 1 : 0;
  }
  return count;
}

class UsbEndToEnd : public ::testing::Test {
 protected:
  static constexpr int kWaitMs = 30000;  // a 64 MiB blob under TSan on a loaded machine

  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(Prepare());
    ASSERT_NO_FATAL_FAILURE(StartHost());
  }

  // The folders and the environment, and the stand-in's control API; no plug-in yet.
  void Prepare() {
    char pattern[] = "/tmp/usbredir-e2e-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    m_root = pattern;
    ASSERT_EQ(system(("mkdir -p " + m_root + "/home/.quorin " + m_root + "/tmp").c_str()), 0);
    setenv("HOME", (m_root + "/home").c_str(), 1);
    setenv("TMPDIR", (m_root + "/tmp").c_str(), 1);
    setenv("USER", "tester", 1);
    setenv("KAPSERVICE_PATH", KAPSERVICE_SIM_PATH, 1);
    std::string error;
    ASSERT_TRUE(m_sim.Load(KAPSERVICE_SIM_PATH, &error)) << error;
  }

  void StartHost(bool handOver = true) {
    m_host = std::make_unique<VhubHost>(USBREDIR_PLUGIN_PATH);
    std::string error;
    ASSERT_TRUE(m_host->Load(&error)) << error;
    m_host->Init();
    ASSERT_TRUE(!handOver || m_host->InitVhubCallback(true) == TRUE);
  }

  void TearDown() override {
    FinishAndReadLog();  // stops and unregisters every session, then Fini
    ExpectNothingLeftBehind(true);
    m_sim.KapSim_ResetFaults();
    system(("rm -rf " + m_root).c_str());
  }

  // Nothing left in the channel service (servers unless told), no handle or variant misused.
  void ExpectNothingLeftBehind(bool servers) {
    KapSimCounters counters{};
    m_sim.KapSim_GetCounters(&counters);
    EXPECT_EQ(std::make_tuple(servers ? counters.servers : 0, counters.contexts, counters.variants,
                              counters.badHandles, counters.badClears),
              std::make_tuple(0, 0, 0, 0u, 0u));
  }

  // The log file of this process under $TMPDIR; counter as "(1)".
  std::string LogPath(const std::string& counter = "") const {
    return m_root + "/tmp/quorin-tester/quorin-UsbRedirPlugin-" + std::to_string(getpid()) +
           counter + ".log";
  }

  // Ends the plug-in (every line reaches the file) and answers its log's lines.
  std::vector<std::string> FinishAndReadLog() {
    for (KapSimClient* client : m_clients) m_sim.KapSim_DestroyClient(client);
    m_clients.clear();
    m_host.reset();
    return ReadLines(LogPath());
  }

  KapSimClient* Connect(DWORD sessionId) {
    EXPECT_TRUE(m_host->StartSession(sessionId));
    KapSimClient* client =
        m_sim.KapSim_ConnectClient(sessionId, KAPSIM_CLIENT_DEFAULT, KAP_SERVICE_TALON_SESSION);
    if (client != nullptr) {
      m_clients.push_back(client);
      EXPECT_TRUE(m_host->WaitForState(sessionId, USB_REDIR_CHANNEL_CONNECTED, 1, kWaitMs));
    }
    return client;
  }

  static KapSimParam Str(const char* text) { return KapSimStrParam(text); }
  // Over a literal's or the caller's bytes, which must outlive the parameter's use.
  static KapSimParam Blob(std::string_view bytes) {
    return KapSimBlobParam(bytes.data(), bytes.size());
  }

  uint32_t Request(KapSimClient* client, const char* object, uint32_t command,
                   const std::vector<KapSimParam>& params) {
    uint32_t requestId = 0;
    EXPECT_EQ(m_sim.KapSim_SendRequest(client, object, command, params.data(),
                                       static_cast<int>(params.size()), &requestId),
              TRUE);
    EXPECT_EQ(m_sim.KapSim_WaitRequest(client, requestId, kWaitMs), KAPSIM_REQUEST_ANSWERED);
    return requestId;
  }

  // A value of a reply (request >= 0) or of the client's message `-1 - request`, with its
  // type: "str text", "blob bytes", "ui4 12", "ui8 12"; "none" when there is none.
  std::string Value(KapSimClient* client, int64_t request, int index) {
    const char* name = nullptr;
    const KAP_RPC_VARIANT* v = nullptr;
    if (request >= 0) {
      m_sim.KapSim_GetReplyValue(client, static_cast<uint32_t>(request), index, nullptr, &v);
    } else {
      m_sim.KapSim_GetMessageParam(client, static_cast<int>(-1 - request), index, &name, &v);
    }
    if (v == nullptr) return "none";
    if (v->vt == KAP_RPC_VT_LPSTR) return std::string("str ") + v->strVal;
    if (v->vt == KAP_RPC_VT_BLOB)
      return "blob " + std::string(v->blobVal.blobData, v->blobVal.size);
    if (v->vt == KAP_RPC_VT_UI4) return "ui4 " + std::to_string(v->ulVal);
    if (v->vt == KAP_RPC_VT_UI8) return "ui8 " + std::to_string(v->ullVal);
    return "vt " + std::to_string(v->vt);
  }

  std::string m_root;
  KapSimLibrary m_sim;
  std::unique_ptr<VhubHost> m_host;
  std::vector<KapSimClient*> m_clients;
};

#endif  // TESTS_E2E_USBENDTOENDFIXTURE_H
