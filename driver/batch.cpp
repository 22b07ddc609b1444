#include "driver/batch.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <utility>

#include "decode/picture.h"
#include "driver/chunk_select.h"
#include "driver/console.h"
#include "driver/memory_limit.h"
#include "driver/names.h"

// Every file runs in a worker process of its own, forked from this one. A
// process needs nothing of the encoder and decoders but what one run needs,
// so their per-process state is never shared; a crash or an exhausted memory
// in one file costs that file alone, reported as failed, while the others go
// on; and the memory a large picture took goes back when its worker ends. A
// fork per file costs well under a millisecond, little beside an encode. The
// worker hands back its messages (standard output and error, one pipe) and a
// fixed-size result record (another pipe); this process alone prints, in the
// order the files were named, so nothing printed depends on how many workers
// ran or which finished first.

namespace {

// Set in a worker by the batch's stop signal; read by its key poll and
// before its write. Per process: each worker has its own.
volatile sig_atomic_t worker_stop_signalled = 0;

constexpr int kStopSignal = SIGUSR1;

void on_stop_signal(int) { worker_stop_signalled = 1; }
int worker_key_check(void*, int) { return worker_stop_signalled ? 1 : 0; }

struct ResultRecord {
  int32_t outcome;
  int32_t animated;
  int64_t bytes_before;
  int64_t bytes_after;
};
static_assert(sizeof(ResultRecord) <= PIPE_BUF, "one write of the record must arrive whole");

struct FileResult {
  bool done = false;
  int32_t outcome = kFileFailed;
  bool animated = false;
  int64_t bytes_before = 0;
  int64_t bytes_after = 0;
  std::string messages;  // the worker's, raw
  std::string failure;   // why, when the batch itself knows
};

struct Worker {
  pid_t pid = -1;
  int32_t entry = -1;
  int64_t need = 0;  // bytes its run may take at its peak
  int message_fd = -1;
  int result_fd = -1;
  std::string record;
};

// ---- the list of work

struct FileId {
  dev_t dev;
  ino_t ino;
  bool operator<(const FileId& o) const { return dev != o.dev ? dev < o.dev : ino < o.ino; }
};

struct Walk {
  std::vector<BatchEntry> entries;
  std::set<FileId> inputs;
  std::set<FileId> folders;
  std::map<std::string, int32_t> last_user;  // a file's key -> the last entry reading or writing it
};

std::string join_path(const std::string& folder, const std::string& name) {
  if (!folder.empty() && folder.back() == '/') return folder + name;
  return folder + "/" + name;
}

// Identity of a file, or of a name not yet taken in an existing folder, so
// that two names of one file meet.
std::string file_key(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) == 0)
    return std::to_string(uint64_t(st.st_dev)) + ":" + std::to_string(uint64_t(st.st_ino));
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  if (stat(folder.c_str(), &st) == 0)
    return std::to_string(uint64_t(st.st_dev)) + ":" + std::to_string(uint64_t(st.st_ino)) + "/" + base;
  return "?" + path;
}

// The temporary twin of a file being replaced (".NAME.tessel-XXXXXX"), left
// by a run that was killed, or being written by another run right now.
bool is_temporary_twin(const std::string& name) {
  static const char kTag[] = ".tessel-";
  const size_t tag = sizeof kTag - 1, suffix = tag + 6;
  return name.size() > suffix + 1 && name[0] == '.' && name.compare(name.size() - suffix, tag, kTag) == 0;
}

// 1 = starts with the PNG signature, 0 = does not, -1 = cannot be read.
int sniff_png(const std::string& path) {
  // Looking must not move the access time, which "-p" keeps and which the
  // files the walk passes by never asked to have moved. O_NOATIME is only
  // for the owner (or root).
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOATIME);
  if (fd < 0 && errno == EPERM) fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  uint8_t head[8];
  ssize_t n;
  do n = read(fd, head, sizeof head);
  while (n < 0 && errno == EINTR);
  close(fd);
  if (n < 0) return -1;
  return has_png_signature_bytes(head, int32_t(n)) ? 1 : 0;
}

void add_entry(Walk* w, BatchEntry e) {
  e.after = -1;
  std::vector<std::string> keys;
  if (e.failure.empty()) {
    keys.push_back(file_key(e.name));
    if (!e.in_place) keys.push_back(file_key(e.output));
  }
  const int32_t index = int32_t(w->entries.size());
  for (const std::string& k : keys) {
    const auto found = w->last_user.find(k);
    if (found != w->last_user.end()) e.after = std::max(e.after, found->second);
    w->last_user[k] = index;
  }
  w->entries.push_back(std::move(e));
}

