// The file operations of one in-place conversion, behind one interface: the
// operating system's implementation (platform/posix/, platform/win32/) in the
// programs, an in-memory one (memory_file_system.h) in the tests. Calls are
// per file and per block, never per byte. One FileSystem object serves one
// run and keeps what the run learns on the way: the directory it works in,
// the file it claimed, the new file it writes. Every name after Locate is a
// name in that one directory.
//
// ---- The order of a run ----------------------------------------------------
// The original keeps its name until the complete new file replaces it in one
// step. Until then the name holds the original, untouched; afterwards the
// complete conversion. What a run that dies leaves is the file under its name
// (one of the two), at most one backup name that is a second name of the
// original, and at most its own new file under `<backup>.new` where the file
// system has no unnamed files.
//
//   Locate(name, &target)       fixes the directory; target is the name from then on
//   IsPresent(target)           a regular file is there
//   OpenForReading(target)      the scan: a file already in form ends the run here,
//                               untouched and unclaimed
//   Claim(target)               other runs and writers kept out, the owner judged
//   IsPresent(candidate), IsPresent(candidate + ".new"), ClaimedElsewhere(candidate)
//                               the first backup number whose two names are free
//   AddBackupName(target, backup)
//   CreateNew(target, backup)   the new file, where no opener by the name reaches it
//   OpenForReading(target)      the source of the copy: the claimed file
//   WriteNew(...)*, with Interrupted() between blocks
//   CommitNew()                 access, attributes, data durable; no name changes
//   TakeName(target, backup)    the new file replaces the original's name
//   RemoveBackup(backup)        success: the second name goes
// After a failure anywhere from AddBackupName to TakeName: Discard(target,
// backup), and the name holds the original (with whatever a writer added).
//
// Each call's state before and after (a call out of this order fails):
//   call            before                      after, on success
//   Claim           located, nothing claimed    claimed: runs and writers kept out
//   AddBackupName   claimed                     backup is a second name of the
//                                               original (or, where the file system
//                                               has no hard links, no backup name)
//   CreateNew       backup named                the new file exists, empty, with the
//                                               original's owner and group, reachable
//                                               by no opener of the name
//   WriteNew        new file created            the bytes appended to it
//   CommitNew       new file complete           access, attributes, data durable
//   TakeName        new file committed          the name holds the new file, the
//                                               directory durable; false: the name
//                                               holds the original
//   RemoveBackup    name taken                  the backup name is gone
//   Discard         any stage                   the new file and the backup name
//                                               are gone (see Discard)
//
// What each call does where:
//   call           POSIX (Linux)                Windows                    in memory
//   Claim          flock, read lease, flags     opens the original for     a flag on the
//                  and owner judged; the new    reading, sharing only      file; writers
//                  file made unnamed here       deletion: nobody else      counted
//                  (O_TMPFILE) where it can be  reads or writes it
//   AddBackupName  linkat of the claimed file   CreateHardLinkW            a second name
//                  (no replace)
//   CreateNew      `<backup>.new` O_EXCL where  CREATE_NEW at              an unnamed file
//                  Claim made none; owner,      `<backup>.new`, with the   (POSIX) or one
//                  group, lock, write lease     original's DACL            at `.new` (Win32)
//   CommitNew      ACL, xattrs, mode, fsync     attributes, flush          marks it synced
//   TakeName       link as `<backup>.new`,      rename by handle over the  the name moves
//                  RENAME_EXCHANGE with the     name (or, before Windows   to the new file
//                  name (a rename over it       10, the source closed      by an exchange
//                  where there is none), the    first and the original     (POSIX) or a
//                  original's lease checked     put back should it have    replace (Win32)
//                  after; directory fsync       changed meanwhile)
//   RemoveBackup   unlink the backup, then the  delete the second name     both go
//                  original's extra `.new`,
//                  unless a writer opened it
//   Discard        unlink `.new` unless a       delete `.new` and the      as POSIX or
//                  writer is in it; unlink the  second name                Win32
//                  second name
#ifndef CRV_ENGINE_FILE_SYSTEM_H_
#define CRV_ENGINE_FILE_SYSTEM_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace crv {

