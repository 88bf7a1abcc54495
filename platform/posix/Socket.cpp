// TCP through BSD sockets; waits through poll().
#include "platform/Socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kelda::platform {

namespace {

std::string Where(const std::string& address, uint16_t port) {
  return address + ":" + std::to_string(port);
}

ESocketError Failure(const std::string& where, const std::string& operation, int error) {
  return ESocketError(where + ": " + operation + ": " + std::strerror(error));
}

sockaddr_in AddressOf(const std::string& address, uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  if (::inet_pton(AF_INET, address.c_str(), &sa.sin_addr) != 1)
    throw ESocketError(Where(address, port) + ": not an IPv4 address; use for example 127.0.0.1");
  return sa;
}

// 0: timed out; >0 ready; throws on failure.
int WaitFor(int fd, short events, uint32_t timeoutMs, const std::string& where) {
  pollfd p{fd, events, 0};
  for (;;) {
    const int r = ::poll(&p, 1, static_cast<int>(timeoutMs));
    if (r >= 0) return r;
    if (errno != EINTR) throw Failure(where, "wait", errno);
  }
}

}  // namespace

TTcpConnection::~TTcpConnection() {
  Close();
}

void TTcpConnection::Close() {
  if (FHandle >= 0) ::close(static_cast<int>(FHandle));
  FHandle = -1;
}

std::size_t TTcpConnection::Read(void* buffer, std::size_t size, uint32_t timeoutMs) {
  if (FHandle < 0) throw ESocketError(FPeer + ": read: the connection is closed");
  if (FPeerClosed || size == 0) return 0;
  const int fd = static_cast<int>(FHandle);
  if (WaitFor(fd, POLLIN, timeoutMs, FPeer) == 0) return 0;
  for (;;) {
    const ssize_t n = ::recv(fd, buffer, size, 0);
    if (n > 0) return static_cast<std::size_t>(n);
    if (n == 0 || errno == ECONNRESET) {
      FPeerClosed = true;
      return 0;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    throw Failure(FPeer, "read", errno);
  }
}

void TTcpConnection::Write(const void* data, std::size_t size) {
  if (FHandle < 0) throw ESocketError(FPeer + ": write: the connection is closed");
  const auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    // No SIGPIPE: a client that has gone is an error of this call, not the end of the process.
    const ssize_t n = ::send(static_cast<int>(FHandle), bytes, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      if (errno == EPIPE || errno == ECONNRESET) FPeerClosed = true;
      throw Failure(FPeer, "write", errno);
    }
    bytes += n;
    size -= static_cast<std::size_t>(n);
  }
}

TTcpListener::TTcpListener(const std::string& address, uint16_t port) {
  const std::string where = Where(address, port);
  const sockaddr_in sa = AddressOf(address, port);
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw Failure(where, "socket", errno);
  FHandle = fd;
  const int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);  // restart while old links linger
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
    const int error = errno;
    ::close(fd);
    ESocketError e = Failure(where, "listen", error);
    if (error == EADDRINUSE) {
      e = ESocketError(where + ": listen: the port is in use by another program; choose another port");
      e.InUse = true;
    }
    throw e;
  }
  if (::listen(fd, 1) != 0) {
    const int error = errno;
    ::close(fd);
    throw Failure(where, "listen", error);
  }
  sockaddr_in bound{};
  socklen_t length = sizeof bound;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length);
  FPort = ntohs(bound.sin_port);
}

TTcpListener::~TTcpListener() {
  ::close(static_cast<int>(FHandle));
}

std::unique_ptr<TTcpConnection> TTcpListener::Accept(uint32_t timeoutMs) {
  const int fd = static_cast<int>(FHandle);
  const std::string where = "port " + std::to_string(FPort);
  if (WaitFor(fd, POLLIN, timeoutMs, where) == 0) return nullptr;
  sockaddr_in peer{};
  socklen_t length = sizeof peer;
  const int client = ::accept4(fd, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
  if (client < 0) {
    if (errno == EAGAIN || errno == EINTR || errno == ECONNABORTED) return nullptr;
    throw Failure(where, "accept", errno);
  }
  const int on = 1;
  ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);  // answers leave at once
  char text[INET_ADDRSTRLEN] = "?";
  ::inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
  return std::unique_ptr<TTcpConnection>(new TTcpConnection(client, Where(text, ntohs(peer.sin_port))));
}

std::unique_ptr<TTcpConnection> TTcpListener::Connect(const std::string& address, uint16_t port) {
  const std::string where = Where(address, port);
  const sockaddr_in sa = AddressOf(address, port);
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw Failure(where, "socket", errno);
  while (::connect(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
    if (errno == EINTR) continue;
    const int error = errno;
    ::close(fd);
    throw Failure(where, "connect", error);
  }
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return std::unique_ptr<TTcpConnection>(new TTcpConnection(fd, where));
}

}  // namespace kelda::platform
