// "-i" on a tree of files through the real binary: which files are taken,
// what each becomes, the lines, the summary and the exit status, and that
// none of it depends on the number of workers.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "decode/picture.h"
#include "driver/options.h"
#include "tests/support/command_runner.h"
#include "tests/support/jpeg_oracle.h"
#include "tests/support/oracle.h"
#include "tests/support/picture_builder.h"
#include "tests/support/print_capture.h"
#include "tests/support/terminal_runner.h"

namespace {

namespace fs = std::filesystem;
using namespace testpic;

// Stored rows (zlib level 0): anything that compresses makes them smaller.
const Bytes kLoose = rgb_png(20, 12, 0);
const Bytes kLooseDeep = rgb_png(16, 16, 0);
const Bytes kLocked = rgb_png(12, 12, 0);
const Bytes kDamaged(kLoose.begin(), kLoose.end() - 40);
const Bytes kNotes = bytes_of("not a picture\n");
const Bytes kPhoto = [] {
  JpegMakeOptions gray;
  gray.components = 1;
  return jpeg_make(jpeg_test_samples(24, 16, 1), 24, 16, gray);
}();
const bool kRoot = geteuid() == 0;

// Every regular file and link under folder, by relative name: contents, or
// "-> target" for a link.
std::map<std::string, Bytes> snapshot(const std::string& folder) {
  std::map<std::string, Bytes> files;
  for (const auto& e : fs::recursive_directory_iterator(folder)) {
    const std::string name = e.path().string().substr(folder.size() + 1);
    if (e.is_symlink()) {
      const std::string target = "-> " + fs::read_symlink(e.path()).string();
      files[name] = Bytes(target.begin(), target.end());
    } else if (e.is_regular_file()) {
      files[name] = read_file(e.path().string());
    }
  }
  return files;
}

// A tree with a bit of everything a real one holds. "optimal.png" is what
// the tool itself made of a picture, so nothing smaller is found for it.
struct Tree {
  TempFolder dir;
  Bytes optimal;
  std::map<std::string, Bytes> before;

