// File access. Paths are 8-bit text in the system code page.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace kelda::platform {

bool FileExists(const std::string& path);

// The path the system finally reaches for `path`: absolute, without "." and "..", and with every
// link of the file and of its folders followed, as far as the path exists (the rest as written).
// Two spellings of one existing file give one text; on Windows in the system's own letter case
// for the part that exists. The path itself when the system cannot form one.
std::string FinalPath(const std::string& path);

// The whole content of a file, read while writers are kept out; nullopt only when the file (or
// its folder) does not exist. A file that exists but cannot be read (in use by a writer, access
// denied, a folder) throws EInOutError with the system's reason: an unreadable file is not an
// empty one.
std::optional<std::string> ReadWholeFile(const std::string& path);

// A file written anew and sequentially. The bytes go to a temporary file of a name of its own
// in the same folder (TemporaryFileName); Close puts that file in the place of the old one in
// one step, so the file holds either all of its old content or all of the new, whatever fails
// on the way (a full disk, a size limit, a crash). A writer destroyed without a successful
// Close leaves the old file as it was and removes its temporary file. A file that merely
// carries a temporary name is never written, replaced or removed.
//
// A path that is a link to a file writes that file: the link stays a link.
//
// The replacement keeps what the user set on the old file: on Windows its attributes and its
// security (ReplaceFile). Where the system cannot replace a file that way (a file system or
// share without it), the new file is moved into place with the old attributes, and Note()
// says that the security settings were not carried over. POSIX keeps the permission bits.
//
// The constructor throws EFCreateError with the system's reason when the file cannot be
// created: a missing folder, a read-only file, a file in use. Write and Close throw EInOutError
// when the system refuses the bytes or the replacement.
//
// While a writer of an existing file is open every other reader and writer of that file is
// kept out. POSIX keeps the Windows rules: readers and writers exclude each other through
// flock (as sharing modes do), and a file without any write permission bit is read-only for
// every user, the superuser included (as the read-only attribute is). Writers of a file that
// does not exist yet do not exclude each other: each writes its own temporary file and the
// last to close puts its content in place, whole.
class TFileWriter {
public:
  explicit TFileWriter(const std::string& path);
  ~TFileWriter();
  TFileWriter(const TFileWriter&) = delete;
  TFileWriter& operator=(const TFileWriter&) = delete;

  void Write(const void* data, std::size_t count);
  void Write(const std::string& text) { Write(text.data(), text.size()); }
  void Close();  // flushes and replaces the old file; only then is the new content in place
  // After Close: what the replacement could not keep of the old file, or empty.
  const std::string& Note() const { return FNote; }

private:
  void Discard();  // closes and removes the temporary file, releases the old one
  void Replace();  // puts the closed temporary file in the place of FPath; throws EInOutError

  void* FHandle;                // HANDLE or FILE* of the temporary file
  void* FTargetLock = nullptr;  // keeps others out of the old file (HANDLE, or descriptor + 1)
  std::string FPath;
  std::string FTemporaryPath;
  std::size_t FWritten = 0;
  uint32_t FAttributes = 0;  // the old file's attributes (Windows)
  std::string FNote;
};

// The temporary file's name for path: "<path>.~<process>_<attempt>.tmp", beside the file so
// that the replacement stays on one volume. A writer takes the first attempt whose name is
// free and gives up after kTemporaryNameAttempts.
inline constexpr unsigned kTemporaryNameAttempts = 1000;
std::string TemporaryFileName(const std::string& path, unsigned attempt);
std::string TemporaryFileNameFor(const std::string& path, uint32_t process, unsigned attempt);

// Test seam: every writer refuses the bytes beyond the first `bytes` it is given, as a full
// disk does (the bytes before the limit still go out). NoFileWriteLimit lifts the limit.
inline constexpr std::size_t NoFileWriteLimit = static_cast<std::size_t>(-1);
void SetFileWriteLimit(std::size_t bytes);

// Test seam (Windows; POSIX has nothing to refuse): ReplaceFile answers "not supported", as on
// file systems without it, so that writers take their fallback.
void SetReplaceFileRefused(bool refused);

bool DeleteFileAt(const std::string& path);

// What the system keeps as a file's mode: its attributes (FILE_ATTRIBUTE_* values) on Windows,
// its permission bits on POSIX; nullopt when the file is missing. For tests and diagnostics.
std::optional<uint32_t> FileMode(const std::string& path);
bool SetFileMode(const std::string& path, uint32_t mode);

// Sets or clears the read-only state: the read-only attribute on Windows, all write permission
// bits on POSIX. False when the file is missing.
bool SetFileReadOnly(const std::string& path, bool readOnly);

}  // namespace kelda::platform
