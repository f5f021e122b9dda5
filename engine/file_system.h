// The file operations of one in-place conversion, behind one interface: the
// operating system's implementation (platform/posix/, platform/win32/) in the
// programs, an in-memory one in the tests. Calls are per file and per block,
// never per byte.
//
// One FileSystem object serves one run. It keeps what the run learns on the
// way (the directory it works in, the file it claimed, the file it created),
// so the names it takes after Locate are names in that one directory.
#ifndef CRV_ENGINE_FILE_SYSTEM_H_
#define CRV_ENGINE_FILE_SYSTEM_H_

#include <cstddef>
#include <memory>
#include <string>

namespace crv {

// What a read brought: data, the physical end of the input, or a failure
// (never taken for the end).
enum class ReadResult { kData, kEnd, kError };

// A source opened for reading.
class InputFile {
 public:
  virtual ~InputFile() = default;  // Closes the file.
  // Reads up to `size` bytes. kData with *got > 0, kEnd at the physical end
  // of the file, kError when the read failed (never taken for the end).
  virtual ReadResult Read(char* buffer, size_t size, size_t* got) = 0;
};

// A newly created destination.
class OutputFile {
 public:
  virtual ~OutputFile() = default;  // Closes without checking, as after a failure.
  // Writes all of [data, data + size); false unless every byte was stored.
  virtual bool Write(const char* data, size_t size) = 0;
  // Puts the final attributes in place, makes the contents and the file's
  // name durable and closes the file, checking every step.
  virtual bool Commit() = 0;
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
  // Claims the file at `name` for this run until the object goes: another
  // run that tries to claim it, or finds its backup claimed, gives up before
  // it changes anything. False when another run holds it, or it cannot be
  // opened. Where the platform excludes other runs by its opens, it claims
  // nothing.
  virtual bool Claim(const std::string& name) = 0;
  // Called once the run has found that it will replace the claimed file,
  // before anything changes (an implementation may prepare the new file
  // then, and fails where that could not have the claimed file's owner and
  // group). Keeps other programs from writing the claimed file until the
  // object goes, where the platform can: false when another program has it open
  // for writing (or mapped writable) now; one that opens it for writing
  // later makes InterruptRequested true. True where the platform cannot
  // tell, or its opens without sharing already keep writers out.
  virtual bool ExcludeWriters() = 0;
  // True when `name` (a backup candidate) is the claimed file of a run that
  // is still going on; false for a leftover of an ended run.
  virtual bool ClaimedElsewhere(const std::string& name) = 0;
  // Gives the claimed file at `name` the backup name `backup` (fails, never
  // replaces, when `backup` is taken). Where the platform can, an opener by
  // `name` finds a complete file at every moment: the original until the
  // run's new file takes its place in one step (POSIX: the new file,
  // prepared with its lease, is exchanged with the original here; Windows:
  // the original gets `backup` as a second name and the finished new file
  // replaces the name at Commit). Elsewhere a plain rename.
  virtual bool MoveAside(const std::string& name, const std::string& backup) = 0;
  // After a failure: puts the file at `backup` back under `name` and removes
  // the run's output, in one step where the platform can. A run's output
  // that another program writes or waits to write is never deleted: it is
  // kept under a name of its own and the original goes back under `name`.
  // False when the original stays in the backup.
  virtual bool PutBack(const std::string& name, const std::string& backup) = 0;
  virtual bool Remove(const std::string& name) = 0;
  // Opens `name` for reading, without sharing where the platform can; null
  // on failure.
  virtual std::unique_ptr<InputFile> OpenForReading(const std::string& name) = 0;
  // The new file under `name`, for writing: created there now, or the one
  // MoveAside already put there. A name taken by anything else fails where
  // the platform can tell. `like` is the open source, whose access the new
  // file keeps where the platform carries it. Null on failure.
  virtual std::unique_ptr<OutputFile> Create(const std::string& name, const InputFile& like) = 0;
  // True when `name` still holds the file Create made and `backup` the source
  // as it was when it was opened: only then may the backup go.
  virtual bool Settled(const std::string& name, const std::string& backup) = 0;
  // True once the user asked the run to stop, or another program opened the
  // claimed file for writing.
  virtual bool InterruptRequested() = 0;
};

}  // namespace crv

#endif  // CRV_ENGINE_FILE_SYSTEM_H_
