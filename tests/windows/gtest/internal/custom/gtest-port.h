// GoogleTest's own hook for porting (found before its empty default, see
// tests/windows/CMakeLists.txt). The compiler of the Windows programs uses
// the win32 thread model, whose C++ library has no std::mutex, which
// GoogleTest's Notification is built on; this one is a Windows event.
#ifndef CRV_TESTS_WINDOWS_GTEST_PORT_H_
#define CRV_TESTS_WINDOWS_GTEST_PORT_H_

#include <windows.h>

#define GTEST_HAS_NOTIFICATION_ 1

namespace testing {
namespace internal {

class Notification {
 public:
  Notification() : event_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
  ~Notification() { CloseHandle(event_); }
  Notification(const Notification&) = delete;
  Notification& operator=(const Notification&) = delete;
  void Notify() { SetEvent(event_); }
  void WaitForNotification() { WaitForSingleObject(event_, INFINITE); }

 private:
  HANDLE event_;
};

}  // namespace internal
}  // namespace testing

#endif  // CRV_TESTS_WINDOWS_GTEST_PORT_H_
