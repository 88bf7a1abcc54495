// The SNP-X slave: X-Attach and X-Read, answered request by request without ACK/NAK.
#pragma once

#include "tools/plcsim/Slave.h"

namespace kelda::plcsim {

class SnpxSlave : public Slave {
public:
  explicit SnpxSlave(SlaveContext& context) : Slave(context) {}
  void lineBreak(uint64_t now) override;
  bool sessionOpen() const override { return session_; }

protected:
  size_t parse(const uint8_t* in, size_t size, uint64_t now) override;

private:
  void onRequest(const uint8_t* frame, uint64_t now);
  void onAttach(bool broadcast, uint64_t now);
  void onRead(const uint8_t* frame, uint64_t now);
  void sendError(uint8_t code, uint8_t minor, bool isNak, uint64_t now);

  bool session_ = false;
  bool breakSeen_ = false;
};

}  // namespace kelda::plcsim
