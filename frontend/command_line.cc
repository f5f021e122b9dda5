#include "frontend/command_line.h"

namespace crv {

namespace {

bool IsSeparator(char c) {
  unsigned char u = static_cast<unsigned char>(c);
  return u >= 1 && u <= 32;
}

// Applies the option word `word` to `settings`; false when it is none.
bool ApplyOption(const std::string& word, Settings* settings) {
  if (word == "d") {
    settings->AddCR = false;
  } else if (word == "c") {
    settings->AddCR = true;
  } else if (word == "p") {
    settings->Confirm = true;
  } else if (word == "p-") {
    settings->Confirm = false;
  } else {
    return false;
  }
  return true;
}

bool IsOptionWord(const std::string& word) {
  return word == "d" || word == "c" || word == "p" || word == "p-";
}

}  // namespace

std::vector<std::string> SplitCommandLine(const std::string& line) {
  std::vector<std::string> words;
  size_t i = 0;
  const size_t n = line.size();
  // A NUL byte ends the line, as it ends the platform's command-line string.
  const size_t end = line.find('\0') == std::string::npos ? n : line.find('\0');
  for (;;) {
    while (i < end && IsSeparator(line[i])) ++i;
    // Pairs of quotes with nothing between them are skipped where a word
    // would begin.
    while (i + 1 < end && line[i] == '"' && line[i + 1] == '"') {
      i += 2;
      while (i < end && IsSeparator(line[i])) ++i;
    }
    if (i >= end) break;
    std::string word;
    bool quoted = false;
    while (i < end && (quoted || !IsSeparator(line[i]))) {
      if (line[i] == '"') {
        quoted = !quoted;
      } else {
        word += line[i];
      }
      ++i;
    }
    if (word.empty()) break;  // a lone quote at the very end
    words.push_back(word);
  }
  if (!words.empty()) words.erase(words.begin());
  return words;
}

std::vector<std::string> ArgvArguments(int argc, char** argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    if (argv[i][0] != '\0') args.emplace_back(argv[i]);
  }
  return args;
}

bool ParseCommandLine(const std::vector<std::string>& args, bool slash_always_option,
                      Settings* settings) {
  for (const std::string& arg : args) {
    if (arg.empty()) continue;
    bool option = arg[0] == '-' ||
                  (arg[0] == '/' && (slash_always_option || IsOptionWord(arg.substr(1))));
    if (option) {
      if (!ApplyOption(arg.substr(1), settings)) return false;
    } else {
      if (!settings->FileName.empty()) return false;
      settings->FileName = arg;
    }
  }
  return !settings->FileName.empty();
}

}  // namespace crv
