#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <vector>

#include <gtest/gtest.h>

#include "runtime/QrSocket.h"
#include "runtime/RCPtr.h"

namespace {

// A stream that takes at most 4 bytes per send, and fails the failingSend-th send.
struct TrickleSocket : QrSocket {
  int Send(const char* buffer, int bufferLen) override {
    chunks.emplace_back(buffer, buffer + std::min(bufferLen, 4));
    bool fail = static_cast<int>(chunks.size()) == failingSend;
    return fail ? -1 : static_cast<int>(chunks.back().size());
  }
  std::vector<std::string> chunks;
  int failingSend = 0;  // none
};

}  // namespace

TEST(QrSocketSendAll, SendsTheRestUntilEveryByteIsGoneOrTheFirstFailure) {
  RCPtr<TrickleSocket> sock = new TrickleSocket();
  EXPECT_EQ(10, sock->SendAll("0123456789", 10));
  EXPECT_EQ((std::vector<std::string>{"0123", "4567", "89"}), sock->chunks);
  EXPECT_EQ(0, sock->SendAll(nullptr, -7));
  EXPECT_EQ(3u, sock->chunks.size());
  sock = new TrickleSocket();
  sock->failingSend = 2;
  EXPECT_EQ(-1, sock->SendAll("0123456789", 10));
  EXPECT_EQ(2u, sock->chunks.size());
}

// A signal on a closed peer would end the host process.
TEST(QrSocketTcp, ReportsBothEndsAndFailsWithoutASignalOnAClosedPeer) {
  RCPtr<QrSocket> listener = new QrSocket(), client = new QrSocket();
  uint16 port = 0;
  ASSERT_TRUE(listener->Init(SOCK_STREAM, 0) && listener->BindLocalAddressAndPort("127.0.0.1", 0) &&
              listen(listener->GetDescriptor(), 1) == 0 && listener->RetrieveLocalPort(port) &&
              client->Init(SOCK_STREAM, 0) && client->Connect("127.0.0.1", port));
  int fd = accept(listener->GetDescriptor(), nullptr, nullptr);
  ASSERT_GE(fd, 0);
  RCPtr<QrSocket> server = new QrSocket(fd);
  EXPECT_EQ(5, client->SendAll("hello", 5));
  char buf[8];
  EXPECT_EQ(5, server->Recv(buf, sizeof(buf)));
  std::string remoteAddress, localAddress;
  uint16 local = 0, remote = 0, peerOfServer = 0;
  EXPECT_TRUE(client->RetrieveRemoteAddress(remoteAddress) &&
              client->RetrieveLocalAddress(localAddress) && client->RetrieveLocalPort(local) &&
              client->RetrieveRemotePort(remote) && server->RetrieveRemotePort(peerOfServer));
  EXPECT_EQ("hello 127.0.0.1/127.0.0.1",
            std::string(buf, 5) + " " + remoteAddress + "/" + localAddress);
  EXPECT_EQ(local, peerOfServer);
  EXPECT_EQ(port, remote);
  int size = 4096, len = sizeof(size);
  char* opt = reinterpret_cast<char*>(&size);
  EXPECT_EQ(0, QrSocket::SetSocketOption(fd, SOL_SOCKET, SO_RCVBUF, opt, len));
  size = 0;
  EXPECT_EQ(0, QrSocket::RetrieveSocketOption(fd, SOL_SOCKET, SO_RCVBUF, opt, &len));
  EXPECT_GE(size, 4096);
  EXPECT_EQ(-1, QrSocket::RetrieveSocketOption(fd, SOL_SOCKET, SO_RCVBUF, opt, nullptr));
  server = nullptr;
  ASSERT_EQ(-1, fcntl(fd, F_GETFD));  // a socket made from a descriptor owns it
  std::string block(64 * 1024, 'x');
  int rc = 0;
  for (int i = 0; i < 100 && rc >= 0; ++i) rc = client->SendAll(block.data(), 64 * 1024);
  EXPECT_LT(rc, 0);
}

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
  EXPECT_TRUE(sock->Send("abc", 3) < 0 && sock->Recv(buf, sizeof(buf)) < 0 &&
              sock->RecvFrom(buf, -1, from, anyPort) < 0);
  EXPECT_FALSE(sock->Connect("127.0.0.1", 9) || sock->BindLocalPort(0) ||
               sock->RetrieveLocalAddress(from) || sock->RetrieveRemotePort(anyPort));
  sock = nullptr;  // uninitialised: closes nothing
  EXPECT_NE(-1, fcntl(0, F_GETFD));
}
