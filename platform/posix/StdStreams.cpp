#include "platform/StdStreams.h"

#include <cerrno>
#include <csignal>
#include <poll.h>
#include <unistd.h>

namespace kelda::platform {

std::size_t ReadStandardInput(void* buffer, std::size_t size, uint32_t timeoutMs, bool& atEnd) {
  atEnd = false;
  pollfd p{STDIN_FILENO, POLLIN, 0};
  for (;;) {
    const int r = ::poll(&p, 1, static_cast<int>(timeoutMs));
    if (r == 0) return 0;
    if (r > 0) break;
    if (errno != EINTR) {
      atEnd = true;
      return 0;
    }
  }
  for (;;) {
    const ssize_t n = ::read(STDIN_FILENO, buffer, size);
    if (n > 0) return static_cast<std::size_t>(n);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) return 0;
    atEnd = true;  // end of input, or an input that failed for good
    return 0;
  }
}

bool WriteStandardOutput(const void* data, std::size_t size) {
  // A reader that went away must not end the process before it has saved its state.
  static const bool ignored = (std::signal(SIGPIPE, SIG_IGN), true);
  (void)ignored;
  const auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::write(STDOUT_FILENO, bytes, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace kelda::platform
