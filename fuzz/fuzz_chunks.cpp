// Chunk selection and the animation test over any bytes: the first input byte
// picks a chunk list and a requested colour type, the rest is the file. The
// kept chunks must lie inside the file, and the walk must end.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "driver/chunk_select.h"

namespace {

const char* const kLists[] = {"", "0", "1", "all", "p", "gAMA,bKGD,tEXt", "bKGD", "tRNS,PLTE", "IDAT,IEND", "x"};


}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 0x7FFFFFFF) return 0;
  const uint8_t pick = data[0];
  std::vector<uint8_t> file(data + 1, data + size);
  const uint8_t* bytes = file.empty() ? nullptr : file.data();
  const int32_t n = int32_t(file.size());
  const int32_t colour_types[] = {-1, 0, 2, 3, 4, 6};
  ChunkSelection selection;
  uint32_t background = pick & 1 ? 0xFF000000u : 0;
  select_chunks(bytes, n, kLists[pick % 10], colour_types[(pick / 10) % 6], pick >> 7, PrintFn{}, &selection,
                &background);
  if (selection.kept_before_plte > selection.kept_before_idat ||
      selection.kept_before_idat > selection.kept_count || selection.kept_count > kMaxKeptChunks)
    std::abort();
  for (int32_t i = 0; i < selection.kept_count; ++i) {
    const uint8_t* chunk = selection.kept[i];
    if (chunk < bytes || chunk + 12 > bytes + n) std::abort();
    const uint32_t length = uint32_t(chunk[0]) << 24 | uint32_t(chunk[1]) << 16 | uint32_t(chunk[2]) << 8 | chunk[3];
    if (int64_t(length) + 12 > bytes + n - chunk) std::abort();
  }
  is_animated_png(bytes, n);
  return 0;
}
