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

// A file written anew and sequentially. The bytes go to "<path>.tmp" in the same folder; Close
// puts that file in the place of the old one in one step, so the file holds either all of its
// old content or all of the new, whatever fails on the way (a full disk, a size limit, a crash).
// A writer destroyed without a successful Close leaves the old file as it was and removes the
// temporary file. A replaced file keeps the permissions of the old one (POSIX).
// The constructor throws EFCreateError with the system's reason when the file cannot be
// created: a missing folder, a read-only file, a file in use. Write and Close throw EInOutError
// when the system refuses the bytes or the replacement.
//
// While a writer is open every other reader and writer of the file is kept out. POSIX keeps
// the Windows rules: readers and writers exclude each other through flock (as sharing modes
// do), and a file without any write permission bit is read-only for every user, the superuser
// included (as the read-only attribute is).
class TFileWriter {
public:
  explicit TFileWriter(const std::string& path);
  ~TFileWriter();
  TFileWriter(const TFileWriter&) = delete;
  TFileWriter& operator=(const TFileWriter&) = delete;

  void Write(const void* data, std::size_t count);
  void Write(const std::string& text) { Write(text.data(), text.size()); }
  void Close();  // flushes and replaces the old file; only then is the new content in place

private:
  void Discard();  // closes and removes the temporary file, releases the old one

  void* FHandle;                // HANDLE or FILE* of the temporary file
  void* FTargetLock = nullptr;  // keeps others out of the old file (HANDLE, or descriptor + 1)
  std::string FPath;
  std::string FTemporaryPath;
  std::size_t FWritten = 0;
};

// Test seam: every writer refuses the bytes beyond the first `bytes` it is given, as a full
// disk does (the bytes before the limit still go out). NoFileWriteLimit lifts the limit.
inline constexpr std::size_t NoFileWriteLimit = static_cast<std::size_t>(-1);
void SetFileWriteLimit(std::size_t bytes);

bool DeleteFileAt(const std::string& path);

// Sets or clears the read-only state: the read-only attribute on Windows, all write permission
// bits on POSIX. False when the file is missing.
bool SetFileReadOnly(const std::string& path, bool readOnly);

}  // namespace kelda::platform
