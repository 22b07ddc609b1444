#include "deflate/filters.h"

#include <cassert>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int32_t kCostFailed = INT32_MIN;

inline const uint32_t* row_of(const RowFormat* f, int32_t y) {
  return reinterpret_cast<const uint32_t*>(reinterpret_cast<const uint8_t*>(f->pixels) +
                                           int64_t(y) * f->pitch);
}

uint8_t* raw_half(FilterStage* st, int32_t parity) {
  const size_t half = size_t(st->unit_bytes) + size_t(st->row_bytes);
  return st->olinbuf + (parity ? 0 : half) + st->unit_bytes;
}

uint8_t* filtered_row(FilterStage* st, int32_t which) {
  const size_t half = size_t(st->unit_bytes) + size_t(st->row_bytes);
  return st->olinbuf + 2 * half + size_t(which) * (size_t(st->row_bytes) + 1);
}

void sink_collect(FilterStage* st, const uint8_t* bytes, int32_t n) {
  assert(st->collect_count + n <= st->collect_capacity);
  if (st->collect_count + n > st->collect_capacity) return;
  std::memcpy(st->collect + st->collect_count, bytes, size_t(n));
  st->collect_count += n;
}

void sink_histogram(FilterStage* st, const uint8_t* bytes, int32_t n) {
  for (int32_t i = 0; i < n; ++i) st->histogram[bytes[i]] += 1;
  st->histogram_total += n;
}

void sink_compress(FilterStage* st, const uint8_t* bytes, int32_t n) {
  st->compress.feed(st->compress.user, bytes, n);
}

int32_t choose_filter(FilterStage* st, const uint8_t* raw, const uint8_t* up, int32_t* best_slot) {
  int32_t best = 0x7FFFFFFF, best_filter = 0, slot = 0;
  *best_slot = -1;
  for (int32_t f = 0; f <= 4; ++f) {
    // Average on a first row predicts from the left only, which is what Sub
    // does exactly; the first row therefore never uses Average.
    const int32_t applied = (f == 3 && st->row_index == 0) ? 1 : f;
    uint8_t* out = filtered_row(st, slot);
    out[0] = uint8_t(applied);
    apply_filter(applied, raw, up, st->row_bytes, st->unit_bytes, out + 1);
    std::memset(st->histogram, 0, sizeof st->histogram);
    st->histogram_total = 0;
    sink_histogram(st, out + 1, st->row_bytes);
    const int32_t cost = entropy_cost(st, st->histogram, st->histogram_total);
    if (cost == kCostFailed) return -1;
    if (cost < best) {
      best = cost;
      best_filter = f;
      *best_slot = slot;
      slot ^= 1;  // keep the best trial's bytes, overwrite the other buffer
    }
  }
  return best_filter;
}

inline uint8_t* put16(uint8_t* out, uint16_t v) {
  out[0] = uint8_t(v >> 8);
  out[1] = uint8_t(v);
  return out + 2;
}

// Gray takes the red sample: the wide picture holds gray in all three.
void pack_wide_row(const RowFormat* f, int32_t y, uint8_t* out) {
  const uint16_t* p = f->wide + int64_t(y) * f->width * 4;
  const int32_t w = f->width;
  for (int32_t x = 0; x < w; ++x, p += 4) {
    switch (f->colour_type) {
      case 0:
        out = put16(out, p[0]);
        break;
      case 2:
        out = put16(put16(put16(out, p[0]), p[1]), p[2]);
        break;
      case 4:
        out = put16(put16(out, p[0]), p[3]);
        break;
      default:
        out = put16(put16(put16(put16(out, p[0]), p[1]), p[2]), p[3]);
        break;
    }
  }
}

}  // namespace

int64_t row_byte_count(int32_t colour_type, int32_t bit_depth, int32_t width) {
  if (colour_type == 0 || colour_type == 3) return (int64_t(width) * bit_depth + 7) / 8;
  return int64_t(width) * unit_byte_count(colour_type) * (bit_depth == 16 ? 2 : 1);
}

int32_t unit_byte_count(int32_t colour_type) {
  switch (colour_type) {
    case 6:
      return 4;
    case 2:
      return 3;
    case 4:
      return 2;
    default:
      return 1;
  }
}

