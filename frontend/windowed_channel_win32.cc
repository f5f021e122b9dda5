// Makes a deliverable the windowed one on Windows: crvw, reporting through
// message boxes with no owner window and no icon. The texts (code page 932)
// and the name (UTF-8) are converted to UTF-16 each on its own and shown
// through MessageBoxW, so the boxes read the same on every system code page.
#include <windows.h>

#include "frontend/messages.h"
#include "frontend/progress_window.h"
#include "frontend/reporter.h"
#include "platform/win32/text_win32.h"

namespace crv {

namespace {

const char kCaption[] = "crv";

int Box(const std::string& text, const std::string& file_name, const char* caption,
        UINT buttons) {
  return MessageBoxW(nullptr, win32::WideMessage(text, file_name).c_str(),
                     win32::WideText(caption).c_str(), buttons);
}

class MessageBoxReporter : public Reporter {
 public:
  void ShowText(const std::string& message) override {
    Box(message, std::string(), kCaption, MB_OK);
  }

  void ShowError(const std::string& sentence, const std::string& file_name) override {
    Box(sentence, file_name, kMessages.error_caption, MB_OK);
  }

  bool ConfirmConversion(const std::string& file_name) override {
    // Only OK consents. Cancel, closing the box, and a box that could not
    // appear (0, or whatever else the system returns then) all decline.
    return Box(kMessages.confirmation, file_name, kCaption, MB_OKCANCEL) == IDOK;
  }

  void ShowUnexpectedFailure(const std::string& what) override {
    Box(what + ".", std::string(), kMessages.error_caption, MB_OK);
  }

  std::unique_ptr<RunControl> FollowConversion(
      const std::string& file_name) override {
    return NewProgressWindow(file_name, [] { return true; });
  }

 protected:
  std::string UsageText() const override { return WindowedUsageText(); }
};

}  // namespace

const bool kConsoleChannel = false;

std::unique_ptr<Reporter> MakeReporter() { return std::make_unique<MessageBoxReporter>(); }

}  // namespace crv
