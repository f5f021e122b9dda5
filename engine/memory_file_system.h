// An in-memory FileSystem for the tests: files are byte strings under names
// in one directory, and any call can be made to fail at its Nth time. It
// follows the protocol of file_system.h under the rules of one of the two
// implementations:
//   kPosix  the run claims the file (a flag; another run's claim, or a writer
//           that has it open, fails the claim) and holds a read lease on it:
//           a writer that opens it later breaks the lease (Interrupted() from
//           then on, TakeName false) and waits. AddBackupName is a second
//           name of the same file; CreateNew an unnamed file, write-leased
//           (an opener by the name waits once it has the name). TakeName as
//           platform/posix/file_system_posix.cc does it: the new file linked
//           as `<backup>.new` and exchanged with the original in one step
//           (RENAME_EXCHANGE); then, should a writer have opened the
//           original "in that moment" (in_take_name), the two are swapped
//           back and the new file keeps `<backup>.new`; either way the
//           directory is synced. RemoveBackup unlinks the backup, then the
//           original's extra name `<backup>.new`.
//           Discard unlinks `<backup>.new` unless a program is in the new
//           file; unnamed, the new file goes with the run.
//   kWin32  no claims: the copy's source, opened without sharing, keeps
//           everyone out while it is open (an open by another program fails,
//           as does the source's open while one has the file open).
//           AddBackupName is a hard link; CreateNew makes `<backup>.new` at
//           once; TakeName replaces the name by it (MoveFileEx
//           REPLACE_EXISTING, write-through).
// On both, TakeName keeps its contract: only while the name holds the claimed
// file and nobody wrote to that since the copy's source was opened.
//
// Another process acts between any two calls (AppendByName, AppendTo,
// WriteThrough); what waits for the run's leases lands when the run ends
// (EndRun), in the file it opened, named or not. Crash() and PowerLoss()
// end the run otherwise. The model of durability is that of the POSIX
// implementation: a file's durable bytes are those at its last CommitNew
// (the original's and other programs' bytes are durable as they are
// written); the directory's changes are made durable in their order, all of
// them by TakeName's sync (the run's only one: AddBackupName, RemoveBackup
// and Discard do not sync) or another program's: a power loss keeps those
// and any first few of the later ones.
//
// The fake does what the system would, not what the protocol expects: a call
// out of order fails only where the system would fail it (there is no file
// to write, no claim to link), so that a run that names a new file before it
// is committed is caught by a power loss, as it would be on a disk.
#ifndef CRV_ENGINE_MEMORY_FILE_SYSTEM_H_
#define CRV_ENGINE_MEMORY_FILE_SYSTEM_H_

