#include "encode/search.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <new>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "deflate/deep_deflate.h"
#include "deflate/deflate_stream.h"
#include "deflate/filter_heuristics.h"
#include "deflate/filters.h"
#include "deflate/quick_estimate.h"
#include "encode/colour_analysis.h"
#include "encode/colour_hash.h"
#include "encode/encode_png.h"

namespace {

// Whether encode_png may run in several threads at once: it keeps all of
// its state in a context of its own per call, so candidates are finished on
// the workers as the screen's estimates are.
constexpr bool kEncodeReentrant = true;

enum PaletteOrder : int32_t {
  kOrderNone = -1,  // not a palette
  kOrderEncoder,    // the encoder's own: by falling frequency, reordered between passes
  kOrderInput,      // the input's palette without its unused entries
  kOrderLuminance,
  kOrderAdjacency,  // colours that touch in the picture next to each other
  kOrderKept,       // "-kp": the input's palette exactly
};
const char* const kOrderNames[] = {"freq", "input", "luma", "adjacent", "kept"};

// Pixel sets the candidates encode. Without "-a" only the input; with it,
// fully transparent pixels made black, or given their left neighbour's colour.
enum Variant : int32_t { kVariantInput, kVariantBlack, kVariantNeighbour, kVariantCount };
const char* const kVariantNames[] = {"", " a:black", " a:left"};

struct Facts {
  int32_t distinct;  // up to 256; 257 = more
  uint32_t colours[256];  // in order of first appearance
  int32_t counts[256];
  bool gray;
  bool needs_alpha;  // transparency no single key colour can express
  bool has_clear;    // some pixel with alpha 0
  int32_t gray_depth;  // smallest gray depth that holds every level (when gray)
};

struct Form {
  int32_t variant;
  int32_t colour_type;
  int32_t bit_depth;
  int32_t order;
  int32_t palette_count;
  uint32_t palette[256];
  int32_t translucent;  // palette entries before the first opaque one (the tRNS length)
};

struct Screened {
  int32_t form;
  int32_t filter;
  int64_t estimate;
  int32_t index;  // place in the fixed candidate order, the tie-break
};

struct DeflateSetting {
  double threshold;
  int32_t exact_count;
  int32_t strategy;
  int32_t randomize;
  uint32_t seed;
  int32_t deep;  // effort of the whole-stream engine after the passes, 0 = none
};

struct Finished {
  int32_t size;  // kNoPng when it produced nothing usable
  uint8_t* png;
  int32_t capacity;
  int32_t chosen_colour_type, chosen_bit_depth, chosen_filter;
};

struct Search {
  EncodeOptions* base;
  const SearchRequest* request;
  PrintFn print;
  int32_t width, height;
  std::vector<uint32_t> variant_pixels[kVariantCount];
  bool variant_used[kVariantCount];
  Facts facts[kVariantCount];
  std::vector<Form> forms;
  // The best PNG so far and what made it.
  Finished best;
  int32_t best_index;
  char best_label[160];
  int32_t finished_count;
  bool stopped;
};

int32_t find_colour(void* user, uint32_t pixel) { return hash_find(static_cast<const ColourHash*>(user), pixel); }

const uint32_t* row_of(const uint32_t* pixels, int32_t pitch, int32_t y) {
  return reinterpret_cast<const uint32_t*>(reinterpret_cast<const uint8_t*>(pixels) + int64_t(y) * pitch);
}

// The same facts colour analysis gathers, for deciding which forms exist.
void gather_facts(const uint32_t* pixels, int32_t pitch, int32_t width, int32_t height, Facts* f) {
  std::memset(f, 0, sizeof *f);
  ColourHash hash;
  hash_reset(&hash, f->colours);
  uint8_t used[256] = {};
  bool not_gray = false;
  uint32_t least = 0xFFFFFFFFu;
  for (int32_t y = 0; y < height; ++y) {
    const uint32_t* row = row_of(pixels, pitch, y);
    uint32_t last = 0;
    int32_t last_index = -1;
    for (int32_t x = 0; x < width; ++x) {
      const uint32_t p = row[x];
      if (p < least) least = p;
      if (((p >> 8) ^ p) & 0xFFFF) not_gray = true;
      used[p & 0xFF] = 1;
      if ((p >> 24) == 0) f->has_clear = true;
      if (f->distinct > 256) continue;
      if (last_index >= 0 && p == last) {
        f->counts[last_index] += 1;
        continue;
      }
      int32_t i = hash_find(&hash, p);
      if (i < 0) {
        if (f->distinct == 256) {
          f->distinct = 257;
          continue;
        }
        i = f->distinct++;
        f->colours[i] = p;
        hash_insert(&hash, p, i);
      }
      f->counts[i] += 1;
      last = p;
      last_index = i;
    }
  }
  f->gray = !not_gray;
  f->gray_depth = gray_depth_needed(used);
  if (least >= 0xFF000000u) return;
  if (least > 0x00FFFFFFu) {
    f->needs_alpha = true;
    return;
  }
  for (int32_t y = 0; y < height && !f->needs_alpha; ++y) {
    const uint32_t* row = row_of(pixels, pitch, y);
    for (int32_t x = 0; x < width; ++x) {
      const uint32_t p = row[x];
      if (((p & 0xFFFFFFu) == least && (p >> 24) != 0) || (p < 0xFF000000u && p != least)) {
        f->needs_alpha = true;
        break;
      }
    }
  }
}

// Translucent entries first (the tRNS chunk ends at the last of them), each
// group keeping the order it had.
int32_t translucent_first(uint32_t* palette, int32_t n) {
  std::stable_partition(palette, palette + n, [](uint32_t p) { return p < 0xFF000000u; });
  int32_t k = 0;
  while (k < n && palette[k] < 0xFF000000u) ++k;
  return k;
}

int32_t luma(uint32_t p) { return int32_t((p >> 16) & 0xFF) * 299 + int32_t((p >> 8) & 0xFF) * 587 + int32_t(p & 0xFF) * 114; }

// A chain through the colours that always steps to the unplaced colour
// sharing the most edges with the last one placed (the most frequent first
// and whenever no unplaced colour touches it).
void adjacency_order(const uint32_t* pixels, int32_t pitch, int32_t width, int32_t height, const Facts* f,
                     uint32_t* out) {
  const int32_t n = f->distinct;
  std::vector<int32_t> weight(size_t(n) * n, 0);
  ColourHash hash;
  hash_fill(&hash, f->colours, n);
  std::vector<int32_t> above(size_t(width), -1);
  for (int32_t y = 0; y < height; ++y) {
    const uint32_t* row = row_of(pixels, pitch, y);
    int32_t left = -1;
    for (int32_t x = 0; x < width; ++x) {
      const int32_t i = hash_find(&hash, row[x]);
      if (left >= 0 && left != i) weight[size_t(left) * n + i] += 1, weight[size_t(i) * n + left] += 1;
      const int32_t up = above[size_t(x)];
      if (up >= 0 && up != i) weight[size_t(up) * n + i] += 1, weight[size_t(i) * n + up] += 1;
      above[size_t(x)] = i;
      left = i;
    }
  }
  std::vector<bool> placed(size_t(n), false);
  int32_t last = -1;
  for (int32_t k = 0; k < n; ++k) {
    int32_t pick = -1;
    if (last >= 0) {
      for (int32_t i = 0; i < n; ++i) {
        if (placed[size_t(i)] || weight[size_t(last) * n + i] == 0) continue;
        if (pick < 0 || weight[size_t(last) * n + i] > weight[size_t(last) * n + pick]) pick = i;
      }
    }
    if (pick < 0) {
      for (int32_t i = 0; i < n; ++i) {
        if (placed[size_t(i)]) continue;
        if (pick < 0 || f->counts[i] > f->counts[pick]) pick = i;
      }
    }
    placed[size_t(pick)] = true;
    out[k] = f->colours[pick];
    last = pick;
  }
}

// The palette in one order; false when the order does not exist for this
// picture (no input palette, or one that misses a colour).
bool make_palette(const Search* s, int32_t variant, int32_t order, Form* form) {
  const Facts* f = &s->facts[variant];
  const int32_t n = f->distinct;
  const uint32_t* pixels = s->variant_pixels[variant].data();
  switch (order) {
    case kOrderEncoder: {
      std::vector<int32_t> idx(static_cast<size_t>(n));
      for (int32_t i = 0; i < n; ++i) idx[size_t(i)] = i;
      std::stable_sort(idx.begin(), idx.end(), [f](int32_t a, int32_t b) { return f->counts[a] > f->counts[b]; });
      for (int32_t i = 0; i < n; ++i) form->palette[i] = f->colours[idx[size_t(i)]];
      break;
    }
    case kOrderInput: {
      const EncodeOptions* o = s->base;
      if (variant != kVariantInput || !o->source_palette || o->source_palette_count <= 0) return false;
      ColourHash hash;
      hash_fill(&hash, f->colours, n);
      std::vector<bool> taken(size_t(n), false);
      int32_t k = 0;
      for (int32_t i = 0; i < o->source_palette_count && i < 256; ++i) {
        const int32_t at = hash_find(&hash, o->source_palette[i]);
        if (at < 0 || taken[size_t(at)]) continue;
        taken[size_t(at)] = true;
        form->palette[k++] = o->source_palette[i];
      }
      if (k != n) return false;
      break;
    }
    case kOrderLuminance: {
      std::memcpy(form->palette, f->colours, sizeof(uint32_t) * size_t(n));
      std::stable_sort(form->palette, form->palette + n, [](uint32_t a, uint32_t b) {
        if (luma(a) != luma(b)) return luma(a) < luma(b);
        return (a >> 24) < (b >> 24);
      });
      break;
    }
    case kOrderAdjacency:
      adjacency_order(pixels, s->width * 4, s->width, s->height, f, form->palette);
      break;
    default:
      return false;
  }
  form->palette_count = n;
  form->translucent = translucent_first(form->palette, n);
  return true;
}

void add_form(Search* s, int32_t variant, int32_t colour_type, int32_t bit_depth, int32_t order) {
  Form form{};
  form.variant = variant;
  form.colour_type = colour_type;
  form.bit_depth = bit_depth;
  form.order = order;
  if (colour_type == 3 && order != kOrderKept && !make_palette(s, variant, order, &form)) return;
  s->forms.push_back(form);
}

// Every form the level tries, in the fixed order that breaks ties.
void list_forms(Search* s) {
  const SearchRequest* r = s->request;
  const EncodeOptions* o = s->base;
  for (int32_t v = 0; v < kVariantCount; ++v) {
    if (!s->variant_used[v]) continue;
    const Facts* f = &s->facts[v];
    const bool all = r->level >= 3;
    bool type_ok[7] = {};
    type_ok[0] = f->gray && !f->needs_alpha;
    type_ok[2] = !f->needs_alpha && (all || !f->gray);
    type_ok[3] = f->distinct <= 256;
    type_ok[4] = f->gray && (all || f->needs_alpha);
    type_ok[6] = all || f->needs_alpha;
    // The neighbour colours only pay where colour channels are stored beside alpha.
    if (v == kVariantNeighbour) type_ok[0] = type_ok[2] = type_ok[3] = false;
    if (!type_ok[0] && !type_ok[2] && !type_ok[3] && !type_ok[4]) type_ok[6] = true;
    for (int32_t t : {3, 0, 2, 4, 6}) {
      if (!type_ok[t]) continue;
      if (r->fixed_colour_type && o->colour_type != t) continue;
      if (t == 0 || t == 3) {
        const int32_t needed = t == 0 ? f->gray_depth : palette_depth_needed(f->distinct);
        for (int32_t d = needed; d <= 8; d *= 2) {
          if (r->fixed_bit_depth && o->bit_depth != 0 && d != o->bit_depth) continue;
          if (r->fixed_bit_depth && o->bit_depth == 0 && d != needed) continue;
          if (r->level < 2 && d != needed) continue;
          if (t == 0) {
            add_form(s, v, 0, d, kOrderNone);
            continue;
          }
          if (r->fixed_palette) {
            add_form(s, v, 3, d, kOrderKept);
            continue;
          }
          add_form(s, v, 3, d, kOrderEncoder);
          add_form(s, v, 3, d, kOrderInput);
          add_form(s, v, 3, d, kOrderLuminance);
          if (r->level >= 2) add_form(s, v, 3, d, kOrderAdjacency);
        }
      } else {
        add_form(s, v, t, 8, kOrderNone);
      }
    }
  }
}

// Bytes of PLTE, tRNS and the like the form adds beside IDAT.
int64_t form_overhead(const Form& form, const Facts& f) {
  if (form.colour_type == 3) return 12 + 3 * int64_t(form.palette_count) + (form.translucent ? 12 + form.translucent : 0);
  if ((form.colour_type == 0 || form.colour_type == 2) && f.has_clear) return form.colour_type == 0 ? 14 : 18;
  return 0;
}

struct ByteCollector {
  std::vector<uint8_t>* bytes;
};

void collect_feed(void* user, const uint8_t* bytes, int32_t n) {
  auto* c = static_cast<ByteCollector*>(user);
  c->bytes->insert(c->bytes->end(), bytes, bytes + n);
}
void collect_finish(void*) {}

// The filtered stream of a form with a filter, as a compressing pass sees it.
// With split_view, the bytes the encoder's block split looks at instead: it
// filters every row as a first row.
bool filtered_stream(const Search* s, const Form& form, int32_t filter, std::vector<uint8_t>* out,
                     bool split_view = false) {
  ColourHash hash;
  uint32_t palette[256];
  const Facts& f = s->facts[form.variant];
  int32_t count = 0;
  if (form.colour_type == 3) {
    const uint32_t* src = form.order == kOrderKept ? s->base->source_palette : form.palette;
    count = form.order == kOrderKept ? s->base->source_palette_count : form.palette_count;
    if (!src || count <= 0) return false;
    std::memcpy(palette, src, sizeof(uint32_t) * size_t(count));
  } else if (form.colour_type == 0) {
    static constexpr uint32_t kStep[9] = {0, 0xFFFFFF, 0x555555, 0, 0x111111, 0, 0, 0, 0x010101};
    const uint32_t step = kStep[form.bit_depth];
    count = 1 << form.bit_depth;
    for (int32_t i = 0; i < count; ++i) palette[i] = 0xFF000000u + uint32_t(i) * step;
    // The one transparent value keeps its own level, as the encoder does it.
    for (int32_t i = 0; i < f.distinct && i < 256; ++i) {
      if (f.colours[i] < 0xFF000000u) palette[(f.colours[i] & 0xFFFFFF) / step] = f.colours[i];
    }
  }
  hash_fill(&hash, palette, count);
  const RowFormat format = {s->variant_pixels[form.variant].data(), s->width * 4, s->width, s->height,
                            form.colour_type, form.bit_depth, find_colour, &hash};
  FilterStage st;
  filter_stage_init(&st);
  bool ok = filter_stage_begin(&st, &format, filter, PrintFn{}) == 0;
  out->clear();
  const int64_t size = (row_byte_count(form.colour_type, form.bit_depth, s->width) + 1) * s->height;
  ByteCollector collector = {out};
  const CompressSink sink = {&collector, collect_feed, collect_finish};
  if (split_view) {
    out->resize(size_t(size));
    if (ok) install_sink_collect(&st, out->data(), size);
  } else {
    out->reserve(size_t(size));
    if (ok) install_sink_compress(&st, &sink);
  }
  for (int32_t y = 0; ok && y < s->height; ++y) ok = filter_row(&st, y) == 0;
  filter_stage_free(&st);
  return ok;
}

// Runs job(i) for i in [0, count) on the workers; each job writes only its
// own result slot, so the results do not depend on how they were shared out.
template <typename Job>
void run_jobs(int32_t threads, int32_t count, bool reentrant, Job job) {
  if (threads <= 1 || count <= 1 || !reentrant) {
    for (int32_t i = 0; i < count; ++i) job(i);
    return;
  }
  std::atomic<int32_t> next{0};
  auto worker = [&] {
    for (int32_t i = next.fetch_add(1); i < count; i = next.fetch_add(1)) job(i);
  };
  const int32_t n = std::min(threads, count);
  std::vector<std::thread> pool;
  for (int32_t t = 1; t < n; ++t) pool.emplace_back(worker);
  worker();
  for (auto& t : pool) t.join();
}

// Quick estimates of the given (form, filter) pairs.
void screen(Search* s, std::vector<Screened>* list, int32_t chain) {
  const int32_t count = int32_t(list->size());
  run_jobs(s->request->threads, count, true, [&](int32_t i) {
    Screened& c = (*list)[size_t(i)];
    std::vector<uint8_t> bytes;
    const Form& form = s->forms[size_t(c.form)];
    c.estimate = INT64_MAX;
    if (!filtered_stream(s, form, c.filter, &bytes) || bytes.size() > size_t(INT32_MAX)) return;
    const int64_t e = quick_estimate_bytes(bytes.data(), int32_t(bytes.size()), chain);
    if (e >= 0) c.estimate = e + form_overhead(form, s->facts[form.variant]);
  });
  std::stable_sort(list->begin(), list->end(), [](const Screened& a, const Screened& b) {
    return a.estimate != b.estimate ? a.estimate < b.estimate : a.index < b.index;
  });
}

void describe(const Search* s, const Screened& c, const DeflateSetting& d, char* out, size_t size) {
  const Form& f = s->forms[size_t(c.form)];
  char palette[32] = "";
  if (f.colour_type == 3) std::snprintf(palette, sizeof palette, " pal:%s", kOrderNames[f.order]);
  char blocks[32];
  if (d.exact_count > 0)
    std::snprintf(blocks, sizeof blocks, "n%d", d.exact_count);
  else
    std::snprintf(blocks, sizeof blocks, "b%g", d.threshold);
  char seed[24] = "";
  if (d.randomize) std::snprintf(seed, sizeof seed, " r%u", unsigned(d.seed));
  char deep[16] = "";
  if (d.deep) std::snprintf(deep, sizeof deep, " z%d", d.deep);
  std::snprintf(out, size, "c%d d%d%s f%d %s s%d%s%s%s", f.colour_type, f.bit_depth, palette, c.filter, blocks,
                d.strategy, seed, deep, kVariantNames[f.variant]);
}

Finished encode_candidate(const Search* s, const Screened& c, const DeflateSetting& d, int32_t max_passes) {
  const Form& form = s->forms[size_t(c.form)];
  EncodeOptions o = *s->base;
  o.pixels = const_cast<uint32_t*>(s->variant_pixels[form.variant].data());
  o.kbuf = nullptr;
  o.kbuf_capacity = 0;
  o.print = PrintFn{};
  o.key_check = KeyCheckFn{};
  o.verbose = 0;
  o.colour_type = form.colour_type;
  o.bit_depth = form.bit_depth;
  o.filter = c.filter;
  if (form.colour_type == 3 && form.order == kOrderEncoder) {
    o.keep_palette = 0;
    o.source_palette_count = 0;
  } else if (form.colour_type == 3 && form.order != kOrderKept) {
    o.keep_palette = 1;
    o.source_palette = form.palette;
    o.source_palette_count = form.palette_count;
  }
  o.block_threshold = d.threshold;
  o.exact_block_count = d.exact_count;
  o.strategy = d.strategy;
  o.randomize = d.randomize;
  o.random_seed = d.seed;
  o.max_passes = max_passes;
  o.deep_level = d.deep;
  Finished r{};
  r.size = encode_png(&o);
  r.png = o.kbuf;
  r.capacity = o.kbuf_capacity;
  r.chosen_colour_type = o.chosen_colour_type;
  r.chosen_bit_depth = o.chosen_bit_depth;
  r.chosen_filter = o.chosen_filter;
  // Only counted, not stored: nothing whole to keep.
  if (r.size == kNoPng || r.size > r.capacity) {
    std::free(r.png);
    r.png = nullptr;
    r.size = kNoPng;
  }
  return r;
}

void show_progress(const Search* s, const char* stage, int32_t done, int32_t total) {
  if (s->request->progress) s->print("\rSearch: %s %d/%d   ", stage, done, total);
}

// Finishes the candidates with each of the settings, in order, and keeps the
// smallest that passes the check. Returns the index into settings x
// candidates of the smallest of this round, or -1.
struct Trial {
  Screened candidate;
  DeflateSetting setting;
  int32_t max_passes;
};

int32_t finish(Search* s, const std::vector<Trial>& trials, const char* stage, int32_t* round_best_size,
               std::vector<int32_t>* sizes = nullptr) {
  const int32_t count = int32_t(trials.size());
  std::vector<Finished> results(static_cast<size_t>(count));
  int32_t round_best = -1;
  *round_best_size = kNoPng;
  if (sizes) sizes->assign(size_t(count), kNoPng);
  // Workers take the trials in groups of the thread count; between groups
  // the stop key is polled.
  const int32_t group = kEncodeReentrant ? std::max(1, s->request->threads) : 1;
  for (int32_t first = 0; first < count && !s->stopped; first += group) {
    const int32_t n = std::min(group, count - first);
    show_progress(s, stage, first, count);
    run_jobs(s->request->threads, n, kEncodeReentrant, [&](int32_t i) {
      const Trial& t = trials[size_t(first + i)];
      results[size_t(first + i)] = encode_candidate(s, t.candidate, t.setting, t.max_passes);
    });
    for (int32_t i = first; i < first + n; ++i) {
      Finished& r = results[size_t(i)];
      s->finished_count += 1;
      char label[160];
      describe(s, trials[size_t(i)].candidate, trials[size_t(i)].setting, label, sizeof label);
      if (s->request->verbose) {
        if (r.size == kNoPng)
          s->print("\rCandidate %-48s no PNG\n", label);
        else
          s->print("\rCandidate %-48s %8d bytes\n", label, r.size);
      }
      if (r.size == kNoPng) continue;
      if (sizes) (*sizes)[size_t(i)] = r.size;
      if (r.size < *round_best_size) {
        *round_best_size = r.size;
        round_best = i;
      }
      const bool better = s->best.size == kNoPng || r.size < s->best.size;
      if (better && (!s->request->verify || s->request->verify(s->request->verify_user, r.png, r.size))) {
        std::free(s->best.png);
        s->best = r;
        r.png = nullptr;
        std::snprintf(s->best_label, sizeof s->best_label, "%s", label);
      } else if (better && s->request->verbose) {
        s->print("\rCandidate %s failed verification\n", label);
      }
      std::free(r.png);
      r.png = nullptr;
    }
    if (s->request->key_check && s->request->key_check(0)) s->stopped = true;
  }
  for (auto& r : results) std::free(r.png);
  return round_best;
}

// Pictures whose filtered stream is larger than this are ranked on a sample
// of it: bands of rows spread evenly over the picture, together about this
// size. The ranking engine's time grows with the bytes, and the order of the
// candidates shows as well on a fair share of their rows (a band's rows
// still refer to the rows above them inside the band).
constexpr int64_t kRankSampleBytes = int64_t(1) << 20;
constexpr int32_t kRankBandRows = 16;
// Per mille of the smallest sampled size within which the runner-up is
// ranked again with the smallest on their whole streams.
constexpr int32_t kSampleMargin = 10;

bool stream_is_sampled(const Search* s, const Form& form) {
  const int64_t row = row_byte_count(form.colour_type, form.bit_depth, s->width) + 1;
  return row * s->height > kRankSampleBytes;
}

// Sizes the ranking engine gives the trials' streams on their samples,
// scaled to the whole stream, with the form's chunks; kNoPng where a stream
// could not be made. Returns the smallest (the first of equals), or -1.
int32_t rank_on_samples(Search* s, const std::vector<Trial>& ranks, std::vector<int32_t>* sizes) {
  const int32_t count = int32_t(ranks.size());
  sizes->assign(size_t(count), kNoPng);
  DeepSettings settings;
  deep_settings_for_level(kDeepRankLevel, &settings);
  show_progress(s, "ranking", 0, count);
  run_jobs(s->request->threads, count, true, [&](int32_t i) {
    const Trial& t = ranks[size_t(i)];
    const Form& form = s->forms[size_t(t.candidate.form)];
    std::vector<uint8_t> bytes;
    if (!filtered_stream(s, form, t.candidate.filter, &bytes) || bytes.empty() || bytes.size() > size_t(INT32_MAX))
      return;
    const int64_t total = int64_t(bytes.size());
    const int64_t band = (row_byte_count(form.colour_type, form.bit_depth, s->width) + 1) * kRankBandRows;
    const int64_t every = (total + kRankSampleBytes - 1) / kRankSampleBytes;
    std::vector<uint8_t> sample;
    sample.reserve(size_t(std::min(total, kRankSampleBytes + band)));
    for (int64_t at = 0; at < total; at += band * every)
      sample.insert(sample.end(), bytes.begin() + at, bytes.begin() + std::min(at + band, total));
    std::vector<uint8_t> out;
    if (!deep_deflate(sample.data(), int32_t(sample.size()), &settings, &out, KeyCheckFn{})) return;
    const int64_t scaled = int64_t(out.size()) * total / int64_t(sample.size()) +
                           form_overhead(form, s->facts[form.variant]);
    (*sizes)[size_t(i)] = int32_t(std::min<int64_t>(scaled, kNoPng - 1));
  });
  int32_t best = -1;
  for (int32_t i = 0; i < count; ++i) {
    if (s->request->verbose) {
      char label[160];
      describe(s, ranks[size_t(i)].candidate, ranks[size_t(i)].setting, label, sizeof label);
      if ((*sizes)[size_t(i)] == kNoPng)
        s->print("\rRanked %-51s no stream\n", label);
      else
        s->print("\rRanked %-51s ~%7d bytes\n", label, (*sizes)[size_t(i)]);
    }
    if ((*sizes)[size_t(i)] != kNoPng && (best < 0 || (*sizes)[size_t(i)] < (*sizes)[size_t(best)])) best = i;
  }
  return best;
}

// Fully transparent pixels made black, or given the colour on their left
// (the one above at a row's start).
void make_variants(Search* s) {
  const EncodeOptions* o = s->base;
  const size_t count = size_t(s->width) * size_t(s->height);
  std::vector<uint32_t>& input = s->variant_pixels[kVariantInput];
  input.resize(count);
  for (int32_t y = 0; y < s->height; ++y)
    std::memcpy(input.data() + size_t(y) * size_t(s->width), row_of(o->pixels, o->pitch, y), size_t(s->width) * 4);
  s->variant_used[kVariantInput] = true;
  gather_facts(input.data(), s->width * 4, s->width, s->height, &s->facts[kVariantInput]);
  if (!s->request->alpha_free || !s->facts[kVariantInput].has_clear) return;
  s->variant_used[kVariantInput] = false;
  std::vector<uint32_t>& black = s->variant_pixels[kVariantBlack];
  black = input;
  for (uint32_t& p : black)
    if ((p >> 24) == 0) p = 0;
  s->variant_used[kVariantBlack] = true;
  gather_facts(black.data(), s->width * 4, s->width, s->height, &s->facts[kVariantBlack]);
  if (!s->facts[kVariantBlack].needs_alpha) return;
  std::vector<uint32_t>& left = s->variant_pixels[kVariantNeighbour];
  left = input;
  for (int32_t y = 0; y < s->height; ++y) {
    for (int32_t x = 0; x < s->width; ++x) {
      uint32_t& p = left[size_t(y) * size_t(s->width) + size_t(x)];
      if ((p >> 24) != 0) continue;
      uint32_t from = 0;
      if (x > 0)
        from = left[size_t(y) * size_t(s->width) + size_t(x) - 1];
      else if (y > 0)
        from = left[size_t(y - 1) * size_t(s->width)];
      p = from & 0x00FFFFFFu;
    }
  }
  s->variant_used[kVariantNeighbour] = true;
  gather_facts(left.data(), s->width * 4, s->width, s->height, &s->facts[kVariantNeighbour]);
}

struct BlockChoice {
  double threshold;
  int32_t exact_count;
  int64_t estimate;
};

// Ranks block layouts for one candidate by the quick estimate of its real
// filtered stream cut where the encoder's split would cut it.
std::vector<BlockChoice> rank_blocks(const Search* s, const Screened& c, std::vector<BlockChoice> grid,
                                     int32_t chain) {
  const Form& form = s->forms[size_t(c.form)];
  std::vector<uint8_t> real, split;
  const bool same = c.filter == 0;
  if (!filtered_stream(s, form, c.filter, &real) || real.size() > size_t(INT32_MAX) ||
      (!same && !filtered_stream(s, form, c.filter, &split, true)))
    return grid;
  const std::vector<uint8_t>& view = same ? real : split;
  const int32_t n = int32_t(real.size());
  // Only the split search runs on it, which needs no parser.
  std::unique_ptr<DeflateStream> ds(new (std::nothrow) DeflateStream());
  if (!ds) return grid;
  std::vector<int32_t> ends;
  for (BlockChoice& b : grid) {
    ends.assign(1, n);
    if (b.exact_count > 0 || b.threshold > 0.0) {
      if (find_block_boundaries(ds.get(), view.data(), int32_t(view.size()), b.threshold, b.exact_count) == 0) {
        ends.clear();
        for (int32_t k = 0; k < ds->block_count; ++k) ends.push_back(ds->blocks[k].end);
      }
    }
    const int64_t e = quick_estimate_blocks(real.data(), n, ends.data(), int32_t(ends.size()), chain);
    b.estimate = e < 0 ? INT64_MAX : e;
  }
  std::stable_sort(grid.begin(), grid.end(),
                   [](const BlockChoice& a, const BlockChoice& b) { return a.estimate < b.estimate; });
  return grid;
}

// What each level spends: forms x filters are screened, the best few are
// finished, and the winner's deflate settings are searched.
struct LevelPlan {
  int32_t screen_chain;     // chain steps of the quick estimate
  int32_t first_filters[8];  // filters every form is screened with, -1 ends
  int32_t forms_kept;       // forms that go on to every filter
  int32_t finish_count;     // screened candidates finished with the default settings
  int32_t layouts_tried;    // block layouts finished for the winner, by estimate
  int32_t trial_passes;     // pass cap while comparing
  int32_t final_passes;     // pass cap of the last run of the winner (0 = until it stops gaining)
  int32_t deep_level;       // the whole-stream engine's effort on the last run of the winner
  int32_t deep_runners;     // finished candidates (the winner first) that get the engine too
  // Nonzero: the best screened candidate goes straight to its last run (no
  // comparing round: with one candidate and one layout there is nothing to
  // compare), and on pictures of at least quick_pixels pixels (above VGA at
  // -o1) that run's passes are one Huffman-only pass, the whole-stream engine
  // making the IDAT; smaller ones keep their passes, which often win there.
  int32_t direct;
  int64_t quick_pixels;
  // With direct: this many of the best screened candidates (distinct
  // filters, within rank_margin per mille of the best estimate) are first
  // compressed by the quick engine after a Huffman-only pass, and the
  // smallest of those goes to the last run. The quick estimate misjudges
  // filters on smooth pictures by several per cent; the quick engine ranks
  // them as the full engine does, at a fraction of its cost.
  int32_t rank_count;
  int32_t rank_margin;
  // With ranking: this many of the best ranked (the smallest first) get the
  // last run; the engine's full effort may order close ones differently.
  int32_t last_count;
};

// Per mille of the smallest ranked size within which a runner-up still
// gets the last run (levels with last_count > 1).
constexpr int32_t kLastMargin = 10;

constexpr LevelPlan kPlans[kMaxSearchLevel + 1] = {
    {},
    {16, {0, 5, -1}, 2, 1, 1, 3, 3, 1, 1, 1, 640 * 480 + 1, 0, 0, 1},
    {24, {0, 5, 6, -1}, 3, 12, 1, 3, 0, 2, 1, 1, 0, 4, 200, 1},
    {48, {0, 1, 2, 3, 4, 5, 6, -1}, 4, 24, 1, 3, 0, 3, 1, 1, 0, 8, 300, 2},
};

int32_t deliver(Search* s, EncodeOptions* options, int32_t screened_count);

}  // namespace

