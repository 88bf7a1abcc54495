// A listening TCP socket and its connections, for the tools (the PLC simulator serves a master
// over TCP). Sockets on Windows, BSD sockets on POSIX. The plug-in never uses them, so the
// socket library is linked by the tools only.
//
// One thread uses a listener or connection at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <utility>

namespace kelda::platform {

// What() names the address and port, the operation and the system's reason.
class ESocketError : public std::exception {
public:
  explicit ESocketError(std::string text) : FText(std::move(text)) {}
  const char* what() const noexcept override { return FText.c_str(); }
  bool InUse = false;  // the port is taken by another program
private:
  std::string FText;
};

class TTcpConnection {
public:
  ~TTcpConnection();
  TTcpConnection(const TTcpConnection&) = delete;
  TTcpConnection& operator=(const TTcpConnection&) = delete;

  // Waits up to timeoutMs for bytes and returns what has arrived (at most size), 0 when nothing
  // came in time or the peer has closed (then PeerClosed() answers true). Throws ESocketError
  // when the connection fails.
  std::size_t Read(void* buffer, std::size_t size, uint32_t timeoutMs);
  bool PeerClosed() const { return FPeerClosed; }

  // Sends every byte. Throws ESocketError when the connection fails or the peer is gone.
  void Write(const void* data, std::size_t size);

  // Ends the connection; later calls fail. The destructor closes too.
  void Close();

  // "address:port" of the other side.
  const std::string& Peer() const { return FPeer; }

private:
  friend class TTcpListener;
  TTcpConnection(std::intptr_t handle, std::string peer) : FHandle(handle), FPeer(std::move(peer)) {}
  std::intptr_t FHandle;
  std::string FPeer;
  bool FPeerClosed = false;
};

class TTcpListener {
public:
  // Listens on address ("127.0.0.1", "0.0.0.0" for every interface) and port (0: a free port
  // the system picks, see Port()). Throws ESocketError; InUse when another program holds the
  // port.
  TTcpListener(const std::string& address, uint16_t port);
  ~TTcpListener();
  TTcpListener(const TTcpListener&) = delete;
  TTcpListener& operator=(const TTcpListener&) = delete;

  // The next client, or nullptr when none came within timeoutMs.
  std::unique_ptr<TTcpConnection> Accept(uint32_t timeoutMs);

  uint16_t Port() const { return FPort; }

  // A client connection to address:port, for tests and tools. Throws ESocketError.
  static std::unique_ptr<TTcpConnection> Connect(const std::string& address, uint16_t port);

private:
  std::intptr_t FHandle;
  uint16_t FPort = 0;
};

}  // namespace kelda::platform
