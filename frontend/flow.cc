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
bool ConvertFile(const std::string& name, bool add_cr, Reporter* reporter, RunReport* report) {
  platform::InterruptScope interrupts;
  std::unique_ptr<RunControl> progress = reporter->FollowConversion(name);
  std::unique_ptr<FileSystem> fs = platform::NewFileSystem();
  return fs && ReplaceInPlace(*fs, name, add_cr, progress.get(), report);
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
  RunReport report;
  if (!ConvertFile(settings.FileName, settings.AddCR, reporter, &report)) {
    // The user who declined while the run went on (Cancel in its progress
    // window, or the window gone) gets the file as it was, as after
    // declining the question.
    if (report.Declined()) return 0;
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
