// An IPv4 socket descriptor with name resolution, for the syslog writer and tools: TCP
// connect/bind/send/receive, UDP datagrams, and SendAll for streams that accept only part
// of a buffer per call. Ports are in host byte order. Owns its descriptor once
// initialised and closes it on destruction.
// Not thread safe: one socket object is used by one thread at a time.
#ifndef RUNTIME_QRSOCKET_H
#define RUNTIME_QRSOCKET_H

#include <string>

#include "runtime/PlatformTypes.h"
#include "runtime/QrMutex.h"
#include "runtime/RCObject.h"

class QrSocket : public RCObject {
 public:
  QrSocket() = default;
  // Takes ownership of an open descriptor.
  explicit QrSocket(int sockDesc) : m_sockDesc(sockDesc), m_initialized(TRUE) {}
  QrSocket(const QrSocket&) = delete;
  QrSocket& operator=(const QrSocket&) = delete;

  // type SOCK_STREAM or SOCK_DGRAM, protocol usually 0.
  Bool Init(int type, int protocol);
  Bool Connect(const std::string& remoteAddress, uint16 remotePort);
  Bool BindLocalPort(uint16 localPort);
  Bool BindLocalAddressAndPort(const std::string& localAddress, uint16 localPort);

  // One send()/recv(); the system's result. A closed peer yields -1 (EPIPE), never
  // SIGPIPE: the plug-in must not end its host process. Send is virtual so that tests
  // can stand in a stream that takes a few bytes per call.
  virtual int Send(const char* buffer, int bufferLen);
  int Recv(char* buffer, int bufferLen);
  // Sends until all bufferLen bytes are gone: bufferLen, 0 for nothing to send, or the
  // negative result of the first failing send.
  int SendAll(const char* buffer, int bufferLen);
  // -1 when the host name cannot be resolved.
  int SendTo(const char* buffer, int bufferLen, const std::string& remoteAddress,
             uint16 remotePort);
  int RecvFrom(char* buffer, int bufferLen, std::string& sourceAddress, uint16& sourcePort);

  Bool RetrieveLocalAddress(std::string& address);
  Bool RetrieveLocalPort(uint16& port);
  Bool RetrieveRemoteAddress(std::string& address);
  Bool RetrieveRemotePort(uint16& port);

  static int RetrieveSocketOption(int sockDesc, int level, int optName, char* optVal, int* optLen);
  static int SetSocketOption(int sockDesc, int level, int optName, const char* optVal, int optLen);

  int GetDescriptor() const { return m_sockDesc; }
  Bool IsInitialized() const { return m_initialized; }

 protected:
  ~QrSocket() override;

 private:
  int m_sockDesc = -1;
  Bool m_initialized = FALSE;

  // Process-wide, kept for code that serialises socket set-up; no operation here takes it.
  static QrMutex s_lock;
};

#endif  // RUNTIME_QRSOCKET_H
