// Standard input and output as a binary byte stream, for tools that speak a protocol over them
// (the PLC simulator behind a pipe). No text translation happens on any system.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kelda::platform {

// Waits up to timeoutMs for bytes on standard input and returns what has arrived (at most
// size), 0 when nothing came in time. At the end of the input it returns 0 and sets atEnd.
std::size_t ReadStandardInput(void* buffer, std::size_t size, uint32_t timeoutMs, bool& atEnd);

// Writes every byte to standard output. False when the reader has gone (a closed pipe), which
// is reported here rather than ending the process.
bool WriteStandardOutput(const void* data, std::size_t size);

}  // namespace kelda::platform
