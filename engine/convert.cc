#include "engine/convert.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "engine/line_end_filter.h"
#include "engine/page_buffer.h"
#include "platform/platform.h"

namespace crv {

namespace {

// Large blocks keep the system-call count low; the read block, the filter's
// staging area and this sink's buffer are all the memory the copy uses,
// whatever the file's size.
constexpr size_t kReadBlock = 128 * 1024;
constexpr size_t kWriteBlock = 256 * 1024;
// Blocks start on a page boundary and are read and written at file offsets
// that are multiples of their size (see page_buffer.h).

// Writes the filter's output to the file: large pieces go straight through
// (the filter stages them page-aligned with the file), small ones (the end of
// the file, long runs of CRs) are collected into whole blocks first.
class BufferedFileSink : public ByteSink {
 public:
  explicit BufferedFileSink(platform::OutputFile* file)
      : file_(file), buffer_(NewPageBuffer(kWriteBlock)) {}

  bool Write(const char* data, size_t size) override {
    if (size >= kWriteBlock / 8) return Flush() && file_->Write(data, size);
    while (size > 0) {
      size_t n = std::min(size, kWriteBlock - used_);
      std::memcpy(buffer_.get() + used_, data, n);
      used_ += n;
      data += n;
      size -= n;
      if (used_ == kWriteBlock && !Flush()) return false;
    }
    return true;
  }

  bool Flush() {
    size_t n = used_;
    used_ = 0;
    return n == 0 || file_->Write(buffer_.get(), n);
  }

 private:
  platform::OutputFile* file_;
  PageBuffer buffer_;
  size_t used_ = 0;
};

bool CopyFiltered(platform::InputFile* in, platform::OutputFile* out, bool add_cr) {
  BufferedFileSink sink(out);
  LineEndFilter filter(add_cr, &sink);
  PageBuffer block = NewPageBuffer(kReadBlock);
  for (;;) {
    if (platform::InterruptRequested()) return false;
    size_t got = 0;
    switch (in->Read(block.get(), kReadBlock, &got)) {
      case platform::ReadResult::kError:
        return false;
      case platform::ReadResult::kEnd:
        return filter.Finish() && sink.Flush();
      case platform::ReadResult::kData:
        if (!filter.Feed(block.get(), got)) return false;
        break;
    }
  }
}

}  // namespace

bool ConvertLineEnds(const std::string& source, const std::string& destination, bool add_cr,
                     platform::FileIdentity* created) {
  platform::InputFile in;
  if (!in.Open(source)) return false;
  platform::OutputFile out;
  bool opened = out.Create(destination, in);
  if (created) *created = out.Identity();
  if (!opened) return false;
  bool copied;
  try {
    copied = CopyFiltered(&in, &out, add_cr);
  } catch (const std::bad_alloc&) {
    copied = false;
  }
  // The output is committed (made durable and closed) only after a complete
  // copy; after a failure `out` is closed unchecked by its destructor.
  return copied && out.Commit();
}

std::string BackupName(const std::string& target, int n) {
  char suffix[32];
  std::snprintf(suffix, sizeof suffix, ".crv#%.3d", n);
  return target + suffix;
}

bool MakeBackup(const std::string& target, std::string* backup) {
  backup->clear();
  if (!platform::FileIsPresent(target)) return false;
  for (int n = 1;; ++n) {
    std::string candidate = BackupName(target, n);
    if (!platform::FileIsPresent(candidate)) {
      if (!platform::RenameNoReplace(target, candidate)) return false;
      *backup = candidate;
      return true;
    }
    // The counter stops at its maximum rather than wrapping around.
    if (n == INT_MAX) return false;
  }
}

bool ReplaceInPlace(const std::string& name, bool add_cr) {
  platform::InterruptScope interrupts;
  // A link is converted at its target, beside the target's own backup, so
  // that the link itself stays as it is.
  std::string target;
  if (!platform::FinalTarget(name, &target)) return false;
  std::string backup;
  if (!MakeBackup(target, &backup)) return false;
  platform::FileIdentity created;
  if (ConvertLineEnds(backup, target, add_cr, &created)) {
    // A backup that cannot be deleted stays on the disk; the conversion
    // itself succeeded.
    platform::RemoveFile(backup);
    return true;
  }
  // Only the partial output this run created is deleted: a file that another
  // process put under the name meanwhile is left alone.
  platform::RemoveCreatedFile(target, created);
  // The rename never replaces: when the name is still taken, the original
  // bytes stay in the backup.
  platform::RenameNoReplace(backup, target);
  return false;
}

}  // namespace crv
