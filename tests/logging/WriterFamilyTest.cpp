// The writers besides the rolling file: standard output, standard error and debug output,
// the proxy writer's callback, and the syslog writer against a UDP socket of the test and
// a real rsyslogd that must parse our datagrams as RFC 5424.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "logging/LogMessage.h"
#include "logging/LogWriter.h"
#include "logging/Logger.h"
#include "logging/ProxyWriter.h"
#include "support/FdCapture.h"
#include "support/ScopedTestLogger.h"
#include "support/TestLogWriter.h"
#include "support/UdpReceiver.h"

extern char** environ;

namespace {

std::string HostName() {
  char name[256] = {};
  gethostname(name, sizeof(name) - 1);
  return std::string(name).substr(0, 64);
}

class WriterFamily : public ::testing::Test {
 protected:
  void SetUp() override { ScopedTestLogger::SettlePollThread(); }
  void TearDown() override { Logger::ShutDown(); }

  // A default logger of application appName with one writer of the type.
  RCPtr<LogWriter> MakeLogger(LogWriterType type, const std::string& appName = "App") {
    m_logger = Logger::Create("FamilyLogger", appName, true);
    return m_logger->CreateWriter(type);
  }

  LoggerPtr m_logger;
};

}  // namespace

TEST_F(WriterFamily, StreamWritersWriteTheStandardPrefixToTheirStream) {
  const struct {
    LogWriterType type;
    int fd;
  } rows[] = {{LOG_WRITER_STDOUT, 1}, {LOG_WRITER_STDERR, 2}, {LOG_WRITER_DEBUG, 1}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.type);
    RCPtr<LogWriter> writer = MakeLogger(row.type);
    ASSERT_NE(nullptr, writer.Ptr());
    EXPECT_EQ(row.type, writer->GetType());
    EXPECT_FALSE(writer->IsBufferingEnabled());
    FdCapture capture(row.fd);
    ASSERT_TRUE(m_logger->Start());
    Logger::Log("@Here", LOGGER_LOG_WARN, "to the stream %d", 7);
    EXPECT_TRUE(writer->WriteMessage(new LogMessage(nullptr, 0, LOGGER_LOG_ERROR)));
    std::string text = capture.Text();
    EXPECT_TRUE(std::regex_search(
        text, std::regex("\\n\\d{4}-\\d\\d-\\d\\d [0-9:.]{12} <[0-9A-F]{8,}> \\[[0-9A-F]{4,}\\] W "
                         "Here: to the stream 7\\nFailed to allocate memory for log message\\n$")))
        << text;
    EXPECT_NE(std::string::npos, text.find("] A OS Version: "));
    Logger::ShutDown();
  }
}

namespace {

struct ProxyCall {
  std::string funcName;
  Level level;
  std::string text;
};
std::vector<ProxyCall> gProxyCalls;

void RecordProxyCall(const char* funcName, Level level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  char text[2048];
  vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  gProxyCalls.push_back({funcName, level, text});
}

}  // namespace

