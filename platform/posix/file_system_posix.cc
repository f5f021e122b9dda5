// The operating system's files for one run (engine/file_system.h), POSIX.
//
// A run resolves its name once: it opens the directory where the file (the
// final target of a link) lies, and takes every later step relative to that
// descriptor, so that a directory of the path swapped for a link meanwhile
// cannot move any step elsewhere.
//
// The original keeps its name until the new file is complete and durable:
// the new file is made unnamed (O_TMPFILE), or, where the file system has
// no unnamed files, under `<backup>.new`, a name no opener of the file
// uses. The backup `.crv#NNN` is a second name (a hard link) of the
// original, so it holds the original's bytes at every moment. Then the new
// file is linked as `<backup>.new` and exchanged with the original in one
// step (renameat2 RENAME_EXCHANGE), which also shows what the name held at
// that moment; the original's extra name goes after. Where the file system
// cannot exchange, a plain rename over the name does the same step.
//
// Other runs are kept out by flock(2) locks, which stand in for the Windows
// build's opens without sharing: a run locks the file it claims, and a run
// also gives up when one of the backup candidates it looks at is locked.
// Leftovers of ended runs hold no lock and only push the counter on.
//
// Other programs are kept out by leases (fcntl F_SETLEASE), which the kernel
// grants only while nobody else has the file open for writing. The read
// lease on the claimed file is refused while another program writes it, so
// the claim fails, and is broken when one opens it for writing during the
// run: the run stops. It is held until the new file has the name and looked
// at after: a writer that opened the original in that moment waits on it,
// so the original goes back under the name and the run fails; the writer
// then goes on with the original. The new file's write lease makes anyone
// who opens it by its name, once it has it, wait until the run ends, and
// tells the run that someone does. A lease break is seen with F_GETLEASE,
// so SIGIO, the signal the kernel sends for it, is ignored. Where no lease
// can be had (network and user-space file systems), the original's size and
// modification time are compared before and after the replace instead.
#include <errno.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <new>

#include "engine/file_system.h"
#include "platform/platform.h"
#include "platform/posix/attributes_posix.h"
#include "platform/posix/lease_posix.h"
#include "platform/posix/open_files_posix.h"
#include "platform/posix/path_posix.h"
#include "platform/posix/posix_io.h"

namespace crv {
namespace platform {

namespace {

// A file opened by a run: never through a link at the name, never blocking
// (a FIFO put there meanwhile, a file another run holds a write lease on).
// Reading leaves the access time alone where the kernel allows it (the
// file's owner, or root).
int OpenForReadingAt(int dir, const std::string& name) {
  int fd = OpenAt(dir, name, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOATIME);
  if (fd < 0 && errno == EPERM) fd = OpenAt(dir, name, O_RDONLY | O_NONBLOCK | O_NOFOLLOW);
  return fd;
}

// The file system has no such operation (or flag).
bool Unsupported(int error) {
  return error == EINVAL || error == ENOSYS || error == EOPNOTSUPP || error == EISDIR;
}

// Where flock is not available (some network and user-space file systems),
// runs are not excluded there.
bool LocksUnsupported(int error) {
  return error == ENOLCK || error == EOPNOTSUPP || error == ENOSYS;
}

// The path through which the open file `fd` can be linked under a name of
// its own (with AT_SYMLINK_FOLLOW), whatever names it has or has not.
std::string FdPath(int fd) {
  char path[64];
  snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
  return path;
}

// Whether the inode flags of `fd` forbid what a run does to a file and its
// directory: an append-only or immutable file cannot be replaced, and in an
// append-only or immutable directory no name can be removed. Where the
// file system keeps no such flags, nothing forbids it.
bool FlagsForbid(int fd) {
  int flags = 0;
  if (ioctl(fd, FS_IOC_GETFLAGS, &flags) != 0) return false;
  return (flags & (FS_APPEND_FL | FS_IMMUTABLE_FL)) != 0;
}

// Whether a process that is not root could give a new file the owner and
// group of `original` in a directory whose status is `dir`: its own user,
// and a group it belongs to or that the set-group-ID directory gives.
bool OwnerKeepable(const struct stat& original, const struct stat& dir) {
  if (geteuid() == 0) return true;
  if (original.st_uid != geteuid()) return false;
  if (original.st_gid == getegid()) return true;
  if ((dir.st_mode & S_ISGID) && dir.st_gid == original.st_gid) return true;
  gid_t groups[256];
  int n = getgroups(256, groups);
  for (int i = 0; i < n; ++i) {
    if (groups[i] == original.st_gid) return true;
  }
  return false;
}

class PosixFileSystem : public FileSystem {
 public:
  ~PosixFileSystem() override {
    // Closing the claimed file and the new one ends this run's locks and
    // leases: programs that waited for either go on.
    for (int fd : {dir_, sync_dir_, claimed_, lock_fd_}) {
      if (fd >= 0) close(fd);
    }
  }

