#include "frontend/flow.h"

#include <new>

#include "engine/convert.h"
#include "frontend/command_line.h"
#include "platform/platform.h"

namespace crv {

namespace {

int RunSteps(const std::vector<std::string>& args, bool console_channel, Reporter* reporter) {
  Settings settings;
  settings.Confirm = !console_channel;
  if (!ParseCommandLine(args, platform::SystemConventions().slash_always_option, &settings)) {
    reporter->ShowUsage();
    return 1;
  }
  if (!platform::FileIsPresent(settings.FileName)) {
    reporter->ShowError("\"" + settings.FileName + "\" is not found.");
    return 1;
  }
  if (settings.Confirm && !reporter->ConfirmConversion(settings.FileName)) return 0;
  if (!ReplaceInPlace(settings.FileName, settings.AddCR)) {
    reporter->ShowError(settings.FileName + " convert failed.");
    return 1;
  }
  return 0;
}

}  // namespace

int RunFlow(const std::vector<std::string>& args, bool console_channel, Reporter* reporter) {
  try {
    return RunSteps(args, console_channel, reporter);
  } catch (const ConsoleFailure& failure) {
    reporter->ShowUnexpectedFailure(failure.what());
  } catch (const std::bad_alloc&) {
    reporter->ShowUnexpectedFailure("out of memory");
  }
  return 1;
}

}  // namespace crv
