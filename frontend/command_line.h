// The command line: splitting a raw command line into words, and reading the
// words into the run's settings.
#ifndef CRV_FRONTEND_COMMAND_LINE_H_
#define CRV_FRONTEND_COMMAND_LINE_H_

#include <string>
#include <vector>

namespace crv {

struct Settings {
  std::string FileName;
  bool AddCR = true;
  bool Confirm = false;
};

// Splits a whole command line (program name included) into words: bytes 1 to
// 32 separate words; a double quote opens or closes a quoted run in which
// separators belong to the word; quotes are dropped and there is no escape
// character; touching quoted and unquoted pieces join. A pair of quotes with
// nothing between, where a word would begin, is skipped; an empty word (only a
// lone quote at the very end can make one) ends the list. Returns the words
// after the first one, the program's name.
std::vector<std::string> SplitCommandLine(const std::string& line);

// The arguments of a ready argument vector after the program's name, empty
// ones skipped.
std::vector<std::string> ArgvArguments(int argc, char** argv);

// Reads the arguments into `settings`, whose Confirm holds the deliverable's
// default on entry. Options are "-" or "/" followed by exactly d, c, p or p-;
// a later option overrides an earlier one. When `slash_always_option` is
// false, an argument beginning with "/" whose rest is not an option word is a
// file name (an absolute path). False for an unknown option, a second file
// name or no file name.
bool ParseCommandLine(const std::vector<std::string>& args, bool slash_always_option,
                      Settings* settings);

}  // namespace crv

#endif  // CRV_FRONTEND_COMMAND_LINE_H_
