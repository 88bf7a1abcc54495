#include "tools/plcsim/CcmSlave.h"

#include <string>

#include "tools/plcsim/Checks.h"
#include "tools/plcsim/Faults.h"

namespace kelda::plcsim {

namespace {

constexpr uint8_t kSoh = 0x01;
constexpr uint8_t kStx = 0x02;
constexpr uint8_t kEtx = 0x03;
constexpr uint8_t kEot = 0x04;
constexpr uint8_t kEnq = 0x05;
constexpr uint8_t kAck = 0x06;
constexpr uint8_t kNak = 0x15;
constexpr uint8_t kEtb = 0x17;

constexpr size_t kHeaderLength = 17;
constexpr size_t kBlockSize = 256;
constexpr int kMaxBlockRetries = 3;
constexpr uint8_t kAnyPeer = 0xFF;

const char* ReadErrorText(ReadError error) {
  switch (error) {
    case ReadError::UnknownSelector:
      return "unsupported memory type";
    case ReadError::ZeroLength:
      return "zero length";
    case ReadError::NotAligned:
      return "point address not on a byte boundary";
    default:
      return "address range past the table";
  }
}

}  // namespace

size_t CcmSlave::parse(const uint8_t* in, size_t size, uint64_t now) {
  switch (state_) {
    case State::Idle:
      return parseIdle(in, size, now);
    case State::AwaitHeader:
      return parseAwaitHeader(in, size, now);
    case State::SendingBlocks:
      return parseSending(in, size, now);
    case State::AwaitEot:
      return parseAwaitEot(in, size, now);
  }
  return skipByte();
}

void CcmSlave::lineBreak(uint64_t now) {
  Slave::lineBreak(now);
  if (state_ != State::Idle) ctx_.note("break, transaction abandoned");
  state_ = State::Idle;
}

size_t CcmSlave::parseIdle(const uint8_t* in, size_t size, uint64_t now) {
  if (!masterSlave()) {
    if (in[0] != kEnq) return skipByte();
    flushSkipped();
    onEnquiry(now);
    return 1;
  }
  if (in[0] != 'N') return skipByte();
  if (size < 3) return 0;
  if (in[2] != kEnq) return skipByte();
  flushSkipped();
  if (in[1] != ctx_.ccmId + 0x20) {
    ctx_.note("enquiry for another id");
    ++ctx_.counters.ignored;
    return 3;
  }
  onEnquiry(now);
  return 3;
}

size_t CcmSlave::parseAwaitHeader(const uint8_t* in, size_t size, uint64_t now) {
  if (in[0] == kSoh) {
    if (size < kHeaderLength) return 0;
    flushSkipped();
    onHeader(in, now);
    return kHeaderLength;
  }
  if (in[0] == kEot) {
    ctx_.note("master ended the transaction");
    state_ = State::Idle;
    return 1;
  }
  if (in[0] == (masterSlave() ? 'N' : kEnq)) {
    // The master did not see our ACK and asks again.
    state_ = State::Idle;
    return parseIdle(in, size, now);
  }
  return skipByte();
}

size_t CcmSlave::parseSending(const uint8_t* in, size_t size, uint64_t now) {
  if (in[0] == (masterSlave() ? 'N' : kEnq)) {
    // The master gave up waiting for a block it could accept (its time-out is over long before
    // ours would be) and starts a new transaction.
    ctx_.note("master started over, read abandoned");
    state_ = State::Idle;
    return parseIdle(in, size, now);
  }
  switch (in[0]) {
    case kAck:
      onBlockAck(now);
      return 1;
    case kNak:
      onBlockNak(now);
      return 1;
    case kEot:
      ctx_.note("master aborted the read");
      state_ = State::Idle;
      return 1;
    default:
      return skipByte();
  }
}

size_t CcmSlave::parseAwaitEot(const uint8_t* in, size_t size, uint64_t now) {
  if (in[0] == kEot) {
    ctx_.note("transaction done");
    state_ = State::Idle;
    return 1;
  }
  if (in[0] == 'N') {
    ++ctx_.counters.sequenceErrors;
    ctx_.note("sequence error: no EOT from the master before its next enquiry");
    state_ = State::Idle;
    return parseIdle(in, size, now);
  }
  return skipByte();
}

void CcmSlave::sendControl(uint8_t control, bool isNak, uint64_t now) {
  AnswerTraits traits;
  traits.isNak = isNak;
  ctx_.send(now, {control}, traits);
}

void CcmSlave::sendEnquiryAnswer(uint8_t control, bool isNak, uint64_t now) {
  if (!masterSlave()) return sendControl(control, isNak, now);
  AnswerTraits traits;
  traits.isNak = isNak;
  ctx_.send(now, {'N', static_cast<uint8_t>(ctx_.ccmId + 0x20), control}, traits);
}

void CcmSlave::onEnquiry(uint64_t now) {
  if (!ctx_.acceptRequest("enquiry")) return;
  if (ctx_.nakFault()) return sendEnquiryAnswer(kNak, true, now);
  sendEnquiryAnswer(kAck, false, now);
  state_ = State::AwaitHeader;
}

void CcmSlave::onHeader(const uint8_t* h, uint64_t now) {
  if (h[15] != kEtb || ccmLrc(h + 1, 14) != h[16]) {
    ctx_.note("bad header lrc");
    return sendControl(kNak, true, now);  // the master repeats the header
  }
  uint32_t target = 0, function = 0, address = 0, blocks = 0, last = 0, source = 0;
  if (!ParseHex(h + 1, 2, target) || !ParseHex(h + 3, 2, function) || !ParseHex(h + 5, 4, address) ||
      !ParseHex(h + 9, 2, blocks) || !ParseHex(h + 11, 2, last) || !ParseHex(h + 13, 2, source)) {
    ctx_.note("header with a non-hex field");
    return sendControl(kNak, true, now);
  }
  if (target != ctx_.ccmId && (masterSlave() || target != kAnyPeer)) {
    ctx_.note("header for another id");
    ++ctx_.counters.ignored;
    state_ = State::Idle;
    return;
  }
  const uint32_t count = blocks * 256 + last;
  if (!ctx_.acceptRequest("ccm read type " + std::to_string(function & 0x7F) + " address " +
                          std::to_string(address) + " bytes " + std::to_string(count) + " for " +
                          std::to_string(source)))
    return;
  if (function & 0x80) {
    ctx_.note("write refused");
    return sendControl(kNak, true, now);
  }
  startRead(static_cast<uint8_t>(function), address, count, now);
}

void CcmSlave::startRead(uint8_t type, uint32_t address, uint32_t count, uint64_t now) {
  std::vector<uint8_t> data;
  const ReadError error = ctx_.memory.ccmRead(type, address, count, data);
  if (error != ReadError::None) {
    ctx_.note(std::string("read refused: ") + ReadErrorText(error));
    return sendControl(kNak, true, now);
  }
  sendControl(kAck, false, now);
  ctx_.beginRead();
  // A slave that sends whole registers only: an odd count's last block (255 bytes at most) gets
  // a pad byte, which its LRC covers like any data byte.
  const bool pad = data.size() % 2 == 1 && TakeFault(ctx_.faults.ccmPad);
  if (pad) {
    ++ctx_.counters.overlong;
    ctx_.note("pad byte");
  }
  // Full blocks end in ETB; the last block (up to 256 bytes) ends in ETX.
  blocks_.clear();
  for (size_t at = 0; at < data.size(); at += kBlockSize) {
    const size_t end = at + kBlockSize < data.size() ? at + kBlockSize : data.size();
    std::vector<uint8_t> block = {kStx};
    block.insert(block.end(), data.begin() + static_cast<std::ptrdiff_t>(at),
                 data.begin() + static_cast<std::ptrdiff_t>(end));
    if (pad && end == data.size()) block.push_back(0x00);
    block.push_back(end == data.size() ? kEtx : kEtb);
    const uint8_t lrc = ctx_.ccmLrcIncludesFraming ? ccmLrc(block.data(), block.size())
                                                   : ccmLrc(block.data() + 1, block.size() - 2);
    block.push_back(lrc);
    blocks_.push_back(std::move(block));
  }
  next_ = 0;
  retries_ = 0;
  state_ = State::SendingBlocks;
  sendBlock(now);
}

void CcmSlave::sendBlock(uint64_t now) {
  const bool last = next_ + 1 == blocks_.size();
  ctx_.send(now, blocks_[next_], AnswerTraits{CheckKind::Binary, false, true, last});
}

void CcmSlave::onBlockAck(uint64_t now) {
  retries_ = 0;
  if (++next_ < blocks_.size()) return sendBlock(now);
  if (masterSlave()) {
    sendControl(kEot, false, now);
    state_ = State::AwaitEot;
    return;
  }
  if (ctx_.ccmPeerSendsEot) sendControl(kEot, false, now);
  ctx_.note("transaction done");
  state_ = State::Idle;
}

void CcmSlave::onBlockNak(uint64_t now) {
  if (++retries_ > kMaxBlockRetries) {
    ctx_.note("block retries exhausted, read aborted");
    sendControl(kEot, false, now);
    state_ = State::Idle;
    return;
  }
  ctx_.note("block " + std::to_string(next_ + 1) + " repeated after nak");
  sendBlock(now);
}

}  // namespace kelda::plcsim
