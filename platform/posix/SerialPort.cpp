// Serial ports through termios: a tty in raw mode, non-blocking, waited on with poll() together
// with a pipe that Cancel writes to. A break from the other side reaches us as the marked
// sequence FF 00 00 (PARMRK), a data byte FF as FF FF; Read removes the marks from the data.
#include "platform/SerialPort.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace kelda::platform {

namespace {

// Linux device numbers of pseudo-terminals (both ends): they carry no break.
constexpr unsigned kFirstPtyMajor = 128;
constexpr unsigned kLastPtyMajor = 143;
constexpr unsigned kTtyAuxMajor = 5;  // /dev/ptmx and /dev/tty

ESerialPortError Failure(const std::string& name, const std::string& operation, int error) {
  ESerialPortError e(name + ": " + operation + ": " + std::strerror(error));
  return e;
}

// Closes a descriptor on every path out of Open.
class TFd {
public:
  explicit TFd(int fd = -1) : FFd(fd) {}
  ~TFd() {
    if (FFd >= 0) ::close(FFd);
  }
  TFd(const TFd&) = delete;
  TFd& operator=(const TFd&) = delete;
  int Get() const { return FFd; }
  int Release() {
    const int fd = FFd;
    FFd = -1;
    return fd;
  }

private:
  int FFd;
};

bool SpeedOf(uint32_t baud, speed_t& speed) {
  static const struct {
    uint32_t Baud;
    speed_t Speed;
  } kSpeeds[] = {{300, B300},       {600, B600},       {1200, B1200},    {2400, B2400},   {4800, B4800},
                 {9600, B9600},     {19200, B19200},   {38400, B38400},  {57600, B57600}, {115200, B115200},
                 {230400, B230400}, {460800, B460800}, {921600, B921600}};
  for (const auto& s : kSpeeds) {
    if (s.Baud == baud) {
      speed = s.Speed;
      return true;
    }
  }
  return false;
}

bool IsPseudoTerminal(int fd, const std::string& name) {
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISCHR(st.st_mode)) {
    const unsigned major = ::major(st.st_rdev);
    if (major >= kFirstPtyMajor && major <= kLastPtyMajor) return true;
    if (major == kTtyAuxMajor && ::minor(st.st_rdev) == 2) return true;  // the multiplexer
  }
  char resolved[PATH_MAX];
  if (::realpath(name.c_str(), resolved)) return std::strncmp(resolved, "/dev/pts/", 9) == 0;
  return false;
}

std::string LineShape(const termios& tio) {
  static const char kSizes[] = {'5', '6', '7', '8'};
  std::string shape(1, kSizes[(tio.c_cflag & CSIZE) == CS5   ? 0
                              : (tio.c_cflag & CSIZE) == CS6 ? 1
                              : (tio.c_cflag & CSIZE) == CS7 ? 2
                                                             : 3]);
  shape += !(tio.c_cflag & PARENB) ? 'N' : (tio.c_cflag & PARODD) ? 'O' : 'E';
  shape += (tio.c_cflag & CSTOPB) ? '2' : '1';
  return shape;
}

// The line settings the device kept, compared with those asked for: empty when it took them.
std::string SettingsKept(const std::string& name, const termios& asked, const termios& kept) {
  constexpr tcflag_t kShape = CSIZE | PARENB | PARODD | CSTOPB;
  const tcflag_t askedShape = asked.c_cflag & (asked.c_cflag & PARENB ? kShape : kShape & ~PARODD);
  const tcflag_t keptShape = kept.c_cflag & (kept.c_cflag & PARENB ? kShape : kShape & ~PARODD);
  if (askedShape == keptShape && ::cfgetospeed(&asked) == ::cfgetospeed(&kept)) return "";
  return name + ": the device keeps its own line settings (" + LineShape(kept) + " instead of " +
         LineShape(asked) + " asked for); a pseudo-terminal passes the bytes unchanged either way";
}

