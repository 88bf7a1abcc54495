#include "platform/HostMessage.h"

#include <windows.h>

#include "platform/Exceptions.h"
#include "platform/SystemError.h"

namespace kelda::platform {

bool PostHostMessage(WindowHandle window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
  if (window == kNoWindow) return false;
  return ::PostMessageA(reinterpret_cast<HWND>(window), message, wParam, lParam) != 0;
}

bool SendHostMessage(WindowHandle window, uint32_t message, uintptr_t wParam, intptr_t lParam,
                     uint32_t timeoutMs) {
  if (window == kNoWindow) return false;
  DWORD_PTR result = 0;
  return ::SendMessageTimeoutA(reinterpret_cast<HWND>(window), message, wParam, lParam,
                               SMTO_ABORTIFHUNG | SMTO_NORMAL, timeoutMs, &result) != 0;
}

static const char kHostWindowClass[] = "KeldaHostWindow";

static LRESULT CALLBACK HostWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* owner = reinterpret_cast<THostWindow*>(::GetWindowLongPtrA(window, GWLP_USERDATA));
  if (owner && message >= WM_USER) return owner->Dispatch(message, wParam, lParam);
  return ::DefWindowProcA(window, message, wParam, lParam);
}

static bool RegisterHostWindowClass() {
  WNDCLASSA existing{};
  HINSTANCE instance = ::GetModuleHandleA(nullptr);
  if (::GetClassInfoA(instance, kHostWindowClass, &existing)) return true;
  WNDCLASSA windowClass{};
  windowClass.lpfnWndProc = HostWindowProc;
  windowClass.hInstance = instance;
  windowClass.lpszClassName = kHostWindowClass;
  return ::RegisterClassA(&windowClass) != 0 || ::GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

THostWindow::THostWindow(Handler handler) : FHandler(std::move(handler)) {
  if (!RegisterHostWindowClass())
    throw EOutOfResources("Unable to register the host window class. " + SystemErrorText(::GetLastError()));
  HWND window = ::CreateWindowExA(0, kHostWindowClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  ::GetModuleHandleA(nullptr), nullptr);
  if (!window)
    throw EOutOfResources("Unable to create the host window. " + SystemErrorText(::GetLastError()));
  ::SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  FHandle = reinterpret_cast<WindowHandle>(window);
}

THostWindow::~THostWindow() {
  HWND window = reinterpret_cast<HWND>(FHandle);
  ::SetWindowLongPtrA(window, GWLP_USERDATA, 0);
  ::DestroyWindow(window);
}

int THostWindow::ProcessMessages() {
  int count = 0;
  MSG message;
  while (::PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
    ::TranslateMessage(&message);
    ::DispatchMessageA(&message);
    ++count;
  }
  return count;
}

bool THostWindow::Post(WindowHandle window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
  return PostHostMessage(window, message, wParam, lParam);
}

bool THostWindow::Send(WindowHandle window, uint32_t message, uintptr_t wParam, intptr_t lParam,
                       uint32_t timeoutMs) {
  return SendHostMessage(window, message, wParam, lParam, timeoutMs);
}

}  // namespace kelda::platform

namespace kelda::platform {

void ServeThreadMessages() {
  THostWindow::ProcessMessages();
}

void* HostHeapAlloc(std::size_t size) {
  return ::HeapAlloc(::GetProcessHeap(), 0, size ? size : 1);
}

void* HostHeapRealloc(void* buffer, std::size_t size) {
  if (!buffer) return HostHeapAlloc(size);
  return ::HeapReAlloc(::GetProcessHeap(), 0, buffer, size ? size : 1);
}

void HostHeapFree(void* buffer) {
  if (buffer) ::HeapFree(::GetProcessHeap(), 0, buffer);
}

}  // namespace kelda::platform
