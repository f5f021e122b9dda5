// Fuzzes the command-line splitter and the option parser: no crash and no
// read past the input (AddressSanitizer, and the standard library's bounds
// checks); every word is non-empty and free of quotes; words put back in
// quotes come back whole; the parser only ever takes a file name that is one
// of the words.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "frontend/command_line.h"

namespace {

void Fail(const char* what) {
  fprintf(stderr, "command-line fuzzer: %s\n", what);
  abort();
}

// A command line of a program name and the words, each in quotes.
std::string Quoted(const std::vector<std::string>& words, char separator) {
  std::string line = "crv.exe";
  for (const std::string& w : words) {
    line += separator;
    line += '"' + w + '"';
  }
  return line;
}

void CheckParse(const std::vector<std::string>& args) {
  for (bool slash_always_option : {false, true}) {
    crv::Settings settings;
    if (!crv::ParseCommandLine(args, slash_always_option, &settings)) continue;
    bool found = false;
    for (const std::string& a : args) found = found || a == settings.FileName;
    if (settings.FileName.empty() || !found) Fail("parsed file name is not one of the words");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exact-size heap copy, so that reading past it is caught.
  std::string line(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> words = crv::SplitCommandLine(line);
  for (const std::string& w : words) {
    if (w.empty()) Fail("empty word");
    if (w.find('"') != std::string::npos || w.find('\0') != std::string::npos) {
      Fail("word holds a quote or a NUL");
    }
  }
  // The words, quoted again, split into the same words.
  const char separator = size ? static_cast<char>(1 + data[0] % 32) : ' ';
  if (crv::SplitCommandLine(Quoted(words, separator)) != words) Fail("quoted words not whole");

  // The input's own pieces between quotes and NULs, quoted, come back whole
  // however many separators and high bytes they hold.
  std::vector<std::string> pieces;
  std::string piece;
  for (size_t i = 0; i <= size; ++i) {
    if (i == size || data[i] == '"' || data[i] == '\0') {
      if (!piece.empty()) pieces.push_back(piece);
      piece.clear();
    } else {
      piece += static_cast<char>(data[i]);
    }
  }
  if (crv::SplitCommandLine(Quoted(pieces, separator)) != pieces) Fail("quoted pieces not whole");

  CheckParse(words);
  CheckParse(pieces);

  // A ready argument vector from the same pieces, with empty ones between.
  std::vector<char*> argv = {const_cast<char*>("crv")};
  std::string empty;
  for (std::string& p : pieces) {
    argv.push_back(&p[0]);
    argv.push_back(&empty[0]);
  }
  if (crv::ArgvArguments(static_cast<int>(argv.size()), argv.data()) != pieces) {
    Fail("argument vector: empty arguments not skipped");
  }
  return 0;
}
