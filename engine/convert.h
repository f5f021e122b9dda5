// Converting a whole file into a new one, and doing it in place safely.
#ifndef CRV_ENGINE_CONVERT_H_
#define CRV_ENGINE_CONVERT_H_

#include <string>

#include "engine/file_system.h"
#include "engine/run_control.h"

namespace crv {

// Where a run failed or stopped, for the tests and for a maintainer: the
// user's messages do not depend on it.
enum class Step {
  kNone,       // It did not fail.
  kLocate,     // The name leads nowhere.
  kScan,       // Reading the file to see whether it needs converting.
  kClaim,      // Another run or a writer has it, or its owner cannot be kept.
  kBackup,     // No backup name could be had (busy, taken, refused).
  kCreate,     // The new file could not be made.
  kRead,       // Reading the source.
  kWrite,      // Writing the new file.
  kNotText,    // A UTF-16 or UTF-32 byte-order mark, or a NUL byte.
  kInterrupt,  // A signal, or a program that opened the file for writing.
  kCommit,     // Giving the new file its access or making it durable.
  kTakeName,   // The new file could not replace the original's name.
  kDeclined,   // The user declined while it ran: not a failure.
};
const char* StepName(Step step);

struct RunReport {
  Step step = Step::kNone;
  int error = 0;  // The system's error code of the call that failed, or 0.
  bool Declined() const { return step == Step::kDeclined; }
};

// The backup name for `target` with counter `n`: target + ".crv#" + n with at
// least three digits.
std::string BackupName(const std::string& target, int n);

// Copies the claimed file at `source` into the run's new file (made by
// FileSystem::CreateNew), rewriting line ends as LineEndFilter does, and
// commits it. True only when every byte of the source was read and every
// output byte is on stable storage; false on any failure, interruption or
// stop, with `report` saying where. Prints nothing.
bool ConvertLineEnds(FileSystem& fs, const std::string& source, bool add_cr, RunControl* control,
                     RunReport* report);

// Chooses the first backup number whose name and `.new` name are both free
// and gives the claimed `target` that second name. False when the target is
// absent, every counter value is taken, a present candidate is the claimed
// backup of another run going on, or the name cannot be added; nothing has
// changed then.
bool MakeBackup(FileSystem& fs, const std::string& target, std::string* backup);

// Converts `name` in place: true when the name holds the converted bytes (a
// file already in that form is not touched at all, nor claimed). The original
// keeps its name until the complete, durable new file replaces it in one
// step; meanwhile a backup name (the first free `.crv#NNN`) is a second name
// of the original, removed at the end (left only if it cannot be). False
// when the conversion failed or was declined (`report` says where); the name
// then holds the original, with whatever a program wrote to it. A name that
// is a symbolic link stands for its final target, which is converted beside
// its own backup; the links stay as they are. While a run converts a file,
// another run on the same file changes nothing and fails. `control`, when
// given, follows the progress and may stop the run.
bool ReplaceInPlace(FileSystem& fs, const std::string& name, bool add_cr,
                    RunControl* control = nullptr, RunReport* report = nullptr);

}  // namespace crv

#endif  // CRV_ENGINE_CONVERT_H_
