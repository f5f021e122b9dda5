// The console form of the reporting operations: everything on standard
// output, the confirmation answer from standard input.
#ifndef CRV_FRONTEND_CONSOLE_REPORTER_H_
#define CRV_FRONTEND_CONSOLE_REPORTER_H_

#include <functional>
#include <string>

#include "frontend/reporter.h"
#include "platform/platform.h"

namespace crv {

// Reads one answer through `read_byte`: the bytes before the first CR, byte
// 26 or end of input (and before the first LF when `ends_at_lf`). A CR's
// following LF is consumed too. Throws ConsoleFailure on a read error.
std::string ReadAnswer(const std::function<platform::ReadResult(char*)>& read_byte,
                       bool ends_at_lf);

// Writes a text for the user to standard output, unbuffered: `text` in the
// messages' encoding, its "%s", if it has one, standing for `file_name` as
// the run took it. False on failure. Each build links one form:
// console_output_bytes.cc (the name put into the text, written as bytes) or
// console_output_win32.cc (texts in code page 932, names in UTF-8: converted
// each on its own).
bool WriteConsoleText(const std::string& text, const std::string& file_name);

// True for exactly "y" or "yes".
bool AnswerAgrees(const std::string& answer);

class ConsoleReporter : public Reporter {
 public:
  void ShowText(const std::string& message) override;
  void ShowError(const std::string& sentence, const std::string& file_name) override;
  bool ConfirmConversion(const std::string& file_name) override;
  void ShowUnexpectedFailure(const std::string& what) override;

 protected:
  std::string UsageText() const override;

 private:
  // Writes `text`, its "%s" standing for `file_name`.
  void Write(const std::string& text, const std::string& file_name = std::string());
};

}  // namespace crv

#endif  // CRV_FRONTEND_CONSOLE_REPORTER_H_
