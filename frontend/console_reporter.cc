#include "frontend/console_reporter.h"

#include "frontend/messages.h"

namespace crv {

std::string ReadAnswer(const std::function<platform::ReadResult(char*)>& read_byte,
                       bool ends_at_lf) {
  std::string answer;
  for (;;) {
    char c;
    switch (read_byte(&c)) {
      case platform::ReadResult::kError:
        throw ConsoleFailure("standard input failed");
      case platform::ReadResult::kEnd:
        return answer;
      case platform::ReadResult::kData:
        break;
    }
    if (c == '\r') {
      char next;
      if (read_byte(&next) == platform::ReadResult::kError) {
        throw ConsoleFailure("standard input failed");
      }
      return answer;
    }
    if (c == '\x1a' || (c == '\n' && ends_at_lf)) return answer;
    answer += c;
  }
}

bool AnswerAgrees(const std::string& answer) { return answer == "y" || answer == "yes"; }

void ConsoleReporter::Write(const std::string& text, const std::string& file_name) {
  if (!WriteConsoleText(text, file_name)) {
    throw ConsoleFailure("standard output failed");
  }
}

void ConsoleReporter::ShowText(const std::string& message) {
  Write(message + platform::SystemConventions().console_line_end);
}

void ConsoleReporter::ShowError(const std::string& sentence, const std::string& file_name) {
  Write("error: " + sentence + platform::SystemConventions().console_line_end, file_name);
}

bool ConsoleReporter::ConfirmConversion(const std::string& file_name) {
  // Written unbuffered, so the prompt is visible before the answer is read.
  Write(kMessages.prompt, file_name);
  return AnswerAgrees(
      ReadAnswer(platform::ReadStdinByte, platform::SystemConventions().answer_ends_at_lf));
}

void ConsoleReporter::ShowUnexpectedFailure(const std::string& what) {
  // Output may be what failed: the report is best effort.
  std::string line = "error: " + what + "." + platform::SystemConventions().console_line_end;
  WriteConsoleText(line, std::string());
}

std::string ConsoleReporter::UsageText() const {
  return ConsoleUsageText(platform::SystemConventions().console_line_end);
}

}  // namespace crv
