// Converting a whole file into a new one, and doing it in place safely.
#ifndef CRV_ENGINE_CONVERT_H_
#define CRV_ENGINE_CONVERT_H_

#include <string>

#include "engine/file_system.h"

namespace crv {

// Copies `source` into a newly created `destination` (a name that is taken
// fails, where the platform can tell), rewriting line ends as LineEndFilter
// does. True only when every byte of the source was read and every output
// byte is on stable storage; false on any failure or interruption, leaving
// whatever was written in `destination`. Both files are closed on return.
// Prints nothing.
bool ConvertLineEnds(FileSystem& fs, const std::string& source, const std::string& destination,
                     bool add_cr);

// The backup name for `target` with counter `n`: target + ".crv#" + n with at
// least three digits.
std::string BackupName(const std::string& target, int n);

// Moves `target` aside (FileSystem::MoveAside) to the first backup name that
// is not present. False when the target is absent, every counter value is
// taken, a present candidate is the claimed backup of another run going on,
// or the move fails; the target is then unchanged.
bool MakeBackup(FileSystem& fs, const std::string& target, std::string* backup);

// Converts `name` in place through a backup: true when the file holds the
// converted bytes (a file already in that form is not touched at all, nor
// claimed) (the backup is deleted, or left if it cannot be); false when
// the conversion failed, the file then holding its former bytes again, or,
// when even that restore failed, those bytes remaining in the backup. A name
// that is a symbolic link stands for its final target, which is converted
// beside its own backup; the links stay as they are. While a run converts a
// file, another run on the same file changes nothing and fails. The backup
// goes only when the name still holds this run's output and nothing wrote to
// the backup meanwhile.
bool ReplaceInPlace(FileSystem& fs, const std::string& name, bool add_cr);

}  // namespace crv

#endif  // CRV_ENGINE_CONVERT_H_