void pack_row(const RowFormat* f, int32_t y, uint8_t* out) {
  if (f->wide != nullptr) return pack_wide_row(f, y, out);
  const uint32_t* row = row_of(f, y);
  const int32_t w = f->width;
  switch (f->colour_type) {
    case 6:
      for (int32_t x = 0; x < w; ++x) {
        const uint32_t p = row[x];
        out[0] = uint8_t(p >> 16);
        out[1] = uint8_t(p >> 8);
        out[2] = uint8_t(p);
        out[3] = uint8_t(p >> 24);
        out += 4;
      }
      return;
    case 2:
      for (int32_t x = 0; x < w; ++x) {
        const uint32_t p = row[x];
        out[0] = uint8_t(p >> 16);
        out[1] = uint8_t(p >> 8);
        out[2] = uint8_t(p);
        out += 3;
      }
      return;
    case 4:
      // The three colour bytes are equal for this colour type.
      for (int32_t x = 0; x < w; ++x) {
        const uint32_t p = row[x];
        out[0] = uint8_t(p);
        out[1] = uint8_t(p >> 24);
        out += 2;
      }
      return;
    default:
      break;
  }
  const int32_t depth = f->bit_depth;
  uint32_t last_pixel = 0;
  int32_t last_index = -1;
  uint32_t acc = 0;
  int32_t filled = 0;
  for (int32_t x = 0; x < w; ++x) {
    const uint32_t p = row[x];
    if (last_index < 0 || p != last_pixel) {
      last_pixel = p;
      last_index = f->lookup(f->lookup_user, p);
      // Colour analysis puts every pixel in the palette; should one slip
      // through, index 0 keeps the row in bounds.
      if (last_index < 0) last_index = 0;
    }
    if (depth == 8) {
      *out++ = uint8_t(last_index);
      continue;
    }
    acc = acc << depth | (uint32_t(last_index) & ((1u << depth) - 1));
    filled += depth;
    if (filled == 8) {
      *out++ = uint8_t(acc);
      acc = 0;
      filled = 0;
    }
  }
  if (filled > 0) *out = uint8_t(acc << (8 - filled));
}

uint8_t paeth(int32_t a, int32_t b, int32_t c) {
  const int32_t pa = std::abs(b - c);
  const int32_t pb = std::abs(a - c);
  const int32_t pc = std::abs(a + b - 2 * c);
  if (pa <= pb && pa <= pc) return uint8_t(a);
  if (pb <= pc) return uint8_t(b);
  return uint8_t(c);
}

void apply_filter(int32_t f, const uint8_t* raw, const uint8_t* up, int32_t n, int32_t unit, uint8_t* out) {
  switch (f) {
    case 0:
      std::memcpy(out, raw, size_t(n));
      return;
    case 1:
      for (int32_t i = 0; i < n; ++i) out[i] = uint8_t(raw[i] - raw[i - unit]);
      return;
    case 2:
      for (int32_t i = 0; i < n; ++i) out[i] = uint8_t(raw[i] - up[i]);
      return;
    case 3:
      for (int32_t i = 0; i < n; ++i) out[i] = uint8_t(raw[i] - ((raw[i - unit] + up[i]) >> 1));
      return;
    default:
      for (int32_t i = 0; i < n; ++i) {
        out[i] = uint8_t(raw[i] - paeth(raw[i - unit], up[i], up[i - unit]));
      }
      return;
  }
}

void filter_stage_init(FilterStage* st) { *st = FilterStage{}; }

void filter_stage_free(FilterStage* st) {
  std::free(st->olinbuf);
  std::free(st->entropylut);
  filter_trials_destroy(st->trials);
  filter_stage_init(st);
}

void filter_stage_end_run(FilterStage* st) {
  std::free(st->entropylut);
  st->entropylut = nullptr;
  st->entropylut_n = 0;
}

int32_t filter_stage_begin(FilterStage* st, const RowFormat* format, int32_t filter, PrintFn print) {
  st->format = *format;
  st->print = print;
  st->filter = filter;
  st->unit_bytes = unit_byte_count(format->colour_type) * (format->bit_depth == 16 ? 2 : 1);
  const int64_t row = row_byte_count(format->colour_type, format->bit_depth, format->width);
  // Rows are fed to the sinks with 32-bit counts.
  if (row < 1 || row > INT32_MAX - 16) {
    print("\rmalloc failed (olinbuf)\n");
    return -1;
  }
  st->row_bytes = int32_t(row);
  const size_t half = size_t(st->unit_bytes) + size_t(row);
  const size_t need = 2 * half + 2 * (size_t(row) + 1);
  if (need > st->olinbuf_size) {
    std::free(st->olinbuf);
    st->olinbuf = static_cast<uint8_t*>(std::malloc(need));
    st->olinbuf_size = st->olinbuf ? need : 0;
    if (!st->olinbuf) {
      print("\rmalloc failed (olinbuf)\n");
      return -1;
    }
  }
  // The first half is the row above row 0, and both halves' guards stay zero.
  std::memset(st->olinbuf, 0, half + st->unit_bytes);
  st->row_index = 0;
  st->rows_total = format->height;
  st->filter_choice = filter > 4 ? 0 : filter;
  if (filter == kFilterTrial) {
    if (!st->trials) st->trials = filter_trials_create();
    if (!st->trials || filter_trials_begin(st->trials, format->height, st->row_bytes)) {
      print("\rmalloc failed (olinbuf)\n");
      return -1;
    }
  }
  return 0;
}

