// POSIX implementation of the platform seam.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <new>

#include "platform/platform.h"

namespace crv {
namespace platform {

const Conventions& SystemConventions() {
  static const Conventions kConventions = {
      "\n",
      /*slash_always_option=*/false,
      /*answer_ends_at_lf=*/true,
  };
  return kConventions;
}

const char* RawCommandLine() { return nullptr; }

void InitProcess() {
  // A write to a closed pipe is an output failure to report, not a reason to
  // die by a signal.
  signal(SIGPIPE, SIG_IGN);
  // A write beyond the file-size limit (ulimit -f) then fails with EFBIG, a
  // failed conversion that is restored, instead of killing the process with
  // a half-written file under the original name.
  signal(SIGXFSZ, SIG_IGN);
  // A standard descriptor that was closed is filled with /dev/null opened for
  // reading, so that no file the tool opens later can take its number: a
  // message meant for standard output must never land in the user's file.
  // Standard input then reads as empty, and writes to standard output fail.
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
      int null_fd = open("/dev/null", O_RDONLY);
      if (null_fd >= 0 && null_fd != fd) close(null_fd);
    }
  }
}

// ---- Files ----------------------------------------------------------------

bool FileIsPresent(const std::string& name) {
  // Follows symbolic links. Anything but a regular file (directory, FIFO,
  // socket, device, dangling link) counts as absent, so it is never opened:
  // opening a FIFO would hang.
  struct stat st;
  return stat(name.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool RenameNoReplace(const std::string& from, const std::string& to) {
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
    return true;
  }
  if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return false;
  // The file system does not know the flag: link() fails when `to` exists,
  // so it never replaces either.
  if (link(from.c_str(), to.c_str()) != 0) return false;
  if (unlink(from.c_str()) != 0) {
    unlink(to.c_str());
    return false;
  }
  return true;
}

bool RemoveFile(const std::string& name) { return unlink(name.c_str()) == 0; }

bool FinalTarget(const std::string& name, std::string* target) {
  // As many links as the kernel follows in one lookup.
  constexpr int kMaxLinks = 40;
  std::string path = name;
  for (int hop = 0; hop <= kMaxLinks; ++hop) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return false;
    if (!S_ISLNK(st.st_mode)) {
      *target = path;
      return true;
    }
    char link[PATH_MAX];
    ssize_t n = readlink(path.c_str(), link, sizeof link);
    if (n <= 0 || static_cast<size_t>(n) == sizeof link) return false;
    std::string to(link, static_cast<size_t>(n));
    // A relative target is relative to the link's directory; "dir/../x"
    // resolves as the kernel resolves the link, even when dir is a link.
    std::string::size_type slash = path.find_last_of('/');
    path = to[0] == '/' || slash == std::string::npos ? to : path.substr(0, slash + 1) + to;
  }
  return false;
}

bool RemoveCreatedFile(const std::string& name, const FileIdentity& created) {
  struct stat st;
  if (!created.known || lstat(name.c_str(), &st) != 0) return false;
  if (st.st_dev != created.device || st.st_ino != created.inode) return false;
  return unlink(name.c_str()) == 0;
}

namespace {

constexpr uint64_t kWritebackStep = 4 << 20;

int Fd(intptr_t handle) { return static_cast<int>(handle); }

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool CloseChecked(int fd) {
  // On Linux the descriptor is gone even when close() reports EINTR.
  return close(fd) == 0;
}

bool SyncDirectoryOf(const std::string& name) {
  std::string::size_type slash = name.find_last_of('/');
  std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : name.substr(0, slash));
  int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = fsync(fd) == 0;
  return CloseChecked(fd) && ok;
}

constexpr char kAccessAcl[] = "system.posix_acl_access";
// The largest attribute value and name list Linux hands out.
constexpr size_t kAttributeMax = 64 * 1024;

// Whether a failed attribute call failed only for want of a privilege, or
// because the file system has no such attributes: the attribute is then left
// out, as documented. Any other failure (an I/O error, a full disk) fails the
// conversion, which then restores the original with all its attributes.
bool MayLeaveOut(int error) {
  return error == EPERM || error == EACCES || error == ENOTSUP;
}

