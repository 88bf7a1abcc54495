#include "platform/File.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Common/Exceptions.h"

namespace kelda::platform {

namespace {

std::string Reason() {
  return errno == EWOULDBLOCK ? std::string("The file is in use by another process.") : std::strerror(errno);
}

// Closes the descriptor on every path out of a reader.
class TDescriptor {
public:
  explicit TDescriptor(int fd) : FFd(fd) {}
  ~TDescriptor() {
    if (FFd >= 0) ::close(FFd);
  }
  TDescriptor(const TDescriptor&) = delete;
  TDescriptor& operator=(const TDescriptor&) = delete;
  int Get() const { return FFd; }

private:
  int FFd;
};

}  // namespace

bool FileExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::optional<std::string> ReadWholeFile(const std::string& path) {
  TDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.Get() < 0) {
    if (errno == ENOENT || errno == ENOTDIR) return std::nullopt;
    throw EInOutError("Cannot read file \"" + path + "\". " + Reason());
  }
  // A writer holds the exclusive lock while it rewrites the file; reading half a file would
  // look like a short, valid one.
  if (::flock(fd.Get(), LOCK_SH | LOCK_NB) != 0)
    throw EInOutError("Cannot read file \"" + path + "\". " + Reason());
  std::string data;
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd.Get(), buf, sizeof buf);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      throw EInOutError("Cannot read file \"" + path + "\". " + Reason());
    }
    data.append(buf, static_cast<std::size_t>(n));
  }
  return data;
}

TFileWriter::TFileWriter(const std::string& path) : FHandle(nullptr), FPath(path) {
  auto fail = [&](const std::string& reason) {
    throw EFCreateError("Cannot create file \"" + path + "\". " + reason);
  };
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 0222) == 0)
    fail(std::strerror(EACCES));
  // Not truncated before the lock is ours: a file in use keeps its content.
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) fail(Reason());
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::ftruncate(fd, 0) != 0) {
    const std::string reason = Reason();
    ::close(fd);
    fail(reason);
  }
  FILE* f = ::fdopen(fd, "wb");
  if (!f) {
    const std::string reason = Reason();
    ::close(fd);
    fail(reason);
  }
  FHandle = f;
}

TFileWriter::~TFileWriter() {
  if (FHandle) std::fclose(static_cast<FILE*>(FHandle));
}

void TFileWriter::Write(const void* data, std::size_t count) {
  if (!FHandle) throw EInOutError("File is closed: " + FPath);
  if (count && std::fwrite(data, 1, count, static_cast<FILE*>(FHandle)) != count)
    throw EInOutError("Cannot write file \"" + FPath + "\". " + std::strerror(errno));
}

void TFileWriter::Close() {
  if (!FHandle) return;
  FILE* f = static_cast<FILE*>(FHandle);
  FHandle = nullptr;
  if (std::fclose(f) != 0) throw EInOutError("Cannot write file \"" + FPath + "\". " + std::strerror(errno));
}

bool DeleteFileAt(const std::string& path) {
  return ::unlink(path.c_str()) == 0;
}

bool SetFileReadOnly(const std::string& path, bool readOnly) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return false;
  const mode_t mode = readOnly ? (st.st_mode & ~mode_t(0222)) : (st.st_mode | S_IWUSR);
  return ::chmod(path.c_str(), mode & 07777) == 0;
}

}  // namespace kelda::platform
