// How the run talks to its user: the four reporting operations, in a console
// form (crv) or a windowed form (crvw). Which form a deliverable has is fixed
// when it is built: each deliverable links exactly one MakeReporter(). The
// texts are the front end's own: the ASCII ones here and in flow.cc, the
// Japanese ones in the build's encoding in messages.h.
#ifndef CRV_FRONTEND_REPORTER_H_
#define CRV_FRONTEND_REPORTER_H_

#include <memory>
#include <stdexcept>
#include <string>

#include "engine/run_control.h"
#include "platform/platform.h"

namespace crv {

// A console read or write failed (reaching the end of input is no failure).
// The run ends at once with status 1.
class ConsoleFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class Reporter {
 public:
  virtual ~Reporter() = default;
  // Shows one plain message.
  virtual void ShowText(const std::string& message) = 0;
  // Shows the usage text through ShowText.
  void ShowUsage() { ShowText(UsageText()); }
  // Shows one error message: `sentence` with its "%s" standing for
  // `file_name`. The two are passed apart because on Windows the texts are
  // code page 932 and names are not: each is converted on its own where it
  // is shown.
  virtual void ShowError(const std::string& sentence, const std::string& file_name) = 0;
  // Asks whether to convert `file_name`; true means go on.
  virtual bool ConfirmConversion(const std::string& file_name) = 0;
  // Reports a failure no operation handled (exhausted memory, a console
  // failure) on the reporter's own channel, as well as it still can.
  virtual void ShowUnexpectedFailure(const std::string& what) = 0;
  // Follows the conversion of `file_name` that starts now, until the
  // returned object goes; null where the reporter shows no progress.
  virtual std::unique_ptr<RunControl> FollowConversion(const std::string&) {
    return nullptr;
  }

 protected:
  virtual std::string UsageText() const = 0;
};

// True for the console deliverable, false for the windowed one.
extern const bool kConsoleChannel;
std::unique_ptr<Reporter> MakeReporter();

// The usage texts' six lines joined by `line_break`, without a final one.
std::string ConsoleUsageText(const char* line_break);
std::string WindowedUsageText();

}  // namespace crv

#endif  // CRV_FRONTEND_REPORTER_H_
