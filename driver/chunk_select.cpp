#include "driver/chunk_select.h"

#include <cctype>
#include <cstring>

#include "decode/png_chunk_walk.h"

namespace {

const uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};

bool equals_ignoring_case(const char* a, const char* b) {
  for (; *a && *b; ++a, ++b)
    if (std::tolower(static_cast<unsigned char>(*a)) != std::tolower(static_cast<unsigned char>(*b)))
      return false;
  return *a == *b;
}

// The list is matched afresh for every chunk and never modified: names are
// the comma-separated pieces, and only four-character ones can match.
bool list_keeps(const char* list, const uint8_t* type) {
  if (list[0] == '\0') return false;
  if (std::strcmp(list, "1") == 0 || equals_ignoring_case(list, "ALL")) return true;
  const char* name = list;
  for (;;) {
    const char* end = std::strchr(name, ',');
    const size_t length = end ? size_t(end - name) : std::strlen(name);
    if (length == 4 && std::memcmp(name, type, 4) == 0) return true;
    if (end == nullptr) return false;
    name = end + 1;
  }
}

const char* const kRequired = "Required chunk: ";
const char* const kKeep = "    Keep chunk: ";
const char* const kRemove = "  Remove chunk: ";
const char* const kBroken = "  Broken chunk: ";

}  // namespace

bool has_png_signature_bytes(const uint8_t* data, int32_t size) {
  return data != nullptr && size >= 8 && std::memcmp(data, kSignature, 8) == 0;
}

void select_chunks(const uint8_t* data, int32_t size, const char* list, int32_t requested_colour_type,
                   int32_t verbose, PrintFn print, ChunkSelection* selection, uint32_t* background) {
  selection->kept_before_plte = 0;
  selection->kept_before_idat = 0;
  selection->kept_count = 0;
  if (list == nullptr) list = "";
  if ((list[0] == '\0' && !verbose) || !has_png_signature_bytes(data, size)) {
    *background = 0;
    return;
  }
  if (verbose) print("                Name  Offset   Length     CRC\n");

  int section = 0;
  bool kept_bkgd = false;
  PngChunkWalk walk = png_chunk_walk(data, size);
  PngChunkView c;
  while (png_chunk_next(&walk, &c)) {
    const uint8_t* type = c.type;
    if (!c.complete) {
      if (verbose)
        print("%s%c%c%c%c %08x %08x runs past the end of the file\n", kBroken, type[0], type[1], type[2],
              type[3], unsigned(c.position + 8), c.length);
      break;
    }

    const char* label = kRequired;
    if (png_chunk_is(c, "IHDR")) {
      section = 1;
    } else if (png_chunk_is(c, "PLTE")) {
      section = 2;
      if (requested_colour_type >= 0 && requested_colour_type != 3) label = kRemove;
    } else if (png_chunk_is(c, "IDAT")) {
      section = 3;
    } else if (png_chunk_is(c, "tRNS")) {
      if (requested_colour_type == 4 || requested_colour_type == 6) label = kRemove;
    } else if (png_chunk_is(c, "IEND")) {
    } else {
      label = kRemove;
      if (list_keeps(list, type) && section > 0 && selection->kept_count < kMaxKeptChunks) {
        label = kKeep;
        selection->kept[selection->kept_count++] = data + c.position;
        if (section == 1) ++selection->kept_before_plte;
        if (section <= 2) ++selection->kept_before_idat;
        if (png_chunk_is(c, "bKGD")) kept_bkgd = true;
      }
    }
    if (verbose)
      print("%s%c%c%c%c %08x %08x %08x\n", label, type[0], type[1], type[2], type[3], unsigned(c.position + 8),
            c.length, c.stored_crc);
    if (png_chunk_is(c, "IEND")) break;
  }
  if (verbose && walk.end == PngWalkEnd::kStray)
    print("%s%d stray byte(s) at %08x\n", kBroken, int(size - walk.next_position), unsigned(walk.next_position));
  if (verbose) print("\n");
  if (kept_bkgd)
    *background |= 0xFF000000u;
  else
    *background = 0;
}

bool is_animated_png(const uint8_t* data, int32_t size) {
  if (!has_png_signature_bytes(data, size)) return false;
  PngChunkWalk walk = png_chunk_walk(data, size);
  PngChunkView c;
  while (png_chunk_next(&walk, &c)) {
    if (png_chunk_is(c, "acTL")) return true;
    if (png_chunk_is(c, "IDAT") || png_chunk_is(c, "IEND")) return false;
  }
  return false;
}