  bool Locate(const std::string& name, std::string* target) override {
    int dir = OpenDirectoryOf(name, target);
    if (dir < 0) return Failed();
    if (dir_ >= 0) close(dir_);
    dir_ = dir;
    stage_ = Stage::kLocated;
    return true;
  }

  bool IsPresent(const std::string& name) override {
    // Follows links. Anything but a regular file (directory, FIFO, socket,
    // device, dangling link) counts as absent, so it is never opened:
    // opening a FIFO would hang.
    struct stat st;
    return fstatat(dir_, name.c_str(), &st, 0) == 0 && S_ISREG(st.st_mode);
  }

  std::unique_ptr<InputFile> OpenForReading(const std::string& name) override {
    // After the claim, the source is the claimed file: anything else at
    // that name (a link above all) was put there since.
    int fd = OpenForReadingAt(dir_, name);
    if (fd < 0) return FailedNull();
    struct stat st = {};
    if (!FreshStat(fd, "", AT_EMPTY_PATH, &st) || !S_ISREG(st.st_mode) ||
        (stage_ >= Stage::kClaimed && !SameFile(st, claimed_st_))) {
      int error = S_ISREG(st.st_mode) ? ESTALE : EINVAL;
      close(fd);
      return FailedNull(error);
    }
    std::unique_ptr<InputFile> in(new (std::nothrow) PosixInput(fd, static_cast<uint64_t>(st.st_size)));
    if (!in) {
      close(fd);
      return FailedNull(ENOMEM);
    }
    if (stage_ >= Stage::kClaimed) source_st_ = st;
    return in;
  }

  bool Claim(const std::string& name) override {
    if (stage_ != Stage::kLocated) return Failed(EINVAL);
    int fd = OpenForReadingAt(dir_, name);
    if (fd < 0) return Failed();
    claimed_ = fd;
    struct stat dir_st;
    if (!FreshStat(fd, "", AT_EMPTY_PATH, &claimed_st_) || !S_ISREG(claimed_st_.st_mode) ||
        fstat(dir_, &dir_st) != 0) {
      return Failed(EINVAL);
    }
    if (!Lock(name)) return false;
    // Files and folders that forbid the replace are refused before anything
    // changes, rather than collecting leftovers. The directory opened for
    // that is the one synced after the replace, so a failure to open it
    // fails here, before anything changed.
    if (!OpenSyncDirectory()) return Failed();
    if (FlagsForbid(fd) || (sync_dir_ >= 0 && FlagsForbid(sync_dir_))) return Failed(EPERM);
    // A run that had to open the file for writing to lock it (NFS) cannot
    // have a read lease, which its own descriptor would refuse.
    if (lock_fd_ < 0) {
      Lease lease = TakeLease(claimed_, F_RDLCK);
      if (lease == Lease::kRefused) return Failed(EAGAIN);
      read_lease_ = lease == Lease::kHeld;
    }
    // The new file is made now where it can be unnamed, so that its owner
    // and group are judged on the file itself; elsewhere they are judged
    // here and again once it is made.
    if (!MakeUnnamed()) return false;
    if (!new_file_.open() && !OwnerKeepable(claimed_st_, dir_st)) return Failed(EPERM);
    stage_ = Stage::kClaimed;
    return true;
  }

  bool ClaimedElsewhere(const std::string& name) override {
    int fd = OpenForReadingAt(dir_, name);
    // A file another run holds a write lease on is that run's new file.
    if (fd < 0) return errno == EWOULDBLOCK;
    // A second name of the file this run claimed (and locks itself) is a
    // backup an ended run left: another run on this file would hold its
    // lock, and this run's claim would have failed.
    struct stat st;
    bool held = !(fstat(fd, &st) == 0 && SameFile(st, claimed_st_)) &&
                flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    close(fd);
    return held;
  }