void add_failure(Walk* w, const std::string& name, const std::string& why) {
  BatchEntry e;
  e.name = name;
  e.output = name;
  e.in_place = false;
  e.failure = why;
  add_entry(w, std::move(e));
}

void add_file(Walk* w, const std::string& path, const struct stat& st, bool named) {
  const FileId id{st.st_dev, st.st_ino};
  if (w->inputs.count(id) != 0) return;
  const int png = sniff_png(path);
  // A walk passes other files by; they may still be named later.
  if (png == 0 && !named) return;
  w->inputs.insert(id);
  if (png < 0) return add_failure(w, path, std::string("cannot be read: ") + std::strerror(errno));
  BatchEntry e;
  e.name = path;
  e.in_place = png == 1;
  bool same = false;
  e.output = e.in_place ? path : output_name_from_input(path, &same);
  add_entry(w, std::move(e));
}

void walk_folder(Walk* w, const std::string& folder, const struct stat& folder_st) {
  if (!w->folders.insert(FileId{folder_st.st_dev, folder_st.st_ino}).second) return;
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr)
    return add_failure(w, folder, std::string("folder cannot be read: ") + std::strerror(errno));
  std::vector<std::string> names;
  while (const dirent* d = readdir(dir)) {
    const std::string name = d->d_name;
    if (name != "." && name != ".." && !is_temporary_twin(name)) names.push_back(name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    const std::string path = join_path(folder, name);
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) continue;  // gone since the listing
    if (S_ISLNK(st.st_mode)) {
      // A link to a file is taken like the file; one to a folder is not
      // followed, so no loop of links can hold the walk.
      if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
      add_file(w, path, st, false);
    } else if (S_ISDIR(st.st_mode)) {
      walk_folder(w, path, st);
    } else if (S_ISREG(st.st_mode)) {
      add_file(w, path, st, false);
    }
  }
}

// ---- what is printed

// Why a file failed, from what its worker printed: the last error line (a
// failed write is still followed by the size change), else the last line. A
// leading "NAME " is dropped since the batch's line starts with the name.
std::string failure_reason(const std::string& name, const std::string& messages) {
  const std::string settled = settle_carriage_returns(messages);
  std::string last, last_error;
  size_t start = 0;
  while (start < settled.size()) {
    const size_t end = settled.find('\n', start);
    const std::string line = settled.substr(start, end - start);
    if (!line.empty()) last = line;
    if (line.compare(0, 5, "ERROR") == 0) last_error = line;
    start = end + 1;
  }
  std::string line = last_error.empty() ? last : last_error;
  if (line.compare(0, name.size() + 1, name + " ") == 0) line.erase(0, name.size() + 1);
  return line.empty() ? "no reason given" : line;
}

int32_t percent_of(int64_t after, int64_t before) { return before > 0 ? int32_t(100.0 * after / before) : 0; }

std::string file_line(const BatchEntry& e, const FileResult& r, bool pretend) {
  char numbers[128];
  std::string line = e.name + ": ";
  switch (r.outcome) {
    case kFileRewritten:
      std::snprintf(numbers, sizeof numbers, "%lld -> %lld bytes (%d%%)", (long long)r.bytes_before,
                    (long long)r.bytes_after, int(percent_of(r.bytes_after, r.bytes_before)));
      line += numbers;
      if (e.output != e.name) line += " in " + e.output;
      if (pretend) line += ", not written (-t)";
      break;
    case kFileKept:
      std::snprintf(numbers, sizeof numbers, "%lld bytes, ", (long long)r.bytes_before);
      line += numbers;
      line +=
          r.animated ? "animated (frames would be lost), kept as it was" : "already optimal, kept as it was";
      break;
    case kFileStopped:
      line += "stopped by Escape, kept as it was";
      break;
    default:
      line += "failed: " + (r.failure.empty() ? failure_reason(e.name, r.messages) : r.failure);
      break;
  }
  return line + "\n";
}

struct Totals {
  int64_t rewritten = 0, kept = 0, failed = 0, stopped = 0;
  int64_t bytes_before = 0, bytes_after = 0;
  int64_t done = 0;
};

void count(const FileResult& r, Totals* t) {
  ++t->done;
  if (r.outcome == kFileRewritten) {
    ++t->rewritten;
    t->bytes_before += r.bytes_before;
    t->bytes_after += r.bytes_after;
  } else if (r.outcome == kFileKept) {
    ++t->kept;
    t->bytes_before += r.bytes_before;
    t->bytes_after += r.bytes_before;
  } else if (r.outcome == kFileStopped) {
    ++t->stopped;
  } else {
    ++t->failed;
  }
}

