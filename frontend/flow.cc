#include "frontend/flow.h"

#include <new>

#include "engine/convert.h"
#include "frontend/command_line.h"
#include "platform/platform.h"

namespace crv {

namespace {

// Converts the file in place on the operating system's files, with the
// user's interrupt recorded rather than ending the process. The reporter's
// progress display, if any, goes after the files are released and before
// any error is shown.
bool ConvertFile(const std::string& name, bool add_cr, Reporter* reporter) {
  platform::InterruptScope interrupts;
  std::unique_ptr<platform::ProgressObserver> progress = reporter->FollowConversion(name);
  std::unique_ptr<FileSystem> fs = platform::NewFileSystem(progress.get());
  return fs && ReplaceInPlace(*fs, name, add_cr);
}

int RunSteps(const std::vector<std::string>& args, bool console_channel, Reporter* reporter) {
  Settings settings;
  settings.Confirm = !console_channel;
  if (!ParseCommandLine(args, platform::SystemConventions().slash_always_option, &settings)) {
    reporter->ShowUsage();
    return 1;
  }
  if (!platform::FileIsPresent(settings.FileName)) {
    reporter->ShowError("\"%s\" is not found.", settings.FileName);
    return 1;
  }
  if (settings.Confirm && !reporter->ConfirmConversion(settings.FileName)) return 0;
  if (!ConvertFile(settings.FileName, settings.AddCR, reporter)) {
    reporter->ShowError("%s convert failed.", settings.FileName);
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