// Applies the settings; returns a note when the device kept some of its own (a pseudo-terminal
// that was opened before refuses parity, or drops it silently).
std::string Configure(int fd, const std::string& name, const TSerialSettings& settings, bool pseudoTerminal) {
  speed_t speed{};
  if (!SpeedOf(settings.BaudRate, speed))
    throw ESerialPortError(name + ": configure: baud rate " + std::to_string(settings.BaudRate) +
                           " is not supported; use a standard rate such as 9600 or 19200");
  if (settings.DataBits < 5 || settings.DataBits > 8)
    throw ESerialPortError(name + ": configure: " + std::to_string(settings.DataBits) +
                           " data bits are not possible; use 5 to 8");
  if (settings.StopBits != 1 && settings.StopBits != 2)
    throw ESerialPortError(name + ": configure: " + std::to_string(settings.StopBits) +
                           " stop bits are not possible; use 1 or 2");
  termios tio{};
  if (::tcgetattr(fd, &tio) != 0) throw Failure(name, "configure", errno);
  const termios before = tio;
  ::cfmakeraw(&tio);
  // Breaks arrive as marked bytes rather than signals; parity is generated and expected by the
  // line but not checked byte by byte, so a damaged byte reaches the protocol's own check.
  tio.c_iflag &= ~(IGNBRK | BRKINT | IGNPAR | INPCK | ISTRIP | IXON | IXOFF | IXANY);
  tio.c_iflag |= PARMRK;
  tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS | HUPCL);
  static const tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
  tio.c_cflag |= kSizes[settings.DataBits - 5] | CLOCAL | CREAD;
  if (settings.Parity != TParity::None) tio.c_cflag |= PARENB;
  if (settings.Parity == TParity::Odd) tio.c_cflag |= PARODD;
  if (settings.StopBits == 2) tio.c_cflag |= CSTOPB;
  tio.c_cc[VMIN] = 1;
  tio.c_cc[VTIME] = 0;
  ::cfsetispeed(&tio, speed);
  ::cfsetospeed(&tio, speed);
  if (::tcsetattr(fd, TCSANOW, &tio) != 0) {
    const int error = errno;
    if (!pseudoTerminal || error != EINVAL) throw Failure(name, "configure", error);
    // Raw mode and the break marks matter; the character shape and speed mean nothing on a
    // pseudo-terminal: keep the ones it has.
    termios kept = tio;
    constexpr tcflag_t kShape = CSIZE | PARENB | PARODD | CSTOPB;
    kept.c_cflag = (tio.c_cflag & ~kShape) | (before.c_cflag & kShape);
    ::cfsetispeed(&kept, ::cfgetispeed(&before));
    ::cfsetospeed(&kept, ::cfgetospeed(&before));
    if (::tcsetattr(fd, TCSANOW, &kept) != 0) throw Failure(name, "configure", errno);
  }
  termios now{};
  if (::tcgetattr(fd, &now) != 0) throw Failure(name, "configure", errno);
  ::tcflush(fd, TCIOFLUSH);
  return SettingsKept(name, tio, now);
}

class TPosixSerialPort : public TSerialPort {
public:
  // Takes ownership of fd. `terminal`: the descriptor is a terminal whose input carries
  // PARMRK marks (false for the driving end of a pseudo-terminal, which sees plain bytes).
  TPosixSerialPort(std::string name, int fd, bool terminal, bool canBreak)
      : TSerialPort(std::move(name)), FFd(fd), FMarked(terminal), FCanBreak(canBreak) {
    if (::pipe2(FCancelPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
      const int error = errno;
      ::close(FFd);
      throw Failure(Name(), "open", error);
    }
  }

  ~TPosixSerialPort() override {
    ::close(FFd);  // closing releases the flock
    ::close(FCancelPipe[0]);
    ::close(FCancelPipe[1]);
  }

  void Write(const void* data, std::size_t size) override {
    const auto* bytes = static_cast<const uint8_t*>(data);
    while (size > 0) {
      const ssize_t n = ::write(FFd, bytes, size);
      if (n > 0) {
        bytes += n;
        size -= static_cast<std::size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno != EAGAIN) throw Failure(Name(), "write", errno);
      if (!WaitFor(POLLOUT, -1)) return;  // cancelled
    }
  }

  std::size_t Read(void* buffer, std::size_t size, uint32_t timeoutMs) override {
    if (size == 0) return 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::vector<uint8_t> raw(size);
    for (;;) {
      if (FCancelled) return 0;
      const ssize_t n = ::read(FFd, raw.data(), raw.size());
      if (n > 0) {
        const std::size_t got = FMarked ? Unmark(raw.data(), static_cast<std::size_t>(n), buffer)
                                        : CopyPlain(raw.data(), static_cast<std::size_t>(n), buffer);
        if (got > 0) return got;
        continue;  // only marks arrived: keep waiting for data
      }
      if (n == 0) throw ESerialPortError(Name() + ": read: the line was closed (hang-up)");
      if (errno == EINTR) continue;
      if (errno != EAGAIN) throw Failure(Name(), "read", errno);
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return 0;
      if (!WaitFor(POLLIN, static_cast<int>(left.count()) + 1)) return 0;
    }
  }

  bool Break(uint32_t ms) override {
    if (!FCanBreak) return false;
    if (::ioctl(FFd, TIOCSBRK) != 0) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    if (::ioctl(FFd, TIOCCBRK) != 0) throw Failure(Name(), "break", errno);
    return true;
  }

  bool TakeBreakReceived() override { return FBreakReceived.exchange(false); }

  void Cancel() override {
    FCancelled = true;
    const uint8_t byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(FCancelPipe[1], &byte, 1);  // async-signal-safe
  }

private:
  // Waits until the port is ready for `events` or timeoutMs passed (-1: no limit). False when
  // cancelled or timed out. A hang-up is left for the following read/write to report.
  bool WaitFor(short events, int timeoutMs) {
    pollfd fds[2] = {{FFd, events, 0}, {FCancelPipe[0], POLLIN, 0}};
    for (;;) {
      const int r = ::poll(fds, 2, timeoutMs);
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) throw Failure(Name(), "wait", errno);
      if (FCancelled || (fds[1].revents & POLLIN)) return false;
      return r > 0;
    }
  }