// Files done of the total and the bytes saved so far, on one line that the
// next one overwrites. Straight to the terminal: it is no message and never
// goes into a file.
class Progress {
 public:
  explicit Progress(bool shown) : shown_(shown) {}
  void show(const Totals& t, size_t total) {
    if (!shown_) return;
    std::fprintf(stderr, "\r%lld of %zu files, %lld bytes saved\x1b[K", (long long)t.done, total,
                 (long long)(t.bytes_before - t.bytes_after));
    std::fflush(stderr);
    visible_ = true;
  }
  void clear() {
    if (!visible_) return;
    std::fputs("\r\x1b[K", stderr);
    std::fflush(stderr);
    visible_ = false;
  }

 private:
  bool shown_;
  bool visible_ = false;
};

// ---- workers

int32_t default_workers() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) return CPU_COUNT(&set);
  const long n = sysconf(_SC_NPROCESSORS_ONLN);
  return n > 0 ? int32_t(n) : 1;
}

void write_all(int fd, const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = write(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    p += n;
    size -= size_t(n);
  }
}

[[noreturn]] void worker_main(const CommandLine& cmd, const EncodeOptions& options, ConvertFn convert,
                              const BatchEntry& e, int message_fd, int result_fd) {
  struct sigaction sa = {};
  sa.sa_handler = on_stop_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(kStopSignal, &sa, nullptr);
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, kStopSignal);
  sigprocmask(SIG_UNBLOCK, &stop, nullptr);

  // No key reaches a worker: the batch watches the keyboard for all.
  const int null_fd = open("/dev/null", O_RDONLY);
  if (null_fd >= 0) dup2(null_fd, 0);
  dup2(message_fd, 1);
  dup2(message_fd, 2);

  CommandLine one = cmd;
  one.batch = false;
  one.batch_names.clear();
  one.input_arg = e.name.c_str();
  one.output_arg = nullptr;
  one.in_place = e.in_place;
  // The batch already keeps every processor busy with files; a search within
  // a file gives the same result on one thread.
  one.threads = 1;
  one.assume_yes = true;
  one.quiet = false;  // every message goes to the batch, which decides what shows
  EncodeOptions o = options;
  o.print = console_printer();
  o.key_check = KeyCheckFn{worker_key_check, nullptr};
  console_reset();
  FileReport report = {};
  report.stop = &worker_stop_signalled;
  convert(one, o, &report);
  if (worker_stop_signalled && report.outcome == kFileFailed) report.outcome = kFileStopped;
  std::fflush(nullptr);
  const ResultRecord record = {report.outcome, report.animated, report.bytes_before, report.bytes_after};
  write_all(result_fd, &record, sizeof record);
  // Skips the exit handlers, which belong to the batch (the terminal's modes).
  _exit(0);
}

// What a worker's run of the file will take at its peak, decided as the run
// itself decides it, from the picture's header. A run the limit refuses, or
// a file that is no picture, ends before it allocates: only the fixed part.
// The file is read without moving its access time (or with the time put
// back), so that "-p" keeps the time it had before the batch.
int64_t run_need(const std::string& name, int64_t limit) {
  const int64_t small = run_memory_bytes(0, 0, 0);
  int fd = open(name.c_str(), O_RDONLY | O_NOATIME | O_CLOEXEC);
  const bool moves_access_time = fd < 0 && errno == EPERM;
  if (moves_access_time) fd = open(name.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return small;
  struct stat st;
  std::vector<uint8_t> file;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0 && st.st_size <= INT32_MAX) {
    file.resize(size_t(st.st_size));
    size_t got = 0;
    while (got < file.size()) {
      const ssize_t n = read(fd, file.data() + got, file.size() - got);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      got += size_t(n);
    }
    file.resize(got);
    if (moves_access_time) {
      const timespec times[2] = {st.st_atim, {0, UTIME_OMIT}};
      futimens(fd, times);
    }
  }
  close(fd);
  int32_t width = 0, height = 0;
  probe_picture(file.data(), int32_t(file.size()), &width, &height);
  if (width < 1 || height < 1) return small;
  const int64_t need = run_memory_bytes(width, height, int64_t(file.size()));
  if (need > limit) return small;
  // The run gives its match lists what the limit leaves beside its need.
  const int64_t store = match_store_budget(width, height, need, limit, 1);
  return store > 0 ? need + store : need;
}

