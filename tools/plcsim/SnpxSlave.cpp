#include "tools/plcsim/SnpxSlave.h"

#include <algorithm>
#include <string>

#include "tools/plcsim/Checks.h"
#include "tools/plcsim/Faults.h"
#include "tools/plcsim/SnpFrames.h"

namespace kelda::plcsim {

namespace {

// Major error status of the SNP-X slave's own errors; the minor says which.
constexpr uint8_t kXError = 0x0F;
constexpr uint8_t kBadRequestCode = 0x01;
constexpr uint8_t kNoPrivilege = 0x02;
constexpr uint8_t kBadMemoryType = 0x03;
constexpr uint8_t kBadRange = 0x04;
constexpr uint8_t kBadLength = 0x05;
constexpr uint8_t kQueueFull = 0x07;
constexpr uint8_t kResponseTooLong = 0x08;
constexpr uint8_t kBadNextMessage = 0x21;

constexpr size_t kMaxData = 1000;

bool AllBytes(const uint8_t* field, uint8_t value) {
  return std::all_of(field, field + 8, [value](uint8_t b) { return b == value; });
}

}  // namespace

size_t SnpxSlave::parse(const uint8_t* in, size_t size, uint64_t now) {
  if (in[0] != kEsc) return skipByte();
  if (size < 2) return 0;
  const size_t length = SnpMessageLength(in[1]);
  if (length == 0) return skipByte();
  if (size < length) return 0;
  flushSkipped();
  if (in[1] == 'X') {
    onRequest(in, now);
  } else {
    ctx_.note("snp frame ignored in an snp-x session");
    ++ctx_.counters.ignored;
  }
  return length;
}

void SnpxSlave::lineBreak(uint64_t now) {
  Slave::lineBreak(now);
  ctx_.note("break");
  session_ = false;
  breakSeen_ = true;
}

void SnpxSlave::onRequest(const uint8_t* frame, uint64_t now) {
  // Damaged requests get no answer at all; the master's response timer takes over.
  if (frame[18] != kEtb || snpBcc(frame, 23) != frame[23]) {
    ctx_.note("bad bcc");
    ++ctx_.counters.ignored;
    return;
  }
  const bool broadcast = AllBytes(frame + 2, 0xFF);
  if (!broadcast && !AllBytes(frame + 2, 0x00) && SnpIdText(frame + 2) != ctx_.snpId) {
    ctx_.note("x-request for another id");
    ++ctx_.counters.ignored;
    return;
  }
  const uint8_t code = frame[10];
  if (code == 0x00) return onAttach(broadcast, now);
  if (broadcast) {
    ctx_.note("broadcast x-request not answered");
    ++ctx_.counters.ignored;
    return;
  }
  if (code == 0x01) return onRead(frame, now);
  if (!ctx_.acceptRequest("x-request code " + HexText(code, 2))) return;
  sendError(code, kBadRequestCode, false, now);
}

void SnpxSlave::onAttach(bool broadcast, uint64_t now) {
  if (ctx_.breakRequired && !breakSeen_) {
    ctx_.note("x-attach without break ignored");
    ++ctx_.counters.ignored;
    return;
  }
  if (broadcast) {
    // Opens the session of every slave on the line; none of them answers.
    ctx_.note("x-attach broadcast");
    ++ctx_.counters.ignored;
    session_ = true;
    breakSeen_ = false;
    return;
  }
  if (!ctx_.acceptRequest("x-attach")) return;
  session_ = true;
  breakSeen_ = false;
  ctx_.send(now, XAttachResponse(ctx_.snpId), AnswerTraits{CheckKind::Binary});
}

void SnpxSlave::onRead(const uint8_t* frame, uint64_t now) {
  const uint8_t selector = frame[11];
  const uint32_t offset = frame[12] | frame[13] << 8;
  const uint32_t length = frame[14] | frame[15] << 8;
  if (!ctx_.acceptRequest("x-read " + PlcMemory::SelectorName(selector) + " " + std::to_string(offset) +
                          " len " + std::to_string(length)))
    return;
  if (!session_) return sendError(0x01, kBadRequestCode, false, now);
  if (ctx_.nakFault()) return sendError(0x01, kQueueFull, true, now);
  if (frame[19] != 0x00) {
    sendError(0x01, kBadNextMessage, false, now);  // a fatal error: the session ends with it
    session_ = false;
    return;
  }
  if (ctx_.privilege < 1) return sendError(0x01, kNoPrivilege, false, now);
  std::vector<uint8_t> data;
  switch (ctx_.memory.read(selector, offset, length, data)) {
    case ReadError::None:
      break;
    case ReadError::UnknownSelector:
      return sendError(0x01, kBadMemoryType, false, now);
    case ReadError::ZeroLength:
      return sendError(0x01, kBadLength, false, now);
    default:
      return sendError(0x01, kBadRange, false, now);
  }
  if (data.size() > kMaxData) return sendError(0x01, kResponseTooLong, false, now);
  if (TakeFault(ctx_.faults.extraByte)) {
    // A slave that miscounts: the byte after the data goes out too, and the length says so.
    data.push_back(ctx_.memory.byteAfter(selector, offset, length));
    ++ctx_.counters.overlong;
    ctx_.note("extra byte");
  }
  ctx_.beginRead();
  ctx_.send(now, XResponse(0x01, ctx_.plcStatus, 0x00, 0x00, data),
            AnswerTraits{CheckKind::Binary, false, true, true});
}

void SnpxSlave::sendError(uint8_t code, uint8_t minor, bool isNak, uint64_t now) {
  ctx_.note("x-error " + HexText(kXError, 2) + " " + HexText(minor, 2));
  AnswerTraits traits{CheckKind::Binary};
  traits.isNak = isNak;
  ctx_.send(now, XResponse(code, 0x0000, kXError, minor, {}), traits);
}

}  // namespace kelda::plcsim
