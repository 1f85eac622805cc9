#include <fcntl.h>
#include <unistd.h>

#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "runtime/QrSocket.h"
#include "runtime/RCPtr.h"

namespace {

// A stream that takes at most `perCall` bytes per send and can fail on a chosen call.
class TrickleSocket : public QrSocket {
 public:
  explicit TrickleSocket(int perCall) : m_perCall(perCall) {}
  int Send(const char* buffer, int bufferLen) override {
    if (static_cast<int>(chunks.size()) == failOnCall) {
      chunks.emplace_back();
      return -1;
    }
    int n = bufferLen < m_perCall ? bufferLen : m_perCall;
    chunks.emplace_back(buffer, buffer + n);
    return n;
  }
  std::vector<std::string> chunks;
  int failOnCall = -1;

 private:
  int m_perCall;
};

// A connected loopback TCP pair: client socket, accepted server socket.
struct TcpPair {
  RCPtr<QrSocket> client = new QrSocket();
  RCPtr<QrSocket> server;
};

bool MakeTcpPair(TcpPair* pair, int bufferBytes) {
  RCPtr<QrSocket> listener = new QrSocket();
  uint16 port = 0;
  if (!listener->Init(SOCK_STREAM, 0) || !listener->BindLocalAddressAndPort("127.0.0.1", 0) ||
      listen(listener->GetDescriptor(), 1) != 0 || !listener->RetrieveLocalPort(port)) {
    return false;
  }
  if (!pair->client->Init(SOCK_STREAM, 0)) return false;
  if (bufferBytes > 0) {
    const char* opt = reinterpret_cast<const char*>(&bufferBytes);
    QrSocket::SetSocketOption(pair->client->GetDescriptor(), SOL_SOCKET, SO_SNDBUF, opt,
                              sizeof(bufferBytes));
    QrSocket::SetSocketOption(listener->GetDescriptor(), SOL_SOCKET, SO_RCVBUF, opt,
                              sizeof(bufferBytes));
  }
  if (!pair->client->Connect("127.0.0.1", port)) return false;
  int fd = accept(listener->GetDescriptor(), nullptr, nullptr);
  if (fd < 0) return false;
  pair->server = new QrSocket(fd);
  return true;
}

}  // namespace

TEST(QrSocketSendAll, SendsTheRestUntilEveryByteIsGone) {
  RCPtr<TrickleSocket> sock = new TrickleSocket(4);
  EXPECT_EQ(10, sock->SendAll("0123456789", 10));
  EXPECT_EQ((std::vector<std::string>{"0123", "4567", "89"}), sock->chunks);
}

TEST(QrSocketSendAll, ReturnsTheFirstFailureAndIgnoresEmptyBuffers) {
  RCPtr<TrickleSocket> sock = new TrickleSocket(4);
  sock->failOnCall = 1;
  EXPECT_EQ(-1, sock->SendAll("0123456789", 10));
  EXPECT_EQ(2u, sock->chunks.size());
  RCPtr<TrickleSocket> idle = new TrickleSocket(4);
  EXPECT_EQ(0, idle->SendAll("abc", 0));
  EXPECT_EQ(0, idle->SendAll(nullptr, -7));
  EXPECT_TRUE(idle->chunks.empty());
}

TEST(QrSocketTcp, SendAllDeliversABigBufferToASlowReader) {
  TcpPair pair;
  ASSERT_TRUE(MakeTcpPair(&pair, 1024));
  std::string payload(1 << 20, '\0');
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 7);
  std::string received;
  std::thread reader([&] {
    char chunk[333];
    while (received.size() < payload.size()) {
      int n = pair.server->Recv(chunk, sizeof(chunk));
      if (n <= 0) break;
      received.append(chunk, static_cast<size_t>(n));
    }
  });
  EXPECT_EQ(static_cast<int>(payload.size()),
            pair.client->SendAll(payload.data(), static_cast<int>(payload.size())));
  reader.join();
  EXPECT_TRUE(received == payload);
}

