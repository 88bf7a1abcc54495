#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <random>

#include "platform/Guid.h"

namespace kelda::platform {

static bool ReadUrandom(unsigned char* out, std::size_t size) {
  int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  std::size_t done = 0;
  while (done < size) {
    ssize_t n = ::read(fd, out + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  ::close(fd);
  return done == size;
}

// One generator per thread, seeded from /dev/urandom (the clock where it cannot be read), the
// thread's own address and the process: identifiers are made for every call record of every
// data call, and opening the device each time cost three system calls a record. A child process
// starts with its parent's generators, so each thread seeds anew after a fork.
static std::atomic<unsigned> gForks{0};

static void CountFork() {
  gForks.fetch_add(1);
}

static std::mt19937_64 SeededGenerator() {
  unsigned char seed[32] = {};
  const bool read = ReadUrandom(seed, sizeof seed);
  std::seed_seq::result_type words[10] = {};
  std::memcpy(words, seed, sizeof seed);
  if (!read) {
    const auto now = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    words[0] ^= static_cast<std::seed_seq::result_type>(now);
    words[1] ^= static_cast<std::seed_seq::result_type>(now >> 32);
    words[2] ^= std::random_device{}();
  }
  static thread_local int marker;
  words[8] = static_cast<std::seed_seq::result_type>(reinterpret_cast<uintptr_t>(&marker));
  words[9] = static_cast<std::seed_seq::result_type>(::getpid());
  std::seed_seq sequence(std::begin(words), std::end(words));
  return std::mt19937_64(sequence);
}

static std::mt19937_64& Generator() {
  static const int watching = ::pthread_atfork(nullptr, nullptr, CountFork);
  (void)watching;
  static thread_local unsigned seededAt = gForks.load();
  static thread_local std::mt19937_64 engine = SeededGenerator();
  if (const unsigned forks = gForks.load(); forks != seededAt) {
    seededAt = forks;
    engine = SeededGenerator();
  }
  return engine;
}

GUID NewGuid() {
  unsigned char bytes[16];
  std::mt19937_64& engine = Generator();
  for (std::size_t i = 0; i < sizeof bytes; i += 8) {
    const uint64_t word = engine();
    std::memcpy(bytes + i, &word, 8);
  }
  bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);  // version 4
  bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
  GUID guid;
  guid.Data1 = (uint32_t(bytes[0]) << 24) | (uint32_t(bytes[1]) << 16) | (uint32_t(bytes[2]) << 8) | bytes[3];
  guid.Data2 = static_cast<uint16_t>((bytes[4] << 8) | bytes[5]);
  guid.Data3 = static_cast<uint16_t>((bytes[6] << 8) | bytes[7]);
  std::memcpy(guid.Data4, bytes + 8, 8);
  return guid;
}

}  // namespace kelda::platform
