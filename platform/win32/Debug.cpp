#include <windows.h>

#include "platform/Debug.h"

namespace kelda::platform {

void DebugOutput(const std::string& text) {
  ::OutputDebugStringA(text.c_str());
}

void ShowSystemErrorBox(const std::string& text, const std::string& caption) {
  ::MessageBoxA(nullptr, text.c_str(), caption.empty() ? nullptr : caption.c_str(),
                MB_OK | MB_ICONERROR | MB_TASKMODAL);
}

}  // namespace kelda::platform
