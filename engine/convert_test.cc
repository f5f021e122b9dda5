#include "engine/convert.h"

#include <gtest/gtest.h>

#include <chrono>
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
// New restore cases go into this table, as rows; the strace suites remain the
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

struct Injected {
  Op op;
  int n;  // Its nth call.
  Fault fault;
};

// Converts "f" with `faults`; `act` runs before the nth call of `at`, as
// another process would meanwhile.
bool Convert(MemoryFileSystem* fs, const std::vector<Injected>& faults, Op at = Op::kLocate,
             const std::function<void(MemoryFileSystem&)>& act = nullptr) {
  for (const auto& file : kBefore) fs->Put(file.first, file.second);
  fs->at_call = [&](Op op, int n) {
    if (act && op == at && n == 1) act(*fs);
    for (const Injected& f : faults) {
      if (f.op == op && f.n == n) return f.fault;
    }
    return Fault::kNone;
  };
  return ReplaceInPlace(*fs, "f", /*add_cr=*/true);
}

std::vector<Fault> FaultsOf(int op, Rules rules) {
  // Under the Windows rules these answers are fixed: nothing to fail.
  if (rules == Rules::kWin32 && (op == Op::kClaim || op == Op::kExcludeWriters ||
                                 op == Op::kClaimedElsewhere ||
                                 op == Op::kSettled)) {
    return {};
  }
  if (op == Op::kWrite) return {Fault::kError, Fault::kShort};
  // Only a file made under its name can lose its identity.
  if (op == Op::kCreate && rules == Rules::kWin32) return {Fault::kError, Fault::kUnknown};
  return {Fault::kError};
}

std::string Describe(Rules rules, const std::vector<Injected>& faults) {
  static const char* const kOps[] = {
      "Locate", "IsPresent", "Claim", "ExcludeWriters", "ClaimedElsewhere", "MoveAside", "Remove",
      "PutBack", "OpenForReading", "Read", "Create", "Write", "Commit", "Settled",
      "InterruptRequested"};
  static const char* const kFaults[] = {"none", "error", "short", "identity lost"};
  std::string s = rules == Rules::kPosix ? "POSIX" : "Win32";
  for (const Injected& f : faults) {
    s += std::string(", ") + kOps[f.op] + " #" + std::to_string(f.n) + " " +
         kFaults[static_cast<int>(f.fault)];
  }
  return s;
}

