// TCP through Windows Sockets; waits through select(). Programs using it link ws2_32.
#include "platform/Socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include "platform/SystemError.h"

namespace kelda::platform {

namespace {

// Windows Sockets are started once per process, on first use, and stay up until it ends.
void StartSockets() {
  static const bool started = [] {
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0)
      throw ESocketError("sockets: start: Windows Sockets 2.2 are not available");
    return true;
  }();
  (void)started;
}

std::string Where(const std::string& address, uint16_t port) {
  return address + ":" + std::to_string(port);
}

ESocketError Failure(const std::string& where, const std::string& operation, int error) {
  return ESocketError(where + ": " + operation + ": " + SystemErrorText(static_cast<uint32_t>(error)));
}

sockaddr_in AddressOf(const std::string& address, uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  if (inet_pton(AF_INET, address.c_str(), &sa.sin_addr) != 1)
    throw ESocketError(Where(address, port) + ": not an IPv4 address; use for example 127.0.0.1");
  return sa;
}

SOCKET Handle(std::intptr_t h) {
  return static_cast<SOCKET>(h);
}

// 0: timed out; >0 ready to read (or accept).
int WaitReadable(SOCKET s, uint32_t timeoutMs, const std::string& where) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(s, &set);
  timeval tv{static_cast<long>(timeoutMs / 1000), static_cast<long>((timeoutMs % 1000) * 1000)};
  const int r = select(0, &set, nullptr, nullptr, &tv);
  if (r == SOCKET_ERROR) throw Failure(where, "wait", WSAGetLastError());
  return r;
}

void NoDelay(SOCKET s) {
  const BOOL on = TRUE;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
}

}  // namespace

TTcpConnection::~TTcpConnection() {
  Close();
}

void TTcpConnection::Close() {
  if (FHandle != static_cast<std::intptr_t>(INVALID_SOCKET)) closesocket(Handle(FHandle));
  FHandle = static_cast<std::intptr_t>(INVALID_SOCKET);
}

std::size_t TTcpConnection::Read(void* buffer, std::size_t size, uint32_t timeoutMs) {
  if (FHandle == static_cast<std::intptr_t>(INVALID_SOCKET))
    throw ESocketError(FPeer + ": read: the connection is closed");
  if (FPeerClosed || size == 0) return 0;
  if (WaitReadable(Handle(FHandle), timeoutMs, FPeer) == 0) return 0;
  const int n = recv(Handle(FHandle), static_cast<char*>(buffer), static_cast<int>(size), 0);
  if (n > 0) return static_cast<std::size_t>(n);
  if (n == 0 || WSAGetLastError() == WSAECONNRESET) {
    FPeerClosed = true;
    return 0;
  }
  throw Failure(FPeer, "read", WSAGetLastError());
}

void TTcpConnection::Write(const void* data, std::size_t size) {
  if (FHandle == static_cast<std::intptr_t>(INVALID_SOCKET))
    throw ESocketError(FPeer + ": write: the connection is closed");
  const auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const int n = send(Handle(FHandle), bytes, static_cast<int>(size), 0);
    if (n == SOCKET_ERROR) {
      const int error = WSAGetLastError();
      if (error == WSAECONNRESET || error == WSAECONNABORTED) FPeerClosed = true;
      throw Failure(FPeer, "write", error);
    }
    bytes += n;
    size -= static_cast<std::size_t>(n);
  }
}

TTcpListener::TTcpListener(const std::string& address, uint16_t port) {
  StartSockets();
  const std::string where = Where(address, port);
  const sockaddr_in sa = AddressOf(address, port);
  const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) throw Failure(where, "socket", WSAGetLastError());
  // Exclusive use: no other program may bind the same port while the simulator listens.
  const BOOL on = TRUE;
  setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on), sizeof on);
  if (bind(s, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == SOCKET_ERROR) {
    const int error = WSAGetLastError();
    closesocket(s);
    if (error == WSAEADDRINUSE || error == WSAEACCES) {
      ESocketError e(where + ": listen: the port is in use by another program; choose another port");
      e.InUse = true;
      throw e;
    }
    throw Failure(where, "listen", error);
  }
  if (listen(s, 1) == SOCKET_ERROR) {
    const int error = WSAGetLastError();
    closesocket(s);
    throw Failure(where, "listen", error);
  }
  sockaddr_in bound{};
  int length = sizeof bound;
  getsockname(s, reinterpret_cast<sockaddr*>(&bound), &length);
  FPort = ntohs(bound.sin_port);
  FHandle = static_cast<std::intptr_t>(s);
}

TTcpListener::~TTcpListener() {
  closesocket(Handle(FHandle));
}

std::unique_ptr<TTcpConnection> TTcpListener::Accept(uint32_t timeoutMs) {
  const std::string where = "port " + std::to_string(FPort);
  if (WaitReadable(Handle(FHandle), timeoutMs, where) == 0) return nullptr;
  sockaddr_in peer{};
  int length = sizeof peer;
  const SOCKET client = accept(Handle(FHandle), reinterpret_cast<sockaddr*>(&peer), &length);
  if (client == INVALID_SOCKET) {
    const int error = WSAGetLastError();
    if (error == WSAEWOULDBLOCK || error == WSAECONNRESET) return nullptr;
    throw Failure(where, "accept", error);
  }
  NoDelay(client);
  char text[INET_ADDRSTRLEN] = "?";
  inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
  return std::unique_ptr<TTcpConnection>(
      new TTcpConnection(static_cast<std::intptr_t>(client), Where(text, ntohs(peer.sin_port))));
}

std::unique_ptr<TTcpConnection> TTcpListener::Connect(const std::string& address, uint16_t port) {
  StartSockets();
  const std::string where = Where(address, port);
  const sockaddr_in sa = AddressOf(address, port);
  const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) throw Failure(where, "socket", WSAGetLastError());
  if (connect(s, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == SOCKET_ERROR) {
    const int error = WSAGetLastError();
    closesocket(s);
    throw Failure(where, "connect", error);
  }
  NoDelay(s);
  return std::unique_ptr<TTcpConnection>(new TTcpConnection(static_cast<std::intptr_t>(s), where));
}

}  // namespace kelda::platform
