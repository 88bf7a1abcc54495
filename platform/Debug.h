// Debug output and the error box. Tests replace the box with a recorder, because a modal box
// under a headless test run would never be answered.
#pragma once

#include <string>

namespace kelda::platform {

// A line for a debugger (OutputDebugString on Windows, stderr on POSIX).
void DebugOutput(const std::string& text);

// A modal error box (error icon, OK button); an empty caption gives the system's default.
// Runs the installed hook instead when there is one.
void ShowErrorBox(const std::string& text, const std::string& caption);

using ErrorBoxHook = void (*)(const std::string& text, const std::string& caption);
ErrorBoxHook SetErrorBoxHook(ErrorBoxHook hook);  // returns the previous hook; nullptr: the box

}  // namespace kelda::platform