bool start_worker(const CommandLine& cmd, const EncodeOptions& options, ConvertFn convert,
                  const std::vector<BatchEntry>& entries, int32_t index, const std::vector<Worker>& running,
                  Worker* w) {
  int messages[2], result[2];
  if (pipe2(messages, O_CLOEXEC) != 0) return false;
  if (pipe2(result, O_CLOEXEC) != 0) {
    close(messages[0]);
    close(messages[1]);
    return false;
  }
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    close(messages[0]);
    close(result[0]);
    for (const Worker& other : running) {
      close(other.message_fd);
      close(other.result_fd);
    }
    worker_main(cmd, options, convert, entries[size_t(index)], messages[1], result[1]);
  }
  close(messages[1]);
  close(result[1]);
  if (pid < 0) {
    close(messages[0]);
    close(result[0]);
    return false;
  }
  w->pid = pid;
  w->entry = index;
  w->message_fd = messages[0];
  w->result_fd = result[0];
  return true;
}

// The worker has closed both pipes: its result, or why there is none.
void finish_worker(Worker* w, bool stopping, FileResult* r) {
  int status = 0;
  while (waitpid(w->pid, &status, 0) < 0 && errno == EINTR) {
  }
  r->done = true;
  ResultRecord record;
  if (WIFEXITED(status) && w->record.size() == sizeof record) {
    std::memcpy(&record, w->record.data(), sizeof record);
    r->outcome = record.outcome;
    r->animated = record.animated != 0;
    r->bytes_before = record.bytes_before;
    r->bytes_after = record.bytes_after;
    return;
  }
  if (WIFSIGNALED(status) && WTERMSIG(status) == kStopSignal && stopping) {
    r->outcome = kFileStopped;
    return;
  }
  r->outcome = kFileFailed;
  if (WIFSIGNALED(status))
    r->failure = std::string("worker ended by signal ") + std::to_string(WTERMSIG(status)) + " (" +
                 strsignal(WTERMSIG(status)) + "), file kept as it was";
  else
    r->failure = "worker gave no result";
}

}  // namespace

std::string settle_carriage_returns(const std::string& raw) {
  std::string out, line;
  size_t column = 0;
  auto end_line = [&] {
    while (!line.empty() && line.back() == ' ') line.pop_back();
    out += line;
    out += '\n';
    line.clear();
    column = 0;
  };
  for (const char c : raw) {
    if (c == '\n') {
      end_line();
    } else if (c == '\r') {
      column = 0;
    } else {
      if (column < line.size())
        line[column] = c;
      else
        line += c;
      ++column;
    }
  }
  if (!line.empty()) end_line();
  return out;
}

std::vector<BatchEntry> list_batch_files(const std::vector<const char*>& names) {
  Walk w;
  for (const char* given : names) {
    std::string name = given;
    struct stat st;
    if (stat(name.c_str(), &st) != 0) {
      // As the one-file command line does: a name without a dot is tried with ".png".
      if (name.find('.') != std::string::npos || stat((name + ".png").c_str(), &st) != 0) {
        add_failure(&w, name, "not found");
        continue;
      }
      name += ".png";
    }
    if (S_ISDIR(st.st_mode))
      walk_folder(&w, name, st);
    else if (S_ISREG(st.st_mode))
      add_file(&w, name, st, true);
    else
      add_failure(&w, name, "not a regular file");
  }
  return std::move(w.entries);
}

