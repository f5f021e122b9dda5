// The engine's in-place run on the operating system's files.
#include <gtest/gtest.h>
#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "engine/convert.h"
#include "platform/platform.h"

namespace crv {
namespace {

constexpr uint64_t kBlock = 128 * 1024;  // The copy's read block.

class PosixConvertTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/crv_convert_test.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { ASSERT_EQ(std::system(("rm -rf " + dir_).c_str()), 0); }

  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  static void Put(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
  }
  static std::string Get(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  static bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }
  // The operating system's files, working in this test's directory.
  std::unique_ptr<FileSystem> InDir() {
    Put(Path("anchor"), "");
    std::unique_ptr<FileSystem> fs = platform::NewFileSystem();
    std::string leaf;
    EXPECT_TRUE(fs->Locate(Path("anchor"), &leaf));
    return fs;
  }

  // A whole run on the operating system's files.
  static bool ReplaceInPlace(const std::string& path, bool add_cr) {
    std::unique_ptr<FileSystem> fs = platform::NewFileSystem();
    return crv::ReplaceInPlace(*fs, path, add_cr);
  }

  std::string dir_;
};

TEST_F(PosixConvertTest, LargeFileAcrossBlocksBothWays) {
  // Lines straddle every block boundary; the result is checked against the
  // same text built in the other form.
  std::string dos, unix_form;
  for (int i = 0; i < 100000; ++i) {
    std::string line = "line " + std::string(i % 7 == 0 ? "\r\r" : "") + std::to_string(i);
    dos += line + "\r\n";
    unix_form += line + "\n";
  }
  Put(Path("f"), dos);
  ASSERT_TRUE(ReplaceInPlace(Path("f"), false));
  EXPECT_TRUE(Get(Path("f")) == unix_form);
  ASSERT_TRUE(ReplaceInPlace(Path("f"), true));
  EXPECT_TRUE(Get(Path("f")) == dos);
  EXPECT_FALSE(Exists(Path("f.crv#001")));
}

TEST_F(PosixConvertTest, SkipsExistingBackupsAndLeavesThem) {
  // A number is free only when its backup name and the run's own `.new`
  // name are: leftovers of killed runs push it on and are left as they are,
  // a second name of the file itself (#003) too.
  Put(Path("a.txt"), "x\n");
  Put(Path("a.txt.crv#001"), "one");
  Put(Path("a.txt.crv#002.new"), "two");
  ASSERT_EQ(link(Path("a.txt").c_str(), Path("a.txt.crv#003").c_str()), 0);
  Put(Path("a.txt.crv#004"), "four");
  std::unique_ptr<FileSystem> fs = InDir();
  ASSERT_TRUE(fs->Claim("a.txt"));
  std::string backup;
  ASSERT_TRUE(MakeBackup(*fs, "a.txt", &backup));
  EXPECT_EQ(backup, "a.txt.crv#005");
  // A second name of the original, which keeps its own.
  EXPECT_EQ(Get(Path(backup)), "x\n");
  EXPECT_EQ(Get(Path("a.txt")), "x\n");
  EXPECT_EQ(Get(Path("a.txt.crv#002.new")), "two");
  fs->Discard("a.txt", backup);
  EXPECT_FALSE(Exists(Path(backup)));
  // The run ends, and with it its claim: a new run converts the file.
  fs.reset();
  EXPECT_TRUE(ReplaceInPlace(Path("a.txt"), true));
  EXPECT_EQ(Get(Path("a.txt")), "x\r\n");
  EXPECT_EQ(Get(Path("a.txt.crv#001")), "one");
  EXPECT_EQ(Get(Path("a.txt.crv#003")), "x\n");
}

TEST_F(PosixConvertTest, TakenBackupNameLeavesTargetUnchanged) {
  Put(Path("a.txt"), "x\n");
  ASSERT_EQ(mkdir(Path("a.txt.crv#001").c_str(), 0700), 0);
  RunReport report;
  EXPECT_FALSE(crv::ReplaceInPlace(*platform::NewFileSystem(), Path("a.txt"), true, nullptr, &report));
  EXPECT_EQ(report.step, Step::kBackup);
  EXPECT_EQ(report.error, EEXIST);
  EXPECT_EQ(Get(Path("a.txt")), "x\n");
}

TEST_F(PosixConvertTest, KeepsPermissionBitsAndOwner) {
  // As root the owner and group are kept too, even a foreign pair.
  const bool root = geteuid() == 0;
  const uid_t uid = root ? 1234 : geteuid();
  const gid_t gid = root ? 5678 : getegid();
  for (mode_t mode : {0600, 0755, 0640, 0444, 02750}) {
    Put(Path("m"), "a\n");
    ASSERT_EQ(chown(Path("m").c_str(), uid, gid), 0);
    ASSERT_EQ(chmod(Path("m").c_str(), mode), 0);
    ASSERT_TRUE(ReplaceInPlace(Path("m"), true));
    struct stat st;
    ASSERT_EQ(stat(Path("m").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, mode);
    EXPECT_EQ(st.st_uid, uid);
    EXPECT_EQ(st.st_gid, gid);
    EXPECT_EQ(Get(Path("m")), "a\r\n");
    ASSERT_EQ(unlink(Path("m").c_str()), 0);
  }
}

TEST_F(PosixConvertTest, ProgressIsReportedAndAStopDeclines) {
  // Records the last report; asks to stop at its `stop_at`th call (0: never).
  struct Control : RunControl {
    bool StopRequested(uint64_t done, uint64_t total) override {
      last = {done, total};
      return ++calls == stop_at;
    }
    int stop_at = 0, calls = 0;
    std::pair<uint64_t, uint64_t> last;
  };
  std::string dos, unix_form;
  for (int i = 0; i < 1 << 18; ++i) dos += "ab\r\n", unix_form += "ab\n";  // 8 blocks
  for (int stop_at : {0, 4}) {
    Put(Path("f"), dos);
    struct stat before, after;
    ASSERT_EQ(stat(Path("f").c_str(), &before), 0);
    Control control;
    control.stop_at = stop_at;
    RunReport report;
    EXPECT_EQ(crv::ReplaceInPlace(*platform::NewFileSystem(), Path("f"), false, &control, &report),
              !stop_at);
    EXPECT_EQ(report.Declined(), stop_at != 0);
    // Asked once before each read: the scan's first, the copy's 8 and its end.
    EXPECT_EQ(control.calls, stop_at ? stop_at : 10);
    EXPECT_EQ(control.last, std::make_pair(stop_at ? 2 * kBlock : dos.size(), dos.size()));
    ASSERT_EQ(stat(Path("f").c_str(), &after), 0);
    // Declined: the very same file, never moved.
    EXPECT_EQ(after.st_ino == before.st_ino, stop_at != 0);
    EXPECT_TRUE(Get(Path("f")) == (stop_at ? dos : unix_form));
    EXPECT_FALSE(Exists(Path("f.crv#001")));
    EXPECT_FALSE(Exists(Path("f.crv#001.new")));
  }
}

}  // namespace
}  // namespace crv
