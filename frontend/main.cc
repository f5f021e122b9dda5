// The program entry shared by crv and crvw. The deliverable decides, by what
// it links, whether kConsoleChannel is true and which reporter it gets.
#include "frontend/command_line.h"
#include "frontend/flow.h"
#include "frontend/reporter.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
  crv::platform::InitProcess();
  const char* raw = crv::platform::RawCommandLine();
  std::vector<std::string> args =
      raw ? crv::SplitCommandLine(raw) : crv::ArgvArguments(argc, argv);
  std::unique_ptr<crv::Reporter> reporter = crv::MakeReporter();
  return crv::RunFlow(args, crv::kConsoleChannel, reporter.get());
}
