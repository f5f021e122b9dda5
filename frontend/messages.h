// The front end's texts that depend on the encoding: the Japanese sentences,
// one table per encoding, of which the build links exactly one (as it links
// one channel): messages_utf8.cc on POSIX, messages_cp932.cc (code page 932)
// on Windows. The texts in ASCII (the usage text, the error sentences) are the
// same bytes in every encoding and stay with the code that shows them
// (reporter.cc, flow.cc).
#ifndef CRV_FRONTEND_MESSAGES_H_
#define CRV_FRONTEND_MESSAGES_H_

#include <string>

namespace crv {

// Whole sentences; "%s" in a sentence stands for the file's name as given.
struct MessageTable {
  const char* prompt;        // the console question, before the answer
  const char* confirmation;  // the windowed question, two lines
  const char* error_caption;  // the title of the windowed error messages
};
extern const MessageTable kMessages;

// `sentence` with its first "%s", if it has one, replaced by `file_name`.
inline std::string WithFileName(const std::string& sentence, const std::string& file_name) {
  std::string text = sentence;
  size_t at = text.find("%s");
  return at == std::string::npos ? text : text.replace(at, 2, file_name);
}

}  // namespace crv

#endif  // CRV_FRONTEND_MESSAGES_H_