  Tree() {
    fs::create_directories(dir.file("tree/sub/deep"));
    write_file(dir.file("tree/a.png"), kLoose);
    write_file(dir.file("tree/sub/deep/b.dat"), kLooseDeep);
    write_file(dir.file("tree/locked.png"), kLocked);
    chmod(dir.file("tree/locked.png").c_str(), 0444);
    write_file(dir.file("tree/damaged.png"), kDamaged);
    write_file(dir.file("tree/photo.jpg"), kPhoto);
    write_file(dir.file("tree/sub/notes.txt"), kNotes);
    // A temporary twin left by a killed run: never taken for a picture.
    write_file(dir.file("tree/sub/.a.png.tessel-AbC123"), kLoose);
    symlink("../..", dir.file("tree/sub/deep/loop").c_str());
    symlink("../a.png", dir.file("tree/sub/same.png").c_str());
    write_file(dir.file("tree/optimal.png"), rgb_png(10, 30, 0));
    run_tool(dir, {"-s3", "tree/optimal.png"});
    optimal = read_file(dir.file("tree/optimal.png"));
    before = snapshot(dir.path());
  }
};

std::string size_of(const Bytes& b) { return std::to_string(b.size()); }

std::string rewritten_line(const std::string& name, const Bytes& before, const Bytes& after) {
  return name + ": " + size_of(before) + " -> " + size_of(after) + " bytes (" +
         std::to_string(int(100.0 * double(after.size()) / double(before.size()))) + "%)";
}

std::vector<uint32_t> decoded(const Bytes& file, int32_t* w, int32_t* h) {
  probe_picture(file.data(), int32_t(file.size()), w, h);
  std::vector<uint32_t> pixels(size_t(*w) * size_t(*h), 0);
  SourceInfo info{};
  decode_picture(file.data(), int32_t(file.size()), DecodeTarget{pixels.data(), *w * 4, *w, *h, 0, 0}, info);
  return pixels;
}

const std::vector<std::string> kArgs = {"-i", "-s3", "tree", "tree/photo.jpg", "missing.png"};

std::vector<std::string> with(std::vector<std::string> args, const std::vector<std::string>& more) {
  args.insert(args.begin(), more.begin(), more.end());
  return args;
}

TEST(Batch, TreeOfFiles) {
  Tree t;
  const CommandResult r = run_tool(t.dir, with(kArgs, {"-j2"}));
  const auto after = snapshot(t.dir.path());
  EXPECT_EQ(r.status, 1) << "files failed";
  EXPECT_EQ(r.err, "");

  // What must have changed, each only by its pixels' new encoding.
  const Bytes& a = after.at("tree/a.png");
  const Bytes& b = after.at("tree/sub/deep/b.dat");
  const Bytes& locked = after.at("tree/locked.png");
  EXPECT_LT(a.size(), kLoose.size());
  EXPECT_TRUE(same_png_pixels(a, kLoose));
  EXPECT_LT(b.size(), kLooseDeep.size());
  EXPECT_TRUE(same_png_pixels(b, kLooseDeep));
  ASSERT_EQ(after.count("tree/photo.png"), 1u);
  int32_t w = 0, h = 0;
  const std::vector<uint32_t> photo = decoded(kPhoto, &w, &h);
  EXPECT_TRUE(png_shows(after.at("tree/photo.png"), w, h, photo));
  // A file its owner made read-only stays so; root may write anything.
  if (kRoot) {
    EXPECT_TRUE(same_png_pixels(locked, kLocked));
  } else {
    EXPECT_EQ(locked, kLocked);
  }
  // Everything else is byte for byte as it was, and nothing else appeared.
  auto expected = t.before;
  expected["tree/a.png"] = a;
  expected["tree/sub/deep/b.dat"] = b;
  expected["tree/locked.png"] = locked;
  expected["tree/photo.png"] = after.at("tree/photo.png");
  EXPECT_EQ(after, expected);

  const std::string locked_line =
      kRoot ? rewritten_line("tree/locked.png", kLocked, locked)
            : "tree/locked.png: failed: ERROR: Unable to open tree/locked.png for writing!";
  const int failed = kRoot ? 2 : 3, rewritten = kRoot ? 4 : 3;
  size_t bytes_before = kLoose.size() + kLooseDeep.size() + kPhoto.size() + t.optimal.size();
  size_t bytes_after = a.size() + b.size() + after.at("tree/photo.png").size() + t.optimal.size();
  if (kRoot) bytes_before += kLocked.size(), bytes_after += locked.size();
  char summary[256];
  std::snprintf(
      summary, sizeof summary,
      "Files: 7 seen, %d rewritten, 1 already optimal, %d failed; bytes: %zu before, %zu after, %zu saved "
      "(%.1f%%)\n",
      rewritten, failed, bytes_before, bytes_after, bytes_before - bytes_after,
      100.0 * double(bytes_before - bytes_after) / double(bytes_before));
  EXPECT_EQ(r.out, rewritten_line("tree/a.png", kLoose, a) + "\n" +
                       "tree/damaged.png: failed: Damaged input left unchanged\n" + locked_line + "\n" +
                       "tree/optimal.png: " + size_of(t.optimal) +
                       " bytes, already optimal, kept as it was\n" +
                       rewritten_line("tree/sub/deep/b.dat", kLooseDeep, b) + "\n" +
                       rewritten_line("tree/photo.jpg", kPhoto, after.at("tree/photo.png")) +
                       " in tree/photo.png\n" + "missing.png: failed: not found\n" + summary);
}

// The same tree with one worker and with two: the same lines, the same files.
// Run again, the batch finds nothing more to do and changes nothing.
TEST(Batch, SameResultWhateverTheWorkersAndAgain) {
  Tree one, two;
  const CommandResult r1 = run_tool(one.dir, with(kArgs, {"-j1"}));
  const CommandResult r2 = run_tool(two.dir, with(kArgs, {"-j2"}));
  EXPECT_EQ(r1.status, r2.status);
  EXPECT_EQ(r1.out, r2.out);
  const auto files = snapshot(two.dir.path());
  EXPECT_EQ(snapshot(one.dir.path()), files);

  const CommandResult again = run_tool(two.dir, with(kArgs, {"-j2"}));
  EXPECT_EQ(again.status, 1);
  EXPECT_EQ(snapshot(two.dir.path()), files);
  EXPECT_NE(again.out.find("tree/a.png: " + size_of(files.at("tree/a.png")) + " bytes, already optimal"),
            std::string::npos)
      << again.out;
  // The named JPEG is converted again, as "-y" would, into the same bytes.
  EXPECT_NE(again.out.find(kRoot ? "Files: 8 seen, 1 rewritten, 5 already optimal, 2 failed;"
                                 : "Files: 8 seen, 1 rewritten, 4 already optimal, 3 failed;"),
            std::string::npos)
      << again.out;
}

TEST(Batch, PretendWritesNothing) {
  Tree t;
  const CommandResult r = run_tool(t.dir, with(kArgs, {"-t"}));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(snapshot(t.dir.path()), t.before);
  EXPECT_TRUE(std::regex_search(
      r.out, std::regex("(^|\n)tree/a.png: [0-9]+ -> [0-9]+ bytes \\([0-9]+%\\), not written "
                        "\\(-t\\)\n")))
      << r.out;
  EXPECT_NE(r.out.find("tree/photo.jpg: "), std::string::npos);
  EXPECT_NE(r.out.find(" in tree/photo.png, not written (-t)\n"), std::string::npos) << r.out;
  const std::string end = "; pretend (-t): nothing written\n";
  EXPECT_EQ(r.out.substr(r.out.size() - end.size()), end);
}

// Quiet: only the failures, on standard error; verbose: the details of each
// file right after its line.
TEST(Batch, QuietAndVerbose) {
  Tree t;
  const CommandResult quiet = run_tool(t.dir, with(kArgs, {"-q", "-t"}));
  EXPECT_EQ(quiet.status, 1);
  EXPECT_EQ(quiet.out, "");
  EXPECT_EQ(quiet.err, "tree/damaged.png: failed: Damaged input left unchanged\n" +
                           std::string(kRoot ? ""
                                             : "tree/locked.png: failed: ERROR: Unable to open "
                                               "tree/locked.png for writing!\n") +
                           "missing.png: failed: not found\n");

  const CommandResult verbose = run_tool(t.dir, {"-i", "-v", "-s3", "tree/a.png", "tree/damaged.png"});
  const size_t a = verbose.out.find("tree/a.png: "),
               a_detail = verbose.out.find(" Input: tree/a.png coltype:2");
  const size_t damaged = verbose.out.find("tree/damaged.png: failed"),
               damaged_detail = verbose.out.find("Warning: tree/damaged.png is damaged or incomplete");
  EXPECT_TRUE(a == 0 && a < a_detail && a_detail < damaged && damaged < damaged_detail) << verbose.out;
  EXPECT_EQ(verbose.out.find('\r'), std::string::npos) << "progress within a pass stays out of the details";
}

TEST(Batch, KeepsTimesWithP) {
  TempFolder dir;
  write_file(dir.file("a.png"), kLoose);
  write_file(dir.file("b.png"), kLoose);
  const timespec old_times[2] = {{978307200, 123456789}, {978393600, 987654321}};
  utimensat(AT_FDCWD, dir.file("a.png").c_str(), old_times, 0);
  utimensat(AT_FDCWD, dir.file("b.png").c_str(), old_times, 0);
  // Two workers: the batch reads each header for its memory admission
  // before the worker reads the file, and must leave its times alone.
  write_file(dir.file("c.png"), kLooseDeep);
  utimensat(AT_FDCWD, dir.file("c.png").c_str(), old_times, 0);
  const CommandResult r = run_tool(dir, {"-i", "-p", "-j2", "-s3", "a.png", "c.png"});
  EXPECT_EQ(r.status, 0) << r.out;
  struct stat c;
  ASSERT_EQ(stat(dir.file("c.png").c_str(), &c), 0);
  EXPECT_EQ(c.st_atim.tv_sec, old_times[0].tv_sec);
  EXPECT_EQ(c.st_mtim.tv_sec, old_times[1].tv_sec);
  EXPECT_EQ(run_tool(dir, {"-i", "-s3", "b.png"}).status, 0);
  struct stat a, b;
  ASSERT_EQ(stat(dir.file("a.png").c_str(), &a), 0);
  ASSERT_EQ(stat(dir.file("b.png").c_str(), &b), 0);
  // Read after the stat: reading moves the access time.
  EXPECT_TRUE(same_png_pixels(read_file(dir.file("a.png")), kLoose));
  EXPECT_LT(a.st_size, off_t(kLoose.size()));
  EXPECT_EQ(a.st_mtim.tv_sec, old_times[1].tv_sec);
  EXPECT_EQ(a.st_mtim.tv_nsec, old_times[1].tv_nsec);
  EXPECT_EQ(a.st_atim.tv_sec, old_times[0].tv_sec);
  EXPECT_NE(b.st_mtim.tv_sec, old_times[1].tv_sec);
  // The one-file command line keeps them too.
  write_file(dir.file("pic.cel"), smooth_cel(24, 10));
  utimensat(AT_FDCWD, dir.file("pic.cel").c_str(), old_times, 0);
  EXPECT_EQ(run_tool(dir, {"-p", "pic.cel"}).status, 0);
  ASSERT_EQ(stat(dir.file("pic.cel.png").c_str(), &a), 0);
  EXPECT_EQ(a.st_mtim.tv_sec, old_times[1].tv_sec);
}

// Early stops and the informational options, each with its exact output.
struct EarlyCase {
  std::vector<std::string> args;
  int status;
  std::string out, err;  // "usage" stands for the usage text
};

std::string usage_text() {
  captured_messages().clear();
  print_usage(capture_printer());
  return captured_messages();
}

std::string expand(const std::string& text) { return text == "usage" ? usage_text() : text; }

class BatchEarly : public ::testing::TestWithParam<EarlyCase> {};

TEST_P(BatchEarly, PrintsAndEnds) {
  const EarlyCase& c = GetParam();
  TempFolder dir;
  write_file(dir.file("a.png"), kLoose);
  const CommandResult r = run_tool(dir, c.args);
  EXPECT_EQ(r.status, c.status);
  if (c.out == "version") {
    EXPECT_TRUE(std::regex_match(r.out, std::regex("tessel [0-9]+\\.[0-9]+\\.[0-9]+\n"))) << r.out;
  } else {
    EXPECT_EQ(r.out, expand(c.out));
  }
  const std::string stdio = "-i rewrites files in place: standard input and output ('-') cannot be used\n";
  EXPECT_EQ(r.err, c.err == "stdio" ? stdio + usage_text() : expand(c.err));
  EXPECT_EQ(read_file(dir.file("a.png")), kLoose);
}

INSTANTIATE_TEST_SUITE_P(
    Early, BatchEarly,
    ::testing::Values(
        EarlyCase{{"-h"}, 0, "usage", ""}, EarlyCase{{"a.png", "--help"}, 0, "usage", ""},
        EarlyCase{{"-H", "-i", "a.png"}, 0, "usage", ""}, EarlyCase{{"--version"}, 0, "version", ""},
        EarlyCase{{"-i", "-"}, 1, "", "stdio"}, EarlyCase{{"a.png", "-i", "-"}, 1, "", "stdio"},
        EarlyCase{{"-i", "-v"}, 1, "", "Must specify a source or target image\n" + usage_text()},
        // Without -i the seed's rule on names holds.
        EarlyCase{
            {"a.png", "b.png", "c.png"}, 1, "", "Too many filenames specified on cmdline\n" + usage_text()}));

// An empty folder is a batch of nothing, which succeeds.
TEST(Batch, EmptyFolder) {
  TempFolder dir;
  fs::create_directory(dir.file("empty"));
  const CommandResult r = run_tool(dir, {"-i", "empty"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(
      r.out,
      "Files: 0 seen, 0 rewritten, 0 already optimal, 0 failed; bytes: 0 before, 0 after, 0 saved (0.0%)\n");
}

// Noisy stored rows: the passes over them take seconds, long enough for a
// key typed after the batch's first file to find this one still running.
Bytes slow_png() {
  Bytes rows;
  uint32_t state = 5;
  for (int y = 0; y < 700; ++y) {
    rows.push_back(0);
    for (int i = 0; i < 700 * 3; ++i) rows.push_back(uint8_t((state = state * 1103515245u + 12345u) >> 24));
  }
  return png_file({ihdr_chunk(700, 700, 8, 2), idat_chunk(rows, 0), png_chunk("IEND", {})});
}

// Escape typed at the terminal while the second of three files runs: the
// first stays rewritten, the second is kept as it was, the third is never
// started, the summary says so, the status is 1 and the terminal's mode is
// as it was before.
TEST(Batch, EscapeStopsBetweenFiles) {
  TempFolder dir;
  const Bytes slow = slow_png();
  write_file(dir.file("a.png"), kLoose);
  write_file(dir.file("b.png"), slow);
  write_file(dir.file("c.png"), kLooseDeep);
  const TerminalRun r =
      run_in_terminal(dir, {"-i", "-j1", "a.png", "b.png", "c.png"}, "", "1 of 3 files", "\x1b");
  EXPECT_EQ(r.status, 1) << r.screen;
  const Bytes a = read_file(dir.file("a.png"));
  EXPECT_LT(a.size(), kLoose.size());
  EXPECT_TRUE(same_png_pixels(a, kLoose));
  EXPECT_EQ(read_file(dir.file("b.png")), slow);
  EXPECT_EQ(read_file(dir.file("c.png")), kLooseDeep);
  EXPECT_NE(r.screen.find(rewritten_line("a.png", kLoose, a)), std::string::npos) << r.screen;
  EXPECT_NE(r.screen.find("b.png: stopped by Escape, kept as it was"), std::string::npos) << r.screen;
  EXPECT_EQ(r.screen.find("c.png:"), std::string::npos) << r.screen;
  EXPECT_NE(r.screen.find("Stopped by Escape: 1 of 3 files not started, left as they were"),
            std::string::npos)
      << r.screen;
  EXPECT_NE(r.screen.find("Files: 3 seen, 1 rewritten, 0 already optimal, 0 failed, 1 stopped;"),
            std::string::npos)
      << r.screen;
  EXPECT_EQ(r.lflag_after, r.lflag_before);
  // No temporary twin is left beside the stopped file.
  for (const auto& e : fs::directory_iterator(dir.path()))
    EXPECT_EQ(e.path().filename().string().find(".tessel-"), std::string::npos) << e.path();
}

// The batch run as a user who may not write a read-only file: the file is
// reported and left alone, the others are rewritten. Root may write
// anything, so as root the tool runs as "nobody" on files it owns; without
// such a user, or as another user who cannot switch, it runs as itself.
CommandResult run_tool_as(uid_t uid, gid_t gid, const TempFolder& dir, const std::vector<std::string>& args) {
  CommandResult result;
  int out[2];
  if (pipe(out) != 0) return result;
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], 1);
    dup2(out[1], 2);
    close(out[0]);
    close(out[1]);
    if (chdir(dir.path().c_str()) != 0) _exit(126);
    if (getuid() != uid && (setgid(gid) != 0 || setuid(uid) != 0)) _exit(125);
    std::vector<char*> argv = {const_cast<char*>(TESSEL_BINARY)};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(TESSEL_BINARY, argv.data());
    _exit(127);
  }
  close(out[1]);
  char buffer[4096];
  ssize_t n;
  while ((n = read(out[0], buffer, sizeof buffer)) > 0) result.out.append(buffer, size_t(n));
  close(out[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

TEST(Batch, ReadOnlyFileOfAUserWhoMayNotWriteIt) {
  uid_t uid = getuid();
  gid_t gid = getgid();
  if (kRoot) {
    // The id of "nobody" on every common system.
    uid = 65534;
    gid = 65534;
  }
  TempFolder dir;
  chmod(dir.path().c_str(), 0777);
  write_file(dir.file("a.png"), kLoose);
  write_file(dir.file("locked.png"), kLocked);
  for (const char* n : {"a.png", "locked.png"}) {
    if (kRoot) {
      ASSERT_EQ(chown(dir.file(n).c_str(), uid, gid), 0);
    }
  }
  chmod(dir.file("locked.png").c_str(), 0444);
  const CommandResult r = run_tool_as(uid, gid, dir, {"-i", "-s3", "a.png", "locked.png"});
  if (r.status == 125) GTEST_SKIP() << "cannot run as user " << uid;
  EXPECT_EQ(r.status, 1) << r.out;
  const Bytes a = read_file(dir.file("a.png"));
  EXPECT_LT(a.size(), kLoose.size());
  EXPECT_TRUE(same_png_pixels(a, kLoose));
  EXPECT_EQ(read_file(dir.file("locked.png")), kLocked);
  EXPECT_NE(r.out.find("locked.png: failed: ERROR: Unable to open locked.png for writing!\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("Files: 2 seen, 1 rewritten, 0 already optimal, 1 failed;"), std::string::npos)
      << r.out;
}

// What even root cannot do: put a file where a folder of the same name is.
// The named JPEG would become photo.png beside it; the failure is reported,
// the folder and its content stay, no temporary twin is left.
TEST(Batch, OutputNameTakenByAFolder) {
  TempFolder dir;
  write_file(dir.file("photo.jpg"), kPhoto);
  write_file(dir.file("a.png"), kLoose);
  fs::create_directories(dir.file("photo.png"));
  write_file(dir.file("photo.png/inside.txt"), kNotes);
  const CommandResult r = run_tool(dir, {"-i", "-s3", "photo.jpg", "a.png"});
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.out.find("photo.jpg: failed"), std::string::npos) << r.out;
  EXPECT_TRUE(fs::is_directory(dir.file("photo.png")));
  EXPECT_EQ(read_file(dir.file("photo.png/inside.txt")), kNotes);
  EXPECT_EQ(read_file(dir.file("photo.jpg")), kPhoto);
  EXPECT_LT(read_file(dir.file("a.png")).size(), kLoose.size());
  EXPECT_NE(r.out.find("Files: 2 seen, 1 rewritten, 0 already optimal, 1 failed;"), std::string::npos)
      << r.out;
  for (const auto& e : fs::directory_iterator(dir.path()))
    EXPECT_EQ(e.path().filename().string().find(".tessel-"), std::string::npos) << e.path();
}

}  // namespace
