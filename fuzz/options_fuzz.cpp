// The host names the form it wants from the options dialog export by writing the name into the
// answer buffer, ended by a zero byte or by the buffer's capacity. Any name must be answered
// without reading or writing outside the buffer, and an answer that was written must describe
// itself: its header's offsets and sizes add up to what was written.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "Plugins/zorPluginModule.h"
#include "tests/Plugins/PluginTestKit.h"
#include "fuzz/FuzzCheck.h"

using namespace kelda;
using namespace kelda::fuzz;
using namespace kelda::test;

namespace {

uint32_t Header(const char* buffer, int field) {
  uint32_t value = 0;
  for (int i = 0; i < 4; ++i) value |= uint32_t{static_cast<unsigned char>(buffer[4 * field + i])} << (8 * i);
  return value;
}

// Asks with the name in a buffer of `capacity` bytes (a heap block of exactly that size).
void Ask(uintptr_t handle, const std::string& name, std::size_t capacity) {
  auto buffer = std::make_unique<char[]>(capacity ? capacity : 1);
  std::memcpy(buffer.get(), name.data(), std::min(name.size(), capacity));
  const std::vector<char> before(buffer.get(), buffer.get() + capacity);
  TPluginCallRec record = NewRecord(handle);
  record.DataIn.Value = reinterpret_cast<uintptr_t>(buffer.get());
  record.DataIn.Size = static_cast<int32_t>(capacity);
  const int32_t result = zorGetOptionsDialog(&record);
  const uintptr_t value = record.DataOut.Value;
  const int32_t needed = record.DataOut.Size;
  Check(static_cast<uintptr_t>(result) == value);
  if (record.DataOut.Kind == kDataKindBytesWritten) {
    Check(value >= 24 && value <= capacity);
    const char* b = buffer.get();
    Check(Header(b, 0) == 24 && Header(b, 2) == 24 + Header(b, 1));
    Check(Header(b, 4) == Header(b, 2) + Header(b, 3) && Header(b, 4) + Header(b, 5) == value);
  } else {
    Check(value == 2 || value == 3);
    if (value == 3) Check(needed >= 24 && static_cast<std::size_t>(needed) > capacity);
    Check(capacity == 0 || std::memcmp(before.data(), buffer.get(), capacity) == 0);  // nothing written
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string name(reinterpret_cast<const char*>(data), size);
  const uintptr_t handle = CreateInstance();
  Check(handle != 0);
  Ask(handle, name, size);                     // ended by the capacity
  Ask(handle, name + '\0', size + 1);          // ended by a zero byte, no room for an answer
  Ask(handle, name + '\0', size + (1 << 16));  // room for any form
  Check(FreeInstance(handle) == 0);
  return 0;
}
