#include "tools/plcsim/SnpSlave.h"

#include <algorithm>

#include "tools/plcsim/Checks.h"
#include "tools/plcsim/Faults.h"
#include "tools/plcsim/SnpFrames.h"

namespace kelda::plcsim {

namespace {

constexpr uint16_t kOwnT1Ms = 5;
constexpr uint16_t kOwnT2Ms = 1000;
constexpr uint16_t kOwnT3Ms = 10000;
constexpr int kMaxRetries = 2;

constexpr uint8_t kServiceRequestTask[4] = {0x10, 0x0A, 0x00, 0x00};
constexpr uint8_t kSnpTask[4] = {0x10, 0x3E, 0x00, 0x00};
constexpr uint8_t kMasterTask[4] = {0x10, 0x3A, 0x00, 0x00};

uint8_t ReadErrorMinor(ReadError error) {
  switch (error) {
    case ReadError::UnknownSelector:
      return 0xE9;  // segment selector not valid in this context
    default:
      return 0xF4;  // invalid input parameter: zero length or past the table
  }
}

}  // namespace

size_t SnpSlave::parse(const uint8_t* in, size_t size, uint64_t now) {
  const uint8_t first = in[0];
  if (first == 0x06 || first == 0x15) {
    if (state_ != State::AwaitAck) return skipByte();
    if (size < 2) return 0;
    if (first == 0x06) {
      onAck(now);
    } else {
      onNak(in[1], now);
    }
    return 2;
  }
  if (first != kEsc) return skipByte();
  if (size < 2) return 0;
  const size_t length = SnpMessageLength(in[1]);
  if (length == 0) return skipByte();
  if (size < length) return 0;
  flushSkipped();
  switch (in[1]) {
    case 'A':
      onAttach(in, now);
      break;
    case 'M':
      onMailbox(in, now);
      break;
    case 'I':
      onInquiry(in, now);
      break;
    default:
      ctx_.note("snp-x frame ignored in an snp session");
      ++ctx_.counters.ignored;
      break;
  }
  return length;
}

void SnpSlave::lineBreak(uint64_t now) {
  Slave::lineBreak(now);
  ctx_.note("break");
  state_ = State::NoSession;
  pendingBuffers_.clear();
  endless_ = false;
  breakSeen_ = true;
}

size_t SnpSlave::dataSize() const {
  if (negotiatedDataSize_ == 0) return ctx_.snpDataSize;
  return std::min(negotiatedDataSize_, ctx_.snpDataSize);
}

bool SnpSlave::idMatches(const uint8_t* id) const {
  if (std::all_of(id, id + 8, [](uint8_t b) { return b == 0; })) return true;  // point-to-point
  return SnpIdText(id) == ctx_.snpId;
}

void SnpSlave::onAttach(const uint8_t* frame, uint64_t now) {
  uint32_t bcc = 0, t1Low = 0, t1High = 0;
  const char* problem = nullptr;
  if (ctx_.breakRequired && !breakSeen_) {
    problem = "attach without break ignored";
  } else if (frame[18] != kEtb || !ParseHex(frame + 22, 2, bcc) || bcc != snpBcc(frame, 22)) {
    problem = "bad attach bcc";
  } else if (!idMatches(frame + 2)) {
    problem = "attach for another id";
  } else if (!ParseHex(frame + 10, 2, t1Low) || !ParseHex(frame + 12, 2, t1High)) {
    problem = "bad attach T1";
  }
  if (problem) {
    ctx_.note(problem);  // an attach is never NAKed: the master repeats break and attach
    ++ctx_.counters.ignored;
    return;
  }
  if (!ctx_.acceptRequest("attach")) return;
  breakSeen_ = false;
  state_ = State::Idle;
  pendingBuffers_.clear();
  endless_ = false;
  retries_ = 0;
  negotiatedDataSize_ = 0;
  const uint16_t t1 = std::max<uint16_t>(static_cast<uint16_t>(t1Low | t1High << 8), kOwnT1Ms);
  ctx_.snpT1Ms = t1;
  ctx_.send(now, SnpAttachResponse(ctx_.snpId, t1), AnswerTraits{CheckKind::AsciiPair});
}

void SnpSlave::onMailbox(const uint8_t* frame, uint64_t now) {
  if (state_ == State::NoSession) {
    ctx_.note("mailbox without session ignored");
    ++ctx_.counters.ignored;
    return;
  }
  if (frame[34] != kEtb || snpBcc(frame, 39) != frame[39]) {
    ctx_.note("bad mailbox bcc");
    sendControl(0x15, 0x00, true, now);
    return;
  }
  if (state_ == State::AwaitAck) {
    ++ctx_.counters.sequenceErrors;
    sendControl(0x15, 0x02, true, now);
    endSession("sequence error: mailbox while an ACK was due");
    return;
  }
  if (!ctx_.acceptRequest("mailbox seq " + HexText(frame[8], 2))) return;
  if (ctx_.nakFault()) {
    sendControl(0x15, 0x00, true, now);
    return;
  }
  sendControl(0x06, 0x00, false, now);
  answerRequest(frame, now);
}

void SnpSlave::onInquiry(const uint8_t* frame, uint64_t now) {
  if (state_ == State::NoSession || snpBcc(frame, 39) != frame[39]) {
    ctx_.note("inquiry ignored");
    ++ctx_.counters.ignored;
    return;
  }
  if (!ctx_.acceptRequest("inquiry")) return;
  ctx_.send(now, std::vector<uint8_t>(frame, frame + 40), AnswerTraits{CheckKind::Binary});
}

void SnpSlave::answerRequest(const uint8_t* frame, uint64_t now) {
  const uint8_t sequence = frame[8];
  const uint8_t code = frame[20];
  if (frame[9] != 0xC0) return errorNack(sequence, 0x06, 0x00, now);  // only plain requests
  if (std::equal(frame + 14, frame + 18, kSnpTask) && code == 0x00) return answerParameterSelect(frame, now);
  if (!std::equal(frame + 14, frame + 18, kServiceRequestTask) || code != 0x04) {
    ctx_.note("unsupported service request " + HexText(code, 2));
    return errorNack(sequence, 0x01, 0x00, now);
  }
  if (ctx_.privilege < 1) return errorNack(sequence, 0x02, 0x01, now);
  answerRead(frame, now);
}

void SnpSlave::answerRead(const uint8_t* frame, uint64_t now) {
  const uint8_t sequence = frame[8];
  const uint8_t selector = frame[21];
  const uint32_t offset = frame[22] | frame[23] << 8;
  const uint32_t length = frame[24] | frame[25] << 8;
  ctx_.note("read " + PlcMemory::SelectorName(selector) + " " + std::to_string(offset) + " len " +
            std::to_string(length));
  std::vector<uint8_t> data;
  ctx_.beginRead();
  endless_ = false;
  pendingBuffers_.clear();
  if (TakeFault(ctx_.faults.errorNack)) {
    ctx_.note("error nack fault");
    return errorNack(sequence, ctx_.faults.errorNackMajor, ctx_.faults.errorNackMinor, now);
  }
  const ReadError error = ctx_.memory.read(selector, offset, length, data);
  if (error != ReadError::None) return errorNack(sequence, 0x05, ReadErrorMinor(error), now);
  const Piggyback status{ctx_.privilege, ctx_.plcStatus};
  if (data.size() <= 6) {
    std::vector<uint8_t> reply = MailboxSkeleton(sequence, 0xD4, kServiceRequestTask, kMasterTask);
    std::copy(data.begin(), data.end(), reply.begin() + 22);
    PutPiggyback(reply, status);
    return sendMessage(SealMessage(std::move(reply)), AnswerTraits{CheckKind::Binary, false, true, true},
                       now);
  }
  if (TakeFault(ctx_.faults.endlessChain)) {
    ctx_.note("endless text buffer chain");
    endless_ = true;
    endlessData_ = data;
    endlessAt_ = 0;
  }
  pendingBuffers_ = TextBuffers(data, dataSize(), endless_ ? static_cast<uint16_t>(dataSize() + 8) : 0);
  std::vector<uint8_t> reply = MailboxSkeleton(sequence, 0x94, kServiceRequestTask, kMasterTask);
  reply[18] = 0x00;
  reply[19] = 0x01;
  PutLe16(reply, 20, static_cast<uint16_t>(data.size()));
  reply[26] = 0x01;
  reply[27] = 0x01;
  PutPiggyback(reply, status);
  reply[35] = 0x54;
  PutLe16(reply, 36, static_cast<uint16_t>(pendingBuffers_.front().size()));
  sendMessage(SealMessage(std::move(reply)), AnswerTraits{CheckKind::Binary}, now);
}

void SnpSlave::answerParameterSelect(const uint8_t* frame, uint64_t now) {
  const uint16_t t2 = std::max<uint16_t>(static_cast<uint16_t>(frame[22] | frame[23] << 8), kOwnT2Ms);
  const uint16_t t3 = std::max<uint16_t>(static_cast<uint16_t>(frame[24] | frame[25] << 8), kOwnT3Ms);
  const size_t asked = frame[26] | frame[27] << 8;
  if (asked != 0) negotiatedDataSize_ = asked;
  ctx_.note("parameter select, data size " + std::to_string(dataSize()));
  std::vector<uint8_t> reply = MailboxSkeleton(frame[8], 0xD4, kSnpTask, kMasterTask);
  PutLe16(reply, 22, t2);
  PutLe16(reply, 24, t3);
  PutLe16(reply, 26, static_cast<uint16_t>(dataSize()));
  PutLe16(reply, 28, 1);  // queue depth
  sendMessage(SealMessage(std::move(reply)), AnswerTraits{CheckKind::Binary}, now);
}

void SnpSlave::errorNack(uint8_t sequence, uint8_t major, uint8_t minor, uint64_t now) {
  ctx_.note("error nack " + HexText(major, 2) + " " + HexText(minor, 2));
  ++ctx_.counters.errorNacks;
  std::vector<uint8_t> reply = MailboxSkeleton(sequence, 0xD1, kServiceRequestTask, kMasterTask);
  reply[20] = major;
  reply[21] = minor;
  sendMessage(SealMessage(std::move(reply)), AnswerTraits{CheckKind::Binary}, now);
}

void SnpSlave::sendMessage(std::vector<uint8_t> message, const AnswerTraits& traits, uint64_t now) {
  current_ = std::move(message);
  currentTraits_ = traits;
  retries_ = 0;
  state_ = State::AwaitAck;
  ctx_.send(now, current_, currentTraits_);
}

void SnpSlave::sendControl(uint8_t first, uint8_t second, bool isNak, uint64_t now) {
  AnswerTraits traits;
  traits.isNak = isNak;
  ctx_.send(now, {first, second}, traits);
}

void SnpSlave::onAck(uint64_t now) {
  if (pendingBuffers_.empty() && endless_) pendingBuffers_.push_back(nextEndlessBuffer());
  if (pendingBuffers_.empty()) {
    state_ = State::Idle;  // link turnaround: the master's turn
    return;
  }
  std::vector<uint8_t> buffer = std::move(pendingBuffers_.front());
  pendingBuffers_.pop_front();
  // An endless chain has no last buffer, so its read never completes.
  const bool last = pendingBuffers_.empty() && !endless_;
  sendMessage(std::move(buffer), AnswerTraits{CheckKind::Binary, false, true, last}, now);
}

std::vector<uint8_t> SnpSlave::nextEndlessBuffer() {
  const size_t size = dataSize();
  std::vector<uint8_t> data(size);
  for (uint8_t& b : data) {
    b = endlessData_[endlessAt_];
    endlessAt_ = (endlessAt_ + 1) % endlessData_.size();
  }
  return TextBuffer(data.data(), data.size(), static_cast<uint16_t>(size + 8));
}

void SnpSlave::onNak(uint8_t code, uint64_t now) {
  if (code == 0x02) return endSession("master reported a sequence error");
  if (++retries_ > kMaxRetries) return endSession("retries exhausted");
  ctx_.note("retransmit after nak " + HexText(code, 2));
  ctx_.send(now, current_, currentTraits_);
}

void SnpSlave::endSession(const std::string& why) {
  ctx_.note(why + ", session ends");
  state_ = State::NoSession;
  pendingBuffers_.clear();
  endless_ = false;
}

}  // namespace kelda::plcsim