TEST(ReplaceInPlaceFaultTest, EveryFailureLeavesTheBytesSafe) {
  const std::string backup = "f.crv#002";
  // What others do meanwhile (beyond the fuzzer's acts below): every such
  // run fails, leaving exactly this.
  struct Case {
    const char* what;
    Rules rules;
    Op at;
    std::function<void(MemoryFileSystem&)> act;
    Disk after;
  };
  const Disk theirs_kept = {{"f", "theirs"}, {"f.crv#001", "old"}, {backup, kOriginal}};
  const auto put_theirs = [](MemoryFileSystem& fs) { fs.Put("f", "theirs"); };
  const Case kCases[] = {
      {"the output is replaced", Rules::kPosix, Op::kSettled, put_theirs, theirs_kept},
      {"the backup is the claimed one of a run going on", Rules::kPosix, Op::kLocate,
       [](MemoryFileSystem& fs) { fs.files["f.crv#001"]->claimed = true; }, kBefore},
      {"the file is claimed by another run", Rules::kPosix, Op::kLocate,
       [](MemoryFileSystem& fs) { fs.files["f"]->claimed = true; }, kBefore},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(Describe(c.rules, {}) + ": " + c.what);
    MemoryFileSystem fs(c.rules);
    EXPECT_FALSE(Convert(&fs, {}, c.at, c.act));
    EXPECT_EQ(fs.Contents(), c.after);
  }
  for (Rules rules : {Rules::kPosix, Rules::kWin32}) {
    // A file already in form is left alone, even while a program writes it.
    MemoryFileSystem in_form(rules);
    EXPECT_TRUE(Convert(&in_form, {}, Op::kLocate, [](MemoryFileSystem& fs) {
      fs.Put("f", kConverted);
      fs.files["f"]->writers = 1;
    }));
    EXPECT_EQ(in_form.Contents(), (Disk{{"f", kConverted}, {"f.crv#001", "old"}}));
    EXPECT_EQ(in_form.calls[Op::kMoveAside] + in_form.calls[Op::kCreate], 0);
    MemoryFileSystem clean(rules);
    ASSERT_TRUE(Convert(&clean, {}));
    EXPECT_EQ(clean.Contents(), (Disk{{"f", kConverted}, {"f.crv#001", "old"}}));
    // Every call of the clean run failed in each way it can fail; then the
    // calls of the restore after each such failure (those beyond the clean
    // run's) failed as well.
    std::vector<std::vector<Injected>> rows;
    for (int op = 0; op < Op::kOpCount; ++op) {
      for (Fault fault : FaultsOf(op, rules)) {
        for (int n = 1; n <= clean.calls[op]; ++n) rows.push_back({{Op(op), n, fault}});
      }
    }
    for (size_t i = 0, first = rows.size(); i < first; ++i) {
      MemoryFileSystem fs(rules);
      Convert(&fs, rows[i]);
      for (int op = 0; op < Op::kOpCount; ++op) {
        for (int n = clean.calls[op] + 1; n <= fs.calls[op]; ++n) {
          rows.push_back({rows[i][0], {Op(op), n, Fault::kError}});
        }
      }
    }
    for (const std::vector<Injected>& row : rows) {
      SCOPED_TRACE(Describe(rules, row));
      MemoryFileSystem fs(rules);
      bool result = Convert(&fs, row);
      Disk after = fs.Contents();
      Disk expected = {{"f.crv#001", "old"}};
      // Only a missed free name or an undeleted backup may leave the run a
      // success; then the name holds the converted bytes, and the backup
      // stays only when deleting it failed.
      const Op first = row[0].op;
      if (first != Op::kIsPresent && first != Op::kRemove) {
        EXPECT_FALSE(result);
      }
      if (result) {
        expected["f"] = kConverted;
        if (first == Op::kRemove) expected[backup] = kOriginal;
      } else if (after.count(backup) && (row.size() > 1 || row[0].fault == Fault::kUnknown)) {
        // A restore that failed, or that could not tell the output from
        // another file, leaves the original in the backup.
        after.erase("f");
        expected[backup] = kOriginal;
      } else {
        expected["f"] = kOriginal;
      }
      EXPECT_EQ(after, expected);
    }
    // Single failures, and failures in the restore after one.
    EXPECT_EQ(rows.size(), rules == Rules::kPosix ? 32u : 29u);
  }
}

// ---- A file that is not text ----------------------------------------------
//
// It fails with its bytes and identity kept and nothing beside it; the scan
// decides, before anything moves, when the mark or a NUL comes before the
// first change; a file in form stays, whatever it holds.
TEST(ReplaceInPlaceNotTextTest, FailsUntouched) {
  using namespace std::string_literals;
  const std::string wide = "\xff\xfe\x01\x30\x0a\x30";  // UTF-16LE, no NUL
  const auto make_wide = [&](MemoryFileSystem& fs) { fs.files["f"]->bytes = wide; };
  struct Case {
    const char* what;
    std::string bytes;
    bool add_cr, in_form, moved;
    std::function<void(MemoryFileSystem&)> before_move;
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
        if (c.before_move && op == Op::kMoveAside && n == 1) c.before_move(fs);
        return Fault::kNone;
      };
      EXPECT_EQ(ReplaceInPlace(fs, "f", c.add_cr), c.in_form);
      EXPECT_EQ(fs.Contents(), (Disk{{"f", c.before_move ? wide : c.bytes}}));
      EXPECT_EQ(fs.files["f"], file);
      EXPECT_EQ(fs.calls[Op::kMoveAside] != 0, c.moved);
    }
  }
}

