#include "platform/NamedLock.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Common/Exceptions.h"

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

}  // namespace

TNamedLock::TNamedLock(const std::string& name) {
  if (name.empty() || name.find('/') != std::string::npos)
    throw ELockError("Not a lock name: \"" + name + "\"");
  const std::string folder = LockFolder();
  MakeFolder(folder);
  const std::string path = folder + "/" + SystemLockName(name) + ".lock";
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) throw ELockError("Cannot open lock \"" + path + "\": " + std::strerror(errno));
  while (::flock(fd, LOCK_EX) != 0) {
    if (errno == EINTR) continue;
    const int error = errno;
    ::close(fd);
    throw ELockError("Cannot take lock \"" + path + "\": " + std::strerror(error));
  }
  FHandle = reinterpret_cast<void*>(static_cast<intptr_t>(fd) + 1);
}

TNamedLock::~TNamedLock() {
  ::close(static_cast<int>(reinterpret_cast<intptr_t>(FHandle) - 1));  // closing releases the lock
}

}  // namespace kelda::platform
