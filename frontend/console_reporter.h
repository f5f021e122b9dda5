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

// True for exactly "y" or "yes".
bool AnswerAgrees(const std::string& answer);

class ConsoleReporter : public Reporter {
 public:
  void ShowText(const std::string& message) override;
  void ShowError(const std::string& message) override;
  bool ConfirmConversion(const std::string& file_name) override;
  void ShowUnexpectedFailure(const std::string& what) override;

 protected:
  std::string UsageText() const override;

 private:
  void Write(const std::string& bytes);
};

}  // namespace crv

#endif  // CRV_FRONTEND_CONSOLE_REPORTER_H_
