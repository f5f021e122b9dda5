#include "engine/convert.h"

#include <algorithm>
#include <cerrno>
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
  explicit BufferedFileSink(FileSystem* fs) : fs_(fs), buffer_(NewPageBuffer(kWriteBlock)) {}

  bool Write(const char* data, size_t size) override {
    if (size >= kWriteBlock / 8) return Flush() && fs_->WriteNew(data, size);
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
    return n == 0 || fs_->WriteNew(buffer_.get(), n);
  }

 private:
  FileSystem* fs_;
  PageBuffer buffer_;
  size_t used_ = 0;
};

// Records where the run failed (the first failure counts) and returns false.
bool Fail(RunReport* report, Step step, int error = 0) {
  if (report->step == Step::kNone) {
    report->step = step;
    report->error = error;
  }
  return false;
}

// Between blocks: a signal or a writer stops the run as a failure, the
// user's stop as a decline.
bool GoOn(FileSystem& fs, RunControl* control, uint64_t done, uint64_t total, RunReport* report) {
  if (fs.Interrupted()) return Fail(report, Step::kInterrupt);
  if (control && control->StopRequested(done, total)) return Fail(report, Step::kDeclined);
  return true;
}

bool CopyFiltered(FileSystem& fs, InputFile* in, bool add_cr, RunControl* control,
                  RunReport* report) {
  BufferedFileSink sink(&fs);
  LineEndFilter filter(add_cr, &sink);
  PageBuffer block = NewPageBuffer(kReadBlock);
  for (uint64_t done = 0;;) {
    if (!GoOn(fs, control, done, in->Size(), report)) return false;
    size_t got = 0;
    switch (in->Read(block.get(), kReadBlock, &got)) {
      case ReadResult::kError:
        return Fail(report, Step::kRead, fs.LastError());
      case ReadResult::kEnd:
        return (filter.Finish() && sink.Flush()) || Fail(report, Step::kWrite, fs.LastError());
      case ReadResult::kData:
        // A file that is not text is not converted: one that begins as
        // UTF-16 or UTF-32, or holds a NUL (where the filter stops).
        if (done == 0 && StartsWithWideBom(block.get(), got)) return Fail(report, Step::kNotText);
        if (!filter.Feed(block.get(), got)) {
          return filter.FoundNul() ? Fail(report, Step::kNotText)
                                   : Fail(report, Step::kWrite, fs.LastError());
        }
        done += got;
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
Scanned ScanForChange(FileSystem& fs, const std::string& name, bool add_cr, RunControl* control,
                      RunReport* report) {
  constexpr size_t kFirstRead = 4096;
  std::unique_ptr<InputFile> in = fs.OpenForReading(name);
  if (!in) return Fail(report, Step::kScan, fs.LastError()), Scanned::kFailed;
  ChangeScan scan(add_cr);
  char first[kFirstRead];
  PageBuffer block;
  bool wide = false;
  for (uint64_t done = 0;;) {
    if (!GoOn(fs, control, done, in->Size(), report)) return Scanned::kFailed;
    char* buffer = block ? block.get() : first;
    size_t got = 0;
    switch (in->Read(buffer, block ? kReadBlock : kFirstRead, &got)) {
      case ReadResult::kError:
        return Fail(report, Step::kScan, fs.LastError()), Scanned::kFailed;
      case ReadResult::kEnd:
        return scan.Finish() ? Scanned::kChanges : Scanned::kInForm;
      case ReadResult::kData:
        if (!block) wide = StartsWithWideBom(buffer, got);
        if (scan.Feed(buffer, got)) {
          if (!wide && !scan.FoundNul()) return Scanned::kChanges;
          return Fail(report, Step::kNotText), Scanned::kNotText;
        }
        done += got;
        if (!block) block = NewPageBuffer(kReadBlock);
        break;
    }
  }
}

Scanned Scan(FileSystem& fs, const std::string& name, bool add_cr, RunControl* control,
             RunReport* report) {
  try {
    return ScanForChange(fs, name, add_cr, control, report);
  } catch (const std::bad_alloc&) {
    return Fail(report, Step::kScan, ENOMEM), Scanned::kFailed;
  }
}

}  // namespace

const char* StepName(Step step) {
  static const char* const kNames[] = {"none",     "locate", "scan",   "claim",     "backup",
                                       "create",   "read",   "write",  "not text",  "interrupt",
                                       "commit",   "take name", "declined"};
  return kNames[static_cast<int>(step)];
}

bool ConvertLineEnds(FileSystem& fs, const std::string& source, bool add_cr, RunControl* control,
                     RunReport* report) {
  std::unique_ptr<InputFile> in = fs.OpenForReading(source);
  if (!in) return Fail(report, Step::kRead, fs.LastError());
  bool copied;
  try {
    copied = CopyFiltered(fs, in.get(), add_cr, control, report);
  } catch (const std::bad_alloc&) {
    copied = Fail(report, Step::kWrite, ENOMEM);
  }
  // The new file is committed (given its access and made durable) only
  // after a complete copy.
  return copied && (fs.CommitNew() || Fail(report, Step::kCommit, fs.LastError()));
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
    // A number is free when both names the run may use with it are: a
    // leftover of an ended run under either only pushes the number on.
    bool taken = fs.IsPresent(candidate);
    if (!taken && !fs.IsPresent(candidate + ".new")) {
      if (!fs.AddBackupName(target, candidate)) return false;
      *backup = candidate;
      return true;
    }
    // Another run is converting this file: its backup is not a leftover.
    if (taken && fs.ClaimedElsewhere(candidate)) return false;
    // The counter stops at its maximum rather than wrapping around.
    if (n == INT_MAX) return false;
  }
}

namespace {

bool Replace(FileSystem& fs, const std::string& name, bool add_cr, RunControl* control,
             RunReport* report) {
  // A link is converted at its target, beside the target's own backup, so
  // that the link itself stays as it is.
  std::string target;
  if (!fs.Locate(name, &target)) return Fail(report, Step::kLocate, fs.LastError());
  // A file already in the requested form is left as it is: no backup, the
  // same file with its dates, links and attributes. Its bytes are the ones
  // the conversion would write, so it needs no claim, and a lock another
  // program holds on it does not matter.
  Scanned scanned = Scan(fs, target, add_cr, control, report);
  if (scanned != Scanned::kChanges) return scanned == Scanned::kInForm;
  // Claimed before anything changes on the disk, and held to the end: a run
  // that comes later finds the file or its backup claimed and gives up, a
  // program that writes the file now fails the claim, one that starts
  // during the run stops it. Should another run have converted the file
  // since the scan, converting it again writes the same bytes.
  if (!fs.Claim(target)) return Fail(report, Step::kClaim, fs.LastError());
  std::string backup;
  if (!MakeBackup(fs, target, &backup)) return Fail(report, Step::kBackup, fs.LastError());
  // From here on the name still holds the original, and the backup name is
  // a second name of it, until the complete new file takes the name.
  if (fs.CreateNew(target, backup) || Fail(report, Step::kCreate, fs.LastError())) {
    if (ConvertLineEnds(fs, target, add_cr, control, report) &&
        (fs.TakeName(target, backup) || Fail(report, Step::kTakeName, fs.LastError()))) {
      // A backup name that cannot be removed stays on the disk; the
      // conversion itself succeeded.
      fs.RemoveBackup(backup);
      return true;
    }
  }
  // The name never changed: the new file and the backup name go (a new
  // file that another program writes or waits to write stays).
  fs.Discard(target, backup);
  return false;
}

}  // namespace

bool ReplaceInPlace(FileSystem& fs, const std::string& name, bool add_cr, RunControl* control,
                    RunReport* report) {
  RunReport local;
  return Replace(fs, name, add_cr, control, report ? report : &local);
}

}  // namespace crv
