// Makes a deliverable the console one: crv.
#include "frontend/console_reporter.h"

namespace crv {

const bool kConsoleChannel = true;

std::unique_ptr<Reporter> MakeReporter() { return std::make_unique<ConsoleReporter>(); }

}  // namespace crv
