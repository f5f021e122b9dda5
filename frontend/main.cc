// The program entry shared by crv and crvw. The deliverable decides, by what
// it links, whether kConsoleChannel is true and which reporter it gets.
#include "frontend/flow.h"
#include "frontend/reporter.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
  crv::platform::InitProcess();
  std::vector<std::string> args = crv::platform::Arguments(argc, argv);
  std::unique_ptr<crv::Reporter> reporter = crv::MakeReporter();
  return crv::RunFlow(args, crv::kConsoleChannel, reporter.get());
}