#include <algorithm>
#include <cerrno>
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
    kLocate, kIsPresent, kOpenForReading, kRead, kClaim, kClaimedElsewhere, kAddBackupName,
    kCreateNew, kWriteNew, kCommitNew, kTakeName, kRemoveBackup, kDiscard, kInterrupted, kOpCount
  };
  enum class Fault {
    kNone,
    // The call fails, changing nothing: false, null or kError;
    // ClaimedElsewhere answers that another run holds the name, Interrupted
    // that the run is to stop, IsPresent that the name is free.
    kError,
    kShort,  // WriteNew: half the bytes are stored, then it fails.
  };
  // A file; its address is its identity.
  struct File {
    std::string bytes;
    std::string durable;   // What a power loss leaves of it.
    int changes = 0;       // Writes by other processes, counted.
    bool claimed = false;  // By another run that is still going on.
    int writers = 0;       // Other programs that have it open for writing.
    std::string waiting;   // Written once the run's lease on it goes.
  };
  // Another program's descriptor open for writing.
  struct Writer {
    std::shared_ptr<File> file;
    bool waits = false;  // Its open waits for the run's lease.
  };

  explicit MemoryFileSystem(Rules rules) : rules_(rules) {}

  // Asked at the start of every call, with its operation and its number
  // among that operation's calls (from 1): what it returns befalls the call.
  // It may also change the files, as another process would meanwhile, or
  // throw to end the run there (then Crash() or PowerLoss()).
  std::function<Fault(Op, int)> at_call;
  int calls[kOpCount] = {};
  std::map<std::string, std::shared_ptr<File>> files;

  // A file put there before the run, or by another program: durable, with
  // the whole directory.
  void Put(const std::string& name, const std::string& bytes) {
    auto file = std::make_shared<File>();
    file->bytes = file->durable = bytes;
    files[name] = file;
    made_.push_back(file);
    SyncDirectory();
  }
  // Called by TakeName under the POSIX rules in the moment between the
  // exchange and the look at the original's lease: another program may act
  // there (AppendByName reaches the new file then, AppendTo the original).
  std::function<void()> in_take_name;
  // Another program opens `name` for appending, creating a missing file as
  // >> does, and writes `bytes`; with `keep_open` it keeps the descriptor
  // (WriteThrough). Null when its open fails (Win32: the source is open
  // without sharing).
  std::shared_ptr<Writer> AppendByName(const std::string& name, const std::string& bytes,
                                       bool keep_open = false) {
    if (!At(name)) Put(name, "");
    return AppendTo(At(name), bytes, keep_open);
  }
  // The same through a descriptor to `file` however it was had (a name in
  // some moment, /proc/<pid>/fd).
  std::shared_ptr<Writer> AppendTo(const std::shared_ptr<File>& file, const std::string& bytes,
                                   bool keep_open = false) {
    auto writer = std::make_shared<Writer>();
    writer->file = file;
    if (!ended_) {
      if (rules_ == Rules::kWin32 && file == claimed_ && source_open_ > 0) return nullptr;
      if (rules_ == Rules::kPosix && file == claimed_ && leased_) {
        broken_ = true;  // The read lease is broken: the run is to stop.
        writer->waits = true;
      }
      if (rules_ == Rules::kPosix && file == new_) writer->waits = true;  // Its write lease.
    }
    if (keep_open) ++file->writers;
    WriteThrough(*writer, bytes);
    return writer;
  }
  // The same program writes again through its descriptor.
  void WriteThrough(const Writer& writer, const std::string& bytes) {
    File& file = *writer.file;
    if (writer.waits && !ended_) {
      file.waiting += bytes;
      return;
    }
    file.bytes += bytes;
    file.durable += bytes;
    ++file.changes;
  }
  // The run is over: its claims and leases go, the opens that waited for
  // them go on and write.
  void EndRun() {
    ended_ = true;
    leased_ = false;
    for (const auto& file : made_) {
      file->bytes += file->waiting;
      file->durable += file->waiting;
      if (!file->waiting.empty()) ++file->changes;
      file->waiting.clear();
    }
  }
  // The run's process dies: its unnamed files vanish (nothing refers to
  // them), its named ones stay; its claims and leases go, and the writers
  // that waited for them go on. Every later call of the run fails.
  void Crash() {
    dead_ = true;
    EndRun();
  }
  // The machine loses power: the writers that waited die with it, and only
  // what was durable remains: every file's durable bytes, and the directory
  // as at its last sync with the first `kept` of the changes made since.
  void PowerLoss(size_t kept = 0) {
    for (const auto& file : made_) file->waiting.clear();
    Crash();
    kept = std::min(kept, unsynced_.size());
    files = kept == 0 ? durable_files_ : unsynced_[kept - 1];
    for (const auto& file : made_) file->bytes = file->durable;
  }
  // The directory's changes not yet durable.
  size_t UnsyncedChanges() const { return unsynced_.size(); }

  // The file this run writes, from CreateNew on (null before).
  std::shared_ptr<File> NewFile() const { return new_; }
  std::map<std::string, std::string> Contents() const {
    std::map<std::string, std::string> contents;
    for (const auto& entry : files) contents[entry.first] = entry.second->bytes;
    return contents;
  }
  // Counts a call and tells what befalls it; a failure sets LastError().
  bool Fails(Op op, Fault* fault = nullptr) {
    int n = ++calls[op];
    Fault f = at_call ? at_call(op, n) : Fault::kNone;
    if (dead_) f = Fault::kError;
    if (fault) *fault = f;
    if (f != Fault::kNone) last_error_ = EIO;
    return f != Fault::kNone;
  }

  bool Locate(const std::string& name, std::string* target) override {
    if (Fails(kLocate)) return false;
    *target = name;
    return At(name) || Error(ENOENT);
  }
  bool IsPresent(const std::string& name) override { return !Fails(kIsPresent) && At(name); }
  std::unique_ptr<InputFile> OpenForReading(const std::string& name) override {
    if (Fails(kOpenForReading)) return nullptr;
    std::shared_ptr<File> file = At(name);
    if (!file) return Error(ENOENT), nullptr;
    // The scan opens any file, sharing it; after the claim only the claimed
    // file is the source, and under the Windows rules its open shares
    // nothing: it fails while another program has the file open.
    if (!claimed_) return std::unique_ptr<InputFile>(new Input(this, file, false));
    if (file != claimed_) return Error(ESTALE), nullptr;
    if (rules_ == Rules::kWin32 && file->writers > 0) return Error(EBUSY), nullptr;
    source_changes_ = file->changes;
    return std::unique_ptr<InputFile>(new Input(this, file, true));
  }
  bool Claim(const std::string& name) override {
    Fault fault;
    bool failed = Fails(kClaim, &fault);
    if (claimed_ || !At(name)) return Error(ENOENT);
    // Windows: nothing to claim; the source's open keeps everyone out.
    if (rules_ == Rules::kWin32) {
      claimed_ = At(name);
      return true;
    }
    if (failed) return false;
    if (At(name)->claimed || At(name)->writers > 0) return Error(EAGAIN);
    claimed_ = At(name);
    leased_ = true;
    return true;
  }
  bool ClaimedElsewhere(const std::string& name) override {
    bool failed = Fails(kClaimedElsewhere);
    // Windows: no claims to find.
    return rules_ == Rules::kPosix && (failed || (At(name) && At(name)->claimed));
  }
  bool AddBackupName(const std::string& name, const std::string& backup) override {
    if (Fails(kAddBackupName)) return false;
    if (!claimed_) return Error(EINVAL);
    if (At(backup)) return Error(EEXIST);
    // linkat links the claimed file by its descriptor; CreateHardLinkW links
    // what the name holds, which the source's open kept as it was.
    std::shared_ptr<File> file = rules_ == Rules::kPosix ? claimed_ : At(name);
    if (!file) return Error(ENOENT);
    files[backup] = file;
    Changed();
    return true;
  }
  bool CreateNew(const std::string&, const std::string& backup) override {
    if (Fails(kCreateNew)) return false;
    if (!claimed_ || new_) return Error(EINVAL);
    if (rules_ == Rules::kWin32 && At(backup + ".new")) return Error(EEXIST);
    new_ = std::make_shared<File>();
    made_.push_back(new_);
    if (rules_ == Rules::kWin32) {
      files[backup + ".new"] = new_;
      Changed();
    }
    return true;
  }
  bool WriteNew(const char* data, size_t size) override {
    Fault fault;
    if (Fails(kWriteNew, &fault) && fault != Fault::kShort) return false;
    if (!new_) return Error(EBADF);
    new_->bytes.append(data, fault == Fault::kShort ? size / 2 : size);
    return fault == Fault::kNone;
  }
  bool CommitNew() override {
    if (Fails(kCommitNew)) return false;
    if (!new_) return Error(EBADF);
    new_->durable = new_->bytes;
    return true;
  }
  bool TakeName(const std::string& name, const std::string& backup) override {
    if (Fails(kTakeName)) return false;
    if (!new_ || !claimed_ || At(name) != claimed_) return Error(ESTALE);
    const std::string own = backup + ".new";
    if (rules_ == Rules::kWin32) {
      // The name's file is open without sharing its deletion, or somebody
      // wrote it since the source was opened.
      if (claimed_->writers > 0) return Error(EACCES);
      if (claimed_->changes != source_changes_) return Error(ESTALE);
      if (At(own) != new_) return Error(ENOENT);
      // MoveFileEx, REPLACE_EXISTING and WRITE_THROUGH.
      files.erase(own);
      files[name] = new_;
      Changed();
      SyncDirectory();
      return true;
    }
    // The original written, or a writer waiting on it: nothing changes.
    if (broken_ || claimed_->changes != source_changes_) return Error(EBUSY);
    // The new file gets the run's own name, then the two are exchanged.
    if (At(own) && At(own) != new_) return Error(EEXIST);
    files[own] = new_;
    Changed();
    files[own] = claimed_;
    files[name] = new_;
    Changed();
    if (in_take_name) in_take_name();
    if (broken_) {
      // A writer opened the original in that moment: swapped back, the new
      // file keeps the run's own name. The directory is synced then too,
      // before the writer goes on: else a power loss after it could bring
      // the exchange back, and the name the conversion without its bytes.
      files[own] = new_;
      files[name] = claimed_;
      Changed();
      SyncDirectory();
      return Error(EBUSY);
    }
    SyncDirectory();
    return true;
  }
  bool RemoveBackup(const std::string& backup) override {
    if (Fails(kRemoveBackup)) return false;
    if (!claimed_ || At(backup) != claimed_) return Error(ESTALE);
    files.erase(backup);
    // Then the original's extra name, which the exchange left (POSIX).
    if (At(backup + ".new") == claimed_) files.erase(backup + ".new");
    Changed();
    return true;
  }
  void Discard(const std::string& name, const std::string& backup) override {
    if (Fails(kDiscard)) return;
    // The new file's own name goes, unless (POSIX) a program is in it.
    const std::string own = backup + ".new";
    if (new_ && At(own) == new_ &&
        (rules_ == Rules::kWin32 || (new_->writers == 0 && new_->waiting.empty()))) {
      files.erase(own);
      Changed();
    }
    // The backup name goes while the original keeps its own name; as the
    // original's last name it stays.
    if (claimed_ && !backup.empty() && At(backup) == claimed_ && At(name) == claimed_) {
      files.erase(backup);
      Changed();
    }
  }
  bool Interrupted() override {
    return Fails(kInterrupted) || (rules_ == Rules::kPosix && broken_);
  }
  int LastError() const override { return last_error_; }

 private:
  // A handle: it keeps reading the file it opened, whatever its name becomes.
  class Input : public InputFile {
   public:
    Input(MemoryFileSystem* fs, std::shared_ptr<File> file, bool source)
        : fs_(fs), file_(file), source_(source), size_(file->bytes.size()) {
      if (source_) ++fs_->source_open_;
    }
    ~Input() override {
      if (source_) --fs_->source_open_;
    }
    ReadResult Read(char* buffer, size_t size, size_t* got) override {
      if (fs_->Fails(kRead)) return ReadResult::kError;
      size_t n = std::min(size, file_->bytes.size() - offset_);
      if (n == 0) return ReadResult::kEnd;
      std::memcpy(buffer, file_->bytes.data() + offset_, n);
      offset_ += n;
      *got = n;
      return ReadResult::kData;
    }
    uint64_t Size() const override { return size_; }

   private:
    MemoryFileSystem* fs_;
    std::shared_ptr<File> file_;
    bool source_;
    size_t size_;
    size_t offset_ = 0;
  };

  std::shared_ptr<File> At(const std::string& name) const {
    auto it = files.find(name);
    return it == files.end() ? nullptr : it->second;
  }
  bool Error(int code) {
    last_error_ = code;
    return false;
  }
  // The directory changed; the change is durable from the next sync.
  void Changed() { unsynced_.push_back(files); }
  void SyncDirectory() {
    durable_files_ = files;
    unsynced_.clear();
  }

  Rules rules_;
  std::shared_ptr<File> claimed_;  // The file this run claimed (Win32: its target).
  bool leased_ = false;            // POSIX: the read lease on it is held,
  bool broken_ = false;            // and a writer broke it.
  int source_open_ = 0;            // The copy's sources open.
  int source_changes_ = 0;         // The claimed file's changes at the source's open.
  std::shared_ptr<File> new_;      // The run's new file.
  std::vector<std::shared_ptr<File>> made_;  // Every file ever made, named or not.
  std::map<std::string, std::shared_ptr<File>> durable_files_;  // The directory at its last sync,
  std::vector<std::map<std::string, std::shared_ptr<File>>> unsynced_;  // and after each change since.
  bool ended_ = false;
  bool dead_ = false;
  int last_error_ = 0;
};

}  // namespace crv

#endif  // CRV_ENGINE_MEMORY_FILE_SYSTEM_H_
