// File access. Paths are 8-bit text in the system code page.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace kelda::platform {

bool FileExists(const std::string& path);

// The whole content of a file, read while writers are kept out; nullopt only when the file (or
// its folder) does not exist. A file that exists but cannot be read (in use by a writer, access
// denied, a folder) throws EInOutError with the system's reason: an unreadable file is not an
// empty one.
std::optional<std::string> ReadWholeFile(const std::string& path);

// A file created anew (truncated when present) and written sequentially, with every other
// reader and writer kept out until it is closed.
// The constructor throws EFCreateError with the system's reason when the file cannot be
// created: a missing folder, a read-only file, a file in use. Write throws EInOutError when the
// system refuses the bytes.
//
// POSIX keeps the Windows rules: readers and writers exclude each other through flock (as
// sharing modes do), and a file without any write permission bit is read-only for every user,
// the superuser included (as the read-only attribute is).
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

// Sets or clears the read-only state: the read-only attribute on Windows, all write permission
// bits on POSIX. False when the file is missing.
bool SetFileReadOnly(const std::string& path, bool readOnly);

}  // namespace kelda::platform
