// The operating system's files for one run (engine/file_system.h), POSIX.
//
// A run resolves its name once: it opens the directory where the file (the
// final target of a link) lies, and takes every later step relative to that
// descriptor, so that a directory of the path swapped for a link meanwhile
// cannot move any step elsewhere.
//
// Other runs are kept out by flock(2) locks, which stand in for the Windows
// build's opens without sharing. A run opens the file by its name and locks
// it exclusively before it changes anything; the lock belongs to that open
// file, so it travels with the rename to the backup and is held until the run
// ends (a killed run's lock goes with the process). The new file is made
// unnamed (O_TMPFILE), locked, and only then linked under the file's name,
// so another run finds the name absent, or holding a locked file, or, after
// a run ended, holding a file nobody claims: it gives up unchanged, or
// converts what the ended run left. A run also gives up when one of the
// backup candidates it looks at is locked. Leftover backups of ended runs
// hold no lock and only push the counter on.
//
// Other programs are kept out by leases (fcntl F_SETLEASE), which the kernel
// grants only while nobody else has the file open for writing: a read lease
// on the claimed file, refused while another program writes it and broken
// when one opens it for writing during the run (the run then restores the
// original and ends, releasing the lease so that the program goes on with
// the original under its name), and a write lease on the new file, which
// makes anyone who opens it by its name wait until the run has written and
// closed it. A lease break is seen with F_GETLEASE, so SIGIO, the signal the
// kernel sends for it, is ignored. Where no lease can be had (another user's
// file without CAP_LEASE, network and user-space file systems), the checks
// before the backup goes (the name holds the new file, the backup did not
// change) remain.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <new>

#include "engine/file_system.h"
#include "platform/platform.h"
#include "platform/posix/lease_posix.h"
#include "platform/posix/open_files_posix.h"
#include "platform/posix/path_posix.h"
#include "platform/posix/posix_io.h"

namespace crv {
namespace platform {

namespace {

// A file opened by a run: never through a link at the name, never blocking
// (a FIFO put there meanwhile, a file another run holds a write lease on).
int OpenForReadingAt(int dir, const std::string& name) {
  return OpenAt(dir, name, O_RDONLY | O_NONBLOCK | O_NOFOLLOW);
}

// Where flock is not available (some network and user-space file systems),
// runs are not excluded there; everything else works as before.
bool LocksUnsupported(int error) {
  return error == ENOLCK || error == EOPNOTSUPP || error == ENOSYS;
}

// Gives the unnamed file `fd` the name `name` in `dir`; fails, never
// replaces, when the name is taken.
bool LinkUnnamed(int fd, int dir, const std::string& name) {
  char path[64];
  snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
  return linkat(AT_FDCWD, path, dir, name.c_str(), AT_SYMLINK_FOLLOW) == 0;
}

class PosixFileSystem : public FileSystem {
 public:
  explicit PosixFileSystem(ProgressObserver* observer = nullptr) : observer_(observer) {}
  ~PosixFileSystem() override {
    // Closing the claimed file and the new one ends this run's locks and
    // leases: programs that waited for either go on.
    for (int fd : {dir_, readable_dir_, claimed_, lock_fd_, unnamed_, created_.fd}) {
      if (fd >= 0) close(fd);
    }
  }

  bool Locate(const std::string& name, std::string* target) override {
    int dir = OpenDirectoryOf(name, target);
    if (dir < 0) return false;
    if (dir_ >= 0) close(dir_);
    dir_ = dir;
    return true;
  }

  bool IsPresent(const std::string& name) override {
    // Follows links. Anything but a regular file (directory, FIFO, socket,
    // device, dangling link) counts as absent, so it is never opened:
    // opening a FIFO would hang.
    struct stat st;
    return fstatat(dir_, name.c_str(), &st, 0) == 0 && S_ISREG(st.st_mode);
  }

  bool Claim(const std::string& name) override {
    int fd = OpenForReadingAt(dir_, name);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || !Lock(fd, name, st)) {
      if (fd >= 0) close(fd);
      return false;
    }
    claimed_ = fd;
    return true;
  }

  bool ExcludeWriters() override {
    // A run that had to open the file for writing to lock it (NFS) cannot
    // have a read lease, which its own descriptor would refuse.
    if (claimed_ >= 0 && lock_fd_ < 0) {
      Lease lease = TakeLease(claimed_, F_RDLCK);
      if (lease == Lease::kRefused) return false;
      read_lease_ = lease == Lease::kHeld;
    }
    // The run goes on to replace the file (one in form never gets here):
    // its new file is prepared now.
    PrepareNewFile();
    return true;
  }

