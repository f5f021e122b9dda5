// An in-memory FileSystem for the tests: files are byte strings under names
// in one directory, and any call can be made to fail at its Nth time. Two
// rule sets, those of the two implementations: POSIX (runs claim their
// files and keep writers out while none has the file open; the new file,
// leased, trades places with the original in one step and back; a run is
// settled only while the name holds its new file, nothing wrote to the
// backup and no writer opened it) and Win32 (no claims, plain renames,
// every run settled: the opens without sharing keep everyone else out).
// Another process can act between any two calls (AppendByName,
// WriteThrough); what waits for the run's leases lands at EndRun, in the
// file it opened, named or not.
#ifndef CRV_ENGINE_MEMORY_FILE_SYSTEM_H_
#define CRV_ENGINE_MEMORY_FILE_SYSTEM_H_

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/file_system.h"

namespace crv {

class MemoryFileSystem : public FileSystem {
 public:
  enum class Rules { kPosix, kWin32 };
  enum Op {
    kLocate, kIsPresent, kClaim, kExcludeWriters, kClaimedElsewhere, kMoveAside, kRemove, kPutBack,
    kOpenForReading, kRead, kCreate, kWrite, kCommit, kSettled, kInterruptRequested, kOpCount
  };
  enum class Fault {
    kNone,
    // The call fails: false, null or kError; ClaimedElsewhere answers that
    // another run holds the name, InterruptRequested that the user asked to
    // stop, ExcludeWriters that another program is writing the file.
    kError,
    kShort,    // Write: half the bytes are stored, then it fails.
    kUnknown,  // Create: the file is made, but its identity is lost.
  };
  // A file; its address is its identity.
  struct File {
    std::string bytes;
    int changes = 0;       // Writes by other processes, counted.
    bool claimed = false;  // By another run that is still going on.
    int writers = 0;       // Other programs that have it open for writing.
    std::string waiting;   // Written once the run's lease on it goes.
  };

  explicit MemoryFileSystem(Rules rules) : rules_(rules) {}

  // Asked at the start of every call, with its operation and its number
  // among that operation's calls (from 1): what it returns befalls the call.
  // It may also change the files, as another process would meanwhile.
  std::function<Fault(Op, int)> at_call;
  int calls[kOpCount] = {};
  std::map<std::string, std::shared_ptr<File>> files;

  void Put(const std::string& name, const std::string& bytes) {
    files[name] = std::make_shared<File>();
    files[name]->bytes = bytes;
    made_.push_back(files[name]);
  }
  // Another process (POSIX rules) opens `name` for appending, creating a
  // missing file as >> does, keeps it open and writes `bytes`. A file this
  // run holds a lease on makes its open wait: a writer breaks the read
  // lease on the original (the run stops) and waits for the new file's
  // write lease; what it writes lands at EndRun.
  std::shared_ptr<File> AppendByName(const std::string& name, const std::string& bytes) {
    if (!At(name)) Put(name, "");
    std::shared_ptr<File> file = At(name);
    if (!ended_ && ((file == claimed_ && leased_) || file == prepared_)) waits_for_ = file;
    ++file->writers;
    WriteThrough(file, bytes);
    return file;
  }
  // The same process writes again through the descriptor it opened.
  void WriteThrough(const std::shared_ptr<File>& file, const std::string& bytes) {
    (file == waits_for_ ? file->waiting : file->bytes) += bytes;
    if (file != waits_for_) ++file->changes;
  }
  // The run's leases go: the opens that waited for them go on.
  void EndRun() {
    ended_ = true;
    for (const auto& file : made_) {
      file->bytes += file->waiting;
      file->waiting.clear();
    }
  }
  // The file this run writes, from ExcludeWriters on (null before).
  std::shared_ptr<File> NewFile() const { return prepared_; }
  std::map<std::string, std::string> Contents() const {
    std::map<std::string, std::string> contents;
    for (const auto& entry : files) contents[entry.first] = entry.second->bytes;
    return contents;
  }
  // Counts a call and tells what befalls it.
  bool Fails(Op op, Fault* fault = nullptr) {
    int n = ++calls[op];
    Fault f = at_call ? at_call(op, n) : Fault::kNone;
    if (fault) *fault = f;
    return f != Fault::kNone;
  }

