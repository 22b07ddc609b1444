// The whole path a file takes, through the program's own entry: read, probe,
// memory check, decode, chunk selection, encode (stored, so that a run takes
// milliseconds), verification and the safe write. Whatever the bytes, the run
// must end with status 0 or 1, and a written file must be a PNG.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "driver/run.h"

namespace {

// A plain array, not a string: it must outlive the exit hook that removes it.
char folder_path[] = "/tmp/tessel-fuzz-run-XXXXXX";

void remove_folder() {
  unlink((std::string(folder_path) + "/in").c_str());
  unlink((std::string(folder_path) + "/out.png").c_str());
  rmdir(folder_path);
}

std::string folder() {
  static const bool made = [] {
    if (mkdtemp(folder_path) == nullptr) std::abort();
    std::atexit(remove_folder);
    return true;
  }();
  (void)made;
  return folder_path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (size_t(1) << 24)) return 0;
  const std::string in = folder() + "/in", out = folder() + "/out.png";
  FILE* f = std::fopen(in.c_str(), "wb");
  if (f == nullptr) std::abort();
  if (size > 0) std::fwrite(data, 1, size, f);
  std::fclose(f);
  unlink(out.c_str());
  std::string args[] = {"tessel", "-q", "-y", "-force", "-s4", "-l96", "-kall", in, out};
  char* argv[9];
  for (int i = 0; i < 9; ++i) argv[i] = args[i].data();
  const int status = run_tessel(9, argv);
  if (status != 0 && status != 1) std::abort();
  if (access(out.c_str(), F_OK) == 0) {
    FILE* o = std::fopen(out.c_str(), "rb");
    unsigned char head[8] = {};
    const size_t got = std::fread(head, 1, 8, o);
    std::fclose(o);
    static const unsigned char kSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    if (got != 8 || std::memcmp(head, kSignature, 8) != 0) std::abort();
  }
  return 0;
}
