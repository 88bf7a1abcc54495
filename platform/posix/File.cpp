#include "platform/File.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/Exceptions.h"

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

namespace {

std::string RealPath(const std::string& path) {
  char* resolved = ::realpath(path.c_str(), nullptr);
  if (!resolved) return {};
  std::string result(resolved);
  std::free(resolved);
  return result;
}

// "a/./b/../c" as "a/c": only for the part of a path that does not exist, where no link can
// make ".." mean anything else.
std::string Lexical(const std::string& head, const std::vector<std::string>& rest) {
  std::string path = head;
  for (const std::string& part : rest) {
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      const std::size_t slash = path.rfind('/');
      path.erase(slash == 0 ? 1 : slash);
      continue;
    }
    if (path.empty() || path.back() != '/') path += '/';
    path += part;
  }
  return path;
}

}  // namespace

std::string FinalPath(const std::string& path) {
  if (path.empty()) return path;
  std::string existing = path;
  std::vector<std::string> rest;  // the parts that do not exist, last first
  for (;;) {
    if (std::string resolved = RealPath(existing); !resolved.empty()) {
      std::reverse(rest.begin(), rest.end());
      return Lexical(resolved, rest);
    }
    const std::size_t slash = existing.find_last_not_of('/') == std::string::npos
                                  ? std::string::npos
                                  : existing.rfind('/', existing.find_last_not_of('/'));
    if (slash == std::string::npos) {
      rest.push_back(existing);
      existing = ".";
    } else {
      rest.push_back(existing.substr(slash + 1));
      existing = slash == 0 ? "/" : existing.substr(0, slash);
    }
    if (rest.size() > 4096) return path;
  }
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

namespace {

std::atomic<std::size_t> gWriteLimit{NoFileWriteLimit};

int LockDescriptor(void* handle) {
  return static_cast<int>(reinterpret_cast<intptr_t>(handle) - 1);
}

}  // namespace

void SetFileWriteLimit(std::size_t bytes) {
  gWriteLimit = bytes;
}

void SetReplaceFileRefused(bool) {}

std::string TemporaryFileName(const std::string& path, unsigned attempt) {
  return TemporaryFileNameFor(path, static_cast<uint32_t>(::getpid()), attempt);
}

namespace {

// Where a writer of `path` puts its bytes: the file a link points to, so that the link stays.
std::string WriteTarget(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
  std::string target = RealPath(path);
  return target.empty() ? path : target;
}

}  // namespace

TFileWriter::TFileWriter(const std::string& path) : FHandle(nullptr), FPath(WriteTarget(path)) {
  auto fail = [&](const std::string& reason) {
    Discard();
    throw EFCreateError("Cannot create file \"" + path + "\". " + reason);
  };
  struct stat st {};
  const bool existed = ::stat(FPath.c_str(), &st) == 0;
  if (existed && S_ISDIR(st.st_mode)) fail(std::strerror(EISDIR));
  if (existed && S_ISREG(st.st_mode) && (st.st_mode & 0222) == 0) fail(std::strerror(EACCES));
  if (existed) {
    // The old file stays locked until it is replaced, so readers see it whole or not at all.
    int lock = ::open(FPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (lock < 0 && errno == EACCES) lock = ::open(FPath.c_str(), O_WRONLY | O_CLOEXEC);
    if (lock < 0) fail(Reason());
    FTargetLock = reinterpret_cast<void*>(static_cast<intptr_t>(lock) + 1);
    if (::flock(lock, LOCK_EX | LOCK_NB) != 0) fail(Reason());
  }
  // A name nobody uses: a file that merely carries one of these names is someone else's and
  // is neither truncated nor removed.
  int fd = -1;
  for (unsigned attempt = 0; fd < 0 && attempt < kTemporaryNameAttempts; ++attempt) {
    const std::string name = TemporaryFileName(FPath, attempt);
    fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0)
      FTemporaryPath = name;
    else if (errno != EEXIST)
      fail(Reason());
  }
  if (fd < 0) fail(std::strerror(EEXIST));
  // The replacement keeps the permission bits the user gave the old file.
  if (existed && ::fchmod(fd, st.st_mode & 07777) != 0) {
    const std::string reason = Reason();
    ::close(fd);
    ::unlink(FTemporaryPath.c_str());
    fail(reason);
  }
  FILE* f = ::fdopen(fd, "wb");
  if (!f) {
    const std::string reason = Reason();
    ::close(fd);
    ::unlink(FTemporaryPath.c_str());
    fail(reason);
  }
  FHandle = f;
}

TFileWriter::~TFileWriter() {
  Discard();
}

void TFileWriter::Discard() {
  if (FHandle) {
    ::unlink(FTemporaryPath.c_str());
    std::fclose(static_cast<FILE*>(FHandle));
    FHandle = nullptr;
  }
  if (FTargetLock) {
    ::close(LockDescriptor(FTargetLock));
    FTargetLock = nullptr;
  }
}

void TFileWriter::Write(const void* data, std::size_t count) {
  if (!FHandle) throw EInOutError("File is closed: " + FPath);
  const std::size_t limit = gWriteLimit;
  int error = 0;
  if (count > limit || FWritten > limit - count)
    error = ENOSPC;
  else if (count && std::fwrite(data, 1, count, static_cast<FILE*>(FHandle)) != count)
    error = errno;
  if (error != 0) {
    Discard();
    throw EInOutError("Cannot write file \"" + FPath + "\". " + std::strerror(error));
  }
  FWritten += count;
}

void TFileWriter::Close() {
  if (!FHandle) throw EInOutError("File is closed: " + FPath);
  FILE* f = static_cast<FILE*>(FHandle);
  if (std::fflush(f) != 0 || ::fsync(::fileno(f)) != 0) {
    const int error = errno;
    Discard();
    throw EInOutError("Cannot write file \"" + FPath + "\". " + std::strerror(error));
  }
  Replace();
  // Renamed: the content is in place and the temporary name is gone.
  FHandle = nullptr;
  std::fclose(f);
  Discard();
}

void TFileWriter::Replace() {
  if (std::rename(FTemporaryPath.c_str(), FPath.c_str()) == 0) return;
  const int error = errno;
  Discard();
  throw EInOutError("Cannot write file \"" + FPath + "\". " + std::strerror(error));
}

bool DeleteFileAt(const std::string& path) {
  return ::unlink(path.c_str()) == 0;
}

std::optional<uint32_t> FileMode(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return static_cast<uint32_t>(st.st_mode & 07777);
}

bool SetFileMode(const std::string& path, uint32_t mode) {
  return ::chmod(path.c_str(), static_cast<mode_t>(mode & 07777)) == 0;
}

bool SetFileReadOnly(const std::string& path, bool readOnly) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return false;
  const mode_t mode = readOnly ? (st.st_mode & ~mode_t(0222)) : (st.st_mode | S_IWUSR);
  return ::chmod(path.c_str(), mode & 07777) == 0;
}

}  // namespace kelda::platform
