// POSIX implementation of the platform seam.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <new>

#include "engine/file_system.h"
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
//
// A run resolves its name once: it opens the directory where the file (the
// final target of a link) lies, and takes every later step relative to that
// descriptor, so that a directory of the path swapped for a link meanwhile
// cannot move any step elsewhere.
//
// Runs exclude each other by flock(2) locks, which stand in for the Windows
// build's opens without sharing. A run opens the file by its name and locks
// it exclusively before it changes anything; the lock belongs to that open
// file, so it travels with the rename to the backup and is held until the run
// ends (a killed run's lock goes with the process). The new file is locked
// as soon as it exists, and from the claim to that lock a run holds the
// directory's lock too, so another run finds the name absent, or holding a
// locked file, or, after a run ended, holding a file nobody claims: it gives
// up unchanged, or converts what the ended run left. As a second line, where
// the directory cannot be locked, a run gives up when one of the backup
// candidates it looks at is locked. Leftover backups of ended runs hold no
// lock and only push the counter on.
// flock is used rather than fcntl locks: it needs no write access to the
// file, and it is not dropped when the process closes another descriptor of
// the same file.

namespace {

constexpr uint64_t kWritebackStep = 4 << 20;

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

int OpenAt(int dir, const std::string& name, int flags, mode_t mode = 0) {
  int fd;
  do {
    fd = openat(dir, name.c_str(), flags | O_CLOEXEC | O_NOCTTY, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// A file opened by a run: never through a link at the name, never blocking
// (a FIFO put there meanwhile).
int OpenForReadingAt(int dir, const std::string& name) {
  return OpenAt(dir, name, O_RDONLY | O_NONBLOCK | O_NOFOLLOW);
}

int OpenDirectoryAt(int dir, const std::string& path) {
  return OpenAt(dir, path, O_PATH | O_DIRECTORY);
}

// "a/b/c" is "c" in "a/b"; "c" is "c" in "."; "/c" is "c" in "/". A name that
// ends in "/" has an empty last part, which names no file.
void SplitPath(const std::string& path, std::string* dir, std::string* leaf) {
  std::string::size_type slash = path.find_last_of('/');
  if (slash == std::string::npos) {
    *dir = ".";
    *leaf = path;
  } else {
    *dir = slash == 0 ? "/" : path.substr(0, slash);
    *leaf = path.substr(slash + 1);
  }
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The same file, not written to and not changed in any way since `before`.
bool Unchanged(const struct stat& now, const struct stat& before) {
  return SameFile(now, before) && now.st_size == before.st_size &&
         now.st_mtim.tv_sec == before.st_mtim.tv_sec &&
         now.st_mtim.tv_nsec == before.st_mtim.tv_nsec &&
         now.st_ctim.tv_sec == before.st_ctim.tv_sec &&
         now.st_ctim.tv_nsec == before.st_ctim.tv_nsec;
}

// The kernel's rule for links in shared directories (fs.protected_symlinks),
// applied whatever the machine's setting: a link in a sticky directory that
// everyone may write is followed only when it belongs to this process's user
// or to the directory's owner, so that nobody can plant a link there that
// leads another user (root above all) to convert a file of theirs.
bool MayFollow(int dir, const struct stat& link) {
  struct stat d;
  if (fstat(dir, &d) != 0) return false;
  bool shared = (d.st_mode & S_ISVTX) && (d.st_mode & S_IWOTH);
  return !shared || link.st_uid == geteuid() || link.st_uid == d.st_uid;
}

// Where flock is not available (some network and user-space file systems),
// runs are not excluded there; everything else works as before.
bool LocksUnsupported(int error) {
  return error == ENOLCK || error == EOPNOTSUPP || error == ENOSYS;
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


class PosixInput : public InputFile {
 public:
  explicit PosixInput(int fd) : fd_(fd) {}
  ~PosixInput() override { close(fd_); }

  ReadResult Read(char* buffer, size_t size, size_t* got) override {
    for (;;) {
      ssize_t n = read(fd_, buffer, size);
      if (n > 0) {
        *got = static_cast<size_t>(n);
        return ReadResult::kData;
      }
      if (n == 0) return ReadResult::kEnd;
      if (errno != EINTR) return ReadResult::kError;
    }
  }
  int fd() const { return fd_; }

 private:
  int fd_;
};

class PosixOutput : public OutputFile {
 public:
  // `like` is the source, open until Commit; `dir` the directory opened for
  // reading, or -1 where it cannot be read. Both stay their owners'.
  PosixOutput(int fd, int like, int mode, bool group_kept, int dir)
      : fd_(fd), like_(like), mode_(mode), group_kept_(group_kept), dir_(dir) {}
  ~PosixOutput() override {
    if (fd_ >= 0) close(fd_);
  }

  bool Write(const char* data, size_t size) override {
    if (!WriteAll(fd_, data, size)) return false;
    written_ += size;
    // Every few MiB, the disk starts writing what is finished, so that it
    // works while the copy goes on and the fsync in Commit() finds little
    // left. The call only starts writeback: a failure of it is ignored,
    // because the fsync still makes every byte durable and reports any write
    // error since the file was opened.
    if (written_ - writeback_from_ >= kWritebackStep) {
      (void)sync_file_range(fd_, static_cast<off_t>(writeback_from_),
                            static_cast<off_t>(written_ - writeback_from_), SYNC_FILE_RANGE_WRITE);
      writeback_from_ = written_;
    }
    return true;
  }

  bool Commit() override {
    int fd = fd_;
    fd_ = -1;
    // Attributes, ACL and mode come after the last write: a write clears
    // security.capability, and, by a process other than root, the set-user-ID
    // and set-group-ID bits. With an ACL the mode's group bits are its mask,
    // so the mode goes last and matches the ACL just set. Where the ACL
    // cannot be carried exactly, the file gets no group or other rights at
    // all rather than rights the original did not give.
    // An attribute or ACL lost to an I/O error or a full disk fails the
    // conversion, and the original comes back with them.
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[2 * kAttributeMax]);
    AclCarried acl = AclCarried::kFailed;
    if (buffer && CopyAttributes(like_, fd, buffer.get(), buffer.get() + kAttributeMax)) {
      acl = CarryAccessAcl(like_, fd, group_kept_, buffer.get());
    }
    if (acl == AclCarried::kFailed) {
      close(fd);
      return false;
    }
    if (acl == AclCarried::kNot) mode_ &= ~(S_IRWXG | S_IRWXO);
    bool ok = fchmod(fd, static_cast<mode_t>(mode_)) == 0;
    ok = ok && fsync(fd) == 0;
    // A directory its owner may write but not read (mode 0300) cannot be
    // opened for its fsync; the new entry is made durable with the whole
    // file system instead.
    if (dir_ < 0) ok = ok && syncfs(fd) == 0;
    ok = CloseChecked(fd) && ok;
    return ok && (dir_ < 0 || fsync(dir_) == 0);
  }

 private:
  int fd_;
  int like_;
  int mode_;  // Final permission bits.
  bool group_kept_;
  int dir_;
  // Bytes written, and where the writeback not yet started begins.
  uint64_t written_ = 0;
  uint64_t writeback_from_ = 0;
};

class PosixFileSystem : public FileSystem {
 public:
  ~PosixFileSystem() override {
    for (int fd : {dir_, readable_dir_, claimed_}) {
      if (fd >= 0) close(fd);
    }
  }

  bool Locate(const std::string& name, std::string* target) override {
    // As many links as the kernel follows in one lookup.
    constexpr int kMaxLinks = 40;
    std::string dir_path, leaf;
    SplitPath(name, &dir_path, &leaf);
    int dir = OpenDirectoryAt(AT_FDCWD, dir_path);
    for (int hop = 0; dir >= 0 && hop <= kMaxLinks; ++hop) {
      struct stat st;
      if (fstatat(dir, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) break;
      if (!S_ISLNK(st.st_mode)) {
        if (dir_ >= 0) close(dir_);
        dir_ = dir;
        *target = leaf;
        return true;
      }
      if (!MayFollow(dir, st)) break;
      // A relative target is relative to the link's directory, which is
      // the descriptor at hand: a relative name stays relative, however
      // deep the working directory.
      char link[PATH_MAX];
      ssize_t n = readlinkat(dir, leaf.c_str(), link, sizeof link);
      if (n <= 0 || static_cast<size_t>(n) == sizeof link) break;
      std::string to(link, static_cast<size_t>(n));
      SplitPath(to, &dir_path, &leaf);
      int next = OpenDirectoryAt(to[0] == '/' ? AT_FDCWD : dir, dir_path);
      close(dir);
      dir = next;
    }
    if (dir >= 0) close(dir);
    return false;
  }

  bool IsPresent(const std::string& name) override {
    // Follows links. Anything but a regular file (directory, FIFO, socket,
    // device, dangling link) counts as absent, so it is never opened:
    // opening a FIFO would hang.
    struct stat st;
    return fstatat(dir_, name.c_str(), &st, 0) == 0 && S_ISREG(st.st_mode);
  }

  bool Claim(const std::string& name) override {
    // The steps from here to the creation of the new file are taken by one
    // run at a time in the directory (see EnterExclusiveSteps).
    if (!EnterExclusiveSteps()) return false;
    int fd = OpenForReadingAt(dir_, name);
    if (fd < 0) return false;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        (flock(fd, LOCK_EX | LOCK_NB) != 0 && !LocksUnsupported(errno))) {
      close(fd);
      return false;
    }
    claimed_ = fd;
    return true;
  }

  bool ClaimedElsewhere(const std::string& name) override {
    // A candidate that cannot be opened cannot be this run's source either.
    int fd = OpenForReadingAt(dir_, name);
    if (fd < 0) return false;
    bool held = flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    close(fd);
    return held;
  }

  bool RenameNoReplace(const std::string& from, const std::string& to) override {
    if (renameat2(dir_, from.c_str(), dir_, to.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return false;
    // The file system does not know the flag: link() fails when `to`
    // exists, so it never replaces either.
    if (linkat(dir_, from.c_str(), dir_, to.c_str(), 0) != 0) return false;
    if (unlinkat(dir_, from.c_str(), 0) != 0) {
      unlinkat(dir_, to.c_str(), 0);
      return false;
    }
    return true;
  }

  bool Remove(const std::string& name) override { return unlinkat(dir_, name.c_str(), 0) == 0; }

  bool RemoveCreated(const std::string& name) override {
    // Without the identity of what Create made, the name is left alone.
    struct stat st;
    if (!created_known_ || fstatat(dir_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        !SameFile(st, created_)) {
      return false;
    }
    return Remove(name);
  }

  std::unique_ptr<InputFile> OpenForReading(const std::string& name) override {
    // The source is the backup, which this run made by renaming the file it
    // claimed: anything else at that name (a link above all) was planted.
    int fd = OpenForReadingAt(dir_, name);
    if (fd < 0) return nullptr;
    struct stat st, claimed;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        (claimed_ >= 0 && (fstat(claimed_, &claimed) != 0 || !SameFile(st, claimed)))) {
      close(fd);
      return nullptr;
    }
    std::unique_ptr<InputFile> in(new (std::nothrow) PosixInput(fd));
    if (!in) {
      close(fd);
      return nullptr;
    }
    source_ = st;
    source_known_ = true;
    return in;
  }

  std::unique_ptr<OutputFile> Create(const std::string& name, const InputFile& like) override {
    int like_fd = static_cast<const PosixInput&>(like).fd();
    struct stat st;
    if (fstat(like_fd, &st) != 0 || !OpenReadableDirectory()) return nullptr;
    // Created exclusively: a name that something took since the rename to
    // the backup (a link to another file above all) is a failed conversion,
    // never a file to write through. Owner-only while it is written; in a
    // directory with a default ACL this mode also masks every inherited
    // entry. The final access comes with Commit().
    int fd = OpenAt(dir_, name, O_WRONLY | O_CREAT | O_EXCL, 0600);
    struct stat created;
    if (fd < 0 || fstat(fd, &created) != 0) {
      // Without its identity the restore cannot tell this file from one put
      // in its place, so it leaves the name alone.
      if (fd >= 0) close(fd);
      return nullptr;
    }
    created_ = created;
    created_known_ = true;
    // The new file is claimed too, before any other run may look at the
    // name again: a run that finds it there finds it claimed.
    bool claimed = flock(fd, LOCK_EX | LOCK_NB) == 0 || LocksUnsupported(errno);
    if (readable_dir_ >= 0) flock(readable_dir_, LOCK_UN);
    if (!claimed) {
      close(fd);
      return nullptr;
    }
    int mode = st.st_mode & 07777;
    // Keep the owner and group where the process may. A process that may
    // not keep the owner may still keep the group it belongs to; where the
    // group cannot be kept either, the new group gets no access at all.
    bool group_kept = true;
    if (fchown(fd, st.st_uid, st.st_gid) != 0) {
      mode &= ~(S_ISUID | S_ISGID);
      if (fchown(fd, static_cast<uid_t>(-1), st.st_gid) != 0) {
        mode &= ~S_IRWXG;
        group_kept = false;
      }
    }
    std::unique_ptr<OutputFile> out(
        new (std::nothrow) PosixOutput(fd, like_fd, mode, group_kept, readable_dir_));
    if (!out) close(fd);
    return out;
  }

  bool Settled(const std::string& name, const std::string& backup) override {
    struct stat st;
    return created_known_ && source_known_ &&
           fstatat(dir_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && SameFile(st, created_) &&
           fstatat(dir_, backup.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && Unchanged(st, source_);
  }

  bool InterruptRequested() override { return platform::InterruptRequested(); }

 private:
  // The run's directory opened for reading, for its lock and its fsync; -1
  // with nothing else to do where its owner may write but not read it (mode
  // 0300): there the new entry is made durable by syncfs, and runs are
  // excluded by the claims alone.
  bool OpenReadableDirectory() {
    if (readable_dir_ >= 0 || no_readable_dir_) return true;
    readable_dir_ = OpenAt(dir_, ".", O_RDONLY | O_DIRECTORY);
    no_readable_dir_ = readable_dir_ < 0 && errno == EACCES;
    return readable_dir_ >= 0 || no_readable_dir_;
  }

  // Takes the directory's lock, which a run holds from its claim to the
  // creation of its new file, so that no other run ever sees the name
  // between the rename and the new file's claim. The lock is held for a few
  // system calls, so a run that finds it taken waits for it, in pauses that
  // start at 10 us and double up to 1 ms, a second in all (another run
  // stopped there, by a debugger say, makes it fail instead).
  bool EnterExclusiveSteps() {
    if (!OpenReadableDirectory()) return false;
    if (readable_dir_ < 0) return true;
    long pause_ns = 10 * 1000;
    for (long waited_ns = 0;;) {
      if (flock(readable_dir_, LOCK_EX | LOCK_NB) == 0) return true;
      if (LocksUnsupported(errno)) return true;
      if (errno != EWOULDBLOCK || waited_ns >= 1000L * 1000 * 1000) return false;
      struct timespec pause = {0, pause_ns};
      nanosleep(&pause, nullptr);
      waited_ns += pause_ns;
      if (pause_ns < 1000 * 1000) pause_ns *= 2;
    }
  }

  int dir_ = -1;      // The run's directory (O_PATH).
  int readable_dir_ = -1;
  bool no_readable_dir_ = false;
  int claimed_ = -1;  // The file this run claimed, locked until the end.
  struct stat source_ = {};  // The source as it was opened.
  bool source_known_ = false;
  struct stat created_ = {};  // The file Create made.
  bool created_known_ = false;
};

}  // namespace

bool FileIsPresent(const std::string& name) {
  PosixFileSystem fs;
  std::string target;
  return fs.Locate(name, &target) && fs.IsPresent(target);
}

std::unique_ptr<FileSystem> NewFileSystem() {
  return std::unique_ptr<FileSystem>(new (std::nothrow) PosixFileSystem);
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
