// A first trace: time, direction and bytes in hexadecimal, without decoding them yet.
#include "tools/trace/WireTrace.h"

#include <cstdio>
#include <stdexcept>

namespace kelda::trace {

namespace {

std::string Hex(const std::string& bytes) {
  std::string text;
  char part[4];
  for (unsigned char c : bytes) {
    std::snprintf(part, sizeof part, "%02X ", c);
    text += part;
  }
  return text;
}

std::string Stamp(uint64_t ms) {
  char text[32];
  std::snprintf(text, sizeof text, "%10llu.%03llu", static_cast<unsigned long long>(ms / 1000),
                static_cast<unsigned long long>(ms % 1000));
  return text;
}

}  // namespace

TWireTrace::TWireTrace(const std::string& path, TProtocol protocol)
    : FFile(path, std::ios::binary | std::ios::trunc), FProtocol(protocol) {
  if (!FFile) throw std::runtime_error("cannot write the trace file " + path);
}

TWireTrace::~TWireTrace() {
  Flush();
}

void TWireTrace::Sent(const std::string& bytes, uint64_t ms) {
  FFile << Stamp(ms) << " > " << Hex(bytes) << "\n";
}

void TWireTrace::Received(const std::string& bytes, uint64_t ms) {
  FFile << Stamp(ms) << " < " << Hex(bytes) << "\n";
}

void TWireTrace::LineBreak(uint32_t breakMs, uint64_t ms) {
  FFile << Stamp(ms) << " > break " << breakMs << " ms\n";
}

void TWireTrace::Note(const std::string& text, uint64_t ms) {
  FFile << Stamp(ms) << " * " << text << "\n";
}

void TWireTrace::Flush() {
  FFile.flush();
}

}  // namespace kelda::trace