int32_t search_png(EncodeOptions* options, const SearchRequest* request) {
  if (!options->pixels || options->width < 1 || options->height < 1 ||
      int64_t(options->pitch) < int64_t(options->width) * 4)
    return kNoPng;
  Search s{};
  s.base = options;
  s.request = request;
  s.print = request->print;
  s.width = options->width;
  s.height = options->height;
  s.best.size = kNoPng;
  const int32_t level = std::clamp(request->level, 1, kMaxSearchLevel);
  const LevelPlan& plan = kPlans[level];

  // The line after the input size, as a single run starts it.
  s.print("\n");
  make_variants(&s);
  list_forms(&s);
  if (s.forms.empty()) {
    // Only a fixed colour type the picture cannot take leaves nothing: the
    // encoder says why.
    Form form{};
    form.colour_type = options->colour_type;
    form.bit_depth = options->bit_depth;
    form.order = kOrderKept;
    s.forms.push_back(form);
  }

  // Screen every form with the first filters, then the best forms with all.
  std::vector<int32_t> filters;
  if (request->fixed_filter) {
    filters.push_back(options->filter);
  } else {
    for (int32_t f = 0; f < 8 && plan.first_filters[f] >= 0; ++f) filters.push_back(plan.first_filters[f]);
  }
  std::vector<Screened> screened;
  int32_t index = 0;
  for (int32_t form = 0; form < int32_t(s.forms.size()); ++form)
    for (int32_t f : filters) screened.push_back({form, f, 0, index++});
  show_progress(&s, "screening", 0, int32_t(screened.size()));
  screen(&s, &screened, plan.screen_chain);

  if (!request->fixed_filter) {
    std::vector<int32_t> best_forms;
    for (const Screened& c : screened) {
      if (int32_t(best_forms.size()) >= plan.forms_kept) break;
      if (std::find(best_forms.begin(), best_forms.end(), c.form) == best_forms.end()) best_forms.push_back(c.form);
    }
    std::vector<Screened> more;
    for (int32_t form : best_forms) {
      for (int32_t f = 0; f <= (level >= 3 ? kFilterTrial : kFilterMinSum); ++f) {
        if (std::find(filters.begin(), filters.end(), f) != filters.end()) continue;
        more.push_back({form, f, 0, index + form * 8 + f});
      }
    }
    show_progress(&s, "screening filters", 0, int32_t(more.size()));
    screen(&s, &more, plan.screen_chain);
    screened.insert(screened.end(), more.begin(), more.end());
    std::stable_sort(screened.begin(), screened.end(), [](const Screened& a, const Screened& b) {
      return a.estimate != b.estimate ? a.estimate < b.estimate : a.index < b.index;
    });
  }

  if (request->verbose) {
    for (const Screened& c : screened) {
      const Form& f = s.forms[size_t(c.form)];
      s.print("\rScreen c%d d%d%s%s f%d: %lld bytes\n", f.colour_type, f.bit_depth, f.colour_type == 3 ? " pal:" : "",
              f.colour_type == 3 ? kOrderNames[f.order] : "", c.filter, (long long)c.estimate);
    }
  }
  // The best few, each with the block layout its estimate likes best.
  const DeflateSetting given = {options->block_threshold, options->exact_block_count, options->strategy,
                                options->randomize, options->random_seed, 0};
  DeflateSetting start = given;
  if (!request->fixed_strategy) start.strategy = 0;
  std::vector<BlockChoice> grid;
  if (request->fixed_blocks) {
    grid.push_back({given.threshold, given.exact_count, 0});
  } else {
    for (double t : {0.0, 128.0, 192.0, 256.0, 512.0, 1024.0}) grid.push_back({t, 0, 0});
    if (level >= 3)
      for (int32_t n : {2, 3, 4, 6, 8}) grid.push_back({0.0, n, 0});
  }
  std::vector<Trial> trials;
  std::vector<std::vector<BlockChoice>> ranked;
  for (size_t i = 0; i < screened.size() && int32_t(trials.size()) < plan.finish_count; ++i) {
    if (screened[i].estimate == INT64_MAX && !trials.empty()) break;
    // The direct finish leaves the layout to the whole-stream engine, which
    // searches its own and compares it with the given threshold's.
    ranked.push_back(grid.size() > 1 && !plan.direct ? rank_blocks(&s, screened[i], grid, plan.screen_chain)
                                                      : std::vector<BlockChoice>{{given.threshold, given.exact_count, 0}});
    DeflateSetting d = start;
    d.threshold = ranked.back()[0].threshold;
    d.exact_count = ranked.back()[0].exact_count;
    trials.push_back({screened[i], d, plan.trial_passes});
    if (request->verbose) {
      for (const BlockChoice& b : ranked.back()) {
        if (b.exact_count > 0)
          s.print("\rEstimate n%d: %lld bytes\n", b.exact_count, (long long)b.estimate);
        else
          s.print("\rEstimate b%g: %lld bytes\n", b.threshold, (long long)b.estimate);
      }
    }
  }
  if (request->verbose) s.print("\n");
  int32_t round_size = kNoPng;
  if (plan.direct && !trials.empty()) {
    Trial pick = trials[0];
    std::vector<Trial> picks;  // the ranked candidates, smallest first
    if (plan.rank_count > 1 && trials.size() > 1) {
      std::vector<Trial> ranks;
      std::vector<int32_t> filters_seen;
      const int64_t first = trials[0].candidate.estimate;
      for (const Trial& t : trials) {
        if (int32_t(ranks.size()) >= plan.rank_count) break;
        if (t.candidate.estimate == INT64_MAX || t.candidate.estimate > first + first * plan.rank_margin / 1000) break;
        // Palette orders and the like are left to the screen: one per colour form and filter.
        const Form& f = s.forms[size_t(t.candidate.form)];
        const int32_t key = (f.colour_type * 16 + f.bit_depth) * 16 + t.candidate.filter;
        if (std::find(filters_seen.begin(), filters_seen.end(), key) != filters_seen.end()) continue;
        filters_seen.push_back(key);
        Trial r = t;
        r.max_passes = 1;
        r.setting.deep = kDeepRankLevel;
        if (!request->fixed_strategy) r.setting.strategy = 3;
        if (!request->fixed_blocks) r.setting.threshold = 0.0, r.setting.exact_count = 0;
        ranks.push_back(r);
      }
      if (ranks.size() > 1) {
        std::vector<int32_t> sizes;
        // All are ranked alike, on samples when any stream is large (a
        // smaller one is then its own sample).
        bool sampled = false;
        for (const Trial& r : ranks) sampled = sampled || stream_is_sampled(&s, s.forms[size_t(r.candidate.form)]);
        int32_t b = sampled ? rank_on_samples(&s, ranks, &sizes) : finish(&s, ranks, "ranking", &round_size, &sizes);
        if (sampled && b >= 0) {
          // A sample orders close candidates less surely than their whole
          // streams (on the emerald grub-4x3, Sub and the entropy choice
          // 0.25 % apart on samples, 1.5 % the other way in full): a
          // runner-up within kSampleMargin is ranked again in full with the
          // smallest.
          std::vector<int32_t> order;
          for (int32_t i = 0; i < int32_t(ranks.size()); ++i)
            if (sizes[size_t(i)] != kNoPng) order.push_back(i);
          std::stable_sort(order.begin(), order.end(),
                           [&](int32_t x, int32_t y) { return sizes[size_t(x)] < sizes[size_t(y)]; });
          std::vector<int32_t> close;
          for (int32_t i : order)
            if (close.size() < 2 && int64_t(sizes[size_t(i)]) * 1000 <= int64_t(sizes[size_t(b)]) * (1000 + kSampleMargin))
              close.push_back(i);
          if (close.size() > 1) {
            std::vector<Trial> again;
            for (int32_t i : close) again.push_back(ranks[size_t(i)]);
            std::vector<int32_t> full;
            const int32_t c = finish(&s, again, "ranking", &round_size, &full);
            if (c >= 0) {
              // Sampled and whole sizes do not compare (a sample may come
              // out smaller or larger than its share): only the candidates
              // ranked in full stay in the running.
              std::vector<int32_t> whole(sizes.size(), kNoPng);
              for (size_t k = 0; k < close.size(); ++k) whole[size_t(close[k])] = full[k];
              sizes.swap(whole);
              b = close[size_t(c)];
            }
          }
        }
        if (b >= 0) {
          for (const Trial& t : trials)
            if (t.candidate.index == ranks[size_t(b)].candidate.index) pick = t;
        }
        if (b >= 0 && plan.last_count > 1) {
          std::vector<int32_t> order;
          for (int32_t i = 0; i < int32_t(ranks.size()); ++i)
            if (sizes[size_t(i)] != kNoPng) order.push_back(i);
          std::stable_sort(order.begin(), order.end(),
                           [&](int32_t x, int32_t y) { return sizes[size_t(x)] < sizes[size_t(y)]; });
          for (int32_t i : order) {
            if (int32_t(picks.size()) >= plan.last_count) break;
            // A runner-up well behind the smallest ranked never overtakes it
            // in the last run (the full effort gains 2-3 % on every
            // candidate alike): only close ones are worth that run.
            const int64_t lead = int64_t(sizes[size_t(order[0])]);
            if (!picks.empty() && int64_t(sizes[size_t(i)]) * 1000 > lead * (1000 + kLastMargin)) break;
            for (const Trial& t : trials)
              if (t.candidate.index == ranks[size_t(i)].candidate.index) picks.push_back(t);
          }
        }
      }
    }
    if (picks.empty()) picks.push_back(pick);
    std::vector<Trial> last;
    for (const Trial& p : picks) {
      Trial t = p;
      t.max_passes = plan.final_passes;
      t.setting.deep = plan.deep_level;
      if (int64_t(s.width) * s.height >= plan.quick_pixels && !request->fixed_strategy) {
        // One block: the engine that follows makes the layout.
        t.max_passes = 1;
        t.setting.strategy = 3;
        if (!request->fixed_blocks) t.setting.threshold = 0.0, t.setting.exact_count = 0;
      }
      last.push_back(t);
    }
    finish(&s, last, "finishing", &round_size);
    return deliver(&s, options, int32_t(screened.size()));
  }
  const int32_t first_best = finish(&s, trials, "finishing", &round_size);
  if (first_best < 0) {
    if (request->progress) s.print("\r%40s\r", "");
    return kNoPng;
  }
  Trial winner = trials[size_t(first_best)];
  int32_t winner_size = round_size;

  // The winner's next block layouts by estimate and the other strategy, under the same pass cap.
  std::vector<Trial> settings;
  const std::vector<BlockChoice>& layouts = ranked[size_t(first_best)];
  for (int32_t k = 1; k < int32_t(layouts.size()) && k < plan.layouts_tried; ++k) {
    DeflateSetting d = winner.setting;
    d.threshold = layouts[size_t(k)].threshold;
    d.exact_count = layouts[size_t(k)].exact_count;
    settings.push_back({winner.candidate, d, plan.trial_passes});
  }
  if (!s.stopped && !settings.empty()) {
    const int32_t b = finish(&s, settings, "block layouts", &round_size);
    if (b >= 0 && round_size < winner_size) winner = settings[size_t(b)], winner_size = round_size;
  }
  if (!request->fixed_strategy && level >= 2 && !s.stopped) {
    std::vector<Trial> one = {winner};
    one[0].setting.strategy = 1;
    const int32_t c = finish(&s, one, "strategy", &round_size);
    if (c >= 0 && round_size < winner_size) winner = one[0], winner_size = round_size;
  }

  // Randomised first code tables from fixed seeds, so a run repeats itself.
  if (level >= 3 && !given.randomize && !s.stopped) {
    std::vector<Trial> seeded;
    for (uint32_t seed : {1u, 2u, 3u}) {
      Trial t = winner;
      t.setting.randomize = 1;
      t.setting.seed = seed;
      seeded.push_back(t);
    }
    const int32_t r = finish(&s, seeded, "random tables", &round_size);
    if (r >= 0 && round_size < winner_size) winner = seeded[size_t(r)], winner_size = round_size;
  }

  // The winner with its passes run out and its stream compressed again by
  // the whole-stream engine; at the higher levels the runners-up of the first
  // round too, since the engine may rank them differently. Each keeps the
  // passes' IDAT when the engine does not beat it, so this never loses.
  if (!s.stopped) {
    std::vector<Trial> last = {winner};
    last[0].max_passes = plan.final_passes;
    last[0].setting.deep = plan.deep_level;
    for (size_t i = 0; i < trials.size() && int32_t(last.size()) < plan.deep_runners; ++i) {
      if (int32_t(i) == first_best) continue;
      Trial t = trials[i];
      t.max_passes = plan.final_passes;
      t.setting.deep = plan.deep_level;
      last.push_back(t);
    }
    finish(&s, last, "final passes", &round_size);
  }
  return deliver(&s, options, int32_t(screened.size()));
}

namespace {

// Hands the best PNG of the search to the caller with the closing line.
int32_t deliver(Search* sp, EncodeOptions* options, int32_t screened_count) {
  Search& s = *sp;
  if (s.request->progress) s.print("\r%40s\r", "");
  if (s.best.size == kNoPng) return kNoPng;
  options->kbuf = s.best.png;
  options->kbuf_capacity = s.best.capacity;
  options->chosen_colour_type = s.best.chosen_colour_type;
  options->chosen_bit_depth = s.best.chosen_bit_depth;
  options->chosen_filter = s.best.chosen_filter;
  options->chosen_palette_count = 0;
  s.print("\rSearch: %d candidates screened, %d finished%s; best %s: %d bytes\n", screened_count,
          s.finished_count, s.stopped ? " (stopped)" : "", s.best_label, s.best.size);
  return s.best.size;
}

}  // namespace
