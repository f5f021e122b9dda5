#include "platform/posix/open_files_posix.h"

#include <fcntl.h>

#include <memory>
#include <new>

#include "platform/posix/attributes_posix.h"
#include "platform/posix/posix_io.h"

namespace crv {
namespace platform {

namespace {

constexpr uint64_t kWritebackStep = 4 << 20;

}  // namespace

bool PosixOutput::Write(const char* data, size_t size) {
  // Every byte stored is counted, also those of a write that stored only
  // part of its bytes before the disk filled up: the restore removes the
  // file only while it holds exactly what the run wrote.
  while (size > 0) {
    ssize_t n = write(fd_, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    created_->written += static_cast<uint64_t>(n);
    data += n;
    size -= static_cast<size_t>(n);
  }
  uint64_t written = created_->written;
  // Every few MiB, the disk starts writing what is finished, so that it
  // works while the copy goes on and the fsync in Commit() finds little
  // left. The call only starts writeback: a failure of it is ignored,
  // because the fsync still makes every byte durable and reports any write
  // error since the file was opened.
  if (written - writeback_from_ >= kWritebackStep) {
    (void)sync_file_range(fd_, static_cast<off_t>(writeback_from_),
                          static_cast<off_t>(written - writeback_from_), SYNC_FILE_RANGE_WRITE);
    writeback_from_ = written;
  }
  return true;
}

bool PosixOutput::Commit() {
  int fd = fd_;
  fd_ = -1;
  // The extended attributes and the set-ID bits come after the last write,
  // which clears security.capability and, by a process other than root,
  // the set-ID bits; the ACL and the rest of the mode are in place already
  // where the new file could be given them before anyone could open it.
  // An attribute or ACL lost to an I/O error or a full disk fails the
  // conversion, and the original comes back with them.
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[2 * kAttributeMax]);
  bool ok = buffer && (created_->access_given ||
                       GiveAccess(like_, fd, created_->original, &created_->mode, buffer.get())) &&
            CopyAttributes(like_, fd, buffer.get(), buffer.get() + kAttributeMax);
  ok = ok && fchmod(fd, static_cast<mode_t>(created_->mode)) == 0;
  ok = ok && fsync(fd) == 0;
  // The file holds exactly what the run wrote: a program whose open
  // waited longer than the kernel lets a lease be held got in and added
  // to it (its writes could not land on the run's, which append). The
  // restore then keeps that file.
  ok = ok && FreshStat(fd, "", AT_EMPTY_PATH, &created_->final_st) &&
       static_cast<uint64_t>(created_->final_st.st_size) == created_->written;
  // A directory its owner may write but not read (mode 0300) cannot be
  // opened for its fsync; the new entry is made durable with the whole
  // file system instead.
  if (dir_ < 0) ok = ok && syncfs(fd) == 0;
  ok = CloseChecked(fd) && ok;
  created_->committed = ok;
  return ok && (dir_ < 0 || fsync(dir_) == 0);
}

}  // namespace platform
}  // namespace crv
