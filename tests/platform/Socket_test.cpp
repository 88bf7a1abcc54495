#include "platform/Socket.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "tests/support/Wait.h"

using kelda::platform::ESocketError;
using kelda::platform::TTcpConnection;
using kelda::platform::TTcpListener;

TEST(Socket, ClientAndServerExchangeBytesUntilOneCloses) {
  TTcpListener listener("127.0.0.1", 0);
  ASSERT_NE(listener.Port(), 0);
  EXPECT_EQ(listener.Accept(50), nullptr);  // nobody yet

  auto client = TTcpListener::Connect("127.0.0.1", listener.Port());
  std::unique_ptr<TTcpConnection> server;
  ASSERT_TRUE(kelda::test::WaitFor([&] { return (server = listener.Accept(100)) != nullptr; }));
  EXPECT_EQ(server->Peer().rfind("127.0.0.1:", 0), 0u) << server->Peer();

  const std::string hello("\x1b\x58\x00\xff hello", 10);
  client->Write(hello.data(), hello.size());
  std::string got;
  ASSERT_TRUE(kelda::test::WaitFor([&] {
    char buffer[64];
    got.append(buffer, server->Read(buffer, sizeof buffer, 50));
    return got.size() >= hello.size();
  }));
  EXPECT_EQ(got, hello);

  // Nothing to read: the read waits about its time and returns 0 with the peer still there.
  char buffer[8];
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(server->Read(buffer, sizeof buffer, 200), 0u);
  const auto waited =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  EXPECT_GE(waited, 150);
  EXPECT_LT(waited, 5000);
  EXPECT_FALSE(server->PeerClosed());

  server->Write("ok", 2);
  EXPECT_TRUE(kelda::test::WaitFor([&] { return client->Read(buffer, sizeof buffer, 50) == 2; }));

  client->Close();
  EXPECT_TRUE(kelda::test::WaitFor([&] {
    server->Read(buffer, sizeof buffer, 50);
    return server->PeerClosed();
  }));
  EXPECT_THROW(client->Read(buffer, sizeof buffer, 10), ESocketError);
}

TEST(Socket, ABusyPortOrBadAddressIsRefused) {
  TTcpListener first("127.0.0.1", 0);
  try {
    TTcpListener second("127.0.0.1", first.Port());
    ADD_FAILURE() << "two listeners on one port";
  } catch (const ESocketError& e) {
    EXPECT_TRUE(e.InUse) << e.what();
    EXPECT_NE(std::string(e.what()).find(std::to_string(first.Port())), std::string::npos) << e.what();
  }
  EXPECT_THROW(TTcpListener("localhost:1", 0), ESocketError);
  EXPECT_THROW(TTcpListener::Connect("127.0.0.1", 0), ESocketError);
}
