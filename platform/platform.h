// The one seam between crv and the operating system. Each platform provides
// its own implementation of everything declared here (platform/posix/ or
// platform/win32/), chosen by the build; the engine and the front end never
// test which platform they run on. It holds operating-system facts only: the
// texts the user reads, in the build's encoding, are the front end's
// (frontend/messages.h). The files of a conversion are reached through the
// FileSystem interface (engine/file_system.h), which each platform
// implements and the tests replace.
#ifndef CRV_PLATFORM_PLATFORM_H_
#define CRV_PLATFORM_PLATFORM_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/file_system.h"

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
// True when `name` designates an existing regular file (not a directory),
// found as a run would find it (FileSystem::Locate, then IsPresent).
bool FileIsPresent(const std::string& name);

using ReadResult = crv::ReadResult;

// The operating system's files for one run (engine/file_system.h).
std::unique_ptr<FileSystem> NewFileSystem();

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
