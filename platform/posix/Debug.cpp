#include <cstdio>

#include "platform/Debug.h"

namespace kelda::platform {

void DebugOutput(const std::string& text) {
  std::fprintf(stderr, "%s\n", text.c_str());
}

void ShowSystemErrorBox(const std::string& text, const std::string& caption) {
  std::fprintf(stderr, "[%s] %s\n", caption.empty() ? "Error" : caption.c_str(), text.c_str());
}

}  // namespace kelda::platform