  bool AddBackupName(const std::string&, const std::string& backup) override {
    if (stage_ != Stage::kClaimed) return Failed(EINVAL);
    // The claimed file itself gets the name, whatever its first name
    // designates by now. A name that is taken fails, never replaced.
    if (linkat(AT_FDCWD, FdPath(claimed_).c_str(), dir_, backup.c_str(), AT_SYMLINK_FOLLOW) == 0) {
      backup_named_ = true;
      backup_ = backup;
    } else if (errno == EEXIST || !(Unsupported(errno) || errno == EPERM || errno == EMLINK)) {
      return Failed();
    }
    // Elsewhere (no hard links, or none more for this file) the run has no
    // backup name: the original keeps its name all the same.
    stage_ = Stage::kBackupNamed;
    return true;
  }

  bool CreateNew(const std::string&, const std::string& backup) override {
    if (stage_ != Stage::kBackupNamed) return Failed(EINVAL);
    new_name_ = backup + ".new";
    if (!new_file_.open()) {
      // No access at all until it is complete; made exclusively, so that a
      // name taken since (a link to another file above all) fails the run
      // rather than being written through.
      int fd = OpenAt(dir_, new_name_, O_WRONLY | O_CREAT | O_EXCL | O_APPEND, 0);
      if (fd < 0) return Failed();
      new_named_ = true;
      if (!new_file_.Adopt(fd) || !KeepOwner(fd, claimed_st_)) return Failed(EPERM);
    }
    stage_ = Stage::kCreated;
    return true;
  }

  bool WriteNew(const char* data, size_t size) override {
    return (stage_ == Stage::kCreated || Failed(EINVAL)) && (new_file_.Write(data, size) || Failed());
  }

  bool CommitNew() override {
    if (stage_ != Stage::kCreated) return Failed(EINVAL);
    if (!new_file_.Commit(claimed_, claimed_st_)) return Failed();
    stage_ = Stage::kCommitted;
    return true;
  }

  bool TakeName(const std::string& name, const std::string&) override {
    if (stage_ != Stage::kCommitted) return Failed(EINVAL);
    // The directory is opened for its sync before anything changes.
    if (!OpenSyncDirectory()) return Failed();
    // The name must still hold the claimed file, which nobody wrote to.
    struct stat st;
    if (!FreshStat(dir_, name.c_str(), AT_SYMLINK_NOFOLLOW, &st) || !SameFile(st, claimed_st_)) {
      return Failed(ESTALE);
    }
    if (OriginalWritten()) return Failed(EBUSY);
    // The new file gets the run's own name first, where it has none.
    if (!new_named_) {
      if (linkat(AT_FDCWD, FdPath(new_file_.fd()).c_str(), dir_, new_name_.c_str(),
                 AT_SYMLINK_FOLLOW) != 0) {
        return Failed();
      }
      new_named_ = true;
    }
    // One step: the new file takes the name. The exchange also puts what
    // the name held under the run's own name, where it can be looked at;
    // it must be the original, else it goes back at once.
    if (renameat2(dir_, new_name_.c_str(), dir_, name.c_str(), RENAME_EXCHANGE) == 0) {
      exchanged_ = true;
      if (!FreshStat(dir_, new_name_.c_str(), AT_SYMLINK_NOFOLLOW, &st) ||
          !SameFile(st, claimed_st_)) {
        SwapBack(name);
        return Failed(ESTALE);
      }
    } else if (!Unsupported(errno) || renameat(dir_, new_name_.c_str(), dir_, name.c_str()) != 0) {
      return Failed();
    } else {
      // Without the exchange the new file's only name moved to the name.
      new_named_ = false;
    }
    stage_ = Stage::kNamed;
    // A program that opened the original for writing in that moment waits
    // on its lease (or, without leases, has changed it): the original goes
    // back under the name, and the program writes into it there.
    if (OriginalWritten()) {
      // Made durable too: a power loss must not bring back the new file
      // under the name without what the program then writes.
      PutOriginalBack(name);
      (void)SyncDirectory();
      return Failed(EBUSY);
    }
    // The new entry made durable: the new file's data already is. Where
    // that fails, the original goes back under the name, so that a failure
    // report is true of what the name holds.
    if (!SyncDirectory()) {
      int error = errno;
      PutOriginalBack(name);
      return Failed(error);
    }
    // The exchange left the original under the run's own name, beside the
    // backup: RemoveBackup removes both.
    new_named_ = false;
    return true;
  }

