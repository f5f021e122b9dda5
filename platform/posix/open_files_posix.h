// The files a run opens (engine/file_system.h), POSIX: the source it reads,
// and the new file it writes, which carries the original's access once it
// is complete.
#ifndef CRV_PLATFORM_POSIX_OPEN_FILES_POSIX_H_
#define CRV_PLATFORM_POSIX_OPEN_FILES_POSIX_H_

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>

#include "engine/file_system.h"

namespace crv {
namespace platform {

class PosixInput : public InputFile {
 public:
  PosixInput(int fd, uint64_t size) : fd_(fd), size_(size) {}
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
  uint64_t Size() const override { return size_; }

 private:
  int fd_;
  uint64_t size_;
};

// The new file of a run, and all the run knows of it: it is the one owner
// of the descriptor, which stays open (with the file's lock and write lease)
// until the run ends, after the file took the name too.
class NewFile {
 public:
  NewFile() = default;
  NewFile(const NewFile&) = delete;
  NewFile& operator=(const NewFile&) = delete;
  ~NewFile() {
    if (fd_ >= 0) close(fd_);
  }

  // Takes over `fd`, a file just made for writing and appending, of which
  // it is the only descriptor: locks it against other runs and leases it
  // where the file system can. False (errno set) when another run locked it
  // first or its status cannot be had.
  bool Adopt(int fd);
  bool open() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  const struct stat& st() const { return st_; }

  // Appends all of [data, data + size), counting every byte stored.
  bool Write(const char* data, size_t size);
  // Gives the file the access and attributes of `like` (whose status is
  // `original`), then makes its contents durable: true only when it holds
  // exactly what the run wrote, on stable storage.
  bool Commit(int like, const struct stat& original);
  // True while nobody but this run has been in the file: it holds what the
  // run wrote and nobody waits to write it. Readers may wait (another run's
  // look is one): the file they read is deleted under them, which costs
  // nobody a byte.
  bool NobodyElseIn() const;

 private:
  int fd_ = -1;
  struct stat st_ = {};
  bool leased_ = false;
  uint64_t written_ = 0;
  uint64_t writeback_from_ = 0;  // Where the writeback not yet started begins.
};

}  // namespace platform
}  // namespace crv

#endif  // CRV_PLATFORM_POSIX_OPEN_FILES_POSIX_H_
