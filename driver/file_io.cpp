#include "driver/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "driver/signals.h"

namespace {

constexpr size_t kStdinStep = 1048576;

// Reads from a descriptor until end of file; short reads from pipes are not
// the end. false on a read error or when the total would pass INT32_MAX
// (*too_large then set).
bool read_to_end(int fd, std::vector<uint8_t>* data, bool* too_large) {
  *too_large = false;
  size_t total = data->size();
  for (;;) {
    if (data->size() - total < kStdinStep) data->resize(total + kStdinStep);
    const ssize_t n = read(fd, data->data() + total, data->size() - total);
    if (n < 0) {
      if (errno == EINTR) continue;
      data->resize(total);
      return false;
    }
    if (n == 0) break;
    total += size_t(n);
    if (total > size_t(INT32_MAX)) {
      *too_large = true;
      return false;
    }
  }
  data->resize(total);
  return true;
}

bool write_all(int fd, const uint8_t* data, size_t size) {
  while (size > 0) {
    const ssize_t n = write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= size_t(n);
  }
  return true;
}

mode_t current_umask() {
  const mode_t mask = umask(0);
  umask(mask);
  return mask;
}

// Times on a device or pipe mean nothing, and some refuse them: no failure.
void set_times(int fd, const FileTimes* times) {
  if (times == nullptr) return;
  const timespec both[2] = {times->access, times->modification};
  if (futimens(fd, both) != 0) {
  }
}

WriteResult write_directly(const std::string& name, const uint8_t* data, size_t size,
                           const FileTimes* times) {
  const int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return kWriteOpenFailed;
  const bool ok = write_all(fd, data, size);
  set_times(fd, times);
  return close(fd) == 0 && ok ? kWriteOk : kWriteFailed;
}

std::string folder_of(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string base_of(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

ReadResult read_stdin(std::vector<uint8_t>* data) {
  data->clear();
  bool too_large = false;
  if (!read_to_end(0, data, &too_large)) return too_large ? kReadTooLarge : kReadNotFound;
  return kReadOk;
}

ReadResult read_input_file(const std::string& name, std::vector<uint8_t>* data, bool* opened,
                           FileTimes* times) {
  data->clear();
  const int fd = open(name.c_str(), O_RDONLY | O_CLOEXEC);
  *opened = fd >= 0;
  if (fd < 0) return kReadNotFound;
  struct stat st;
  ReadResult result = kReadOk;
  const bool stated = fstat(fd, &st) == 0;
  if (stated && times != nullptr) {
    times->access = st.st_atim;
    times->modification = st.st_mtim;
  }
  if (!stated || S_ISDIR(st.st_mode)) {
    result = kReadNotFound;
  } else if (S_ISREG(st.st_mode)) {
    if (st.st_size <= 0) {
      result = kReadNotFound;
    } else if (st.st_size > INT32_MAX) {
      result = kReadTooLarge;
    } else {
      data->resize(size_t(st.st_size));
      size_t total = 0;
      while (total < data->size()) {
        const ssize_t n = read(fd, data->data() + total, data->size() - total);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        total += size_t(n);
      }
      // A file that shrank while being read is not taken half.
      if (total != data->size()) result = kReadNotFound;
    }
  } else {
    bool too_large = false;
    if (!read_to_end(fd, data, &too_large))
      result = too_large ? kReadTooLarge : kReadNotFound;
    else if (data->empty())
      result = kReadNotFound;
  }
  close(fd);
  if (result != kReadOk) data->clear();
  return result;
}

bool path_exists(const std::string& name) {
  struct stat st;
  return stat(name.c_str(), &st) == 0;
}

bool same_file(const std::string& a, const std::string& b) {
  struct stat sa, sb;
  if (stat(a.c_str(), &sa) != 0 || stat(b.c_str(), &sb) != 0) return false;
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

WriteResult write_file_safely(const std::string& name, const uint8_t* data, size_t size,
                              const FileTimes* times) {
  std::string target = name;
  struct stat st;
  bool exists = stat(name.c_str(), &st) == 0;
  struct stat lst;
  if (lstat(name.c_str(), &lst) == 0 && S_ISLNK(lst.st_mode)) {
    // Replace the file the link leads to and keep the link. A dangling link
    // is written through, which creates its target.
    char* resolved = realpath(name.c_str(), nullptr);
    if (resolved == nullptr) return write_directly(name, data, size, times);
    target = resolved;
    free(resolved);
  }
  if (exists && !S_ISREG(st.st_mode)) return write_directly(target, data, size, times);
  // A rename would replace a file its owner made read-only; opening it for
  // writing would not, so neither does this.
  if (exists && access(target.c_str(), W_OK) != 0) return kWriteOpenFailed;

  std::string temp = folder_of(target) + "/." + base_of(target) + ".tessel-XXXXXX";
  // Named for the signal handlers the moment it exists, so an interrupted
  // run leaves no temporary file behind.
  signals_hold();
  const int fd = mkstemp(temp.data());
  if (fd >= 0) signals_temporary_file(temp.c_str());
  signals_release();
  if (fd < 0) return kWriteOpenFailed;
  const mode_t mode = exists ? (st.st_mode & 07777) : (0666 & ~current_umask());
  bool ok = fchmod(fd, mode) == 0;
  if (exists && ok) {
    // Ownership follows where the process may give it (root); elsewhere the
    // file was ours anyway or the permission bits carry the intent.
    if (fchown(fd, st.st_uid, st.st_gid) != 0) {
    }
  }
  ok = ok && write_all(fd, data, size);
  // After the last write, which would set the modification time again.
  if (ok && times != nullptr) {
    const timespec both[2] = {times->access, times->modification};
    ok = futimens(fd, both) == 0;
  }
  ok = ok && fsync(fd) == 0;
  ok = close(fd) == 0 && ok;
  signals_hold();
  ok = ok && rename(temp.c_str(), target.c_str()) == 0;
  if (!ok) unlink(temp.c_str());
  signals_temporary_file(nullptr);
  signals_release();
  return ok ? kWriteOk : kWriteFailed;
}

bool write_stdout(const uint8_t* data, size_t size) {
  fflush(stdout);
  return write_all(1, data, size);
}