  bool Locate(const std::string& name, std::string* target) override {
    *target = name;
    return !Fails(kLocate);
  }
  bool IsPresent(const std::string& name) override { return !Fails(kIsPresent) && At(name); }
  bool Claim(const std::string& name) override {
    bool failed = Fails(kClaim);
    if (rules_ == Rules::kWin32) return true;
    claimed_ = failed ? nullptr : At(name);
    return claimed_ && !claimed_->claimed;
  }
  bool ExcludeWriters() override {
    bool failed = Fails(kExcludeWriters);
    prepared_ = std::make_shared<File>();
    made_.push_back(prepared_);
    if (rules_ == Rules::kWin32) return true;
    leased_ = !failed && claimed_ && claimed_->writers == 0;
    return leased_;
  }
  bool ClaimedElsewhere(const std::string& name) override {
    bool failed = Fails(kClaimedElsewhere);
    return rules_ == Rules::kPosix && (failed || (At(name) && At(name)->claimed));
  }
  bool MoveAside(const std::string& name, const std::string& backup) override {
    if (Fails(kMoveAside) || !At(name) || At(backup)) return false;
    files[backup] = files[name];
    files.erase(name);
    if (rules_ == Rules::kPosix) {
      // The new file takes the name in the same step.
      files[name] = created_ = prepared_;
    }
    return true;
  }
  bool Remove(const std::string& name) override { return !Fails(kRemove) && files.erase(name); }
  bool PutBack(const std::string& name, const std::string& backup) override {
    if (Fails(kPutBack)) return false;
    if (rules_ == Rules::kWin32) {
      if (created_ && At(name) == created_) files.erase(name);
      if (!At(backup) || At(name)) return false;
      files[name] = files[backup];
      files.erase(backup);
      return true;
    }
    // Traded back in one step; the output, now under the backup's name, is
    // deleted unless a writer waits for it.
    if (!created_ || At(name) != created_ || !At(backup)) return false;
    std::swap(files[name], files[backup]);
    if (created_->waiting.empty()) files.erase(backup);
    return true;
  }
  std::unique_ptr<InputFile> OpenForReading(const std::string& name) override {
    // Under the POSIX rules the source must be the file this run claimed.
    if (Fails(kOpenForReading) || !At(name) ||
        (rules_ == Rules::kPosix && claimed_ && At(name) != claimed_)) {
      return nullptr;
    }
    source_ = At(name);
    source_changes_ = source_->changes;
    return std::unique_ptr<InputFile>(new Input(this, source_));
  }
  std::unique_ptr<OutputFile> Create(const std::string& name, const InputFile&) override {
    Fault fault;
    bool failed = Fails(kCreate, &fault);
    if (rules_ == Rules::kPosix) {
      // Put there by MoveAside.
      if (failed || !created_ || At(name) != created_) return nullptr;
      return std::unique_ptr<OutputFile>(new Output(this, created_));
    }
    if ((failed && fault == Fault::kError) || At(name)) return nullptr;
    files[name] = prepared_;
    if (fault == Fault::kUnknown) return nullptr;
    created_ = prepared_;
    return std::unique_ptr<OutputFile>(new Output(this, created_));
  }
  bool Settled(const std::string& name, const std::string& backup) override {
    bool failed = Fails(kSettled);
    return rules_ == Rules::kWin32 ||
           (!failed && created_ && At(name) == created_ && source_ && At(backup) == source_ &&
            source_->changes == source_changes_ && !WriterArrived());
  }
  bool InterruptRequested() override { return Fails(kInterruptRequested) || WriterArrived(); }

 private:
  // A handle: it keeps reading the file it opened, whatever its name becomes.
  class Input : public InputFile {
   public:
    Input(MemoryFileSystem* fs, std::shared_ptr<File> file) : fs_(fs), file_(file) {}
    ReadResult Read(char* buffer, size_t size, size_t* got) override {
      if (fs_->Fails(kRead)) return ReadResult::kError;
      size_t n = std::min(size, file_->bytes.size() - offset_);
      if (n == 0) return ReadResult::kEnd;
      std::memcpy(buffer, file_->bytes.data() + offset_, n);
      offset_ += n;
      *got = n;
      return ReadResult::kData;
    }

   private:
    MemoryFileSystem* fs_;
    std::shared_ptr<File> file_;
    size_t offset_ = 0;
  };
  class Output : public OutputFile {
   public:
    Output(MemoryFileSystem* fs, std::shared_ptr<File> file) : fs_(fs), file_(file) {}
    bool Write(const char* data, size_t size) override {
      Fault fault;
      if (!fs_->Fails(kWrite, &fault) || fault == Fault::kShort) {
        file_->bytes.append(data, fault == Fault::kShort ? size / 2 : size);
      }
      return fault == Fault::kNone;
    }
    bool Commit() override { return !fs_->Fails(kCommit); }

   private:
    MemoryFileSystem* fs_;
    std::shared_ptr<File> file_;
  };

  std::shared_ptr<File> At(const std::string& name) const {
    auto it = files.find(name);
    return it == files.end() ? nullptr : it->second;
  }

  // A program opened the claimed file for writing after the writers were
  // kept out.
  bool WriterArrived() const { return leased_ && claimed_->writers > 0; }

  Rules rules_;
  std::shared_ptr<File> claimed_;  // The file this run claimed.
  bool leased_ = false;            // Writers kept out of it.
  std::shared_ptr<File> source_;   // The source as opened, and its changes then.
  int source_changes_ = 0;
  std::shared_ptr<File> prepared_;  // The run's new file, from ExcludeWriters on.
  std::shared_ptr<File> created_;   // The same once under the name.
  std::vector<std::shared_ptr<File>> made_;  // Every file ever made, named or not.
  bool ended_ = false;
  std::shared_ptr<File> waits_for_;  // The file another process waits to write.
};

}  // namespace crv

#endif  // CRV_ENGINE_MEMORY_FILE_SYSTEM_H_
