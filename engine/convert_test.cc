#include "engine/convert.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <random>
#include <vector>

#include "engine/memory_file_system.h"

namespace crv {
namespace {

TEST(BackupNameTest, AtLeastThreeDigits) {
  EXPECT_EQ(BackupName("memo.txt", 1), "memo.txt.crv#001");
  EXPECT_EQ(BackupName("memo.txt", 42), "memo.txt.crv#042");
  EXPECT_EQ(BackupName("memo.txt", 999), "memo.txt.crv#999");
  EXPECT_EQ(BackupName("memo.txt", 1000), "memo.txt.crv#1000");
  EXPECT_EQ(BackupName("d/m", 2147483647), "d/m.crv#2147483647");
}

// ---- Every failure of an in-place run, over the in-memory files ----------
//
// New cases go into these tables, as rows; the strace suites remain the
// proof on the real system.

using Op = MemoryFileSystem::Op;
using Fault = MemoryFileSystem::Fault;
using Rules = MemoryFileSystem::Rules;
using Disk = std::map<std::string, std::string>;

const char kOriginal[] = "one\r\ntwo\n";
const char kConverted[] = "one\r\ntwo\r\n";
// A leftover of an ended run, which makes the search for a free backup name
// ask whether it is claimed; it is never touched.
const Disk kBefore = {{"f", kOriginal}, {"f.crv#001", "old"}};
// The backup name of a run on kBefore, and the name its new file may have.
const char kBackup[] = "f.crv#002";
const char kBackupNew[] = "f.crv#002.new";

struct Injected {
  Op op;
  int n;  // Its nth call.
  Fault fault;
};

const char* OpName(Op op) {
  static const char* const kOps[] = {
      "Locate",        "IsPresent", "OpenForReading", "Read",      "Claim",
      "ClaimedElsewhere", "AddBackupName", "CreateNew", "WriteNew", "CommitNew",
      "TakeName",      "RemoveBackup", "Discard",     "Interrupted"};
  return kOps[op];
}

std::string Describe(Rules rules, const std::vector<Injected>& faults) {
  static const char* const kFaults[] = {"none", "error", "short"};
  std::string s = rules == Rules::kPosix ? "POSIX" : "Win32";
  for (const Injected& f : faults) {
    s += std::string(", ") + OpName(f.op) + " #" + std::to_string(f.n) + " " +
         kFaults[static_cast<int>(f.fault)];
  }
  return s;
}

// Says stop at its nth question (never with 0), and keeps what it was told.
class StopAt : public RunControl {
 public:
  explicit StopAt(int n) : n_(n) {}
  bool StopRequested(uint64_t done, uint64_t total) override {
    told.push_back({done, total});
    return static_cast<int>(told.size()) == n_;
  }
  std::vector<std::pair<uint64_t, uint64_t>> told;