  std::size_t CopyPlain(const uint8_t* raw, std::size_t n, void* buffer) {
    std::memcpy(buffer, raw, n);
    return n;
  }

  // Removes PARMRK marks: FF FF is a data byte FF, FF 00 00 a break, FF 00 x a byte x that
  // arrived with a parity or framing fault (kept: the protocol's check judges it). A mark cut
  // by the end of a read is completed by the next one.
  std::size_t Unmark(const uint8_t* raw, std::size_t n, void* buffer) {
    auto* out = static_cast<uint8_t*>(buffer);
    std::size_t count = 0;
    for (std::size_t i = 0; i < n; ++i) {
      const uint8_t b = raw[i];
      switch (FMarkState) {
        case TMark::None:
          if (b == 0xFF)
            FMarkState = TMark::Escape;
          else
            out[count++] = b;
          break;
        case TMark::Escape:
          if (b == 0x00) {
            FMarkState = TMark::Fault;
          } else {
            out[count++] = b;  // FF FF; any other byte cannot follow a mark, keep it as data
            FMarkState = TMark::None;
          }
          break;
        case TMark::Fault:
          if (b == 0x00)
            FBreakReceived = true;
          else
            out[count++] = b;
          FMarkState = TMark::None;
          break;
      }
    }
    return count;
  }

  enum class TMark : uint8_t { None, Escape, Fault };

  int FFd;
  int FCancelPipe[2] = {-1, -1};
  bool FMarked;
  bool FCanBreak;
  TMark FMarkState = TMark::None;
  std::atomic<bool> FCancelled{false};
  std::atomic<bool> FBreakReceived{false};
};

}  // namespace

std::unique_ptr<TSerialPort> TSerialPort::Open(const std::string& name, const TSerialSettings& settings) {
  TFd fd(::open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (fd.Get() < 0) {
    const int error = errno;
    if (error == ENOENT || error == ENODEV || error == ENXIO) {
      ESerialPortError e(name + ": open: no such device; check the device name (ls /dev/tty*)");
      e.NotFound = true;
      throw e;
    }
    if (error == EBUSY || error == EACCES || error == EPERM) {
      ESerialPortError e(name + ": open: " + std::strerror(error) +
                         "; the port is in use by another program, or this user may not open it "
                         "(member of the group that owns " +
                         name + ")");
      e.InUse = true;
      throw e;
    }
    throw Failure(name, "open", error);
  }
  if (!::isatty(fd.Get()))
    throw ESerialPortError(name + ": open: not a terminal device; name a serial port such as /dev/ttyUSB0");
  if (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
    ESerialPortError e(name + ": open: in use by another program; close it and try again");
    e.InUse = true;
    throw e;
  }
  const bool pseudoTerminal = IsPseudoTerminal(fd.Get(), name);
  std::string note = Configure(fd.Get(), name, settings, pseudoTerminal);
  auto port = std::make_unique<TPosixSerialPort>(name, fd.Release(), true, !pseudoTerminal);
  port->SetSettingsNote(std::move(note));
  return port;
}

TPseudoTerminalPair OpenPseudoTerminalPair() {
  TFd controller(::posix_openpt(O_RDWR | O_NOCTTY));
  if (controller.Get() < 0) throw Failure("/dev/ptmx", "open", errno);
  if (::grantpt(controller.Get()) != 0 || ::unlockpt(controller.Get()) != 0)
    throw Failure("/dev/ptmx", "unlock", errno);
  char name[128];
  if (::ptsname_r(controller.Get(), name, sizeof name) != 0) throw Failure("/dev/ptmx", "name", errno);
  const int flags = ::fcntl(controller.Get(), F_GETFL);
  if (flags < 0 || ::fcntl(controller.Get(), F_SETFL, flags | O_NONBLOCK) != 0 ||
      ::fcntl(controller.Get(), F_SETFD, FD_CLOEXEC) != 0)
    throw Failure("/dev/ptmx", "configure", errno);
  TPseudoTerminalPair pair;
  pair.Name = name;
  pair.Controller = std::make_unique<TPosixSerialPort>(std::string(name) + " (controller)",
                                                       controller.Release(), false, false);
  return pair;
}

}  // namespace kelda::platform
