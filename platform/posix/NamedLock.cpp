#include "platform/NamedLock.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/Exceptions.h"
#include "platform/File.h"
#include "platform/Tick.h"

namespace kelda::platform {

namespace {

std::string LockFolder() {
  if (const char* dir = std::getenv("KELDA_LOCK_DIR"); dir && *dir) return dir;
  return "/tmp/kelda-locks";
}

void MakeFolder(const std::string& folder) {
  if (::mkdir(folder.c_str(), 0777) == 0) {
    ::chmod(folder.c_str(), 01777);  // shared by every user, like /tmp
    return;
  }
  if (errno != EEXIST)
    throw ELockError("Cannot create lock folder \"" + folder + "\": " + std::strerror(errno));
}

// A lock file another user made may be readable only; flock works on such a descriptor too.
int OpenLockFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd >= 0) {
    ::fchmod(fd, 0666);  // whatever the umask: every user's processes share the lock
    return fd;
  }
  if (errno != EEXIST) return -1;
  const int existing = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (existing >= 0 || errno != EACCES) return existing;
  return ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
}

void Pause(uint32_t ms) {
  timespec pause{0, static_cast<long>(ms) * 1000000L};
  ::nanosleep(&pause, nullptr);
}

}  // namespace

void SetGlobalLockNamespaceRefused(bool) {}

std::string FileLockName(const std::string& path) {
  return LockNameOfText(FinalPath(path));
}

TNamedLock::TNamedLock(const std::string& name, uint32_t waitMs) {
  if (name.empty() || name.find('/') != std::string::npos)
    throw ELockError("Not a lock name: \"" + name + "\"");
  const std::string folder = LockFolder();
  MakeFolder(folder);
  const std::string path = folder + "/" + SystemLockName(name) + ".lock";
  const int fd = OpenLockFile(path);
  if (fd < 0) throw ELockError("Cannot open lock \"" + path + "\": " + std::strerror(errno));
  auto fail = [&](const std::string& reason) {
    ::close(fd);
    throw ELockError("Cannot take lock \"" + path + "\": " + reason);
  };
  if (waitMs == kNamedLockWaitForever) {
    while (::flock(fd, LOCK_EX) != 0)
      if (errno != EINTR) fail(std::strerror(errno));
  } else {
    // flock has no time limit of its own: it is asked again, at first often, then every 20 ms.
    const uint64_t deadline = SystemTick64() + waitMs;
    uint32_t pause = 1;
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      if (errno != EWOULDBLOCK && errno != EINTR) fail(std::strerror(errno));
      const uint64_t now = SystemTick64();
      if (now >= deadline) {
        ::close(fd);
        throw ELockTimeout("Lock \"" + path + "\" stayed taken for " + std::to_string(waitMs) + " ms");
      }
      Pause(static_cast<uint32_t>(std::min<uint64_t>(pause, deadline - now)));
      pause = std::min<uint32_t>(pause * 2, 20);
    }
  }
  FHandle = reinterpret_cast<void*>(static_cast<intptr_t>(fd) + 1);
}

TNamedLock::~TNamedLock() {
  ::close(static_cast<int>(reinterpret_cast<intptr_t>(FHandle) - 1));  // closing releases the lock
}

}  // namespace kelda::platform