// What a read brought: data, the physical end of the input, or a failure
// (never taken for the end).
enum class ReadResult { kData, kEnd, kError };

// A file opened for reading.
class InputFile {
 public:
  virtual ~InputFile() = default;  // Closes the file.
  // Reads up to `size` bytes. kData with *got > 0, kEnd at the physical end
  // of the file, kError when the read failed (never taken for the end).
  virtual ReadResult Read(char* buffer, size_t size, size_t* got) = 0;
  // The file's size when it was opened.
  virtual uint64_t Size() const = 0;
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // Finds where a run given `name` converts and fixes the run's directory:
  // every later name is taken in that directory, whatever happens to the
  // path meanwhile. A symbolic link stands for its final target. `target` is
  // the name to use from then on. False when the name leads nowhere.
  virtual bool Locate(const std::string& name, std::string* target) = 0;
  // True when `name` designates an existing regular file.
  virtual bool IsPresent(const std::string& name) = 0;
  // Opens `name` for reading; null on failure. Before the claim, any regular
  // file (the scan); after it, only the claimed file (the copy's source),
  // without sharing where the platform excludes others by its opens.
  virtual std::unique_ptr<InputFile> OpenForReading(const std::string& name) = 0;
  // Claims the file at `name` for this run until the object goes: another
  // run that tries to claim it, or finds its backup claimed, gives up before
  // it changes anything; a program that has it open for writing now fails
  // the claim, one that opens it for writing later makes Interrupted() true
  // (where the platform can tell). False too when the new file could not
  // have the file's owner and group.
  virtual bool Claim(const std::string& name) = 0;
  // True when `name` (a backup candidate) is the claimed file of a run that
  // is still going on; false for a leftover of an ended run.
  virtual bool ClaimedElsewhere(const std::string& name) = 0;
  // Gives the claimed file at `name` the second name `backup` (fails, never
  // replaces, when `backup` is taken). Where the file system has no hard
  // links: true, and the run has no backup name.
  virtual bool AddBackupName(const std::string& name, const std::string& backup) = 0;
  // Makes the new file that is to replace `name`: unnamed where the file
  // system can, else under `backup` + ".new" (fails, never reuses, when that
  // is taken). It has the claimed file's owner and group, and no access for
  // anyone else until CommitNew gives it the original's.
  virtual bool CreateNew(const std::string& name, const std::string& backup) = 0;
  // Appends all of [data, data + size) to the new file; false unless every
  // byte was stored.
  virtual bool WriteNew(const char* data, size_t size) = 0;
  // Gives the complete new file the original's access and attributes and
  // makes its contents durable. It keeps no name it did not have.
  virtual bool CommitNew() = 0;
  // The committed new file replaces the claimed file under `name` in one
  // step, only while the name holds the claimed file and nobody wrote to
  // that; the directory is made durable after. Should a program open the
  // original for writing in that moment, the original goes back under the
  // name. False leaves the original under the name (the new file is then
  // Discard's); true, the new file under it.
  virtual bool TakeName(const std::string& name, const std::string& backup) = 0;
  // Success: removes the backup name (and any other name TakeName left the
  // original) while it still names the original and nobody opened that for
  // writing since; such a writer keeps the backup, with its bytes.
  virtual bool RemoveBackup(const std::string& backup) = 0;
  // Failure: the new file goes, unless a program writes it or waits to write
  // it (it then stays under `backup` + ".new"), and so does the backup name
  // while it still names the original and the original still has `name`
  // (where another program put its own file there, the backup is the
  // original's last name and stays). The run never changed the name.
  virtual void Discard(const std::string& name, const std::string& backup) = 0;
  // True once the user's interrupt signal came, or a program opened the
  // claimed file for writing: the run stops and discards.
  virtual bool Interrupted() = 0;
  // The system's error code (errno, GetLastError) of the last call that
  // failed, 0 when it failed without one.
  virtual int LastError() const = 0;
};

}  // namespace crv

#endif  // CRV_ENGINE_FILE_SYSTEM_H_
