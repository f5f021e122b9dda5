// The one seam between crv and the operating system. Each platform provides
// its own implementation of everything declared here (platform/posix/ or
// platform/win32/), chosen by the build; the engine and the front end never
// test which platform they run on. It holds operating-system facts only: the
// texts the user reads, in the build's encoding, are the front end's
// (frontend/messages.h).
#ifndef CRV_PLATFORM_PLATFORM_H_
#define CRV_PLATFORM_PLATFORM_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace crv {
namespace platform {

// ---- Conventions ----------------------------------------------------------
// The operating system's conventions the front end follows. The texts
// themselves are the front end's (frontend/messages.h).
struct Conventions {
  const char* console_line_end;  // "\n" or "\r\n"
  // Whether an argument that begins with "/" is always an option (Windows) or
  // only when the rest is an option word (POSIX, where absolute paths begin
  // with "/").
  bool slash_always_option;
  // Whether an LF alone ends the console answer (a POSIX terminal sends LF for
  // Enter; the Windows console sends CR LF).
  bool answer_ends_at_lf;
};
const Conventions& SystemConventions();

// ---- Process --------------------------------------------------------------
// The whole command line as the platform keeps it (Windows), to be split by
// SplitCommandLine; nullptr where the platform hands over a ready argument
// vector instead (POSIX).
const char* RawCommandLine();
// Process-wide setup done once at start (for example ignoring SIGPIPE).
void InitProcess();

// ---- Files ----------------------------------------------------------------
// True when `name` designates an existing regular file (not a directory).
bool FileIsPresent(const std::string& name);
// Renames `from` to `to`; fails, never replaces, when `to` already exists.
bool RenameNoReplace(const std::string& from, const std::string& to);
bool RemoveFile(const std::string& name);

// The name under which a run that was given `name` converts: `name` itself
// unless it is a symbolic link; for a link, or a chain of them, the path of
// the final target, formed from the link's own directory, so that a relative
// name stays relative and is never made absolute. False when a link cannot
// be followed to an entry.
bool FinalTarget(const std::string& name, std::string* target);

// Which file a name designated when this run created it (device and inode on
// POSIX, volume serial number and file index on Windows), so that a restore
// never removes a file that another process put under the name meanwhile.
struct FileIdentity {
  bool known = false;
  uint64_t device = 0;
  uint64_t inode = 0;
};
// Deletes `name` while it still designates the file `created`; leaves alone
// a name now held by another file, and every name when `created` is unknown.
bool RemoveCreatedFile(const std::string& name, const FileIdentity& created);

enum class ReadResult { kData, kEnd, kError };

// A source file opened for reading, without sharing where the platform can.
class InputFile {
 public:
  InputFile() = default;
  ~InputFile();
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  bool Open(const std::string& name);
  // Reads up to `size` bytes. kData with *got > 0, kEnd at the physical end
  // of the file, kError when the read failed (never taken for the end).
  ReadResult Read(char* buffer, size_t size, size_t* got);
  void Close();

 private:
  friend class OutputFile;
  intptr_t handle_ = -1;
};

// A destination file, newly created for writing.
class OutputFile {
 public:
  OutputFile() = default;
  ~OutputFile();  // Closes without checking, as after a failure.
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Creates `name` exclusively: fails when the name is taken, never writing
  // into that file or through a link at that name. `like` is the open source
  // and stays open until Commit: where the platform keeps file attributes
  // across the conversion, the new file takes them from it, and is never
  // accessible to anyone who could not access the source.
  bool Create(const std::string& name, const InputFile& like);
  // Writes all of [data, data + size); false unless every byte was stored.
  bool Write(const char* data, size_t size);
  // Puts the final attributes in place, makes the contents durable and closes
  // the file, checking every step. True only when the bytes are on stable
  // storage.
  bool Commit();
  // The file Create made; unknown until it has made one.
  const FileIdentity& Identity() const { return identity_; }

 private:
  intptr_t handle_ = -1;
  intptr_t like_ = -1;  // The source's handle, where Commit reads attributes.
  std::string name_;
  int mode_ = 0;  // Final permission bits, where the platform has them.
  bool group_kept_ = true;
  FileIdentity identity_;
  // Bytes written, and where the writeback not yet started begins, where the
  // platform starts writeback early.
  uint64_t written_ = 0;
  uint64_t writeback_from_ = 0;
};

// ---- Interruption -----------------------------------------------------------
// While an InterruptScope lives, the user's interrupt (SIGINT, SIGTERM, SIGHUP
// on POSIX; Ctrl-C, Ctrl-Break, console close on Windows) does not end the
// process but is recorded, so that the conversion can stop and restore the
// file. A signal that was ignored when the scope began (nohup) stays
// ignored; outside a scope interrupts have the effect they had before it.
class InterruptScope {
 public:
  InterruptScope();
  ~InterruptScope();
  InterruptScope(const InterruptScope&) = delete;
  InterruptScope& operator=(const InterruptScope&) = delete;
};
bool InterruptRequested();

// ---- Console --------------------------------------------------------------
// Writes all bytes to standard output, unbuffered. False on failure.
bool WriteStdout(const char* data, size_t size);
// Reads one byte from standard input.
ReadResult ReadStdinByte(char* byte);

}  // namespace platform
}  // namespace crv

#endif  // CRV_PLATFORM_PLATFORM_H_
