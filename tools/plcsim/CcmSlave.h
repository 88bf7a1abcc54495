// The CCM target of a read, in master-slave and in peer-to-peer mode: enquiry, header, data blocks
// each sent after the master's ACK of the previous one, and EOT.
#pragma once

#include <vector>

#include "tools/plcsim/Slave.h"

namespace kelda::plcsim {

class CcmSlave : public Slave {
public:
  explicit CcmSlave(SlaveContext& context) : Slave(context) {}
  void lineBreak(uint64_t now) override;

protected:
  size_t parse(const uint8_t* in, size_t size, uint64_t now) override;

private:
  enum class State { Idle, AwaitHeader, SendingBlocks, AwaitEot };

  bool masterSlave() const { return ctx_.mode == Mode::CcmMasterSlave; }
  size_t parseIdle(const uint8_t* in, size_t size, uint64_t now);
  size_t parseAwaitHeader(const uint8_t* in, size_t size, uint64_t now);
  size_t parseSending(const uint8_t* in, size_t size, uint64_t now);
  size_t parseAwaitEot(const uint8_t* in, size_t size, uint64_t now);

  void onEnquiry(uint64_t now);
  void onHeader(const uint8_t* header, uint64_t now);
  void startRead(uint8_t type, uint32_t address, uint32_t count, uint64_t now);
  void sendBlock(uint64_t now);
  void onBlockAck(uint64_t now);
  void onBlockNak(uint64_t now);
  void sendControl(uint8_t control, bool isNak, uint64_t now);
  void sendEnquiryAnswer(uint8_t control, bool isNak, uint64_t now);

  State state_ = State::Idle;
  std::vector<std::vector<uint8_t>> blocks_;
  size_t next_ = 0;
  int retries_ = 0;
};

}  // namespace kelda::plcsim
