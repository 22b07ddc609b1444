#pragma once
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

// Reading the input whole and writing the output so that a failure never
// leaves a half-written file behind.

enum ReadResult {
  kReadOk = 0,
  kReadNotFound,  // cannot be opened, is empty, or cannot be read whole
  kReadTooLarge,  // more bytes than the tool's 32-bit sizes can hold
};

// Access and modification times of a file, to the nanosecond.
struct FileTimes {
  timespec access;
  timespec modification;
};

// Standard input, read to end of file in 1 MiB steps.
ReadResult read_stdin(std::vector<uint8_t>* data);

// A file read whole. A name that cannot be opened gives kReadNotFound with
// *opened false, so the caller can try another name. times, when given, gets
// the file's times as they were before this read.
ReadResult read_input_file(const std::string& name, std::vector<uint8_t>* data, bool* opened,
                           FileTimes* times = nullptr);

// Whether something of that name exists, tested without opening it.
bool path_exists(const std::string& name);

// Whether two names lead to the same existing file.
bool same_file(const std::string& a, const std::string& b);

enum WriteResult {
  kWriteOk = 0,
  kWriteOpenFailed,  // the target (or its temporary twin) could not be created
  kWriteFailed,      // writing, flushing or the final rename failed
};

// Writes the bytes to the named file. A regular target (a symbolic link is
// followed) is replaced through a temporary file in its folder that keeps the
// target's permission bits, renamed over it only after a complete write; on
// failure the temporary file is removed and the target keeps its contents. A
// new file gets 0666 less the umask. A target that exists but is not a
// regular file (a device, a pipe) is written directly. times, when given, are
// set on the new file before it takes the target's place.
WriteResult write_file_safely(const std::string& name, const uint8_t* data, size_t size,
                              const FileTimes* times = nullptr);

// Writes the bytes to standard output and flushes; false on any failure.
bool write_stdout(const uint8_t* data, size_t size);
