// The reassembler: one byte stream per direction, cut into frames by the protocol reader.
#include "tools/trace/FrameDecoder.h"

#include <cstdio>

#include "tools/trace/ProtocolReader.h"

namespace kelda::trace {

namespace {

// Consumed bytes are dropped from the front of a stream's buffer in blocks, not one by one, so
// that a long run of noise costs linear time.
constexpr size_t kCompactAfter = 4096;
constexpr size_t kNoiseEntry = 256;

const uint8_t* Data(const std::string& text, size_t offset) {
  return reinterpret_cast<const uint8_t*>(text.data()) + offset;
}

TDirection Other(TDirection direction) {
  return direction == TDirection::ToPlc ? TDirection::FromPlc : TDirection::ToPlc;
}

}  // namespace

std::string Hex2(uint8_t value) {
  static const char kDigits[] = "0123456789ABCDEF";
  return std::string{kDigits[value >> 4], kDigits[value & 15]};
}

std::string HexRun(const uint8_t* bytes, size_t n) {
  std::string text;
  for (size_t i = 0; i < n; ++i) {
    if (i) text += ' ';
    text += Hex2(bytes[i]);
  }
  return text;
}

uint16_t Word(const uint8_t* bytes) {
  return static_cast<uint16_t>(bytes[0] | bytes[1] << 8);
}

std::string Count(size_t n, const char* unit) {
  return std::to_string(n) + " " + unit + (n == 1 ? "" : "s");
}

std::string Quoted(const uint8_t* bytes, size_t n) {
  std::string text = "\"";
  for (size_t i = 0; i < n && bytes[i]; ++i)
    text += bytes[i] >= 0x20 && bytes[i] < 0x7F ? char(bytes[i]) : '.';
  return text + "\"";
}

std::string CheckText(const char* what, bool ok, const std::string& expected) {
  return ok ? std::string(what) + " ok" : std::string(what) + " bad, expected " + expected;
}

TFrameDecoder::TFrameDecoder(TProtocol protocol)
    : FReader(protocol == TProtocol::Snp    ? MakeSnpReader(false)
              : protocol == TProtocol::SnpX ? MakeSnpReader(true)
                                            : MakeCcmReader()) {}

TFrameDecoder::~TFrameDecoder() = default;

void TFrameDecoder::Feed(TDirection direction, const std::string& bytes, uint64_t ms,
                         std::vector<TFrame>& out) {
  if (bytes.empty()) return;
  Cut(Other(direction), true, out);
  TStream& stream = Stream(direction);
  stream.Times.emplace_back(stream.Consumed + (stream.Pending.size() - stream.Head), ms);
  stream.Pending += bytes;
  Cut(direction, false, out);
}

void TFrameDecoder::EndFrames(std::vector<TFrame>& out) {
  Cut(TDirection::ToPlc, true, out);
  Cut(TDirection::FromPlc, true, out);
}

void TFrameDecoder::LineBreak(std::vector<TFrame>& out) {
  EndFrames(out);
  FReader->Reset();
}

void TFrameDecoder::Take(TStream& stream, size_t count, std::string& bytes, uint64_t& ms) {
  while (stream.Times.size() > 1 && stream.Times[1].first <= stream.Consumed) stream.Times.pop_front();
  ms = stream.Times.empty() ? 0 : stream.Times.front().second;
  bytes.assign(stream.Pending, stream.Head, count);
  stream.Head += count;
  stream.Consumed += count;
  if (stream.Head == stream.Pending.size()) {
    stream.Pending.clear();
    stream.Head = 0;
  } else if (stream.Head > kCompactAfter && stream.Head * 2 > stream.Pending.size()) {
    stream.Pending.erase(0, stream.Head);
    stream.Head = 0;
  }
}

void TFrameDecoder::EndNoise(TDirection direction, std::vector<TFrame>& out) {
  TStream& stream = Stream(direction);
  if (stream.Noise.empty()) return;
  out.push_back({stream.NoiseMs, direction,
                 "unrecognised bytes (" + std::to_string(stream.Noise.size()) + ")", stream.Noise});
  stream.Noise.clear();
}

size_t TFrameDecoder::CompleteFrameAhead(TDirection direction, const TStream& stream) const {
  const size_t n = stream.Pending.size() - stream.Head;
  for (size_t i = 1; i < n; ++i)
    if (FReader->Look(direction, Data(stream.Pending, stream.Head + i), n - i, true).Kind == TCut::Frame)
      return i;
  return 0;
}

void TFrameDecoder::Cut(TDirection direction, bool final, std::vector<TFrame>& out) {
  TStream& stream = Stream(direction);
  while (stream.Head < stream.Pending.size()) {
    const size_t n = stream.Pending.size() - stream.Head;
    TCut cut = FReader->Look(direction, Data(stream.Pending, stream.Head), n, final);
    if (cut.Kind == TCut::NeedMore && !final) break;
    size_t noise = cut.Kind == TCut::NotAFrame ? 1 : 0;
    // Candidate starts that no byte to come can complete, before a whole frame that has come,
    // were noise.
    if (cut.Kind == TCut::NeedMore) noise = CompleteFrameAhead(direction, stream);

    TFrame frame;
    frame.Direction = direction;
    if (noise) {
      // A line that carries only garbage (a wrong baud rate) is shown as it comes, in entries
      // of a readable size.
      if (stream.Noise.size() >= kNoiseEntry) EndNoise(direction, out);
      Take(stream, noise, frame.Bytes, frame.Ms);
      if (stream.Noise.empty()) stream.NoiseMs = frame.Ms;
      stream.Noise += frame.Bytes;
      continue;
    }
    EndNoise(direction, out);
    if (cut.Kind == TCut::NeedMore) {
      Take(stream, n, frame.Bytes, frame.Ms);
      frame.Meaning = "incomplete " + cut.Meaning + " (" + Count(n, "byte") + ")";
      out.push_back(std::move(frame));
      break;
    }
    Take(stream, cut.Length, frame.Bytes, frame.Ms);
    FReader->Accept(direction, Data(frame.Bytes, 0), frame.Bytes.size());
    frame.Meaning = std::move(cut.Meaning);
    out.push_back(std::move(frame));
  }
  if (final) EndNoise(direction, out);
}

}  // namespace kelda::trace
