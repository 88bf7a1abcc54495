// Frame search in the receive buffer, and the two block checks of the GE serial protocols.
//
// A frame is a start character, then bytes up to one of the end characters, then a trailer whose
// length depends on the check: nothing, one LRC byte, or the four trailer bytes plus a check byte
// of the SNP family. The search runs over the unread bytes of the receive FIFO in place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>

namespace kelda {

class TFIFOStream;

// Control characters of CCM, SNP and SNP-X.
constexpr uint8_t SOH = 0x01, STX = 0x02, ETX = 0x03, EOT = 0x04, ENQ = 0x05, ACK = 0x06, NAK = 0x15,
                  ETB = 0x17, ESC = 0x1B;

// Exclusive-or of all bytes, from 0 (the CCM block check).
uint8_t Lrc(const uint8_t* data, size_t size);
// The SNP/SNP-X block check: exclusive-or, then rotate left by one bit, for every byte.
uint8_t SnpBcc(const uint8_t* data, size_t size);

enum class TCheckKind : uint8_t {
  NoCheck,    // trailer 0
  LrcCheck,   // trailer 1: Lrc of start..end equals the byte after the end character
  BccHex,     // trailer 5: SnpBcc of start..end+3, as two upper-case hex digits at end+4, end+5
  BccBinary,  // trailer 5: SnpBcc of start..end+4 equals the byte at end+5
  // trailer 1: as LrcCheck, or the Lrc of the data alone (start+1..end-1) equals it. GE's CCM
  // wording puts only the data characters under a block's LRC, other readings the framing too;
  // a CCM block is taken under either. Sized searches only.
  LrcEither,
};
int TrailerLength(TCheckKind check);

// The outcome of a search. Positions count from 0 at the oldest unread byte.
//  - Start >= 0: a frame was found. With end characters, End is its end character's position
//    and EndChar that character; without end characters End is -1 (the start byte alone).
//  - Start == -1, End >= 0: no frame; the bytes 0..End can no longer be part of a frame that
//    completes (a frame whose check failed and that cannot grow any more) and are consumed.
//  - Start == -1, End == -1: nothing found and nothing to consume; wait for more bytes.
//  EndChar is 0 whenever no frame was found.
//  CheckFailures counts the frames among the bytes the result gives up (those before a found
//  frame, or 0..End) that had their start and end characters in place but failed the check: the
//  engine's count of answers spoiled on the line. The unsized search reports at most one per
//  result, and none before a found frame.
struct TFrameMatch {
  int32_t Start = -1;
  int32_t End = -1;
  uint8_t EndChar = 0;
  int32_t CheckFailures = 0;
  // LrcEither: the found frame's LRC covers its data alone.
  bool DataOnlyCheck = false;

  bool Found() const { return Start >= 0; }
  // For a search without a frame: the last position the receive loop removes (End), or -1 for
  // none. A found frame answers -1 here: how much of it goes depends on the step that handles it
  // (through the end character, its check byte or the whole trailer), so its handler decides.
  int32_t ConsumedThrough() const;
};

// The end characters of a search: none, one or two bytes, compared in order.
struct TEndChars {
  TEndChars() = default;
  TEndChars(std::initializer_list<uint8_t> chars);
  uint8_t Chars[2] = {0, 0};
  int Count = 0;
};

// Searches `size` bytes at `data`. The first start (lowest position) that has a passing end wins;
// for one start, the nearest passing end wins. maxLength > 0 limits a frame (start through end
// character) to that many bytes; 0 or less means no limit. Trailer bytes are never read beyond
// `size`. When no start has a passing end, a start is given up only once it can no longer
// complete (its bytes already reach maxLength); the result then consumes through the last failed
// end of such a start, but never into a start that may still complete.
// Constant work per candidate end: each check follows from running values over the buffer, so
// a search costs time linear in `size`.
TFrameMatch FindFrameIn(const uint8_t* data, int32_t size, uint8_t startChar, TEndChars endChars,
                        int32_t maxLength, TCheckKind check);

// Frames whose length the protocol fixes. Register data holds the end characters often, and a
// one-byte check passes by chance at one in 256 of them, so a search that tries every end
// character would now and then cut a frame short at a byte of its data. Where the length is
// known (from the request, from the frame's own length field, or from the frame announcing it)
// only that end position is tried.
struct TFrameLengths {
  static constexpr int kMax = 3;
  // -1: no frame of the awaited kind starts here; 0: not known until more bytes arrive;
  // 1 to kMax: the candidate lengths (start character through end character) in Length.
  int Count = 0;
  int32_t Length[kMax] = {0, 0, 0};
};
using TFrameLengthRule = TFrameLengths (*)(const uint8_t* data, int32_t size, int32_t start,
                                           const void* context);

// Searches like FindFrameIn, but a start's frame ends exactly where `rule` says. A start whose
// frame lies wholly in the buffer and fails (wrong end character or check) can no longer
// complete; when no frame is found, the bytes before the first start that may still complete are
// consumed, provided such a failed start lies among them. Linear in `size`.
TFrameMatch FindSizedFrameIn(const uint8_t* data, int32_t size, uint8_t startChar, TEndChars endChars,
                             TFrameLengthRule rule, const void* context, TCheckKind check);

// A frame that has begun to arrive: its start character found, and as many of its bytes buffered
// as Have says. Length is the most the frame may have in all, trailer included, as far as its
// start tells (its length field, the frame before it, the request); 0 while that is not known.
struct TFrameProgress {
  int32_t Start = -1;  // position of its start character; -1: no frame is arriving
  int32_t Have = 0;
  int32_t Length = 0;
  bool Arriving() const { return Start >= 0; }
};

// FindSizedFrameIn for bytes that arrive a few at a time. A frame's bytes are looked at once
// however the frame is split: the search keeps, between calls, the running check values, the
// starts it has given up and those still waiting for their end, so that a call costs time in the
// bytes that are new and in the starts that they complete, not in the bytes already searched.
// The result of every call equals FindSizedFrameIn over the same bytes.
//
// Between calls the bytes may only grow at their end. `origin` is the position of data[0] in the
// stream of received bytes: a call with another origin (bytes consumed or dropped), fewer bytes
// than before, or other search arguments starts afresh. A rule's answer for a start, once it is
// not 0, must not change while the search goes on; a caller whose rule context changes otherwise
// than together with consuming bytes calls Reset. A result that finds a frame or gives bytes up
// ends the kept state: the caller consumes them.
class TSizedFrameSearch {
public:
  TSizedFrameSearch();
  ~TSizedFrameSearch();
  TSizedFrameSearch(const TSizedFrameSearch&) = delete;
  TSizedFrameSearch& operator=(const TSizedFrameSearch&) = delete;

  TFrameMatch Find(const uint8_t* data, int32_t size, uint64_t origin, uint8_t startChar, TEndChars endChars,
                   TFrameLengthRule rule, const void* context, TCheckKind check);
  void Reset();
  // The lowest start still waiting for its end, as of the last Find, provided the bytes are
  // still those it searched (same origin, at least as many): `size` is their number now.
  TFrameProgress Progress(uint64_t origin, int32_t size) const;

private:
  struct TState;
  std::unique_ptr<TState> FState;
};

// The same over the unread bytes of `buffer`, under the buffer's write lock.
TFrameMatch FindFrame(TFIFOStream& buffer, uint8_t startChar, TEndChars endChars, int32_t maxLength,
                      TCheckKind check);

}  // namespace kelda
