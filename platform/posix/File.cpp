#include "platform/File.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Common/Exceptions.h"

namespace kelda::platform {

bool FileExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::optional<std::string> ReadWholeFile(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return std::nullopt;
  ::flock(fileno(f), LOCK_SH);  // other writers that lock wait until we are done
  std::string data;
  char buf[65536];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) data.append(buf, n);
  const bool failed = std::ferror(f) != 0;
  std::fclose(f);
  if (failed) return std::nullopt;
  return data;
}

TFileWriter::TFileWriter(const std::string& path) : FHandle(nullptr), FPath(path) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) throw EFCreateError("Cannot create file \"" + path + "\". " + std::strerror(errno));
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

}  // namespace kelda::platform