  bool RemoveBackup(const std::string& backup) override {
    // The backup goes first, while the exchange's extra name still names
    // the original, then that name. A program that opened the original by
    // its backup name since the exchange writes into it there: the backup
    // stays with its bytes, and where the program came just as it went, the
    // extra name gives it back.
    bool written = OriginalWritten();
    if (!written && backup_named_) {
      if (!RemoveIfSame(backup, claimed_st_)) return false;
      written = OriginalWritten();
      bool given_back = written && exchanged_ &&
                        linkat(dir_, new_name_.c_str(), dir_, backup.c_str(), 0) == 0;
      if (written && !given_back) return false;
    }
    // The extra name goes, unless it is the only one left of an original
    // that someone writes.
    if (exchanged_ && (backup_named_ || !written)) RemoveIfSame(new_name_, claimed_st_);
    return backup_named_ && !written;
  }

  void Discard(const std::string& name, const std::string& backup) override {
    // The new file's name of its own goes, while it is the new file and
    // nobody else has been in it; unnamed, it goes when the run ends. Its
    // identity is looked at again: the look when it was made may have been
    // what failed.
    struct stat made;
    if (new_named_ && new_file_.NobodyElseIn() && fstat(new_file_.fd(), &made) == 0) {
      RemoveIfSame(new_name_, made);
    }
    // The backup name goes only while the name still holds the original:
    // where another file took the name meanwhile, it is the original's last.
    struct stat st;
    if (backup_named_ && FreshStat(dir_, name.c_str(), AT_SYMLINK_NOFOLLOW, &st) &&
        SameFile(st, claimed_st_)) {
      RemoveIfSame(backup, claimed_st_);
    }
  }

  bool Interrupted() override { return platform::InterruptRequested() || WriterArrived(); }

  int LastError() const override { return error_; }

 private:
  // The stages of a run, in order; each call expects the one before it.
  enum class Stage { kNone, kLocated, kClaimed, kBackupNamed, kCreated, kCommitted, kNamed };

  bool Failed(int error = 0) {
    error_ = error ? error : errno;
    return false;
  }
  std::unique_ptr<InputFile> FailedNull(int error = 0) {
    Failed(error);
    return nullptr;
  }

  // Locks the claimed file against other runs. NFS emulates flock with
  // a lock on the whole file, which needs a descriptor open for writing:
  // where the read-only one is refused for its mode (EBADF), the lock is
  // taken through one opened for writing, where the run may open one. Where
  // no lock can be had at all, runs are not excluded.
  bool Lock(const std::string& name) {
    if (flock(claimed_, LOCK_EX | LOCK_NB) == 0 || LocksUnsupported(errno)) return true;
    if (errno != EBADF) return Failed();
    int rw = OpenAt(dir_, name, O_RDWR | O_NONBLOCK | O_NOFOLLOW);
    struct stat rw_st;
    if (rw < 0 || fstat(rw, &rw_st) != 0 || !SameFile(rw_st, claimed_st_)) {
      if (rw >= 0) close(rw);
      return true;
    }
    if (flock(rw, LOCK_EX | LOCK_NB) == 0) {
      lock_fd_ = rw;
      return true;
    }
    int error = errno;
    close(rw);
    return error != EWOULDBLOCK || Failed(error);
  }

  // Makes the new file unnamed in the run's directory, locked, leased and
  // with the original's owner and group. Where the file system has no
  // unnamed files (or /proc, through which it gets a name, is missing),
  // CreateNew makes it under a name of its own; any other failure (no free
  // inode, a read-only directory) fails the claim, with nothing changed.
  bool MakeUnnamed() {
    if (access("/proc/self/fd", X_OK) != 0) return true;
    int fd = OpenAt(dir_, ".", O_TMPFILE | O_WRONLY | O_APPEND, 0);
    if (fd < 0) return Unsupported(errno) || Failed();
    if (!new_file_.Adopt(fd)) return Failed();
    return KeepOwner(fd, claimed_st_) || Failed(EPERM);
  }

