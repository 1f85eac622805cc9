// A UDP socket on a free loopback port that collects datagrams. Header only and plain POSIX,
// so that the end-to-end tests, which link nothing of the plug-in, can use it. Not thread safe.
#ifndef TESTS_SUPPORT_UDPRECEIVER_H
#define TESTS_SUPPORT_UDPRECEIVER_H

#include <unistd.h>

#include <arpa/inet.h>
#include <cstdint>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/time.h>
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

  // Collects datagrams until one contains the fragment or none came for the time given.
  bool WaitFor(const std::string& fragment, int timeoutMs) {
    timeval limit{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
    char buffer[65536];
    for (ssize_t n; (n = recv(m_fd, buffer, sizeof(buffer), 0)) >= 0;) {
      m_datagrams.emplace_back(buffer, static_cast<size_t>(n));
      if (m_datagrams.back().find(fragment) != std::string::npos) {
        return true;
      }
    }
    return false;
  }
  const std::vector<std::string>& Datagrams() const { return m_datagrams; }

 private:
  int m_fd;
  uint16_t m_port = 0;
  std::vector<std::string> m_datagrams;
};

#endif  // TESTS_SUPPORT_UDPRECEIVER_H