int run_batch(const CommandLine& cmd, const EncodeOptions& options, ConvertFn convert) {
  const std::vector<BatchEntry> entries = list_batch_files(cmd.batch_names);
  const size_t total = entries.size();
  int32_t workers = cmd.threads > 0 ? cmd.threads : default_workers();
  if (size_t(workers) > total) workers = int32_t(std::max<size_t>(total, 1));

  // With -q only failures show, on standard error; otherwise everything goes
  // to standard output.
  console_set_stream(cmd.quiet ? stderr : stdout);
  Progress progress(!cmd.quiet && isatty(2));
  // Keys only from a terminal: a pipe or file on standard input is no one typing.
  bool watch_keys = isatty(0);
  if (watch_keys) terminal_init();

  // Workers start with the stop signal blocked and unblock it once they can
  // take it, so an early Escape never kills one before it can stop cleanly.
  sigset_t stop, saved_mask;
  sigemptyset(&stop);
  sigaddset(&stop, kStopSignal);
  sigprocmask(SIG_BLOCK, &stop, &saved_mask);

  std::vector<FileResult> results(total);
  std::vector<Worker> running;
  Totals totals;
  size_t next = 0, printed = 0;
  int64_t shown_done = -1;
  bool stopping = false;
  char buffer[65536];
  // Workers together stay within the memory limit: a file waits until the
  // runs in progress leave room for its need (one alone always runs, and
  // its own check refuses it if it needs more than the limit).
  const int64_t limit = memory_limit_bytes(cmd.memory_limit);
  int64_t running_need = 0, next_need = -1;

  for (;;) {
    while (!stopping && next < total && running.size() < size_t(workers)) {
      const BatchEntry& e = entries[next];
      if (!e.failure.empty()) {
        results[next].done = true;
        results[next].failure = e.failure;
        count(results[next], &totals);
        ++next;
        continue;
      }
      if (e.after >= 0 && !results[size_t(e.after)].done) break;
      // One worker at a time needs no admission.
      if (next_need < 0) next_need = workers > 1 ? run_need(e.name, limit) : 0;
      if (!running.empty() && running_need + next_need > limit) break;
      Worker w;
      if (!start_worker(cmd, options, convert, entries, int32_t(next), running, &w)) {
        results[next].done = true;
        results[next].failure = std::string("cannot start a worker: ") + std::strerror(errno);
        count(results[next], &totals);
      } else {
        w.need = next_need;
        running_need += w.need;
        running.push_back(std::move(w));
      }
      next_need = -1;
      ++next;
    }

    bool any_printed = false;
    while (printed < total && results[printed].done) {
      const FileResult& r = results[printed];
      if (!cmd.quiet || r.outcome == kFileFailed) {
        if (!any_printed) progress.clear();
        any_printed = true;
        console_print("%s", file_line(entries[printed], r, cmd.pretend).c_str());
        if (options.verbose && !cmd.quiet) console_print("%s", settle_carriage_returns(r.messages).c_str());
      }
      std::string().swap(results[printed].messages);
      ++printed;
    }
    if (totals.done != shown_done || any_printed) progress.show(totals, total);
    shown_done = totals.done;
    if (running.empty() && (stopping || next >= total)) break;

    std::vector<pollfd> fds;
    for (const Worker& w : running) {
      if (w.message_fd >= 0) fds.push_back({w.message_fd, POLLIN, 0});
      if (w.result_fd >= 0) fds.push_back({w.result_fd, POLLIN, 0});
    }
    // In the background the terminal's keys are the shell's: look again later.
    const bool foreground = watch_keys && tcgetpgrp(0) == getpgrp();
    if (foreground && !stopping) fds.push_back({0, POLLIN, 0});
    if (poll(fds.data(), nfds_t(fds.size()), watch_keys && !foreground ? 500 : -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (const pollfd& p : fds) {
      if (p.revents == 0) continue;
      if (p.fd == 0) {
        if ((p.revents & POLLIN) == 0) {
          watch_keys = false;  // hung up: no key will come
          continue;
        }
        if (poll_escape(0)) {
          stopping = true;
          for (const Worker& w : running) kill(w.pid, kStopSignal);
        }
        continue;
      }
      for (Worker& w : running) {
        if (p.fd != w.message_fd && p.fd != w.result_fd) continue;
        const ssize_t n = read(p.fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) break;
        if (n > 0) {
          (p.fd == w.message_fd ? results[size_t(w.entry)].messages : w.record).append(buffer, size_t(n));
        } else {
          close(p.fd);
          (p.fd == w.message_fd ? w.message_fd : w.result_fd) = -1;
        }
        break;
      }
    }
    for (size_t i = 0; i < running.size();) {
      Worker& w = running[i];
      if (w.message_fd >= 0 || w.result_fd >= 0) {
        ++i;
        continue;
      }
      finish_worker(&w, stopping, &results[size_t(w.entry)]);
      count(results[size_t(w.entry)], &totals);
      running_need -= w.need;
      running.erase(running.begin() + std::ptrdiff_t(i));
    }
  }
  sigprocmask(SIG_SETMASK, &saved_mask, nullptr);
  progress.clear();

  if (!cmd.quiet) {
    if (stopping)
      console_print("Stopped by Escape: %zu of %zu files not started, left as they were\n", total - next,
                    total);
    const int64_t saved = totals.bytes_before - totals.bytes_after;
    console_print("Files: %zu seen, %lld rewritten, %lld already optimal, %lld failed", total,
                  (long long)totals.rewritten, (long long)totals.kept, (long long)totals.failed);
    if (totals.stopped > 0) console_print(", %lld stopped", (long long)totals.stopped);
    console_print("; bytes: %lld before, %lld after, %lld saved (%.1f%%)", (long long)totals.bytes_before,
                  (long long)totals.bytes_after, (long long)saved,
                  totals.bytes_before > 0 ? 100.0 * double(saved) / double(totals.bytes_before) : 0.0);
    console_print(cmd.pretend ? "; pretend (-t): nothing written\n" : "\n");
  }
  return totals.failed > 0 || totals.stopped > 0 || stopping ? 1 : 0;
}
