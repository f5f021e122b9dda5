#include "platform/posix/open_files_posix.h"

#include <fcntl.h>
#include <sys/file.h>

#include <memory>
#include <new>

#include "platform/posix/attributes_posix.h"
#include "platform/posix/lease_posix.h"
#include "platform/posix/posix_io.h"

namespace crv {
namespace platform {

namespace {

constexpr uint64_t kWritebackStep = 4 << 20;

// Where flock is not available (some network and user-space file systems),
// runs are not excluded there; everything else works as before.
bool LocksUnsupported(int error) {
  return error == ENOLCK || error == EOPNOTSUPP || error == ENOSYS;
}

}  // namespace

bool NewFile::Adopt(int fd) {
  fd_ = fd;
  if (fstat(fd, &st_) != 0) return false;
  // Its descriptor is open for writing, so a refusal for the descriptor's
  // mode means the file system has no such locks either.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0 && !LocksUnsupported(errno) && errno != EBADF) {
    return false;
  }
  // The only descriptor of the file: the write lease is granted where the
  // file system has leases. Once the file has the name, an opener waits
  // for the run to end, and the run sees that someone does.
  leased_ = TakeLease(fd, F_WRLCK) == Lease::kHeld;
  return true;
}

bool NewFile::Write(const char* data, size_t size) {
  // Every byte stored is counted, also those of a write that stored only
  // part of its bytes before the disk filled up: the file is removed only
  // while it holds exactly what the run wrote.
  while (size > 0) {
    ssize_t n = write(fd_, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    written_ += static_cast<uint64_t>(n);
    data += n;
    size -= static_cast<size_t>(n);
  }
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

bool NewFile::Commit(int like, const struct stat& original) {
  // The access comes once the file is complete, and the extended
  // attributes and the set-ID bits after the last write, which clears
  // security.capability and, by a process other than root, the set-ID
  // bits. An attribute or ACL lost to an I/O error or a full disk fails the
  // conversion, and the original keeps its name with them.
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[2 * kAttributeMax]);
  if (!buffer) {
    errno = ENOMEM;
    return false;
  }
  int mode = 0;
  struct stat now;
  if (!GiveAccess(like, fd_, original, &mode, buffer.get()) ||
      !CopyAttributes(like, fd_, buffer.get(), buffer.get() + kAttributeMax) ||
      fchmod(fd_, static_cast<mode_t>(mode)) != 0 || fsync(fd_) != 0 ||
      !FreshStat(fd_, "", AT_EMPTY_PATH, &now)) {
    return false;
  }
  // Nobody could have written it: it has no name an opener uses, or its
  // lease kept openers waiting.
  if (static_cast<uint64_t>(now.st_size) != written_) {
    errno = EBUSY;
    return false;
  }
  return true;
}

bool NewFile::NobodyElseIn() const {
  struct stat now;
  return fd_ >= 0 && FreshStat(fd_, "", AT_EMPTY_PATH, &now) &&
         static_cast<uint64_t>(now.st_size) == written_ && (!leased_ || OnlyReadersWait(fd_));
}

}  // namespace platform
}  // namespace crv
