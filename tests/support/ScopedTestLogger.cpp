#include "support/ScopedTestLogger.h"

#include <chrono>
#include <thread>

#include "runtime/QrPollItem.h"
#include "runtime/QrPollThread.h"

namespace {

// Runs once and leaves: once it is gone the scheduler is inside its loop.
class SettleProbe : public QrPollItem {
 public:
  SettleProbe() : QrPollItem("SettleProbe") {}
  bool Run(bool /*timedOut*/) override { return false; }
};

}  // namespace

void ScopedTestLogger::SettlePollThread() {
  RCPtr<QrPollThread> pollThread = Logger::GetPollThread();
  RCPtr<SettleProbe> probe(new SettleProbe());
  if (pollThread.Ptr() == nullptr || !pollThread->AddItem(probe.Ptr(), nullptr, 0)) {
    return;
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (pollThread->IsMember(probe.Ptr()) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

ScopedTestLogger::ScopedTestLogger(Level level) : m_writer(new TestLogWriter()) {
  SettlePollThread();
  LoggerPtr logger = Logger::Create("TestLogger", "TestApp", true);
  if (logger.Ptr() != nullptr) {
    logger->SetLevel(level);
    logger->AddWriter(m_writer.Ptr());
    m_started = logger->Start();
    m_writer->Clear();
  }
}
