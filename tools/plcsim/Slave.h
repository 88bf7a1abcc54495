// The receive side every protocol slave shares: the master's bytes are buffered and parsed
// incrementally, so a frame may arrive in any number of pieces.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "tools/plcsim/SlaveContext.h"

namespace kelda::plcsim {

class Slave {
public:
  explicit Slave(SlaveContext& context) : ctx_(context) {}
  virtual ~Slave() = default;
  Slave(const Slave&) = delete;
  Slave& operator=(const Slave&) = delete;

  void receive(const uint8_t* data, size_t size, uint64_t now);
  virtual void lineBreak(uint64_t now);
  virtual bool sessionOpen() const { return false; }

protected:
  // Handles the frame at the front of `in` (`size` bytes buffered) and returns how many bytes it
  // used; 0 when the frame is not complete yet. Called again while bytes remain.
  virtual size_t parse(const uint8_t* in, size_t size, uint64_t now) = 0;
  // Drops one byte that starts no frame; the skipped run is logged once.
  size_t skipByte() {
    ++skipped_;
    return 1;
  }
  void flushSkipped();

  SlaveContext& ctx_;

private:
  std::vector<uint8_t> buffer_;
  uint64_t lastByteAt_ = 0;
  size_t skipped_ = 0;
};

}  // namespace kelda::plcsim
