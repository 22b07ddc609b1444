// The image count of every GIF in the test data against giflib's.
#include <gif_lib.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "decode/gif_decode.h"
#include "tests/support/oracle.h"

namespace {

struct MemoryGif {
  const std::vector<uint8_t>* bytes;
  size_t pos;
};

int read_gif_bytes(GifFileType* g, GifByteType* out, int n) {
  auto* m = static_cast<MemoryGif*>(g->UserData);
  const size_t take = std::min(size_t(n), m->bytes->size() - m->pos);
  std::memcpy(out, m->bytes->data() + m->pos, take);
  m->pos += take;
  return int(take);
}

// giflib's count of the images it read whole, or -1 when it gives up.
int giflib_image_count(const std::vector<uint8_t>& gif) {
  MemoryGif m{&gif, 0};
  int error = 0;
  GifFileType* g = DGifOpen(&m, read_gif_bytes, &error);
  if (g == nullptr) return -1;
  const int ok = DGifSlurp(g);
  const int count = ok == GIF_OK ? g->ImageCount : -1;
  DGifCloseFile(g, &error);
  return count;
}

std::vector<std::string> gif_files() {
  std::vector<std::string> files;
  for (const auto& e : std::filesystem::recursive_directory_iterator(std::string(TESSEL_CORPUS_DIR) + "/gif"))
    if (e.path().extension() == ".gif") files.push_back(e.path().string());
  return files;
}

TEST(GifImageCount, AgreesWithGiflibOnEveryWholeFile) {
  int compared = 0, animated = 0;
  for (const std::string& path : gif_files()) {
    const std::vector<uint8_t> gif = read_file(path);
    const int theirs = giflib_image_count(gif);
    const int32_t ours = gif_image_count(gif.data(), int32_t(gif.size()));
    // Every cut of the file is walked within its bounds.
    for (size_t cut = 0; cut < gif.size(); cut += 1 + gif.size() / 50)
      EXPECT_LE(gif_image_count(gif.data(), int32_t(cut)), ours) << path << " cut at " << cut;
    if (theirs < 0) continue;
    EXPECT_EQ(ours, theirs) << path;
    compared += 1;
    animated += theirs > 1;
  }
  EXPECT_GT(compared, 20);
  EXPECT_GT(animated, 5);
}

}  // namespace
