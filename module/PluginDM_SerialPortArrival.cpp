// A frame of the data step that is still arriving when the step's time-out runs out.
//
// The data step's stopwatch restarts with every frame taken, so an answer that takes longer on
// the wire than the request's time-out (8 KB at 4800 baud is 19 s) would always be given up
// half-way. The receive path therefore notes the frame whose start is in and whose length is not
// yet reached; a time-out that runs out while that frame keeps coming waits for it. Bytes of
// noise can look like such a frame, so the wait is held to what a frame does: one frame per run
// of the stopwatch (another frame's start, or the same frame whole but not taken, ends it), bytes
// at no less than the slowest line's rate, and no silence longer than the step allows a PLC.
#include <algorithm>

#include "module/PluginDM_SerialPort.h"
#include "platform/Tick.h"

namespace kelda {

namespace {

constexpr int32_t kSnpMailboxBytes = 40;      // ESC "M" through the check byte
constexpr int32_t kSnpAttachReplyBytes = 24;  // ESC "R" through the check byte
constexpr int32_t kSnpTrailerBytes = 5;       // after ETB: next type, next length, status, check

uint16_t Word(const uint8_t* bytes) {
  return static_cast<uint16_t>(bytes[0] | (bytes[1] << 8));
}

}  // namespace

// The bytes of the frame of the data step that starts at `at`, start through its last trailer
// byte (the longest of the lengths it may have), or -1 when no such frame starts there.
int32_t TSerialPortDM::ArrivingFrameBytes(const uint8_t* data, int32_t size, int32_t at) const {
  const TRequestItem& request = *FLastReq;
  switch (Protocol) {
    case protoCcmMasterSlave:
    case protoCcmPeerToPeer: {
      if (data[at] != STX) return -1;
      if (request.Size <= 0) return kCcmBlockMaxLength + 1;
      const int32_t remaining = request.Size - static_cast<int32_t>(ResponseData.size());
      if (remaining <= 0) return -1;
      const int32_t block = std::min(remaining, kCcmBlockSize);
      const bool mayPad = remaining < kCcmBlockSize && remaining % 2 == 1;
      return block + 3 + (mayPad ? 1 : 0);  // STX, data, pad, ETB or ETX, LRC
    }
    case protoSnp: {
      if (data[at] != ESC) return -1;
      // A text buffer's length was announced as the whole message or as its data alone.
      const int32_t text = FAnnouncedLength > 0 ? FAnnouncedLength + 8 : -1;
      if (at + 1 >= size) return std::max(kSnpMailboxBytes, text);
      if (data[at + 1] == 'M') return kSnpMailboxBytes;
      if (data[at + 1] == 'R') return kSnpAttachReplyBytes;
      return data[at + 1] == 'T' ? text : -1;
    }
    case protoSnpX: {
      if (data[at] != ESC) return -1;
      if (at + 1 < size && data[at + 1] != 'X') return -1;
      if (at + 9 > size) return kSnpFrameMaxLength + kSnpTrailerBytes;  // its length is still to come
      const int32_t length = 10 + Word(data + at + 7);                  // ESC through ETB
      return length > kSnpFrameMaxLength ? -1 : length + kSnpTrailerBytes;
    }
    default:
      return -1;
  }
}

// After a data call: the first frame in the buffer that may still complete, and whether it grew.
// Positions before it start no such frame and stay so as bytes are added, so the search goes on
// from it next time.
void TSerialPortDM::NoteArrival(const uint8_t* data, int32_t size) {
  if (!FLastReq || !FLastReq->Busy || !MayWaitForArrival(*FLastReq)) {
    FArrival = {};
    return;
  }
  const uint64_t bufferAt = FRxReceived - static_cast<uint64_t>(size);
  int32_t at = static_cast<int32_t>(std::max(FArrivalScanned, bufferAt) - bufferAt);
  for (; at < size; ++at) {
    const int32_t total = ArrivingFrameBytes(data, size, at);
    if (total > size - at) break;
  }
  FArrivalScanned = bufferAt + static_cast<uint64_t>(at);
  if (at >= size) {
    FArrival = {};
    return;
  }
  const uint64_t now = platform::Now();
  const int32_t bytes = size - at;
  if (FArrival.Arriving && FArrival.At == FArrivalScanned) {
    if (bytes > FArrival.Bytes) FArrival.LastGrew = now;
    FArrival.Bytes = bytes;
    return;
  }
  FArrival.Arriving = true;
  FArrival.At = FArrivalScanned;
  FArrival.Bytes = bytes;
  FArrival.FirstSeen = now;
  FArrival.FirstBytes = bytes;
  FArrival.LastGrew = now;
}

// An X-Response taken: the pace of its bytes across data calls is the line's character time
// (the engine is not told the baud rate). An answer brought by one data call shows none, and
// the last pace seen stands.
void TSerialPortDM::NoteSnpXAnswerPace(const TReceiveContext& rx, const TFrameMatch& m) {
  const int32_t bytes = m.End + kSnpTrailerBytes + 1 - m.Start;
  FSnpXAnswerBytes = bytes;
  const uint64_t start = FRxReceived - static_cast<uint64_t>(rx.Size) + static_cast<uint64_t>(m.Start);
  if (!FArrival.Arriving || FArrival.At != start) return;
  const uint64_t now = platform::Now();
  const int32_t later = bytes - FArrival.FirstBytes;
  if (later <= 0 || now <= FArrival.FirstSeen) return;
  const uint64_t us = (now - FArrival.FirstSeen) * 1000 / static_cast<uint64_t>(later);
  FSnpXCharUs = static_cast<uint32_t>(std::min<uint64_t>(us, kSlowestLineByteMs * 1000));
}

// How long the line must have been quiet before the next X-Request. A PLC that got the last
// request twice (a line or modem that repeats) answers it twice: the copy follows the answer
// at once, or as long after it as the request is longer than the answer, since the PLC reads
// the second request while it sends the first answer. SNP-X numbers nothing, so a copy that
// met the next request would be taken as its answer; held back until the copy could have
// begun, the request finds it on the line, and bytes before a request answer nothing.
uint32_t TSerialPortDM::SnpXQuietMs(const TOutFrame& frame) const {
  const uint64_t charUs = FSnpXCharUs.load();
  if (charUs == 0) return 0;
  const int32_t longer = std::max(0, static_cast<int32_t>(frame.Bytes.size()) - FSnpXAnswerBytes.load());
  // Three characters more for the data calls' grain and the PLC's own turnaround.
  return static_cast<uint32_t>((static_cast<uint64_t>(longer + 3) * charUs + 999) / 1000);
}

// SNP's attach reply and mailboxes are as long on a slow line as a short answer (24 bytes take
// 200 ms at 1200 baud, our attach as long again): the handshake steps wait for them too.
bool TSerialPortDM::MayWaitForArrival(const TRequestItem& request) const {
  return request.Step == stAwaitingData || Protocol == protoSnp;
}

// The data step of `request` ran out of time: whether a frame of its answer is still arriving
// and is waited for.
bool TSerialPortDM::FrameStillArriving(const TRequestItem& request) {
  if (FLastReq != &request || !FArrival.Arriving) return false;
  const uint64_t frame = FArrival.At + 1;
  if (FDeferredRun != request.Timer.Start) {
    FDeferredRun = request.Timer.Start;
    FDeferredFrame = frame;
  } else if (FDeferredFrame != frame) {
    return false;  // the frame the time-out waited for ended without being taken
  }
  const uint64_t now = platform::Now();
  const uint64_t silence = std::min(EffectiveMs(request.Timeout), EffectiveMs(request.HandshakeTimeout));
  if (now - FArrival.LastGrew > silence) return false;
  return FArrival.LastGrew - FArrival.FirstSeen <= static_cast<uint64_t>(FArrival.Bytes) * kSlowestLineByteMs;
}

void TSerialPortDM::ForgetArrival() {
  FArrival = {};
  FDeferredRun = 0;
  FDeferredFrame = 0;
}

}  // namespace kelda