// Copies every extended attribute of `from` that `to` accepts, but the access
// ACL (see CarryAccessAcl). One the process may not set (security.* or
// trusted.* without privilege, user.* where the file system has none) is left
// out. False when an attribute could not be read or set for another reason.
bool CopyAttributes(int from, int to, char* names, char* buffer) {
  ssize_t size = flistxattr(from, names, kAttributeMax);
  if (size < 0) return MayLeaveOut(errno);
  for (ssize_t i = 0; i < size; i += static_cast<ssize_t>(strlen(names + i)) + 1) {
    const char* name = names + i;
    if (strcmp(name, kAccessAcl) == 0) continue;
    ssize_t n = fgetxattr(from, name, buffer, kAttributeMax);
    if (n < 0) {
      // ENODATA: the attribute was removed since the list was read.
      if (errno == ENODATA || MayLeaveOut(errno)) continue;
      return false;
    }
    if (fsetxattr(to, name, buffer, static_cast<size_t>(n), 0) != 0 && !MayLeaveOut(errno)) {
      return false;
    }
  }
  return true;
}

enum class AclCarried { kExactly, kNot, kFailed };

// Gives `to` exactly the access ACL of `from`: a copy of it, or none when
// `from` has none, removing one that `to` inherited from its directory's
// default ACL. The ACL's group entry speaks for the file's group, so it is
// carried only when `to` kept the group of `from`. kNot when `to` could not
// be given exactly that ACL for want of a privilege or of ACL support, and
// kFailed when a call failed for another reason.
AclCarried CarryAccessAcl(int from, int to, bool group_kept, char* buffer) {
  ssize_t n = fgetxattr(from, kAccessAcl, buffer, kAttributeMax);
  if (n >= 0) {
    if (!group_kept) return AclCarried::kNot;
    if (fsetxattr(to, kAccessAcl, buffer, static_cast<size_t>(n), 0) == 0) {
      return AclCarried::kExactly;
    }
    return MayLeaveOut(errno) ? AclCarried::kNot : AclCarried::kFailed;
  }
  if (errno != ENODATA && errno != ENOTSUP) {
    return MayLeaveOut(errno) ? AclCarried::kNot : AclCarried::kFailed;
  }
  if (fremovexattr(to, kAccessAcl) == 0 || errno == ENODATA || errno == ENOTSUP) {
    return AclCarried::kExactly;
  }
  return MayLeaveOut(errno) ? AclCarried::kNot : AclCarried::kFailed;
}

}  // namespace

InputFile::~InputFile() { Close(); }

bool InputFile::Open(const std::string& name) {
  Close();
  int fd;
  do {
    // The source is the backup, which this run made by renaming a file that
    // was not a link: a link in its place was planted, and is not followed.
    fd = open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return false;
  }
  handle_ = fd;
  return true;
}

ReadResult InputFile::Read(char* buffer, size_t size, size_t* got) {
  for (;;) {
    ssize_t n = read(Fd(handle_), buffer, size);
    if (n > 0) {
      *got = static_cast<size_t>(n);
      return ReadResult::kData;
    }
    if (n == 0) return ReadResult::kEnd;
    if (errno != EINTR) return ReadResult::kError;
  }
}

void InputFile::Close() {
  if (handle_ >= 0) close(Fd(handle_));
  handle_ = -1;
}

OutputFile::~OutputFile() {
  if (handle_ >= 0) close(Fd(handle_));
}

bool OutputFile::Create(const std::string& name, const InputFile& like) {
  struct stat st;
  if (like.handle_ < 0 || fstat(Fd(like.handle_), &st) != 0) return false;
  // Created exclusively: a name that something took since the rename to the
  // backup (a link to another file above all) is a failed conversion, never
  // a file to write through. Owner-only while it is written; in a directory
  // with a default ACL this mode also masks every inherited entry. The final
  // access comes with Commit().
  int fd;
  do {
    fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0600);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  struct stat created;
  if (fstat(fd, &created) != 0) {
    // Without its identity the restore cannot tell this file from one put
    // in its place, so it leaves the name alone.
    close(fd);
    return false;
  }
  identity_.known = true;
  identity_.device = created.st_dev;
  identity_.inode = created.st_ino;
  mode_ = st.st_mode & 07777;
  // Keep the owner and group where the process may. A process that may not
  // keep the owner may still keep the group it belongs to; where the group
  // cannot be kept either, the new group gets no access at all.
  group_kept_ = true;
  if (fchown(fd, st.st_uid, st.st_gid) != 0) {
    mode_ &= ~(S_ISUID | S_ISGID);
    if (fchown(fd, static_cast<uid_t>(-1), st.st_gid) != 0) {
      mode_ &= ~S_IRWXG;
      group_kept_ = false;
    }
  }
  handle_ = fd;
  like_ = like.handle_;
  name_ = name;
  return true;
}

