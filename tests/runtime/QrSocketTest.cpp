#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "runtime/QrSocket.h"
#include "runtime/RCPtr.h"

namespace {

// A stream that takes at most 4 bytes per send, and fails the send numbered failOnCall.
class TrickleSocket : public QrSocket {
 public:
  explicit TrickleSocket(int failOnCall = -1) : m_failOnCall(failOnCall) {}
  int Send(const char* buffer, int bufferLen) override {
    chunks.emplace_back(buffer, buffer + std::min(bufferLen, 4));
    bool fail = static_cast<int>(chunks.size()) == m_failOnCall + 1;
    return fail ? -1 : static_cast<int>(chunks.back().size());
  }
  std::vector<std::string> chunks;

 private:
  int m_failOnCall;
};

}  // namespace

TEST(QrSocketSendAll, SendsTheRestUntilEveryByteIsGoneOrTheFirstFailure) {
  RCPtr<TrickleSocket> sock = new TrickleSocket();
  EXPECT_EQ(10, sock->SendAll("0123456789", 10));
  EXPECT_EQ((std::vector<std::string>{"0123", "4567", "89"}), sock->chunks);
  EXPECT_EQ(0, sock->SendAll("abc", 0));
  EXPECT_EQ(0, sock->SendAll(nullptr, -7));
  EXPECT_EQ(3u, sock->chunks.size());
  sock = new TrickleSocket(1);
  EXPECT_EQ(-1, sock->SendAll("0123456789", 10));
  EXPECT_EQ(2u, sock->chunks.size());
}

// A big buffer reaches a slow reader through small socket buffers; both ends report the
// loopback addresses and matching ports; sending to a closed peer fails without a signal.
TEST(QrSocketTcp, DeliversABigBufferReportsBothEndsAndFailsOnAClosedPeer) {
  RCPtr<QrSocket> listener = new QrSocket(), client = new QrSocket();
  uint16 port = 0;
  ASSERT_TRUE(listener->Init(SOCK_STREAM, 0) && listener->BindLocalAddressAndPort("127.0.0.1", 0) &&
              listen(listener->GetDescriptor(), 1) == 0 && listener->RetrieveLocalPort(port) &&
              client->Init(SOCK_STREAM, 0));
  int small = 1024;
  const char* smallOpt = reinterpret_cast<const char*>(&small);
  QrSocket::SetSocketOption(client->GetDescriptor(), SOL_SOCKET, SO_SNDBUF, smallOpt, 4);
  QrSocket::SetSocketOption(listener->GetDescriptor(), SOL_SOCKET, SO_RCVBUF, smallOpt, 4);
  ASSERT_TRUE(client->Connect("127.0.0.1", port));
  int fd = accept(listener->GetDescriptor(), nullptr, nullptr);
  ASSERT_GE(fd, 0);
  RCPtr<QrSocket> server = new QrSocket(fd);
  std::string payload(1 << 20, '\0');
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 7);
  std::string received;
  std::thread reader([&] {
    char chunk[333];
    for (int n = 1; n > 0 && received.size() < payload.size();) {
      n = server->Recv(chunk, sizeof(chunk));
      if (n > 0) received.append(chunk, static_cast<size_t>(n));
    }
  });
  EXPECT_EQ(1 << 20, client->SendAll(payload.data(), 1 << 20));
  reader.join();
  EXPECT_TRUE(received == payload);

  std::string remoteAddress, localAddress;
  uint16 local = 0, remote = 0, peerOfServer = 0;
  EXPECT_TRUE(client->RetrieveRemoteAddress(remoteAddress) &&
              client->RetrieveLocalAddress(localAddress) && client->RetrieveLocalPort(local) &&
              client->RetrieveRemotePort(remote) && server->RetrieveRemotePort(peerOfServer));
  EXPECT_EQ("127.0.0.1/127.0.0.1", remoteAddress + "/" + localAddress);
  EXPECT_EQ(local, peerOfServer);
  EXPECT_EQ(port, remote);
  int rcvbuf = 0, len = sizeof(rcvbuf);
  char* opt = reinterpret_cast<char*>(&rcvbuf);
  EXPECT_EQ(0, QrSocket::RetrieveSocketOption(fd, SOL_SOCKET, SO_RCVBUF, opt, &len));
  EXPECT_GT(rcvbuf, 0);
  EXPECT_EQ(-1, QrSocket::RetrieveSocketOption(fd, SOL_SOCKET, SO_RCVBUF, opt, nullptr));
  server = nullptr;  // closes the accepted end
  std::string block(64 * 1024, 'x');
  int rc = 0;
  for (int i = 0; i < 100 && rc >= 0; ++i) rc = client->SendAll(block.data(), 64 * 1024);
  EXPECT_LT(rc, 0);
}

// Datagrams carry the sender's address. A socket owns only a descriptor it was given or
// made, keeps it on a second Init, and without one every operation fails softly.
TEST(QrSocketUdp, DatagramsCarryTheSendersAddressAndASocketOwnsOnlyItsDescriptor) {
  RCPtr<QrSocket> receiver = new QrSocket(), sender = new QrSocket();
  uint16 port = 0, senderPort = 0, fromPort = 0;
  ASSERT_TRUE(receiver->Init(SOCK_DGRAM, 0) && receiver->BindLocalAddressAndPort("localhost", 0) &&
              sender->Init(SOCK_DGRAM, 0) && sender->BindLocalPort(0) &&
              receiver->RetrieveLocalPort(port) && sender->RetrieveLocalPort(senderPort));
  EXPECT_EQ(5, sender->SendTo("hello", 5, "127.0.0.1", port));
  char buf[16];
  std::string from;
  EXPECT_EQ(5, receiver->RecvFrom(buf, sizeof(buf), from, fromPort));
  EXPECT_EQ("hello/127.0.0.1", std::string(buf, 5) + "/" + from);
  EXPECT_EQ(senderPort, fromPort);
  EXPECT_EQ(-1, sender->SendTo("x", -1, "127.0.0.1", port));
  int fd = sender->GetDescriptor();
  EXPECT_TRUE(sender->Init(SOCK_STREAM, 0));
  EXPECT_EQ(fd, sender->GetDescriptor());

  RCPtr<QrSocket> sock = new QrSocket();
  uint16 anyPort = 0;
  EXPECT_LT(sock->Send("abc", 3), 0);
  EXPECT_LT(sock->Recv(buf, sizeof(buf)), 0);
  EXPECT_LT(sock->SendAll("abc", 3), 0);
  EXPECT_LT(sock->RecvFrom(buf, -1, from, anyPort), 0);
  EXPECT_FALSE(sock->Connect("127.0.0.1", 9) || sock->BindLocalPort(0) ||
               sock->RetrieveLocalAddress(from) || sock->RetrieveRemotePort(anyPort));
  int fds[2];
  ASSERT_EQ(0, pipe(fds));
  sock = new QrSocket();  // uninitialised: closes nothing
  sock = nullptr;
  EXPECT_NE(-1, fcntl(fds[0], F_GETFD));
  EXPECT_NE(-1, fcntl(0, F_GETFD));
  sock = new QrSocket(fds[0]);
  sock = nullptr;
  EXPECT_EQ(-1, fcntl(fds[0], F_GETFD));
  close(fds[1]);
}