 private:
  int n_;
};

// Converts "f" of kBefore with `faults`; `act` runs before the first call
// of `at`, as another process would meanwhile. The run ends (EndRun) before
// it returns.
bool Convert(MemoryFileSystem* fs, const std::vector<Injected>& faults, RunReport* report,
             Op at = Op::kLocate, const std::function<void(MemoryFileSystem&)>& act = nullptr,
             RunControl* control = nullptr) {
  for (const auto& file : kBefore) fs->Put(file.first, file.second);
  fs->at_call = [&](Op op, int n) {
    if (act && op == at && n == 1) act(*fs);
    for (const Injected& f : faults) {
      if (f.op == op && f.n == n) return f.fault;
    }
    return Fault::kNone;
  };
  bool converted = ReplaceInPlace(*fs, "f", /*add_cr=*/true, control, report);
  fs->at_call = nullptr;
  fs->EndRun();
  return converted;
}

std::vector<Fault> FaultsOf(int op, Rules rules) {
  // Under the Windows rules these answers are fixed: nothing to fail.
  if (rules == Rules::kWin32 && (op == Op::kClaim || op == Op::kClaimedElsewhere)) return {};
  if (op == Op::kWriteNew) return {Fault::kError, Fault::kShort};
  return {Fault::kError};
}

// Where a run on kBefore stops when the nth call of `op` fails, from the
// order of the calls in a clean run: Locate, the scan (Interrupted #1,
// OpenForReading #1, Read #1), Claim, the backup name (IsPresent #1 of the
// target, #2 and #3 of the names of number 1 and #4 of number 2's `.new`,
// ClaimedElsewhere of number 1, AddBackupName), CreateNew, the copy
// (OpenForReading #2, Interrupted #2, Read #2, Interrupted #3, Read #3 at the
// end, WriteNew), CommitNew, TakeName, RemoveBackup.
Step StepOf(const Injected& f) {
  switch (f.op) {
    case Op::kLocate: return Step::kLocate;
    // The target absent, or number 1 free: its AddBackupName fails. Number 2
    // or its `.new` taken for free is what they are.
    case Op::kIsPresent: return f.n <= 2 ? Step::kBackup : Step::kNone;
    case Op::kOpenForReading: return f.n == 1 ? Step::kScan : Step::kRead;
    case Op::kRead: return f.n == 1 ? Step::kScan : Step::kRead;
    case Op::kClaim: return Step::kClaim;
    case Op::kClaimedElsewhere: return Step::kBackup;
    case Op::kAddBackupName: return Step::kBackup;
    case Op::kCreateNew: return Step::kCreate;
    case Op::kWriteNew: return Step::kWrite;
    case Op::kCommitNew: return Step::kCommit;
    case Op::kTakeName: return Step::kTakeName;
    case Op::kRemoveBackup: return Step::kNone;  // The conversion succeeded.
    case Op::kDiscard: return Step::kNone;
    case Op::kInterrupted: return Step::kInterrupt;
    case Op::kOpCount: break;
  }
  return Step::kNone;
}

TEST(ReplaceInPlaceFaultTest, EveryFailureLeavesTheOriginalUnderItsName) {
  for (Rules rules : {Rules::kPosix, Rules::kWin32}) {
    // A file already in form is left alone, unclaimed, even while a program
    // writes it.
    MemoryFileSystem in_form(rules);
    RunReport report;
    EXPECT_TRUE(Convert(&in_form, {}, &report, Op::kLocate, [](MemoryFileSystem& fs) {
      fs.Put("f", kConverted);
      fs.files["f"]->writers = 1;
    }));
    EXPECT_EQ(in_form.Contents(), (Disk{{"f", kConverted}, {"f.crv#001", "old"}}));
    EXPECT_EQ(in_form.calls[Op::kClaim] + in_form.calls[Op::kAddBackupName] +
                  in_form.calls[Op::kCreateNew], 0);
    MemoryFileSystem clean(rules);
    ASSERT_TRUE(Convert(&clean, {}, &report));
    EXPECT_EQ(report.step, Step::kNone);
    EXPECT_EQ(clean.Contents(), (Disk{{"f", kConverted}, {"f.crv#001", "old"}}));
    EXPECT_EQ(clean.calls[Op::kDiscard], 0);
    // Every call of the clean run failed in each way it can fail; then the
    // calls of the cleanup after each such failure (those beyond the clean
    // run's: Discard) failed as well.
    std::vector<std::vector<Injected>> rows;
    for (int op = 0; op < Op::kOpCount; ++op) {
      for (Fault fault : FaultsOf(op, rules)) {
        for (int n = 1; n <= clean.calls[op]; ++n) rows.push_back({{Op(op), n, fault}});
      }
    }
    for (size_t i = 0, first = rows.size(); i < first; ++i) {
      MemoryFileSystem fs(rules);
      RunReport ignored;
      Convert(&fs, rows[i], &ignored);
      for (int op = 0; op < Op::kOpCount; ++op) {
        for (int n = clean.calls[op] + 1; n <= fs.calls[op]; ++n) {
          rows.push_back({rows[i][0], {Op(op), n, Fault::kError}});
        }
      }
    }
    for (const std::vector<Injected>& row : rows) {
      SCOPED_TRACE(Describe(rules, row));
      MemoryFileSystem fs(rules);
      RunReport report;
      const bool result = Convert(&fs, row, &report);
      const Step step = StepOf(row[0]);
      EXPECT_EQ(report.step, step) << StepName(report.step);
      EXPECT_EQ(result, step == Step::kNone);
      if (!result && step != Step::kInterrupt) {
        EXPECT_NE(report.error, 0);
      }
      if (row.size() > 1) {
        EXPECT_EQ(row[1].op, Op::kDiscard);
      }
      Disk expected = {{"f.crv#001", "old"}};
      if (result) {
        // The backup name stays only when removing it failed, and with it
        // (POSIX) the original's extra name from the exchange.
        expected["f"] = kConverted;
        if (row[0].op == Op::kRemoveBackup) {
          expected[kBackup] = kOriginal;
          if (rules == Rules::kPosix) expected[kBackupNew] = kOriginal;
        }
      } else {
        expected["f"] = kOriginal;
        // A Discard that failed leaves the backup name, and under the
        // Windows rules the new file as far as it was written.
        const bool named = step != Step::kLocate && step != Step::kScan &&
                           step != Step::kClaim && step != Step::kBackup &&
                           !(step == Step::kInterrupt && row[0].n == 1);
        if (row.size() > 1 && named) {
          expected[kBackup] = kOriginal;
          if (rules == Rules::kWin32 && step != Step::kCreate) {
            expected[kBackupNew] = step == Step::kCommit || step == Step::kTakeName ? kConverted
                                   : row[0].fault == Fault::kShort ? "one\r\n"
                                                                    : "";
          }
        }
      }
      EXPECT_EQ(fs.Contents(), expected);
    }
    // Single failures, and failures of Discard after those past the backup.
    EXPECT_EQ(rows.size(), rules == Rules::kPosix ? 32u : 30u);
  }
}

// What others do meanwhile, and the user's stop.
TEST(ReplaceInPlaceFaultTest, OthersMeanwhile) {
  const std::string mine = std::string(kOriginal) + "3\n";
  const Disk kept = {{"f", mine}, {"f.crv#001", "old"}};
  const Disk converted = {{"f", std::string(kConverted) + "3\r\n"}, {"f.crv#001", "old"}};
  const Disk converted_then_mine = {{"f", std::string(kConverted) + "3\n"}, {"f.crv#001", "old"}};
  const auto append = [](MemoryFileSystem& fs) { fs.AppendByName("f", "3\n"); };
  const auto append_and_keep = [](MemoryFileSystem& fs) { fs.AppendByName("f", "3\n", true); };
  struct Case {
    const char* what;
    Rules rules;
    Op at;  // The act comes before its first call.
    std::function<void(MemoryFileSystem&)> act;
    Step step;
    Disk after;
  };
  const Case kCases[] = {
      {"the backup candidate is the claimed one of a run going on", Rules::kPosix, Op::kLocate,
       [](MemoryFileSystem& fs) { fs.files["f.crv#001"]->claimed = true; }, Step::kBackup,
       kBefore},
      {"the file is claimed by another run", Rules::kPosix, Op::kLocate,
       [](MemoryFileSystem& fs) { fs.files["f"]->claimed = true; }, Step::kClaim, kBefore},
      // The read lease is refused; the source's open, sharing nothing, fails.
      {"a program has the file open for writing", Rules::kPosix, Op::kLocate, append_and_keep,
       Step::kClaim, kept},
      {"a program has the file open for writing", Rules::kWin32, Op::kLocate, append_and_keep,
       Step::kRead, kept},
      // It breaks the read lease and waits for the run's end; the copy stops.
      // Under the Windows rules the source is not open yet: it is copied.
      {"a program appends after the claim", Rules::kPosix, Op::kCreateNew, append,
       Step::kInterrupt, kept},
      {"a program appends after the claim", Rules::kWin32, Op::kCreateNew, append, Step::kNone,
       converted},
      // Between CommitNew and TakeName: the original goes back under the
      // name (POSIX), or TakeName sees it changed (Windows).
      {"a program appends before TakeName", Rules::kPosix, Op::kTakeName, append,
       Step::kTakeName, kept},
      {"a program appends before TakeName", Rules::kWin32, Op::kTakeName, append,
       Step::kTakeName, kept},
      {"a program keeps the file open at TakeName", Rules::kWin32, Op::kTakeName,
       append_and_keep, Step::kTakeName, kept},
      // The new file has the name: the write waits for the run's end (POSIX).
      {"a program appends after TakeName", Rules::kPosix, Op::kRemoveBackup, append, Step::kNone,
       converted_then_mine},
      {"a program appends after TakeName", Rules::kWin32, Op::kRemoveBackup, append, Step::kNone,
       converted_then_mine},
      // The original replaced by another program's save: the backup is
      // the original's last name and stays.
      {"the original is replaced under its name", Rules::kPosix, Op::kTakeName,
       [](MemoryFileSystem& fs) { fs.Put("f", "theirs"); }, Step::kTakeName,
       {{"f", "theirs"}, {"f.crv#001", "old"}, {"f.crv#002", kOriginal}}},
      {"the original is replaced under its name", Rules::kWin32, Op::kTakeName,
       [](MemoryFileSystem& fs) { fs.Put("f", "theirs"); }, Step::kTakeName,
       {{"f", "theirs"}, {"f.crv#001", "old"}, {"f.crv#002", kOriginal}}},
      // In the moment between the exchange and the look at the original's
      // lease (POSIX): a program that opens the name reaches the new file
      // and waits; one that opens the original puts it back under the name.
      {"a program opens the name in TakeName's moment", Rules::kPosix, Op::kLocate,
       [](MemoryFileSystem& fs) { fs.in_take_name = [&fs] { fs.AppendByName("f", "3\n"); }; },
       Step::kNone, converted_then_mine},
      {"a program opens the original in TakeName's moment", Rules::kPosix, Op::kLocate,
       [](MemoryFileSystem& fs) {
         fs.in_take_name = [&fs] { fs.AppendTo(fs.files[kBackup], "3\n"); };
       },
       Step::kTakeName, kept},
      // Both: the new file, which a program waits to write, stays under
      // `.new` and gets its bytes.
      {"two programs open the name and the original in TakeName's moment", Rules::kPosix,
       Op::kLocate,
       [](MemoryFileSystem& fs) {
         fs.in_take_name = [&fs] {
           fs.AppendByName("f", "new\n");
           fs.AppendTo(fs.files[kBackup], "3\n");
         };
       },
       Step::kTakeName,
       {{"f", mine}, {"f.crv#001", "old"}, {kBackupNew, std::string(kConverted) + "new\n"}}},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(Describe(c.rules, {}) + ": " + c.what);
    MemoryFileSystem fs(c.rules);
    RunReport report;
    EXPECT_EQ(Convert(&fs, {}, &report, c.at, c.act), c.step == Step::kNone);
    EXPECT_EQ(report.step, c.step) << StepName(report.step);
    EXPECT_EQ(fs.Contents(), c.after);
  }
  // The user's stop at each question (one in the scan, two in the copy):
  // declined, and the disk exactly as before.
  for (Rules rules : {Rules::kPosix, Rules::kWin32}) {
    StopAt never(0);
    MemoryFileSystem clean(rules);
    RunReport report;
    ASSERT_TRUE(Convert(&clean, {}, &report, Op::kLocate, nullptr, &never));
    const uint64_t size = sizeof kOriginal - 1;
    ASSERT_EQ(never.told, (std::vector<std::pair<uint64_t, uint64_t>>{
                              {0, size}, {0, size}, {size, size}}));
    for (int n = 1; n <= static_cast<int>(never.told.size()); ++n) {
      SCOPED_TRACE(Describe(rules, {}) + ": stopped at question " + std::to_string(n));
      StopAt stop(n);
      MemoryFileSystem fs(rules);
      RunReport report;
      EXPECT_FALSE(Convert(&fs, {}, &report, Op::kLocate, nullptr, &stop));
      EXPECT_EQ(report.step, Step::kDeclined);
      EXPECT_TRUE(report.Declined());
      EXPECT_EQ(fs.Contents(), kBefore);
      EXPECT_EQ(fs.calls[Op::kTakeName], 0);
    }
  }
}

// ---- A file that is not text ----------------------------------------------
//
// It fails with its bytes and identity kept and nothing beside it; the scan
// decides, before anything is claimed, when the mark or a NUL comes before the
// first change; a file in form stays, whatever it holds.
TEST(ReplaceInPlaceNotTextTest, FailsUntouched) {
  using namespace std::string_literals;
  const std::string wide = "\xff\xfe\x01\x30\x0a\x30";  // UTF-16LE, no NUL
  const auto make_wide = [&](MemoryFileSystem& fs) { fs.files["f"]->bytes = wide; };
  struct Case {
    const char* what;
    std::string bytes;
    bool add_cr, in_form, claimed;
    std::function<void(MemoryFileSystem&)> after_scan;
  } kCases[] = {
      {"UTF-16 mark", wide, true, false, false, nullptr},
      {"UTF-32BE mark", "\0\0\xfe\xff\0\0\0\n"s, true, false, false, nullptr},
      {"NUL before the first change", "a\0b\n"s, true, false, false, nullptr},
      {"NUL after the first change", "a\nb\0"s, true, false, true, nullptr},
      {"NUL past the first block", "a\n" + std::string(300 << 10, 'x') + '\0', true, false, true,
       nullptr},
      {"in form, a NUL", "a\0\r\n"s, true, true, false, nullptr},
      {"in form, a UTF-16 mark", "\xff\xfe" "a\0\n\0"s, false, true, false, nullptr},
      {"UTF-16 since the scan", "a\n", true, false, true, make_wide},
  };
  for (Rules rules : {Rules::kPosix, Rules::kWin32}) {
    for (const Case& c : kCases) {
      SCOPED_TRACE(Describe(rules, {}) + ": " + c.what);
      MemoryFileSystem fs(rules);
      fs.Put("f", c.bytes);
      const std::shared_ptr<MemoryFileSystem::File> file = fs.files["f"];
      fs.at_call = [&](Op op, int n) {
        if (c.after_scan && op == Op::kClaim && n == 1) c.after_scan(fs);
        return Fault::kNone;
      };
      RunReport report;
      EXPECT_EQ(ReplaceInPlace(fs, "f", c.add_cr, nullptr, &report), c.in_form);
      EXPECT_EQ(report.step, c.in_form ? Step::kNone : Step::kNotText);
      EXPECT_EQ(fs.Contents(), (Disk{{"f", c.after_scan ? wide : c.bytes}}));
      EXPECT_EQ(fs.files["f"], file);
      EXPECT_EQ(fs.calls[Op::kClaim] != 0, c.claimed);
    }
  }
}

// ---- Another process between any two calls, faults and a crash ----------
//
// Random schedules under both rule sets: before any of the run's calls
// another process appends a line by the name (creating it when missing, as
// >> does, and keeping the descriptor at times) or writes one again through
// the descriptor it kept; up to two calls fail; the run's process may die at
// a call (Crash), or the machine lose its power (PowerLoss), also after the
// run. Checked before every call and at the end: the name holds the
// original or its complete conversion, each with some of the other
// process's lines after it; every new `.crv#NNN` holds the original (with
// such lines); nothing else is left but at most one `<backup>.new`, the
// run's own new file or, under the POSIX rules, the original's extra name
// from TakeName's exchange; the leftovers of ended runs are untouched. Under the POSIX rules the other process also acts in TakeName's
// moment between the exchange and the look at the lease, by the name or
// into the original. After a run that ended or crashed, every line of the
// original and of the other process is under the name (after a failure,
// under it or the run's other names), converted when the run reported
// success.
// CRV_FUZZ_SECONDS runs it longer, CRV_FUZZ_SEED repeats one schedule.

struct CrashHere {};  // Thrown at the call where the run's process dies.

bool StartsWith(const std::string& s, const std::string& prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}

// True when s[from...] is zero or more of the other process's lines,
// "<t" digits ">\r\n".
bool OnlyTheirLines(const std::string& s, size_t from) {
  while (from < s.size()) {
    if (!StartsWith(s.substr(from), "<t")) return false;
    size_t i = from + 2, digits = i;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i;
    if (i == digits || s.compare(i, 3, ">\r\n") != 0) return false;
    from = i + 3;
  }
  return true;
}

bool OneOf(const std::string& bytes, const std::string& base) {
  return StartsWith(bytes, base) && OnlyTheirLines(bytes, base.size());
}

// "f.crv#" and at least three digits.
bool IsBackupName(const std::string& name) {
  if (!StartsWith(name, "f.crv#") || name.size() < 9) return false;
  for (size_t i = 6; i < name.size(); ++i) {
    if (name[i] < '0' || name[i] > '9') return false;
  }
  return true;
}

// A backup name and ".new".
bool IsNewName(const std::string& name) {
  return name.size() > 4 && name.compare(name.size() - 4, 4, ".new") == 0 &&
         IsBackupName(name.substr(0, name.size() - 4));
}

TEST(ReplaceInPlaceFuzzTest, TheNameAlwaysHoldsACompleteFileAndNoLineIsLost) {
  const char* seconds = std::getenv("CRV_FUZZ_SECONDS");
  const char* first_seed = std::getenv("CRV_FUZZ_SEED");
  const auto end = std::chrono::steady_clock::now() +
                   std::chrono::milliseconds(static_cast<long>(1000 * (seconds ? std::atof(seconds) : 2)));
  uint32_t seed = first_seed ? static_cast<uint32_t>(std::strtoul(first_seed, nullptr, 10)) : 1;
  int runs = 0;
  for (; runs < 1 || (!first_seed && !HasFailure() && std::chrono::steady_clock::now() < end);
       ++runs, ++seed) {
    SCOPED_TRACE("CRV_FUZZ_SEED=" + std::to_string(seed));
    std::mt19937 rng(seed);
    const Rules rules = rng() % 2 ? Rules::kPosix : Rules::kWin32;
    MemoryFileSystem fs(rules);
    std::vector<std::string> lines;  // Every line that must survive.
    std::string original, converted;
    // One to four lines, each in form with a chance of one in three: about
    // one file in eight is in form already.
    for (int i = 0, n = static_cast<int>(1 + rng() % 4); i < n; ++i) {
      lines.push_back("<o" + std::to_string(i) + ">");
      const bool crlf = rng() % 3 == 0;
      original += lines.back() + (crlf ? "\r\n" : "\n");
      converted += lines.back() + "\r\n";
    }
    fs.Put("f", original);
    const std::shared_ptr<MemoryFileSystem::File> original_file = fs.files["f"];
    Disk leftovers;
    if (rng() % 2) leftovers["f.crv#001"] = "old";
    if (rng() % 4 == 0) leftovers[BackupName("f", 1 + rng() % 2) + ".new"] = "old new";
    for (const auto& file : leftovers) fs.Put(file.first, file.second);
    std::vector<Injected> faults(rng() % 3);
    for (Injected& f : faults) {
      f = {Op(rng() % Op::kOpCount), static_cast<int>(1 + rng() % 3), Fault::kError};
      if (f.op == Op::kWriteNew && rng() % 2) f.fault = Fault::kShort;
    }
    enum class Death { kNone, kCrash, kPowerLoss };
    const Death death = rng() % 2 ? Death::kNone : rng() % 2 ? Death::kCrash : Death::kPowerLoss;
    // At a step (a call, or TakeName's moment); past the run's last one:
    // after the run (a crash changes nothing then).
    const int death_at = static_cast<int>(1 + rng() % 28);
    SCOPED_TRACE(Describe(rules, faults) +
                 (death == Death::kNone        ? std::string()
                  : death == Death::kCrash     ? ", crash at step " + std::to_string(death_at)
                                               : ", power loss at step " + std::to_string(death_at)));

    const auto check = [&](const std::string& when) {
      auto at = fs.files.find("f");
      ASSERT_TRUE(at != fs.files.end()) << when << ": nothing under the name";
      EXPECT_TRUE(OneOf(at->second->bytes, original) || OneOf(at->second->bytes, converted))
          << when << ": under the name: " << at->second->bytes;
      int news = 0;
      for (const auto& entry : fs.files) {
        const std::string& name = entry.first;
        const std::string& bytes = entry.second->bytes;
        if (name == "f") continue;
        if (leftovers.count(name)) {
          EXPECT_EQ(bytes, leftovers[name]) << when << ": leftover " << name << " touched";
        } else if (IsBackupName(name)) {
          EXPECT_TRUE(entry.second == original_file && OneOf(bytes, original))
              << when << ": " << name << " holds " << bytes;
        } else if (IsNewName(name)) {
          // The run's own new file; under the POSIX rules, where it was
          // exchanged with the original, the original's extra name.
          ++news;
          EXPECT_TRUE(entry.second == fs.NewFile() ||
                      (rules == Rules::kPosix && entry.second == original_file &&
                       OneOf(bytes, original)))
              << when << ": " << name << " holds " << bytes;
        } else {
          ADD_FAILURE() << when << ": " << name << " left, holding " << bytes;
        }
      }
      EXPECT_LE(news, 1) << when;
      for (const auto& file : leftovers) {
        EXPECT_TRUE(fs.files.count(file.first)) << when << ": leftover " << file.first << " gone";
      }
    };

    // The other process acts never, at one in 16 of the moments, or at one
    // in 4 (most runs are stopped by it then).
    const int act_one_in = std::vector<int>{0, 16, 4}[rng() % 3];
    int step = 0;
    std::shared_ptr<MemoryFileSystem::Writer> held;  // Open in the other process.
    // Between two calls, or in TakeName's moment: the checks, the death, and
    // the other process's line, written by the name, through the
    // descriptor it kept, or (in the moment) into the original it opened.
    const auto between = [&](const std::string& where, bool in_the_moment) {
      ++step;
      check(where);
      if (death != Death::kNone && step == death_at) throw CrashHere();
      if (act_one_in == 0 || rng() % act_one_in != 0) return;
      std::string line = "<t" + std::to_string(lines.size()) + ">";
      const bool keep = rng() % 8 == 0;
      std::shared_ptr<MemoryFileSystem::Writer> writer;
      if (held && rng() % 2) {
        fs.WriteThrough(*held, line + "\r\n");
        lines.push_back(line);
        return;
      }
      writer = in_the_moment && rng() % 2 ? fs.AppendTo(original_file, line + "\r\n", keep)
                                          : fs.AppendByName("f", line + "\r\n", keep);
      if (!writer) return;  // Its open failed (Win32).
      if (keep) held = writer;
      lines.push_back(line);
    };
    fs.in_take_name = [&] {
      between("in TakeName's moment, step " + std::to_string(step + 1), true);
    };
    fs.at_call = [&](Op op, int n) {
      between("before step " + std::to_string(step + 1) + " (" + OpName(op) + ")", false);
      for (const Injected& f : faults) {
        if (f.op == op && f.n == n) return f.fault;
      }
      return Fault::kNone;
    };
    bool done = false, died = false;
    RunReport report;
    try {
      done = ReplaceInPlace(fs, "f", /*add_cr=*/true, nullptr, &report);
      EXPECT_EQ(done, report.step == Step::kNone) << StepName(report.step);
    } catch (const CrashHere&) {
      died = true;
    }
    fs.at_call = nullptr;
    fs.in_take_name = nullptr;
    if (!died) fs.EndRun();
    if (death == Death::kCrash && died) fs.Crash();
    // The power loss keeps some first of the directory's changes since its
    // last sync.
    const size_t kept = rng() % (fs.UnsyncedChanges() + 1);
    if (death == Death::kPowerLoss) fs.PowerLoss(kept);
    check(!died && death != Death::kPowerLoss ? "at the end"
          : death == Death::kCrash            ? "after the crash"
                                              : "after the power loss keeping " +
                                       std::to_string(kept) + " unsynced changes");
    if (HasFatalFailure()) break;
    // After a power loss in the run, the other process's lines that waited
    // for it died with it.
    if (died && death == Death::kPowerLoss) continue;
    const std::string under_name = fs.files["f"]->bytes;
    // A line may be in a backup name or a `.new` only when the run did not
    // succeed.
    std::string elsewhere;
    for (const auto& entry : fs.files) {
      if (entry.first != "f" && !leftovers.count(entry.first)) elsewhere += entry.second->bytes;
    }
    for (const std::string& line : lines) {
      EXPECT_TRUE(under_name.find(line) != std::string::npos ||
                  (!done && elsewhere.find(line) != std::string::npos))
          << line << " lost; under the name: " << under_name;
    }
    if (done) {
      EXPECT_TRUE(OneOf(under_name, converted)) << "not converted: " << under_name;
    } else if (!died) {
      EXPECT_TRUE(OneOf(under_name, original)) << "changed: " << under_name;
    }
  }
  std::printf("%d schedules\n", runs);
}

}  // namespace
}  // namespace crv