// ---- Another process between any two calls, and faults anywhere --------
//
// Random schedules under the POSIX rules (the Windows ones still rename in
// two steps): before some of the run's calls another process appends by the
// name (creating it when missing, as >> does) or writes again through the
// descriptor it opened so; up to two calls fail. Checked before every call: the name holds a complete
// file, the original or the run's output. At the end: every line of the
// original and of the other process is under the name, or, only after a
// reported failure, in another file; a success leaves the name converted.
// CRV_FUZZ_SECONDS runs it longer, CRV_FUZZ_SEED repeats one schedule.
TEST(ReplaceInPlaceFuzzTest, TheNameAlwaysHoldsAFileAndNoLineIsLost) {
  const char* seconds = std::getenv("CRV_FUZZ_SECONDS");
  const char* first_seed = std::getenv("CRV_FUZZ_SEED");
  const auto end = std::chrono::steady_clock::now() +
                   std::chrono::milliseconds(static_cast<long>(1000 * (seconds ? std::atof(seconds) : 2)));
  uint32_t seed = first_seed ? static_cast<uint32_t>(std::strtoul(first_seed, nullptr, 10)) : 1;
  for (int runs = 0; runs < 1 || (!first_seed && !HasFailure() &&
                                  std::chrono::steady_clock::now() < end);
       ++runs, ++seed) {
    SCOPED_TRACE("CRV_FUZZ_SEED=" + std::to_string(seed));
    std::mt19937 rng(seed);
    const Rules rules = Rules::kPosix;
    MemoryFileSystem fs(rules);
    std::vector<std::string> lines;  // Every line that must survive.
    std::string original;
    for (int i = 0, n = static_cast<int>(rng() % 4); i < n; ++i) {
      lines.push_back("<o" + std::to_string(i) + ">");
      original += lines.back() + (rng() % 2 ? "\r\n" : "\n");
    }
    fs.Put("f", original);
    if (rng() % 2) fs.Put("f.crv#001", "old");
    const std::shared_ptr<MemoryFileSystem::File> file = fs.files["f"];
    std::vector<Injected> faults(rng() % 3);
    for (Injected& f : faults) {
      f = {Op(rng() % Op::kOpCount), static_cast<int>(1 + rng() % 3), Fault::kError};
      if (f.op == Op::kWrite && rng() % 2) f.fault = Fault::kShort;
    }
    SCOPED_TRACE(Describe(rules, faults));
    int step = 0;
    std::shared_ptr<MemoryFileSystem::File> held;  // Open in the other process.
    fs.at_call = [&](Op op, int n) {
      ++step;
      auto at = fs.files.find("f");
      EXPECT_TRUE(at != fs.files.end() && (at->second == file || at->second == fs.NewFile()))
          << "no complete file under the name before call " << step;
      if (rng() % 4 == 0) {
        std::string line = "<t" + std::to_string(lines.size()) + ">";
        if (rng() % 2 || !held) {
          held = fs.AppendByName("f", line + "\r\n");
        } else {
          fs.WriteThrough(held, line + "\r\n");
        }
        lines.push_back(line);
      }
      for (const Injected& f : faults) {
        if (f.op == op && f.n == n) return f.fault;
      }
      return Fault::kNone;
    };
    const bool converted = ReplaceInPlace(fs, "f", /*add_cr=*/true);
    fs.at_call = nullptr;
    fs.EndRun();
    ASSERT_TRUE(fs.files.count("f") || !converted);
    std::string elsewhere;
    for (const auto& entry : fs.files) {
      if (entry.first != "f") elsewhere += entry.second->bytes;
    }
    const std::string under_name = fs.files.count("f") ? fs.files["f"]->bytes : "";
    for (const std::string& line : lines) {
      EXPECT_TRUE(under_name.find(line) != std::string::npos ||
                  (!converted && elsewhere.find(line) != std::string::npos))
          << line << " lost; under the name: " << under_name;
    }
    if (converted) {
      for (size_t i = under_name.find('\n'); i != std::string::npos; i = under_name.find('\n', i + 1)) {
        EXPECT_TRUE(i > 0 && under_name[i - 1] == '\r') << "not converted: " << under_name;
      }
    }
  }
}

}  // namespace
}  // namespace crv
