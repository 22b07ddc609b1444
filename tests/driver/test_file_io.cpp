#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "driver/file_io.h"
#include "tests/support/command_runner.h"
#include "tests/support/oracle.h"

namespace {

const std::vector<uint8_t> kNew(3000, 0xAB);
const std::vector<uint8_t> kOld = {'o', 'l', 'd'};

mode_t mode_of(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

size_t entries_in(const std::string& folder) {
  size_t n = 0;
  for (const auto& e : std::filesystem::directory_iterator(folder)) (void)e, ++n;
  return n;
}

TEST(SafeWrite, NewFileGetsUmaskPermissions) {
  TempFolder dir;
  const mode_t old_mask = umask(027);
  EXPECT_EQ(write_file_safely(dir.file("a.png"), kNew.data(), kNew.size()), kWriteOk);
  umask(old_mask);
  EXPECT_EQ(mode_of(dir.file("a.png")), mode_t(0640));
  EXPECT_EQ(read_file(dir.file("a.png")), kNew);
  EXPECT_EQ(entries_in(dir.path()), 1u);
}

TEST(SafeWrite, ReplacedFileKeepsItsPermissionBits) {
  TempFolder dir;
  const std::string target = dir.file("a.png");
  write_file(target, kOld);
  chmod(target.c_str(), 0604);
  EXPECT_EQ(write_file_safely(target, kNew.data(), kNew.size()), kWriteOk);
  EXPECT_EQ(mode_of(target), mode_t(0604));
  EXPECT_EQ(read_file(target), kNew);
  EXPECT_EQ(entries_in(dir.path()), 1u);
}

TEST(SafeWrite, SymbolicLinkIsFollowedAndKept) {
  TempFolder dir;
  std::filesystem::create_directory(dir.file("real"));
  const std::string target = dir.file("real/a.png");
  write_file(target, kOld);
  ASSERT_EQ(symlink("real/a.png", dir.file("link.png").c_str()), 0);
  EXPECT_EQ(write_file_safely(dir.file("link.png"), kNew.data(), kNew.size()), kWriteOk);
  EXPECT_TRUE(std::filesystem::is_symlink(dir.file("link.png")));
  EXPECT_EQ(read_file(target), kNew);
  EXPECT_EQ(entries_in(dir.file("real")), 1u);
}

TEST(SafeWrite, DeviceIsWrittenDirectly) {
  EXPECT_EQ(write_file_safely("/dev/null", kNew.data(), kNew.size()), kWriteOk);
  EXPECT_EQ(write_file_safely("/dev/full", kNew.data(), kNew.size()), kWriteFailed);
  struct stat st;
  ASSERT_EQ(stat("/dev/null", &st), 0);
  EXPECT_TRUE(S_ISCHR(st.st_mode));
}

TEST(SafeWrite, MissingFolderFailsToOpen) {
  TempFolder dir;
  EXPECT_EQ(write_file_safely(dir.file("no/such/a.png"), kNew.data(), kNew.size()), kWriteOpenFailed);
}

// The file-size limit makes the write fail half-way, as a full disk would.
TEST(SafeWrite, FailedWriteLeavesTheTargetAndNoTemporary) {
  TempFolder dir;
  const std::string target = dir.file("a.png");
  write_file(target, kOld);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit = {1000, 1000};
    setrlimit(RLIMIT_FSIZE, &limit);
    _exit(write_file_safely(target, kNew.data(), kNew.size()) == kWriteFailed ? 0 : 1);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(read_file(target), kOld);
  EXPECT_EQ(entries_in(dir.path()), 1u);
}

// Run as an ordinary user (the tests usually run as root, who may write
// anything): a read-only file is refused like a failed open, never replaced.
TEST(SafeWrite, ReadOnlyFileIsNotReplaced) {
  if (getuid() != 0) GTEST_SKIP() << "needs root to switch users";
  TempFolder dir;
  chmod(dir.path().c_str(), 0777);
  const std::string locked = dir.file("locked.png"), open = dir.file("open.png");
  write_file(locked, kOld);
  write_file(open, kOld);
  chmod(locked.c_str(), 0444);
  ASSERT_EQ(chown(locked.c_str(), 65534, 65534), 0);
  ASSERT_EQ(chown(open.c_str(), 65534, 65534), 0);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
    const bool refused = write_file_safely(locked, kNew.data(), kNew.size()) == kWriteOpenFailed;
    const bool replaced = write_file_safely(open, kNew.data(), kNew.size()) == kWriteOk;
    _exit(refused && replaced ? 0 : 1);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(read_file(locked), kOld);
  EXPECT_EQ(read_file(open), kNew);
  struct stat st;
  ASSERT_EQ(stat(open.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 65534u);
  EXPECT_EQ(entries_in(dir.path()), 2u);
}

TEST(ReadInput, FilesWholeOrNotAtAll) {
  TempFolder dir;
  std::vector<uint8_t> data;
  bool opened = true;
  EXPECT_EQ(read_input_file(dir.file("missing"), &data, &opened), kReadNotFound);
  EXPECT_FALSE(opened);

  write_file(dir.file("empty"), {});
  EXPECT_EQ(read_input_file(dir.file("empty"), &data, &opened), kReadNotFound);
  EXPECT_TRUE(opened);

  EXPECT_EQ(read_input_file(dir.path(), &data, &opened), kReadNotFound);

  write_file(dir.file("full"), kNew);
  EXPECT_EQ(read_input_file(dir.file("full"), &data, &opened), kReadOk);
  EXPECT_EQ(data, kNew);
}

TEST(ReadInput, ExistenceTestDoesNotOpenAFifo) {
  TempFolder dir;
  ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
  EXPECT_TRUE(path_exists(dir.file("fifo")));  // would block for ever if it opened it
  EXPECT_FALSE(path_exists(dir.file("nothing")));
}

TEST(ReadInput, SameFileThroughOtherNames) {
  TempFolder dir;
  write_file(dir.file("a.png"), kOld);
  ASSERT_EQ(symlink("a.png", dir.file("b.png").c_str()), 0);
  EXPECT_TRUE(same_file(dir.file("a.png"), dir.file("b.png")));
  EXPECT_TRUE(same_file(dir.file("a.png"), dir.path() + "/./a.png"));
  write_file(dir.file("c.png"), kOld);
  EXPECT_FALSE(same_file(dir.file("a.png"), dir.file("c.png")));
  EXPECT_FALSE(same_file(dir.file("a.png"), dir.file("missing.png")));
}

}  // namespace
