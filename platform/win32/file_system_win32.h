// What the Windows file system of a run lets a test do at the moments of
// TakeName that another program acting by the file's name reaches only by
// chance, so that what happens then can be tested every time.
#ifndef CRV_PLATFORM_WIN32_FILE_SYSTEM_WIN32_H_
#define CRV_PLATFORM_WIN32_FILE_SYSTEM_WIN32_H_

#include <functional>

namespace crv {
namespace win32 {

struct TakeNameMoments {
  // Where Windows replaces no file that is open: the original has just been
  // closed and the new file is about to replace it.
  std::function<void()> original_closed;
  // The original changed in that moment and is about to go back under the
  // name; the run no longer holds the new file open.
  std::function<void()> before_put_back;
};

// Makes every later run call `moments` (null: nothing). For tests only.
void SetTakeNameMoments(const TakeNameMoments* moments);

}  // namespace win32
}  // namespace crv

#endif  // CRV_PLATFORM_WIN32_FILE_SYSTEM_WIN32_H_
