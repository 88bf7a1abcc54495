#include "platform/Debug.h"

#include <atomic>

namespace kelda::platform {

void ShowSystemErrorBox(const std::string& text, const std::string& caption);  // per backend

static std::atomic<ErrorBoxHook> gErrorBoxHook{nullptr};

void ShowErrorBox(const std::string& text, const std::string& caption) {
  if (ErrorBoxHook hook = gErrorBoxHook.load()) {
    hook(text, caption);
    return;
  }
  ShowSystemErrorBox(text, caption);
}

ErrorBoxHook SetErrorBoxHook(ErrorBoxHook hook) {
  return gErrorBoxHook.exchange(hook);
}

}  // namespace kelda::platform
