// The SNP slave: attach, mailbox requests (Read System Memory, Parameter Select), text buffers,
// inquiry echo, and the two-byte ACK/NAK exchange with retransmission.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "tools/plcsim/Slave.h"

namespace kelda::plcsim {

class SnpSlave : public Slave {
public:
  explicit SnpSlave(SlaveContext& context) : Slave(context) {}
  void lineBreak(uint64_t now) override;
  bool sessionOpen() const override { return state_ != State::NoSession; }

protected:
  size_t parse(const uint8_t* in, size_t size, uint64_t now) override;

private:
  enum class State { NoSession, Idle, AwaitAck };

  void onAttach(const uint8_t* frame, uint64_t now);
  void onMailbox(const uint8_t* frame, uint64_t now);
  void onInquiry(const uint8_t* frame, uint64_t now);
  void onAck(uint64_t now);
  void onNak(uint8_t code, uint64_t now);

  void answerRequest(const uint8_t* frame, uint64_t now);
  void answerRead(const uint8_t* frame, uint64_t now);
  void answerParameterSelect(const uint8_t* frame, uint64_t now);
  void errorNack(uint8_t sequence, uint8_t major, uint8_t minor, uint64_t now);
  // Sends a message that the master must ACK, and keeps it for retransmission.
  void sendMessage(std::vector<uint8_t> message, const AnswerTraits& traits, uint64_t now);
  void sendControl(uint8_t first, uint8_t second, bool isNak, uint64_t now);
  void endSession(const std::string& why);
  bool idMatches(const uint8_t* id) const;
  // The next buffer of an endless chain: a full one, the read's data over again.
  std::vector<uint8_t> nextEndlessBuffer();

  State state_ = State::NoSession;
  bool breakSeen_ = false;
  size_t dataSize() const;
  size_t negotiatedDataSize_ = 0;  // by Parameter Select; 0: none
  std::vector<uint8_t> current_;
  AnswerTraits currentTraits_;
  std::deque<std::vector<uint8_t>> pendingBuffers_;  // text buffers still to send, in order
  int retries_ = 0;
  // The endless-chain fault: after pendingBuffers_, full buffers of endlessData_ from endlessAt_ on.
  bool endless_ = false;
  std::vector<uint8_t> endlessData_;
  size_t endlessAt_ = 0;
};

}  // namespace kelda::plcsim
