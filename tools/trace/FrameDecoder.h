// The wire trace's own reading of GE serial frames: per direction, a reassembler that takes the
// bytes as the port hands them over (pieces of frames, several frames at once, noise between
// frames), cuts them into frames and says what each one means.
//
// Nothing is dropped: bytes that form no frame come out as "unrecognised bytes", and a frame that
// the line cut short comes out as "incomplete" when its direction is known to be over (the other
// side talks, a line break, a note of the poller, the end of the trace).
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace kelda::trace {

enum class TProtocol { CcmMasterSlave, CcmPeerToPeer, Snp, SnpX };
enum class TDirection { ToPlc, FromPlc };

// One frame of the line (or a run of bytes that forms none), with what it means.
struct TFrame {
  uint64_t Ms = 0;  // when its first byte was handed over
  TDirection Direction = TDirection::ToPlc;
  std::string Meaning;
  std::string Bytes;
};

// The outcome of looking at the bytes from a candidate frame start.
struct TCut {
  enum TKind { NeedMore, NotAFrame, Frame };
  TKind Kind = NotAFrame;
  size_t Length = 0;    // Frame: the frame's length
  std::string Meaning;  // Frame: what it means; NeedMore: what it is taken for so far
};

class TProtocolReader;

class TFrameDecoder {
public:
  explicit TFrameDecoder(TProtocol protocol);
  ~TFrameDecoder();
  TFrameDecoder(const TFrameDecoder&) = delete;
  TFrameDecoder& operator=(const TFrameDecoder&) = delete;

  // Bytes of one direction at ms. A half-duplex line carries one side at a time, so bytes of one
  // side end a frame still open on the other. Frames found are appended to `out` in line order.
  void Feed(TDirection direction, const std::string& bytes, uint64_t ms, std::vector<TFrame>& out);
  // Ends the frames in progress in both directions; their bytes come out as incomplete frames.
  void EndFrames(std::vector<TFrame>& out);
  // A line break resets the session: frames in progress end, and nothing announced before it
  // (lengths of following messages, a CCM transfer) holds afterwards.
  void LineBreak(std::vector<TFrame>& out);

private:
  struct TStream {
    std::string Pending;  // bytes not yet cut, from Head on
    size_t Head = 0;
    uint64_t Consumed = 0;                            // line offset of Pending[Head]
    std::deque<std::pair<uint64_t, uint64_t>> Times;  // line offset of a piece, its ms
    std::string Noise;                                // bytes that form no frame, not yet shown
    uint64_t NoiseMs = 0;
  };

  TStream& Stream(TDirection direction) { return FStreams[direction == TDirection::ToPlc ? 0 : 1]; }
  void Cut(TDirection direction, bool final, std::vector<TFrame>& out);
  // Where the first whole frame after the stream's first byte starts; 0 if none has come.
  size_t CompleteFrameAhead(TDirection direction, const TStream& stream) const;
  void Take(TStream& stream, size_t count, std::string& bytes, uint64_t& ms);
  void EndNoise(TDirection direction, std::vector<TFrame>& out);

  std::unique_ptr<TProtocolReader> FReader;
  TStream FStreams[2];
};

}  // namespace kelda::trace