  bool ClaimedElsewhere(const std::string& name) override {
    int fd = OpenForReadingAt(dir_, name);
    // A file another run holds a write lease on is that run's new file.
    if (fd < 0) return errno == EWOULDBLOCK;
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
    // Without the identity of what Create made, the name is left alone, and
    // so is a file that holds more than this run wrote, or that somebody is
    // waiting to open.
    struct stat st;
    if (!created_.known || fstatat(dir_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        !SameFile(st, created_.st) || !NobodyElseIn()) {
      return false;
    }
    if (!Remove(name)) return false;
    // Somebody who found the name just before it went waits for the file:
    // the name comes back, so that what they write is not lost with it.
    if (!NobodyElseIn()) {
      LinkUnnamed(created_.fd, dir_, name);
      return false;
    }
    return true;
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
    std::unique_ptr<InputFile> in(new (std::nothrow) PosixInput(fd, &read_));
    if (!in) {
      close(fd);
      return nullptr;
    }
    read_ = 0;
    size_ = static_cast<uint64_t>(st.st_size);
    source_ = st;
    source_known_ = true;
    return in;
  }

  std::unique_ptr<OutputFile> Create(const std::string& name, const InputFile& like) override {
    int like_fd = static_cast<const PosixInput&>(like).fd();
    struct stat st;
    if (created_.known || fstat(like_fd, &st) != 0 || !OpenReadableDirectory()) return nullptr;
    int fd = unnamed_;
    unnamed_ = -1;
    if (fd < 0) fd = CreateNamed(name);
    if (fd < 0) return nullptr;
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
    // The unnamed file gets its name only now, locked and leased: nobody
    // ever sees the name holding a file that is not claimed.
    struct stat made;
    if (fstat(fd, &made) != 0 || (!named_ && !LinkUnnamed(fd, dir_, name))) {
      // Without its identity the restore cannot tell this file from one put
      // in its place, so it leaves the name alone.
      close(fd);
      return nullptr;
    }
    created_.st = made;
    created_.known = true;
    created_.fd = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    std::unique_ptr<OutputFile> out(
        new (std::nothrow) PosixOutput(fd, like_fd, mode, group_kept, readable_dir_, &created_));
    if (!out) close(fd);
    return out;
  }

  bool Settled(const std::string& name, const std::string& backup) override {
    struct stat st;
    return created_.known && source_known_ &&
           fstatat(dir_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
           SameFile(st, created_.st) &&
           fstatat(dir_, backup.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
           Unchanged(st, source_) && !WriterArrived();
  }

  // A signal stops the run before the observer is called: after a hangup
  // its window may have no display left to talk to.
  bool InterruptRequested() override {
    return platform::InterruptRequested() || WriterArrived() ||
           (observer_ && observer_->Cancelled(read_, size_));
  }

 private:
  // Locks the claimed file `fd` against other runs. NFS emulates flock with
  // a lock on the whole file, which needs a descriptor open for writing:
  // where the read-only one is refused for its mode (EBADF), the lock is
  // taken through one opened for writing, where the run may open one. Where
  // no lock can be had at all, runs are not excluded.
  bool Lock(int fd, const std::string& name, const struct stat& st) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0 || LocksUnsupported(errno)) return true;
    if (errno != EBADF) return false;
    int rw = OpenAt(dir_, name, O_RDWR | O_NONBLOCK | O_NOFOLLOW);
    struct stat rw_st;
    if (rw < 0 || fstat(rw, &rw_st) != 0 || !SameFile(rw_st, st)) {
      if (rw >= 0) close(rw);
      return true;
    }
    if (flock(rw, LOCK_EX | LOCK_NB) == 0) {
      lock_fd_ = rw;
      return true;
    }
    bool held = errno == EWOULDBLOCK;
    close(rw);
    return !held;
  }

  // Makes the new file unnamed in the run's directory, locked and with its
  // write lease, before anything changes. Where the file system cannot make
  // unnamed files (or /proc, through which it gets its name, is missing),
  // Create makes it under its name instead; where the directory may not be
  // written, Create fails as it would have.
  void PrepareNewFile() {
    bool unnamed_files = access("/proc/self/fd", X_OK) == 0;
    int fd = unnamed_files ? OpenAt(dir_, ".", O_TMPFILE | O_WRONLY | O_APPEND, 0600) : -1;
    if (fd >= 0 && LockNew(fd)) {
      unnamed_ = fd;
      return;
    }
    if (fd >= 0) close(fd);
    unnamed_files = unnamed_files && (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR &&
                                                  errno != EINVAL));
    if (!unnamed_files) EnterExclusiveSteps();
  }

