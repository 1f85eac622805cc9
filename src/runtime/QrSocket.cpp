#include "runtime/QrSocket.h"

#include <netdb.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>

#include "logging/Log.h"

namespace {

// The first IPv4 address of a host name or dotted address, port filled in.
bool Resolve(const std::string& host, uint16 port, sockaddr_in* addr) {
  addrinfo hints;
  memset(&hints, 0, sizeof(hints));
  hints.ai_family = AF_INET;
  addrinfo* result = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &result) != 0 || result == nullptr) {
    return false;
  }
  bool found = false;
  for (addrinfo* ai = result; ai != nullptr; ai = ai->ai_next) {
    if (ai->ai_family == AF_INET && ai->ai_addrlen >= sizeof(sockaddr_in)) {
      memcpy(addr, ai->ai_addr, sizeof(sockaddr_in));
      addr->sin_port = htons(port);
      found = true;
      break;
    }
  }
  freeaddrinfo(result);
  return found;
}

void ToDotted(const sockaddr_in& addr, std::string& address) {
  char text[INET_ADDRSTRLEN];
  if (inet_ntop(AF_INET, &addr.sin_addr, text, sizeof(text)) != nullptr) {
    address = text;
  }
}

Bool BindTo(int sockDesc, const sockaddr_in& addr) {
  return bind(sockDesc, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) == 0 ? TRUE : FALSE;
}

}  // namespace

QrMutex QrSocket::s_lock(false, "");

QrSocket::~QrSocket() {
  if (m_initialized) {
    close(m_sockDesc);
  }
}

Bool QrSocket::Init(int type, int protocol) {
  if (m_initialized) {
    QR_LOG(LOGGER_LOG_DEBUG, "QrSocket is already initialized.\n");
    return TRUE;
  }
  int fd = socket(AF_INET, type | SOCK_CLOEXEC, protocol);
  if (fd < 0) {
    return FALSE;
  }
  m_sockDesc = fd;
  m_initialized = TRUE;
  return TRUE;
}

Bool QrSocket::Connect(const std::string& remoteAddress, uint16 remotePort) {
  sockaddr_in addr;
  if (!Resolve(remoteAddress, remotePort, &addr)) {
    return FALSE;
  }
  return connect(m_sockDesc, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) == 0 ? TRUE
                                                                                          : FALSE;
}

Bool QrSocket::BindLocalPort(uint16 localPort) {
  sockaddr_in addr;
  memset(&addr, 0, sizeof(addr));
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  addr.sin_port = htons(localPort);
  return BindTo(m_sockDesc, addr);
}

Bool QrSocket::BindLocalAddressAndPort(const std::string& localAddress, uint16 localPort) {
  sockaddr_in addr;
  if (!Resolve(localAddress, localPort, &addr)) {
    return FALSE;
  }
  return BindTo(m_sockDesc, addr);
}

int QrSocket::Send(const char* buffer, int bufferLen) {
  if (bufferLen < 0) {
    return -1;
  }
  return static_cast<int>(send(m_sockDesc, buffer, static_cast<size_t>(bufferLen), MSG_NOSIGNAL));
}

int QrSocket::Recv(char* buffer, int bufferLen) {
  if (bufferLen < 0) {
    return -1;
  }
  return static_cast<int>(recv(m_sockDesc, buffer, static_cast<size_t>(bufferLen), 0));
}

int QrSocket::SendAll(const char* buffer, int bufferLen) {
  if (bufferLen < 1) {
    return 0;
  }
  int sent = 0;
  while (sent < bufferLen) {
    int n = Send(buffer + sent, bufferLen - sent);
    if (n < 0) {
      return n;
    }
    sent += n;
  }
  return bufferLen;
}

int QrSocket::SendTo(const char* buffer, int bufferLen, const std::string& remoteAddress,
                     uint16 remotePort) {
  sockaddr_in addr;
  if (bufferLen < 0 || !Resolve(remoteAddress, remotePort, &addr)) {
    return -1;
  }
  return static_cast<int>(sendto(m_sockDesc, buffer, static_cast<size_t>(bufferLen), MSG_NOSIGNAL,
                                 reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)));
}

int QrSocket::RecvFrom(char* buffer, int bufferLen, std::string& sourceAddress,
                       uint16& sourcePort) {
  if (bufferLen < 0) {
    return -1;
  }
  sockaddr_in addr;
  memset(&addr, 0, sizeof(addr));
  socklen_t len = sizeof(addr);
  int n = static_cast<int>(recvfrom(m_sockDesc, buffer, static_cast<size_t>(bufferLen), 0,
                                    reinterpret_cast<sockaddr*>(&addr), &len));
  if (n >= 0 && addr.sin_family == AF_INET) {
    ToDotted(addr, sourceAddress);
    sourcePort = ntohs(addr.sin_port);
  }
  return n;
}

Bool QrSocket::RetrieveLocalAddress(std::string& address) {
  sockaddr_in addr;
  socklen_t len = sizeof(addr);
  if (getsockname(m_sockDesc, reinterpret_cast<sockaddr*>(&addr), &len) != 0 ||
      addr.sin_family != AF_INET) {
    return FALSE;
  }
  ToDotted(addr, address);
  return TRUE;
}

Bool QrSocket::RetrieveLocalPort(uint16& port) {
  sockaddr_in addr;
  socklen_t len = sizeof(addr);
  if (getsockname(m_sockDesc, reinterpret_cast<sockaddr*>(&addr), &len) != 0 ||
      addr.sin_family != AF_INET) {
    return FALSE;
  }
  port = ntohs(addr.sin_port);
  return TRUE;
}

Bool QrSocket::RetrieveRemoteAddress(std::string& address) {
  sockaddr_in addr;
  socklen_t len = sizeof(addr);
  if (getpeername(m_sockDesc, reinterpret_cast<sockaddr*>(&addr), &len) != 0 ||
      addr.sin_family != AF_INET) {
    return FALSE;
  }
  ToDotted(addr, address);
  return TRUE;
}

Bool QrSocket::RetrieveRemotePort(uint16& port) {
  sockaddr_in addr;
  socklen_t len = sizeof(addr);
  if (getpeername(m_sockDesc, reinterpret_cast<sockaddr*>(&addr), &len) != 0 ||
      addr.sin_family != AF_INET) {
    return FALSE;
  }
  port = ntohs(addr.sin_port);
  return TRUE;
}

int QrSocket::RetrieveSocketOption(int sockDesc, int level, int optName, char* optVal,
                                   int* optLen) {
  if (optLen == nullptr || *optLen < 0) {
    return -1;
  }
  socklen_t len = static_cast<socklen_t>(*optLen);
  int rc = getsockopt(sockDesc, level, optName, optVal, &len);
  *optLen = static_cast<int>(len);
  return rc;
}

int QrSocket::SetSocketOption(int sockDesc, int level, int optName, const char* optVal,
                              int optLen) {
  if (optLen < 0) {
    return -1;
  }
  return setsockopt(sockDesc, level, optName, optVal, static_cast<socklen_t>(optLen));
}
