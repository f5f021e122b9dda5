// Makes a deliverable the windowed one on Windows: crvw, reporting through
// message boxes with no owner window and no icon.
#include <windows.h>

#include "frontend/messages.h"
#include "frontend/progress_window.h"
#include "frontend/reporter.h"

namespace crv {

namespace {

const char kCaption[] = "crv";

class MessageBoxReporter : public Reporter {
 public:
  void ShowText(const std::string& message) override {
    MessageBoxA(nullptr, message.c_str(), kCaption, MB_OK);
  }

  void ShowError(const std::string& message) override {
    MessageBoxA(nullptr, message.c_str(), kMessages.error_caption, MB_OK);
  }

  bool ConfirmConversion(const std::string& file_name) override {
    // Only OK consents. Cancel, closing the box, and a box that could not
    // appear (0, or whatever else the system returns then) all decline.
    std::string text = WithFileName(kMessages.confirmation, file_name);
    return MessageBoxA(nullptr, text.c_str(), kCaption, MB_OKCANCEL) == IDOK;
  }

  void ShowUnexpectedFailure(const std::string& what) override {
    std::string text = what + ".";
    MessageBoxA(nullptr, text.c_str(), kMessages.error_caption, MB_OK);
  }

  std::unique_ptr<platform::ProgressObserver> FollowConversion(
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
