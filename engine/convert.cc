#include "engine/convert.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "engine/change_scan.h"
#include "engine/line_end_filter.h"
#include "engine/page_buffer.h"
#include "engine/text_check.h"

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
  explicit BufferedFileSink(OutputFile* file)
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
  OutputFile* file_;
  PageBuffer buffer_;
  size_t used_ = 0;
};

bool CopyFiltered(FileSystem& fs, InputFile* in, OutputFile* out, bool add_cr) {
  BufferedFileSink sink(out);
  LineEndFilter filter(add_cr, &sink);
  PageBuffer block = NewPageBuffer(kReadBlock);
  for (bool first = true;; first = false) {
    if (fs.InterruptRequested()) return false;
    size_t got = 0;
    switch (in->Read(block.get(), kReadBlock, &got)) {
      case ReadResult::kError:
        return false;
      case ReadResult::kEnd:
        return filter.Finish() && sink.Flush();
      case ReadResult::kData:
        // A file that is not text is not converted (the filter stops at a NUL).
        if (first && StartsWithWideBom(block.get(), got)) return false;
        if (!filter.Feed(block.get(), got)) return false;
        break;
    }
  }
}

enum class Scanned { kChanges, kInForm, kNotText, kFailed };

// Reads the file at `name` up to the first byte the conversion would change:
// a file that needs converting costs a few bytes of reading more (the first
// read is one page, where most files show their first line end), one that
// is already in form is read once, at the speed of reading. A file that
// needs converting but begins as UTF-16 or UTF-32 or holds a NUL before that
// byte is not text, and fails here before anything changes on the disk.
Scanned ScanForChange(FileSystem& fs, const std::string& name, bool add_cr) {
  constexpr size_t kFirstRead = 4096;
  std::unique_ptr<InputFile> in = fs.OpenForReading(name);
  if (!in) return Scanned::kFailed;
  ChangeScan scan(add_cr);
  char first[kFirstRead];
  PageBuffer block;
  bool wide = false;
  for (;;) {
    if (fs.InterruptRequested()) return Scanned::kFailed;
    char* buffer = block ? block.get() : first;
    size_t got = 0;
    switch (in->Read(buffer, block ? kReadBlock : kFirstRead, &got)) {
      case ReadResult::kError:
        return Scanned::kFailed;
      case ReadResult::kEnd:
        return scan.Finish() ? Scanned::kChanges : Scanned::kInForm;
      case ReadResult::kData:
        if (!block) wide = StartsWithWideBom(buffer, got);
        if (scan.Feed(buffer, got)) {
          return wide || scan.FoundNul() ? Scanned::kNotText : Scanned::kChanges;
        }
        if (!block) block = NewPageBuffer(kReadBlock);
        break;
    }
  }
}

Scanned Scan(FileSystem& fs, const std::string& name, bool add_cr) {
  try {
    return ScanForChange(fs, name, add_cr);
  } catch (const std::bad_alloc&) {
    return Scanned::kFailed;
  }
}

}  // namespace

bool ConvertLineEnds(FileSystem& fs, const std::string& source, const std::string& destination,
                     bool add_cr) {
  std::unique_ptr<InputFile> in = fs.OpenForReading(source);
  if (!in) return false;
  std::unique_ptr<OutputFile> out = fs.Create(destination, *in);
  if (!out) return false;
  bool copied;
  try {
    copied = CopyFiltered(fs, in.get(), out.get(), add_cr);
  } catch (const std::bad_alloc&) {
    copied = false;
  }
  // The output is committed (made durable and closed) only after a complete
  // copy; after a failure `out` is closed unchecked when it goes.
  return copied && out->Commit();
}

std::string BackupName(const std::string& target, int n) {
  char suffix[32];
  std::snprintf(suffix, sizeof suffix, ".crv#%.3d", n);
  return target + suffix;
}

bool MakeBackup(FileSystem& fs, const std::string& target, std::string* backup) {
  backup->clear();
  if (!fs.IsPresent(target)) return false;
  for (int n = 1;; ++n) {
    std::string candidate = BackupName(target, n);
    if (!fs.IsPresent(candidate)) {
      if (!fs.MoveAside(target, candidate)) return false;
      *backup = candidate;
      return true;
    }
    // Another run is converting this file: its backup is not a leftover.
    if (fs.ClaimedElsewhere(candidate)) return false;
    // The counter stops at its maximum rather than wrapping around.
    if (n == INT_MAX) return false;
  }
}

bool ReplaceInPlace(FileSystem& fs, const std::string& name, bool add_cr) {
  // A link is converted at its target, beside the target's own backup, so
  // that the link itself stays as it is.
  std::string target;
  if (!fs.Locate(name, &target)) return false;
  // A file already in the requested form is left as it is: no backup, the
  // same file with its dates, links and attributes. Its bytes are the ones
  // the conversion would write, so it needs no claim, and a lock another
  // program holds on it does not matter.
  Scanned scanned = Scan(fs, target, add_cr);
  if (scanned != Scanned::kChanges) return scanned == Scanned::kInForm;
  // Claimed before anything changes on the disk, and held to the end: a run
  // that comes later finds the file or its backup claimed and gives up.
  // Should another run have converted the file since the scan, converting
  // it again writes the same bytes.
  if (!fs.Claim(target)) return false;
  // A program that is writing the file now would lose what it writes after
  // the move to the backup; one that starts during the run stops it.
  if (!fs.ExcludeWriters()) return false;
  std::string backup;
  if (!MakeBackup(fs, target, &backup)) return false;
  // The backup goes only when the name still holds this run's complete
  // output and nobody wrote to the backup meanwhile (a program appending to
  // the file it had open): otherwise the original, with what was added to
  // it, goes back under the name.
  if (ConvertLineEnds(fs, backup, target, add_cr) && fs.Settled(target, backup)) {
    // A backup that cannot be deleted stays on the disk; the conversion
    // itself succeeded.
    fs.Remove(backup);
    return true;
  }
  // The original goes back under the name. Only the output this run created
  // is deleted, and not while another program writes or waits to write it;
  // a file that another process put under the name meanwhile is left alone,
  // the original bytes then staying in the backup.
  fs.PutBack(target, backup);
  return false;
}

}  // namespace crv
