// The files a run opens (engine/file_system.h), POSIX: the source it reads
// and the new file it writes, whose commit carries the original's access.
#ifndef CRV_PLATFORM_POSIX_OPEN_FILES_POSIX_H_
#define CRV_PLATFORM_POSIX_OPEN_FILES_POSIX_H_

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>

#include "engine/file_system.h"

namespace crv {
namespace platform {

// What a run knows of the file it created.
struct Created {
  bool known = false;
  struct stat st = {};
  // The file kept open for the run's whole length, holding its write lease
  // (when `leased`) after the writing descriptor was closed.
  int fd = -1;
  bool leased = false;
  struct stat original = {};  // The file it replaces, as the run claimed it.
  int mode = 0;               // Its final mode, set-ID bits included.
  bool access_given = false;  // ACL and mode (but the set-ID bits) in place.
  uint64_t written = 0;       // Bytes the run wrote into it.
  bool committed = false;
  struct stat final_st = {};  // As Commit left it.
};

class PosixInput : public InputFile {
 public:
  // `read` (when given) counts the bytes read.
  explicit PosixInput(int fd, uint64_t* read = nullptr) : fd_(fd), read_(read) {}
  ~PosixInput() override { close(fd_); }

  ReadResult Read(char* buffer, size_t size, size_t* got) override {
    for (;;) {
      ssize_t n = read(fd_, buffer, size);
      if (n > 0) {
        *got = static_cast<size_t>(n);
        if (read_) *read_ += *got;
        return ReadResult::kData;
      }
      if (n == 0) return ReadResult::kEnd;
      if (errno != EINTR) return ReadResult::kError;
    }
  }
  int fd() const { return fd_; }

 private:
  int fd_;
  uint64_t* read_;
};

class PosixOutput : public OutputFile {
 public:
  // `like` is the source, open until Commit; `dir` the directory opened for
  // reading, or -1 where it cannot be read. Both stay their owners'.
  PosixOutput(int fd, int like, int dir, Created* created)
      : fd_(fd), like_(like), dir_(dir), created_(created) {}
  ~PosixOutput() override {
    if (fd_ >= 0) close(fd_);
  }

  bool Write(const char* data, size_t size) override;
  bool Commit() override;

 private:
  int fd_;
  int like_;
  int dir_;
  Created* created_;
  uint64_t writeback_from_ = 0;  // Where the writeback not yet started begins.
};

}  // namespace platform
}  // namespace crv

#endif  // CRV_PLATFORM_POSIX_OPEN_FILES_POSIX_H_