bool OutputFile::Write(const char* data, size_t size) {
  if (!WriteAll(Fd(handle_), data, size)) return false;
  written_ += size;
  // Every few MiB, the disk starts writing what is finished, so that it works
  // while the copy goes on and the fsync in Commit() finds little left. The
  // call only starts writeback: a failure of it is ignored, because the fsync
  // still makes every byte durable and reports any write error since the
  // file was opened.
  if (written_ - writeback_from_ >= kWritebackStep) {
    (void)sync_file_range(Fd(handle_), static_cast<off_t>(writeback_from_),
                          static_cast<off_t>(written_ - writeback_from_), SYNC_FILE_RANGE_WRITE);
    writeback_from_ = written_;
  }
  return true;
}

bool OutputFile::Commit() {
  int fd = Fd(handle_);
  handle_ = -1;
  // Attributes, ACL and mode come after the last write: a write clears
  // security.capability, and, by a process other than root, the set-user-ID
  // and set-group-ID bits. With an ACL the mode's group bits are its mask,
  // so the mode goes last and matches the ACL just set. Where the ACL cannot
  // be carried exactly, the file gets no group or other rights at all rather
  // than rights the original did not give.
  // An attribute or ACL lost to an I/O error or a full disk fails the
  // conversion, and the original comes back with them.
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[2 * kAttributeMax]);
  AclCarried acl = AclCarried::kFailed;
  if (buffer && CopyAttributes(Fd(like_), fd, buffer.get(), buffer.get() + kAttributeMax)) {
    acl = CarryAccessAcl(Fd(like_), fd, group_kept_, buffer.get());
  }
  if (acl == AclCarried::kFailed) {
    close(fd);
    return false;
  }
  if (acl == AclCarried::kNot) mode_ &= ~(S_IRWXG | S_IRWXO);
  bool ok = fchmod(fd, static_cast<mode_t>(mode_)) == 0;
  ok = ok && fsync(fd) == 0;
  ok = CloseChecked(fd) && ok;
  return ok && SyncDirectoryOf(name_);
}

// ---- Interruption -----------------------------------------------------------

namespace {

volatile sig_atomic_t g_interrupted = 0;
const int kInterruptSignals[] = {SIGINT, SIGTERM, SIGHUP};
constexpr size_t kInterruptCount = sizeof kInterruptSignals / sizeof kInterruptSignals[0];
// What each signal's disposition was when the scope began.
struct sigaction g_previous[kInterruptCount];
bool g_previous_known[kInterruptCount];

void RecordInterrupt(int) { g_interrupted = 1; }

}  // namespace

InterruptScope::InterruptScope() {
  g_interrupted = 0;
  struct sigaction sa = {};
  sa.sa_handler = RecordInterrupt;
  sigemptyset(&sa.sa_mask);
  for (size_t i = 0; i < kInterruptCount; ++i) {
    int sig = kInterruptSignals[i];
    g_previous_known[i] = sigaction(sig, nullptr, &g_previous[i]) == 0;
    // A signal ignored when the scope begins (nohup, trap '' HUP) is the
    // parent's choice: it stays ignored and never stops the conversion.
    if (g_previous_known[i] && g_previous[i].sa_handler == SIG_IGN) continue;
    sigaction(sig, &sa, nullptr);
  }
}

InterruptScope::~InterruptScope() {
  // The handlers in place before the scope come back, whatever they were.
  for (size_t i = 0; i < kInterruptCount; ++i) {
    if (g_previous_known[i]) sigaction(kInterruptSignals[i], &g_previous[i], nullptr);
  }
}

bool InterruptRequested() { return g_interrupted != 0; }

// ---- Console --------------------------------------------------------------

bool WriteStdout(const char* data, size_t size) {
  return WriteAll(STDOUT_FILENO, data, size);
}

ReadResult ReadStdinByte(char* byte) {
  for (;;) {
    ssize_t n = read(STDIN_FILENO, byte, 1);
    if (n == 1) return ReadResult::kData;
    if (n == 0) return ReadResult::kEnd;
    if (errno != EINTR) return ReadResult::kError;
  }
}

}  // namespace platform
}  // namespace crv