TEST(QrSocketTcp, ReportsBothEndsAndFailsWithoutSignalOnAClosedPeer) {
  TcpPair pair;
  ASSERT_TRUE(MakeTcpPair(&pair, 0));
  std::string address;
  uint16 local = 0, remote = 0, peerOfServer = 0;
  EXPECT_TRUE(pair.client->RetrieveRemoteAddress(address));
  EXPECT_EQ("127.0.0.1", address);
  EXPECT_TRUE(pair.client->RetrieveLocalAddress(address));
  EXPECT_EQ("127.0.0.1", address);
  EXPECT_TRUE(pair.client->RetrieveLocalPort(local));
  EXPECT_TRUE(pair.client->RetrieveRemotePort(remote));
  EXPECT_TRUE(pair.server->RetrieveRemotePort(peerOfServer));
  EXPECT_EQ(local, peerOfServer);
  EXPECT_NE(0, remote);

  int rcvbuf = 0;
  int len = sizeof(rcvbuf);
  EXPECT_EQ(0, QrSocket::RetrieveSocketOption(pair.client->GetDescriptor(), SOL_SOCKET, SO_RCVBUF,
                                              reinterpret_cast<char*>(&rcvbuf), &len));
  EXPECT_GT(rcvbuf, 0);
  EXPECT_EQ(-1, QrSocket::RetrieveSocketOption(pair.client->GetDescriptor(), SOL_SOCKET, SO_RCVBUF,
                                               reinterpret_cast<char*>(&rcvbuf), nullptr));

  pair.server = nullptr;  // closes the accepted end
  std::string block(64 * 1024, 'x');
  int rc = 0;
  for (int i = 0; i < 100 && rc >= 0; ++i) {
    rc = pair.client->SendAll(block.data(), static_cast<int>(block.size()));
  }
  EXPECT_LT(rc, 0);
}

TEST(QrSocketUdp, DatagramsCarryTheSendersAddress) {
  RCPtr<QrSocket> receiver = new QrSocket();
  RCPtr<QrSocket> sender = new QrSocket();
  ASSERT_TRUE(receiver->Init(SOCK_DGRAM, 0));
  ASSERT_TRUE(receiver->BindLocalAddressAndPort("localhost", 0));
  ASSERT_TRUE(sender->Init(SOCK_DGRAM, 0));
  ASSERT_TRUE(sender->BindLocalPort(0));
  uint16 port = 0, senderPort = 0;
  ASSERT_TRUE(receiver->RetrieveLocalPort(port));
  ASSERT_TRUE(sender->RetrieveLocalPort(senderPort));
  EXPECT_EQ(5, sender->SendTo("hello", 5, "127.0.0.1", port));
  char buf[16];
  std::string from;
  uint16 fromPort = 0;
  EXPECT_EQ(5, receiver->RecvFrom(buf, sizeof(buf), from, fromPort));
  EXPECT_EQ("hello", std::string(buf, 5));
  EXPECT_EQ("127.0.0.1", from);
  EXPECT_EQ(senderPort, fromPort);
  EXPECT_EQ(-1, sender->SendTo("x", -1, "127.0.0.1", port));
}

TEST(QrSocketLifetime, InitTwiceKeepsTheDescriptorAndUninitialisedClosesNothing) {
  RCPtr<QrSocket> sock = new QrSocket();
  ASSERT_TRUE(sock->Init(SOCK_STREAM, 0));
  int fd = sock->GetDescriptor();
  EXPECT_TRUE(sock->Init(SOCK_DGRAM, 0));
  EXPECT_EQ(fd, sock->GetDescriptor());

  int fds[2];
  ASSERT_EQ(0, pipe(fds));
  { RCPtr<QrSocket> idle = new QrSocket(); }
  EXPECT_NE(-1, fcntl(fds[0], F_GETFD));
  EXPECT_NE(-1, fcntl(0, F_GETFD));
  { RCPtr<QrSocket> owner = new QrSocket(fds[0]); }
  EXPECT_EQ(-1, fcntl(fds[0], F_GETFD));
  close(fds[1]);
}

TEST(QrSocketLifetime, OperationsOnAnUninitialisedSocketFailSoftly) {
  RCPtr<QrSocket> sock = new QrSocket();
  char buf[4];
  std::string text;
  uint16 port = 0;
  EXPECT_LT(sock->Send("abc", 3), 0);
  EXPECT_LT(sock->Recv(buf, sizeof(buf)), 0);
  EXPECT_LT(sock->SendAll("abc", 3), 0);
  EXPECT_FALSE(sock->Connect("127.0.0.1", 9));
  EXPECT_FALSE(sock->BindLocalPort(0));
  EXPECT_FALSE(sock->RetrieveLocalAddress(text));
  EXPECT_FALSE(sock->RetrieveRemotePort(port));
  EXPECT_LT(sock->RecvFrom(buf, -1, text, port), 0);
}
