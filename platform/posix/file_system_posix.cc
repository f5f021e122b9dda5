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
// file, so it travels with the move to the backup and is held until the run
// ends (a killed run's lock goes with the process). A run also gives up when
// one of the backup candidates it looks at is locked. Leftover backups of
// ended runs hold no lock and only push the counter on.
//
// The name never goes missing: the new file is made unnamed (O_TMPFILE),
// locked, leased and given the original's owner, group and access, then
// linked under the backup's name and exchanged with the original in one
// step (renameat2 RENAME_EXCHANGE), so an opener by the name finds the
// original or the new file, whose lease makes it wait until the run ends.
// The restore exchanges them back. Where the file system has no unnamed
// files or no exchange (NFS and others), the original is renamed to the
// backup and the new file created under the name, two steps.
//
// Other programs are kept out by leases (fcntl F_SETLEASE), which the kernel
// grants only while nobody else has the file open for writing: a read lease
// on the claimed file, refused while another program writes it and broken
// when one opens it for writing during the run (the run then restores the
// original and ends, releasing the lease so that the program goes on with
// the original under its name), and a write lease on the new file, which
// makes anyone who opens it by its name wait until the run has written and
// closed it. A lease break is seen with F_GETLEASE, so SIGIO, the signal the
// kernel sends for it, is ignored. Where no lease can be had (network file
// systems), the checks before the backup goes (the name holds the new file,
// the backup did not change) remain.
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
bool Unsupported(int error) { return error == EINVAL || error == ENOSYS || error == EOPNOTSUPP; }

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
    struct stat original;
    if (claimed_ < 0 || fstat(claimed_, &original) != 0) return false;
    // A run that had to open the file for writing to lock it (NFS) cannot
    // have a read lease, which its own descriptor would refuse.
    if (lock_fd_ < 0) {
      Lease lease = TakeLease(claimed_, F_RDLCK);
      if (lease == Lease::kRefused) return false;
      read_lease_ = lease == Lease::kHeld;
    }
    // The run goes on to replace the file (one in form never gets here):
    // its new file is prepared now, and a file whose owner and group the
    // new one could not have is refused before anything changes.
    created_.original = original;
    return PrepareNewFile();
  }

  bool ClaimedElsewhere(const std::string& name) override {
    int fd = OpenForReadingAt(dir_, name);
    // A file another run holds a write lease on is that run's new file.
    if (fd < 0) return errno == EWOULDBLOCK;
    bool held = flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    close(fd);
    return held;
  }

  bool MoveAside(const std::string& name, const std::string& backup) override {
    if (unnamed_ < 0) return RenameNoReplace(name, backup);
    // The new file, ready with its lock, lease and access, takes the
    // backup's name and then trades places with the original.
    struct stat made;
    if (fstat(unnamed_, &made) != 0 || !LinkUnnamed(unnamed_, dir_, backup)) return false;
    created_.st = made;
    created_.known = true;
    if (renameat2(dir_, name.c_str(), dir_, backup.c_str(), RENAME_EXCHANGE) == 0) {
      exchanged_ = true;
      return true;
    }
    int error = errno;
    RemoveIfCreated(backup);
    created_.known = false;
    if (!Unsupported(error)) return false;
    // No exchange here: the two steps, and the new file made under the
    // name (a file that had a name cannot be given another one).
    for (int* fd : {&unnamed_, &created_.fd}) {
      close(*fd);
      *fd = -1;
    }
    created_.leased = created_.access_given = false;
    EnterExclusiveSteps();
    return RenameNoReplace(name, backup);
  }

  bool PutBack(const std::string& name, const std::string& backup) override {
    if (!exchanged_) {
      RemoveCreated(name);
      return RenameNoReplace(backup, name);
    }
    // Traded back only while the name holds the run's output: a file that
    // another process put there stays, and the original with it in the
    // backup. What MoveAside found under the name goes back there, even
    // when it was no longer the file this run claimed.
    struct stat st;
    if (fstatat(dir_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !SameFile(st, created_.st) ||
        renameat2(dir_, backup.c_str(), dir_, name.c_str(), RENAME_EXCHANGE) != 0) {
      return false;
    }
    // The output now has the backup's name. A program that found it under
    // the file's name and writes, or waits to write, into it keeps it there.
    if (NobodyElseIn()) RemoveIfCreated(backup);
    return true;
  }

  bool Remove(const std::string& name) override { return unlinkat(dir_, name.c_str(), 0) == 0; }

  std::unique_ptr<InputFile> OpenForReading(const std::string& name) override {
    // The source is the backup, which this run made by renaming the file it
    // claimed: anything else at that name (a link above all) was planted.
    int fd = OpenForReadingAt(dir_, name);
    if (fd < 0) return nullptr;
    struct stat st, claimed;
    if (!FreshStat(fd, "", AT_EMPTY_PATH, &st) || !S_ISREG(st.st_mode) ||
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
    if (!OpenReadableDirectory()) return nullptr;
    int fd = -1;
    if (exchanged_) {
      // The new file is under the name since MoveAside, unless something
      // took its place meanwhile.
      struct stat st;
      if (unnamed_ < 0 || fstatat(dir_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
          !SameFile(st, created_.st)) {
        return nullptr;
      }
      fd = unnamed_;
      unnamed_ = -1;
    } else {
      if (created_.known || (fd = CreateNamed(name)) < 0) return nullptr;
      // Without its identity the restore cannot tell this file from one put
      // in its place, so it leaves the name alone.
      if (fstat(fd, &created_.st) != 0) {
        close(fd);
        return nullptr;
      }
      created_.known = true;
      created_.fd = fcntl(fd, F_DUPFD_CLOEXEC, 0);
      // Made with its name: owner and group are judged now.
      if (!KeepOriginalAccess(like_fd, fd)) {
        close(fd);
        return nullptr;
      }
    }
    std::unique_ptr<OutputFile> out(
        new (std::nothrow) PosixOutput(fd, like_fd, readable_dir_, &created_));
    if (!out) close(fd);
    return out;
  }

  bool Settled(const std::string& name, const std::string& backup) override {
    struct stat st;
    return created_.known && source_known_ &&
           FreshStat(dir_, name.c_str(), AT_SYMLINK_NOFOLLOW, &st) && SameFile(st, created_.st) &&
           FreshStat(dir_, backup.c_str(), AT_SYMLINK_NOFOLLOW, &st) && Unchanged(st, source_) &&
           !WriterArrived();
  }

  // A signal stops the run before the observer is called: after a hangup
  // its window may have no display left to talk to.
  bool InterruptRequested() override {
    return platform::InterruptRequested() || WriterArrived() ||
           (observer_ && observer_->Cancelled(read_, size_));
  }

 private:
  // Renames `from` to `to`; fails, never replaces, when `to` exists.
  bool RenameNoReplace(const std::string& from, const std::string& to) {
    if (renameat2(dir_, from.c_str(), dir_, to.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (!Unsupported(errno)) return false;
    // The file system does not know the flag: link() fails when `to`
    // exists, so it never replaces either.
    if (linkat(dir_, from.c_str(), dir_, to.c_str(), 0) != 0) return false;
    if (unlinkat(dir_, from.c_str(), 0) != 0) {
      unlinkat(dir_, to.c_str(), 0);
      return false;
    }
    return true;
  }

  // Removes `name` only while it holds the file that Create made, nobody
  // else has been in it and nobody waits to write it.
  bool RemoveCreated(const std::string& name) {
    return created_.known && NobodyElseIn() && RemoveIfCreated(name);
  }

  // Gives the new file `fd` the original's owner and group, false when it
  // could not have them, and the rest of the access of `like_fd` at once
  // where its lease makes openers wait for the whole file; elsewhere Commit
  // gives it once the file is whole.
  bool KeepOriginalAccess(int like_fd, int fd) {
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[kAttributeMax]);
    return buffer && KeepOwner(fd, created_.original) &&
           (!created_.leased || (created_.access_given = GiveAccess(like_fd, fd, created_.original,
                                                                    &created_.mode, buffer.get())));
  }

  // Removes `name` only while it holds the file that Create made.
  bool RemoveIfCreated(const std::string& name) {
    struct stat st;
    return fstatat(dir_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
           SameFile(st, created_.st) && unlinkat(dir_, name.c_str(), 0) == 0;
  }

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

  // Makes the new file unnamed in the run's directory, locked, with its
  // write lease and the original's owner, group and access, before anything
  // changes; false when it could not have them. Where the file system
  // cannot make unnamed files (or /proc, through which it gets its name, is
  // missing), Create makes it under its name instead; where the directory
  // may not be written, Create fails as it would have.
  bool PrepareNewFile() {
    bool unnamed_files = access("/proc/self/fd", X_OK) == 0;
    // No access at all until it has the original's.
    int fd = unnamed_files ? OpenAt(dir_, ".", O_TMPFILE | O_WRONLY | O_APPEND, 0) : -1;
    if (fd < 0) {
      if (!unnamed_files || errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL) {
        EnterExclusiveSteps();
      }
      return true;
    }
    if (!LockNew(fd) || !KeepOriginalAccess(claimed_, fd)) {
      close(fd);
      return false;
    }
    created_.fd = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    unnamed_ = fd;
    return true;
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
  // a file to write through. Owner-only until Create gives it the
  // original's access; in a directory with a default ACL this mode also
  // masks every inherited entry. Its writes append, as the unnamed one's do.
  int CreateNamed(const std::string& name) {
    int fd = OpenAt(dir_, name, O_WRONLY | O_CREAT | O_EXCL | O_APPEND, 0600);
    bool locked = fd >= 0 && LockNew(fd);
    if (readable_dir_ >= 0) flock(readable_dir_, LOCK_UN);
    if (fd >= 0 && !locked) {
      // The name this run just made goes again, while it holds that file.
      struct stat made, st;
      if (fstat(fd, &made) == 0 && fstatat(dir_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
          SameFile(st, made)) {
        unlinkat(dir_, name.c_str(), 0);
      }
      close(fd);
      return -1;
    }
    return fd;
  }

  // True while nobody but this run has been in the new file: it holds what
  // the run wrote (as Commit left it, once committed), and nobody waits to
  // write it. Readers may wait (another run's look is one): the file they
  // read is deleted under them, which costs nobody a byte.
  bool NobodyElseIn() {
    struct stat st;
    if (created_.fd < 0 || !FreshStat(created_.fd, "", AT_EMPTY_PATH, &st)) return false;
    if (created_.leased && !OnlyReadersWait(created_.fd)) return false;
    if (created_.committed) return SameContents(st, created_.final_st);
    return static_cast<uint64_t>(st.st_size) == created_.written;
  }

  // True when another program opened the claimed file for writing during
  // the run, breaking its read lease: the run stops and restores.
  bool WriterArrived() { return read_lease_ && !LeaseIntact(claimed_, F_RDLCK); }

  // The run's directory opened for reading, for its fsync and its lock; -1
  // where its owner may write but not read it (mode 0300): there the new
  // entry is made durable by syncfs.
  // An open that failed for another reason (an I/O error) is not tried
  // again: the run fails rather than trust the directory's sync.
  bool OpenReadableDirectory() {
    if (readable_dir_ >= 0 || no_readable_dir_) return true;
    if (readable_dir_failed_) return false;
    readable_dir_ = OpenAt(dir_, ".", O_RDONLY | O_DIRECTORY);
    no_readable_dir_ = readable_dir_ < 0 && errno == EACCES;
    readable_dir_failed_ = readable_dir_ < 0 && !no_readable_dir_;
    return !readable_dir_failed_;
  }

  int dir_ = -1;  // The run's directory (O_PATH).
  int readable_dir_ = -1;
  bool no_readable_dir_ = false;
  bool readable_dir_failed_ = false;
  int claimed_ = -1;  // The file this run claimed, locked until the end.
  int lock_fd_ = -1;  // The same opened for writing, where only that locks.
  bool read_lease_ = false;
  int unnamed_ = -1;  // The new file, until Create hands it out.
  bool exchanged_ = false;  // MoveAside traded it for the original.
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