  // Where the new file is made under its name, a run holds the directory's
  // lock from its claim to the new file's lock, so that another run does
  // not claim the new file before it is locked. The lock is held for a few
  // system calls; one that cannot be had within a tenth of a second (held by
  // a run stopped in a debugger, or by anyone who may read the directory)
  // is passed over: the probe of the backup candidates still keeps runs
  // apart.
  void EnterExclusiveSteps() {
    if (!OpenReadableDirectory() || readable_dir_ < 0) return;
    long pause_ns = 10 * 1000;
    for (long waited_ns = 0; waited_ns < 100L * 1000 * 1000; waited_ns += pause_ns) {
      if (flock(readable_dir_, LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK) return;
      Pause(pause_ns);
      if (pause_ns < 1000 * 1000) pause_ns *= 2;
    }
  }

  // The new file of a run is claimed as soon as it exists, and leased: it
  // is the only descriptor of the file, so the lease is granted where the
  // file system has leases.
  bool LockNew(int fd) {
    // Its descriptor is open for writing, so a refusal for the descriptor's
    // mode means the file system has no such locks either.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 && !LocksUnsupported(errno) && errno != EBADF) {
      return false;
    }
    created_.leased = TakeLease(fd, F_WRLCK) == Lease::kHeld;
    return true;
  }

  // Creates `name` as a new file where no unnamed one could be made. It is
  // created exclusively: a name that something took since the rename to the
  // backup (a link to another file above all) is a failed conversion, never
  // a file to write through. Owner-only while it is written; in a directory
  // with a default ACL this mode also masks every inherited entry. The final
  // access comes with Commit(). Its writes append, as the unnamed one's do.
  int CreateNamed(const std::string& name) {
    int fd = OpenAt(dir_, name, O_WRONLY | O_CREAT | O_EXCL | O_APPEND, 0600);
    bool locked = fd >= 0 && LockNew(fd);
    if (readable_dir_ >= 0) flock(readable_dir_, LOCK_UN);
    if (fd >= 0 && !locked) {
      close(fd);
      return -1;
    }
    named_ = fd >= 0;
    return fd;
  }

  // True while nobody but this run has been in the new file: it holds what
  // the run wrote (as Commit left it, once committed), and nobody waits to
  // open it.
  bool NobodyElseIn() {
    struct stat st;
    if (created_.fd < 0 || fstat(created_.fd, &st) != 0) return false;
    if (created_.leased && !LeaseIntact(created_.fd, F_WRLCK)) return false;
    if (created_.committed) return Unchanged(st, created_.final_st);
    return static_cast<uint64_t>(st.st_size) == created_.written;
  }

  // True when another program opened the claimed file for writing during
  // the run, breaking its read lease: the run stops and restores.
  bool WriterArrived() { return read_lease_ && !LeaseIntact(claimed_, F_RDLCK); }

  // The run's directory opened for reading, for its fsync and its lock; -1
  // where its owner may write but not read it (mode 0300): there the new
  // entry is made durable by syncfs.
  bool OpenReadableDirectory() {
    if (readable_dir_ >= 0 || no_readable_dir_) return true;
    readable_dir_ = OpenAt(dir_, ".", O_RDONLY | O_DIRECTORY);
    no_readable_dir_ = readable_dir_ < 0 && errno == EACCES;
    return readable_dir_ >= 0 || no_readable_dir_;
  }

  int dir_ = -1;  // The run's directory (O_PATH).
  int readable_dir_ = -1;
  bool no_readable_dir_ = false;
  int claimed_ = -1;  // The file this run claimed, locked until the end.
  int lock_fd_ = -1;  // The same opened for writing, where only that locks.
  bool read_lease_ = false;
  int unnamed_ = -1;  // The new file before it has a name.
  bool named_ = false;
  struct stat source_ = {};  // The source as it was opened.
  bool source_known_ = false;
  Created created_;
  ProgressObserver* observer_;
  uint64_t read_ = 0;  // Of the file last opened for reading, of its size_.
  uint64_t size_ = 0;
};

}  // namespace

bool FileIsPresent(const std::string& name) {
  PosixFileSystem fs;
  std::string target;
  return fs.Locate(name, &target) && fs.IsPresent(target);
}

std::unique_ptr<FileSystem> NewFileSystem(ProgressObserver* observer) {
  return std::unique_ptr<FileSystem>(new (std::nothrow) PosixFileSystem(observer));
}

}  // namespace platform
}  // namespace crv
