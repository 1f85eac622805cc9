#include "DemoDevice.h"

#include <string>

DemoDevice::DemoDevice(VhubHost* host, uint32_t replyBytes)
    : m_host(host), m_replyBytes(replyBytes), m_thread([this]() { Run(); }) {}

DemoDevice::~DemoDevice() {
  {
    std::lock_guard<std::mutex> lock(m_lock);
    m_stop = true;
  }
  m_wake.notify_all();
  m_thread.join();
}

void DemoDevice::Submit(DWORD sessionId) {
  {
    std::lock_guard<std::mutex> lock(m_lock);
    m_queue.push_back(sessionId);
  }
  m_wake.notify_one();
}

uint64_t DemoDevice::Answered() const {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_answered;
}

uint64_t DemoDevice::Failed() const {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_failed;
}

void DemoDevice::Run() {
  // A completed transfer: an 8-byte header, the data, no trailer.
  const std::string reply(m_replyBytes, '\x5a');
  USBRedir_SendResponseExt ext{};
  ext.headerLength = reply.size() < 8 ? reply.size() : 8;
  ext.trailerLength = 0;
  std::unique_lock<std::mutex> lock(m_lock);
  for (;;) {
    m_wake.wait(lock, [this]() { return m_stop || !m_queue.empty(); });
    if (m_queue.empty()) {
      return;  // stopping, and nothing left to answer
    }
    DWORD sessionId = m_queue.front();
    m_queue.pop_front();
    lock.unlock();
    ext.fastQueueId = sessionId;
    BOOL sent = m_host->SendResponse(sessionId, reply.data(), static_cast<uint32_t>(reply.size()),
                                     USB_REDIR_PACKAGE_TYPE_URB, &ext);
    lock.lock();
    ++(sent == TRUE ? m_answered : m_failed);
  }
}