TEST_F(WriterFamily, ProxyHandsTheCallbackTheFullFunctionTextLevelAndMessage) {
  gProxyCalls.clear();
  RCPtr<LogWriter> writer = MakeLogger(LOG_WRITER_PROXY);
  ASSERT_NE(nullptr, writer.Ptr());
  ProxyWriter* proxy = static_cast<ProxyWriter*>(writer.Ptr());
  EXPECT_FALSE(proxy->WriteMessage(new LogMessage("x", 1, LOGGER_LOG_INFO)));  // no callback
  proxy->SetProxyFunc(&RecordProxyCall);
  ASSERT_TRUE(m_logger->Start());
  gProxyCalls.clear();
  Logger::Log("int Space::Caller(char) const", LOGGER_LOG_DEBUG, "hello %s", "proxy");
  EXPECT_EQ(0u, gProxyCalls.size());  // the logger is at info
  Logger::Log("int Space::Caller(char) const", LOGGER_LOG_WARN, "hello %s", "proxy");
  EXPECT_TRUE(proxy->WriteMessage(new LogMessage("  \tno marker", 12, LOGGER_LOG_ERROR)));
  EXPECT_FALSE(proxy->WriteMessage(new LogMessage("@PROXY/3no slash", 16, LOGGER_LOG_INFO)));
  EXPECT_FALSE(proxy->WriteMessage(new LogMessage("@PROXY/9f/level", 15, LOGGER_LOG_INFO)));
  EXPECT_FALSE(proxy->WriteMessage(new LogMessage("@PROXY/", 7, LOGGER_LOG_INFO)));
  ASSERT_EQ(2u, gProxyCalls.size());
  EXPECT_EQ("int Space::Caller(char) const", gProxyCalls[0].funcName);
  EXPECT_EQ(LOGGER_LOG_WARN, gProxyCalls[0].level);
  EXPECT_EQ("hello proxy\n", gProxyCalls[0].text);
  EXPECT_EQ("", gProxyCalls[1].funcName);
  EXPECT_EQ(LOGGER_LOG_ALWAYS, gProxyCalls[1].level);
  EXPECT_EQ("no marker\n", gProxyCalls[1].text);
  Logger::ShutDown();  // OnClose drops the callback
  EXPECT_FALSE(proxy->WriteMessage(new LogMessage("@PROXY/3f/after", 15, LOGGER_LOG_INFO)));
}

// Options hold only until start; a datagram carries the RFC 5424 header ("-" without an
// application name), or the line of a recording writer ahead in type order, which builds it.
TEST_F(WriterFamily, SyslogOptionsAndDatagrams) {
  const struct {
    const char* appName;
    const char* expectedApp;
    bool withFirstWriter;
  } rows[] = {{"SyslogApp", "SyslogApp", false}, {"", "-", false}, {"SyslogApp", "", true}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.expectedApp);
    UdpReceiver receiver;
    ASSERT_NE(0, receiver.Port());
    RCPtr<LogWriter> writer = MakeLogger(LOG_WRITER_SOCKET, row.appName);
    EXPECT_TRUE(writer->IsBufferingEnabled());
    std::string value;
    ASSERT_TRUE(writer->GetCustomOption("remotePort", value));
    EXPECT_EQ("514", value);
    ASSERT_TRUE(writer->GetCustomOption("REMOTEADDRESS", value));
    EXPECT_EQ("localhost", value);
    EXPECT_TRUE(writer->SetCustomOption("RemotePort", "0x10202"));  // 16 bits of it
    ASSERT_TRUE(writer->GetCustomOption("remotePort", value));
    EXPECT_EQ("514", value);
    EXPECT_FALSE(writer->SetCustomOption("remotePort", "port"));
    EXPECT_FALSE(writer->SetCustomOption("remoteAddress", ""));
    EXPECT_FALSE(writer->SetCustomOption("other", "1"));
    ASSERT_TRUE(writer->SetCustomOption("remoteAddress", "127.0.0.1"));
    ASSERT_TRUE(writer->SetCustomOption("remotePort", std::to_string(receiver.Port())));
    TestLogWriterPtr first(new TestLogWriter());
    if (row.withFirstWriter) {
      ASSERT_TRUE(m_logger->AddWriter(first.Ptr()));
    }
    ASSERT_TRUE(m_logger->Start());
    EXPECT_FALSE(writer->SetCustomOption("remotePort", "515"));
    EXPECT_FALSE(writer->SetCustomOption("remoteAddress", "localhost"));
    Logger::Log("@Caller", LOGGER_LOG_ERROR, "datagram %s", "text");
    writer->FlushMessages();
    ASSERT_TRUE(receiver.WaitFor("datagram text", 5000));
    const std::string& datagram = receiver.Datagrams().back();
    if (row.withFirstWriter) {
      EXPECT_EQ(first->LinesContaining("datagram text").at(0), datagram);
    } else {
      std::string pattern = "<1>1 \\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z " +
                            HostName() + " " + row.expectedApp + " - - datagram text\\n";
      EXPECT_TRUE(std::regex_match(datagram, std::regex(pattern))) << datagram;
    }
    Logger::ShutDown();
  }
}