void install_sink_collect(FilterStage* st, uint8_t* buffer, int64_t capacity) {
  st->sink = SinkKind::collect;
  st->collect = buffer;
  st->collect_count = 0;
  st->collect_capacity = capacity;
}

void install_sink_compress(FilterStage* st, const CompressSink* sink) {
  st->sink = SinkKind::compress;
  st->compress = *sink;
}

int32_t filter_row(FilterStage* st, int32_t y) {
  uint8_t* raw = raw_half(st, st->row_index & 1);
  const uint8_t* up = raw_half(st, (st->row_index & 1) ^ 1);
  pack_row(&st->format, y, raw);

  const uint8_t* out;
  if (st->filter == 5) {
    const SinkKind active = st->sink;
    st->sink = SinkKind::histogram;
    int32_t slot = -1;
    const int32_t f = choose_filter(st, raw, up, &slot);
    st->sink = active;
    if (f < 0) return -1;
    st->filter_choice = f;
    out = filtered_row(st, slot);
  } else if (st->filter == kFilterMinSum || st->filter == kFilterTrial) {
    uint8_t* buf = filtered_row(st, 0);
    const bool first = st->row_index == 0;
    const int32_t f = st->filter == kFilterMinSum
                          ? choose_filter_min_sum(raw, up, st->row_bytes, st->unit_bytes, first, buf,
                                                  filtered_row(st, 1))
                          : choose_filter_trial(st->trials, raw, up, st->row_bytes, st->unit_bytes, first, buf);
    if (f < 0) return -1;
    st->filter_choice = f;
    out = buf;
  } else {
    st->filter_choice = st->filter;
    uint8_t* buf = filtered_row(st, 0);
    out = buf;
    st->row_filter = (st->filter_choice == 3 && st->row_index == 0) ? 1 : st->filter_choice;
    buf[0] = uint8_t(st->row_filter);
    apply_filter(st->row_filter, raw, up, st->row_bytes, st->unit_bytes, buf + 1);
  }
  st->row_filter = out[0];

  const int32_t n = st->row_bytes + 1;
  switch (st->sink) {
    case SinkKind::collect:
      sink_collect(st, out, n);
      break;
    case SinkKind::histogram:
      sink_histogram(st, out, n);
      break;
    case SinkKind::compress:
      sink_compress(st, out, n);
      st->row_index += 1;
      if (st->row_index == st->rows_total) st->compress.finish(st->compress.user);
      break;
  }
  return 0;
}

int32_t entropy_cost(FilterStage* st, const int32_t* histogram, int32_t total) {
  if (total < 0) total = 0;
  if (!st->entropylut || st->entropylut_n != total) {
    std::free(st->entropylut);
    st->entropylut = static_cast<int32_t*>(std::malloc((size_t(total) + 1) * sizeof(int32_t)));
    st->entropylut_n = 0;
    if (!st->entropylut) {
      if (st->print) st->print("\rmalloc failed (entropylut)\n");
      return kCostFailed;
    }
    st->entropylut_n = total;
    st->entropylut[0] = 0;
    if (total <= 1) {
      // ln 1 = 0 leaves no scale: a row of one byte costs the same under
      // every filter, and filter 0 wins the tie.
      if (total == 1) st->entropylut[1] = 0;
    } else {
      const double k = 2147483647.0 / (std::log(double(total)) * double(total));
      for (int32_t i = total; i >= 1; --i) {
        double v = double(i) * std::log(double(i)) * k;
        // i = total gives 2^31 - 1 up to rounding, which must not overflow.
        if (v > 2147483647.0) v = 2147483647.0;
        st->entropylut[i] = int32_t(v);
      }
    }
  }
  int64_t sum = 0;
  for (int32_t b = 0; b < 256; ++b) {
    const int32_t c = histogram[b];
    if (c > 0 && c <= total) sum += st->entropylut[c];
  }
  return int32_t(int64_t(0x7FFFFFFE) - sum);
}

uint8_t* filter_stage_scratch(FilterStage* st) { return filtered_row(st, 0); }
