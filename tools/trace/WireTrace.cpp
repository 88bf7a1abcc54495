// The trace file: a header naming the protocol and the columns, then one entry per frame or event.
#include "tools/trace/WireTrace.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "tools/trace/ProtocolReader.h"

namespace kelda::trace {

namespace {

constexpr size_t kBytesPerLine = 32;
// Continuation lines of a long frame start under the direction column, clear of the time stamps.
const char kIndent[] = "           ";

const char* ProtocolName(TProtocol protocol) {
  switch (protocol) {
    case TProtocol::CcmMasterSlave:
      return "CCM master-slave";
    case TProtocol::CcmPeerToPeer:
      return "CCM peer-to-peer";
    case TProtocol::Snp:
      return "SNP";
    case TProtocol::SnpX:
      return "SNP-X";
  }
  return "unknown";
}

// "1B 41 33 | .A3": the bytes in hexadecimal, padded to `width` bytes, then as text.
std::string BytesColumns(const std::string& bytes, size_t width) {
  std::string hex, text;
  for (unsigned char c : bytes) {
    hex += Hex2(c) + ' ';
    text += c >= 0x20 && c < 0x7F ? char(c) : '.';
  }
  if (bytes.size() < width) hex.append((width - bytes.size()) * 3, ' ');
  return hex + "| " + text;
}

}  // namespace

std::string Stamp(uint64_t ms) {
  char text[32];
  std::snprintf(text, sizeof text, "%4llu.%03llu", static_cast<unsigned long long>(ms / 1000),
                static_cast<unsigned long long>(ms % 1000));
  return text;
}

std::string FormatFrame(const TFrame& frame) {
  std::string text = Stamp(frame.Ms) + (frame.Direction == TDirection::ToPlc ? " > " : " < ") + frame.Meaning;
  if (frame.Bytes.size() <= kBytesPerLine) return text + " | " + BytesColumns(frame.Bytes, 0) + "\n";
  text += "\n";
  for (size_t at = 0; at < frame.Bytes.size(); at += kBytesPerLine)
    text += kIndent + std::string("| ") + BytesColumns(frame.Bytes.substr(at, kBytesPerLine), kBytesPerLine) +
            "\n";
  return text;
}

TWireTrace::TWireTrace(const std::string& path, TProtocol protocol)
    : FFile(path, std::ios::binary | std::ios::trunc),
      FProtocol(protocol),
      FDecoder(std::make_unique<TFrameDecoder>(protocol)) {
  if (!FFile) throw std::runtime_error("cannot write the trace file " + path + ": " + std::strerror(errno));
  FFile << "# Korvane wire trace, protocol " << ProtocolName(FProtocol) << "\n"
        << "# time (s)  direction (> to the PLC, < from the PLC, * note)  meaning | bytes in hex | bytes as"
           " text, '.' where not printable\n";
}

TWireTrace::~TWireTrace() {
  try {
    EndFramesAndFlush();
  } catch (...) {
    // A trace that cannot be written at the end of a run must not take the poller down with it.
  }
}

void TWireTrace::Sent(const std::string& bytes, uint64_t ms) {
  const std::lock_guard<std::mutex> lock(FLock);
  std::vector<TFrame> frames;
  FDecoder->Feed(TDirection::ToPlc, bytes, ms, frames);
  Write(frames);
  FlushEverySecond(ms);
}

void TWireTrace::Received(const std::string& bytes, uint64_t ms) {
  const std::lock_guard<std::mutex> lock(FLock);
  std::vector<TFrame> frames;
  FDecoder->Feed(TDirection::FromPlc, bytes, ms, frames);
  Write(frames);
  FlushEverySecond(ms);
}

void TWireTrace::LineBreak(uint32_t breakMs, uint64_t ms) {
  const std::lock_guard<std::mutex> lock(FLock);
  std::vector<TFrame> frames;
  FDecoder->LineBreak(frames);
  Write(frames);
  WriteEvent(ms, '>', "break, " + std::to_string(breakMs) + " ms");
  FlushEverySecond(ms);
}

void TWireTrace::Note(const std::string& text, uint64_t ms) {
  const std::lock_guard<std::mutex> lock(FLock);
  std::vector<TFrame> frames;
  FDecoder->EndFrames(frames);
  Write(frames);
  WriteEvent(ms, '*', text);
  FFile.flush();
  FFlushedMs = ms;
}

void TWireTrace::Protocol(TProtocol protocol, uint64_t ms) {
  const std::lock_guard<std::mutex> lock(FLock);
  std::vector<TFrame> frames;
  FDecoder->EndFrames(frames);
  Write(frames);
  FProtocol = protocol;
  FDecoder = std::make_unique<TFrameDecoder>(protocol);
  WriteEvent(ms, '*', std::string("the line is read as ") + ProtocolName(protocol) + " from here on");
}

void TWireTrace::Flush() {
  const std::lock_guard<std::mutex> lock(FLock);
  EndFramesAndFlush();
}

void TWireTrace::EndFramesAndFlush() {
  std::vector<TFrame> frames;
  FDecoder->EndFrames(frames);
  Write(frames);
  FFile.flush();
}

void TWireTrace::Write(const std::vector<TFrame>& frames) {
  for (const TFrame& frame : frames) FFile << FormatFrame(frame);
}

void TWireTrace::WriteEvent(uint64_t ms, char direction, const std::string& text) {
  FFile << Stamp(ms) << ' ' << direction << ' ' << text << "\n";
}

void TWireTrace::FlushEverySecond(uint64_t ms) {
  if (ms < FFlushedMs + 1000) return;
  FFile.flush();
  FFlushedMs = ms;
}

}  // namespace kelda::trace
