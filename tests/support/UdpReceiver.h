// A UDP socket on a free loopback port that collects datagrams. Header only and plain POSIX,
// so that the end-to-end tests, which link nothing of the plug-in, can use it. Not thread safe.
#ifndef TESTS_SUPPORT_UDPRECEIVER_H
#define TESTS_SUPPORT_UDPRECEIVER_H

#include <poll.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <chrono>
#include <cstdint>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <vector>

class UdpReceiver {
 public:
  UdpReceiver() : m_fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(addr);
    if (bind(m_fd, reinterpret_cast<sockaddr*>(&addr), length) == 0 &&
        getsockname(m_fd, reinterpret_cast<sockaddr*>(&addr), &length) == 0) {
      m_port = ntohs(addr.sin_port);
    }
  }
  ~UdpReceiver() { close(m_fd); }
  UdpReceiver(const UdpReceiver&) = delete;
  UdpReceiver& operator=(const UdpReceiver&) = delete;

  // 0 when the socket could not be bound.
  uint16_t Port() const { return m_port; }

  // Collects datagrams until one contains the fragment or the time is up.
  bool WaitFor(const std::string& fragment, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (size_t seen = 0;; ++seen) {
      while (seen == m_datagrams.size()) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd entry{m_fd, POLLIN, 0};
        char buffer[65536];
        ssize_t n = 0;
        if (left.count() <= 0 || poll(&entry, 1, static_cast<int>(left.count())) != 1 ||
            (n = recv(m_fd, buffer, sizeof(buffer), 0)) < 0) {
          return false;
        }
        m_datagrams.emplace_back(buffer, static_cast<size_t>(n));
      }
      if (m_datagrams[seen].find(fragment) != std::string::npos) {
        return true;
      }
    }
  }
  const std::vector<std::string>& Datagrams() const { return m_datagrams; }

 private:
  int m_fd;
  uint16_t m_port = 0;
  std::vector<std::string> m_datagrams;
};

#endif  // TESTS_SUPPORT_UDPRECEIVER_H