namespace {

// An rsyslogd of the test's own, listening on a free loopback UDP port and writing
// every message it parses through a template that shows the RFC 5424 fields.
class Rsyslogd {
 public:
  explicit Rsyslogd(const std::string& dir) : m_dir(dir) {}
  ~Rsyslogd() { Stop(); }

  static std::string Find() {
    for (const char* path : {"/usr/sbin/rsyslogd", "/sbin/rsyslogd", "/usr/bin/rsyslogd"}) {
      if (access(path, X_OK) == 0) {
        return path;
      }
    }
    return "";
  }

  bool Start(const std::string& binary) {
    {
      UdpReceiver probe;  // a free port: taken, noted, given back for rsyslogd
      m_port = probe.Port();
    }
    std::ofstream(m_dir + "/rsyslog.conf")
        << "global(workDirectory=\"" << m_dir << "\")\n"
        << "module(load=\"imudp\")\n"
        << "input(type=\"imudp\" address=\"127.0.0.1\" port=\"" << m_port << "\")\n"
        << "template(name=\"fields\" type=\"string\" string=\"V=%protocol-version%|"
           "APP=%app-name%|HOST=%hostname%|PROCID=%procid%|MSGID=%msgid%|MSG=%msg%\\n\")\n"
        << "*.* action(type=\"omfile\" file=\"" << m_dir << "/out.log\" template=\"fields\")\n";
    std::string config = m_dir + "/rsyslog.conf";
    std::string pidFile = m_dir + "/rsyslogd.pid";
    std::vector<std::string> args = {binary, "-n", "-f", config, "-i", pidFile};
    std::vector<char*> argv;
    for (std::string& arg : args) {
      argv.push_back(&arg[0]);
    }
    argv.push_back(nullptr);
    return posix_spawn(&m_pid, binary.c_str(), nullptr, nullptr, argv.data(), environ) == 0;
  }
  void Stop() {
    if (m_pid > 0) {
      kill(m_pid, SIGTERM);
      int status = 0;
      waitpid(m_pid, &status, 0);
      m_pid = -1;
    }
  }
  uint16_t Port() const { return m_port; }
  std::string Output() const {
    std::ifstream in(m_dir + "/out.log");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

 private:
  std::string m_dir;
  pid_t m_pid = -1;
  uint16_t m_port = 0;
};

}  // namespace

TEST_F(WriterFamily, RsyslogdParsesOurDatagramsAsRfc5424) {
  std::string binary = Rsyslogd::Find();
  ASSERT_FALSE(binary.empty()) << "rsyslogd not found: scripts/install-deps.sh installs rsyslog";
  char pattern[] = "/tmp/rsyslog-test-XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(pattern));
  std::string dir = pattern;
  {
    Rsyslogd daemon(dir);
    ASSERT_TRUE(daemon.Start(binary));
    RCPtr<LogWriter> writer = MakeLogger(LOG_WRITER_SOCKET, "UsbRedirPlugin");
    ASSERT_TRUE(writer->SetCustomOption("remoteAddress", "127.0.0.1"));
    ASSERT_TRUE(writer->SetCustomOption("remotePort", std::to_string(daemon.Port())));
    ASSERT_TRUE(m_logger->Start());
    // Datagrams sent before rsyslogd listens are lost: repeat until one arrives.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    std::string output;
    for (int round = 0; std::chrono::steady_clock::now() < deadline; ++round) {
      Logger::Log("@Caller", LOGGER_LOG_ERROR, "probe %d with = and [brackets]", round);
      writer->FlushMessages();
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      output = daemon.Output();
      if (output.find("MSG=probe") != std::string::npos) {
        break;
      }
    }
    std::smatch match;
    ASSERT_TRUE(std::regex_search(output, match,
                                  std::regex("V=1\\|APP=UsbRedirPlugin\\|HOST=" + HostName() +
                                             "\\|PROCID=-\\|MSGID=-\\|MSG=probe "
                                             "(\\d+) with = and \\[brackets\\]\\n")))
        << output;
  }
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
}
