// File access. Paths are 8-bit text in the system code page.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace kelda::platform {

bool FileExists(const std::string& path);

// The whole content of a file, read while other writers are denied; nullopt when the file
// does not exist or cannot be opened.
std::optional<std::string> ReadWholeFile(const std::string& path);

// A file created anew (truncated when present) and written sequentially.
// The constructor throws EFCreateError with the system's reason when the file cannot be
// created; Write throws EInOutError when the system refuses the bytes.
class TFileWriter {
public:
  explicit TFileWriter(const std::string& path);
  ~TFileWriter();
  TFileWriter(const TFileWriter&) = delete;
  TFileWriter& operator=(const TFileWriter&) = delete;

  void Write(const void* data, std::size_t count);
  void Write(const std::string& text) { Write(text.data(), text.size()); }
  void Close();  // flushes; the destructor closes too, swallowing failures

private:
  void* FHandle;  // HANDLE or FILE*
  std::string FPath;
};

bool DeleteFileAt(const std::string& path);

}  // namespace kelda::platform