  // True when another program opened the claimed file for writing during
  // the run, breaking its read lease: the run stops.
  bool WriterArrived() { return read_lease_ && !LeaseIntact(claimed_, F_RDLCK); }

  // Whether the original was written, or a program waits to write it,
  // since the copy read it: its lease was broken, or asking for it again is
  // refused (a writer whose open broke it a moment ago); without leases,
  // its size or modification time changed.
  bool OriginalWritten() {
    struct stat now;
    if (!FreshStat(claimed_, "", AT_EMPTY_PATH, &now) || !SameContents(now, source_st_)) return true;
    return read_lease_ && (WriterArrived() || fcntl(claimed_, F_SETLEASE, F_RDLCK) != 0);
  }

  // Undoes the exchange: the original under the name again, the new file
  // under the run's own name.
  bool SwapBack(const std::string& name) {
    return renameat2(dir_, new_name_.c_str(), dir_, name.c_str(), RENAME_EXCHANGE) == 0;
  }

  // After a writer met the replace: the original goes back under the name.
  // The new file keeps the run's own name, where Discard looks at it.
  void PutOriginalBack(const std::string& name) {
    if (exchanged_) {
      if (SwapBack(name)) new_named_ = true;
      return;
    }
    // Without the exchange the new file first gets a name of its own again,
    // then the original's backup name moves back to the name.
    if (linkat(AT_FDCWD, FdPath(new_file_.fd()).c_str(), dir_, new_name_.c_str(),
               AT_SYMLINK_FOLLOW) == 0) {
      new_named_ = true;
    }
    struct stat st;
    if (backup_named_ && FreshStat(dir_, backup_.c_str(), AT_SYMLINK_NOFOLLOW, &st) &&
        SameFile(st, claimed_st_) && renameat(dir_, backup_.c_str(), dir_, name.c_str()) == 0) {
      backup_named_ = false;
    }
  }

  // Removes `name` only while it is the file `expected`.
  bool RemoveIfSame(const std::string& name, const struct stat& expected) {
    struct stat st;
    return fstatat(dir_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && SameFile(st, expected) &&
           (unlinkat(dir_, name.c_str(), 0) == 0 || Failed());
  }

  // The run's directory opened for reading, for its fsync; where its owner
  // may write but not read it (mode 0300), the whole file system is synced
  // instead. An open that failed for another reason (an I/O error) fails.
  bool OpenSyncDirectory() {
    if (sync_dir_ >= 0) return true;
    sync_dir_ = OpenAt(dir_, ".", O_RDONLY | O_DIRECTORY);
    return sync_dir_ >= 0 || errno == EACCES;
  }
  bool SyncDirectory() {
    return sync_dir_ >= 0 ? fsync(sync_dir_) == 0 : syncfs(new_file_.fd()) == 0;
  }

  Stage stage_ = Stage::kNone;
  int error_ = 0;
  int dir_ = -1;       // The run's directory (O_PATH).
  int sync_dir_ = -1;  // The same opened for reading, for its fsync.
  int claimed_ = -1;   // The file this run claimed, locked and leased until the end.
  int lock_fd_ = -1;   // The same opened for writing, where only that locks.
  bool read_lease_ = false;
  struct stat claimed_st_ = {};  // The claimed file, when it was claimed.
  struct stat source_st_ = {};   // The same, when the copy opened it.
  bool backup_named_ = false;    // The backup is a second name of it.
  std::string backup_;
  NewFile new_file_;
  std::string new_name_;     // The run's own name: `<backup>.new`.
  bool new_named_ = false;   // The new file has that name now.
  bool exchanged_ = false;   // TakeName exchanged the two.
};

}  // namespace

bool FileIsPresent(const std::string& name) {
  PosixFileSystem fs;
  std::string target;
  return fs.Locate(name, &target) && fs.IsPresent(target);
}

std::unique_ptr<FileSystem> NewFileSystem() {
  return std::unique_ptr<FileSystem>(new (std::nothrow) PosixFileSystem());
}

}  // namespace platform
}  // namespace crv
