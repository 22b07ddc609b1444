#pragma once
// Generated test pictures shared by the encoder tests: every colour type and
// depth the encoder can choose, with and without a transparent key.
#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/encode_harness.h"

struct PictureCase {
  std::string name;
  TestPicture picture;
  int32_t colour_type;  // requested
  int32_t bit_depth;    // requested (0 = smallest)
  int32_t expect_type;
  int32_t expect_depth;
};

inline uint32_t next_random(uint32_t* state) {
  *state = *state * 1664525u + 1013904223u;
  return *state >> 8;
}

inline TestPicture make_picture(int32_t w, int32_t h) {
  TestPicture p;
  p.width = w;
  p.height = h;
  p.pixels.assign(size_t(w) * size_t(h), 0);
  return p;
}

inline TestPicture picture_of(int32_t w, int32_t h, const std::vector<uint32_t>& pixels) {
  return TestPicture{w, h, pixels};
}

// One row of n opaque colours: pixel i is i * step.
inline TestPicture ramp_picture(int32_t n, uint32_t step) {
  TestPicture p = make_picture(n, 1);
  for (int32_t i = 0; i < n; ++i) p.pixels[size_t(i)] = 0xFF000000u | uint32_t(i) * step;
  return p;
}

// Opaque gray pixels drawn from levels; every seventh pixel is the key
// (0x00vvvvvv) when key_level >= 0.
inline TestPicture gray_picture(int32_t w, int32_t h, const std::vector<int>& levels, int key_level,
                                uint32_t seed = 1) {
  TestPicture p = make_picture(w, h);
  uint32_t s = seed;
  for (size_t i = 0; i < p.pixels.size(); ++i) {
    // The first pixels show every level, so the depth the case expects is needed.
    const uint32_t v = uint32_t(i < levels.size() ? levels[i] : levels[next_random(&s) % levels.size()]);
    p.pixels[i] = 0xFF000000u | v * 0x010101u;
    if (key_level >= 0 && i % 7 == 3) p.pixels[i] = uint32_t(key_level) * 0x010101u;
  }
  return p;
}

// Pixels drawn from a palette of n entries; entry k gets alpha alphas[k % size].
inline TestPicture palette_picture(int32_t w, int32_t h, int n, const std::vector<uint32_t>& alphas,
                                   uint32_t seed = 7) {
  std::vector<uint32_t> palette;
  for (int k = 0; k < n; ++k) {
    const uint32_t rgb = (uint32_t(k) * 0x9E3779B1u) & 0xFFFFFF;
    palette.push_back(alphas[size_t(k) % alphas.size()] << 24 | rgb);
  }
  TestPicture p = make_picture(w, h);
  uint32_t s = seed;
  for (size_t i = 0; i < p.pixels.size(); ++i) {
    // Every entry appears at least once when there are enough pixels.
    p.pixels[i] = i < size_t(n) ? palette[i] : palette[next_random(&s) % size_t(n)];
  }
  return p;
}

// Smooth colour with noise: more than 256 colours, compressible under filters.
inline TestPicture rgb_picture(int32_t w, int32_t h, bool with_key, uint32_t seed = 3) {
  TestPicture p = make_picture(w, h);
  uint32_t s = seed;
  for (int32_t y = 0; y < h; ++y) {
    for (int32_t x = 0; x < w; ++x) {
      const uint32_t n = next_random(&s) & 7;
      const uint32_t r = (uint32_t(x) * 3 + n) & 0xFF, g = (uint32_t(y) * 5) & 0xFF,
                     b = (uint32_t(x + y) + n * 2) & 0xFF;
      uint32_t px = 0xFF000000u | r << 16 | g << 8 | b;
      // The key colour must never occur opaque.
      if ((px & 0xFFFFFF) == 0x123456) px ^= 0x010000;
      p.pixels[size_t(y) * size_t(w) + size_t(x)] = px;
    }
  }
  if (with_key) {
    for (size_t i = 5; i < p.pixels.size(); i += 11) p.pixels[i] = 0x00123456u;
  }
  return p;
}

inline TestPicture alpha_picture(int32_t w, int32_t h, bool gray, uint32_t seed = 5) {
  TestPicture p = make_picture(w, h);
  uint32_t s = seed;
  for (int32_t y = 0; y < h; ++y) {
    for (int32_t x = 0; x < w; ++x) {
      const uint32_t a = (uint32_t(x) * 9 + (next_random(&s) & 3)) & 0xFF;
      uint32_t px;
      if (gray) {
        const uint32_t v = (uint32_t(y) * 7 + uint32_t(x)) & 0xFF;
        px = a << 24 | v * 0x010101u;
      } else {
        px = a << 24 | ((uint32_t(x) * 5) & 0xFF) << 16 | ((uint32_t(y) * 3) & 0xFF) << 8 |
             (next_random(&s) & 0xFF);
      }
      p.pixels[size_t(y) * size_t(w) + size_t(x)] = px;
    }
  }
  return p;
}

inline std::vector<PictureCase> picture_cases() {
  std::vector<PictureCase> cases;
  const std::vector<int> l1 = {0, 255}, l1k = {0}, l2 = {0, 85, 170, 255}, l2k = {0, 85, 170},
                         l4 = {0, 17, 51, 68, 119, 255}, l8 = {0, 1, 2, 50, 99, 128, 200, 254};
  for (int32_t w : {1, 3, 5, 7, 9, 13, 16}) {
    const std::string ws = std::to_string(w);
    cases.push_back({"gray1_w" + ws, gray_picture(w, 5, l1, -1), 0, 0, 0, 1});
    cases.push_back({"gray1_key_w" + ws, gray_picture(w, 5, l1k, 255), 0, 0, 0, 1});
    cases.push_back({"gray2_w" + ws, gray_picture(w, 5, l2, -1), 0, 0, 0, 2});
    cases.push_back({"gray2_key_w" + ws, gray_picture(w, 5, l2k, 255), 0, 0, 0, 2});
    cases.push_back({"gray4_w" + ws, gray_picture(w, 5, l4, -1), 0, 0, 0, 4});
    cases.push_back({"gray4_key_w" + ws, gray_picture(w, 5, l4, 34), 0, 0, 0, 4});
    cases.push_back({"pal1_w" + ws, palette_picture(w, 10, 2, {0xFF}), 3, 0, 3, 1});
    cases.push_back({"pal2_w" + ws, palette_picture(w, 10, 3, {0xFF, 0x40}), 3, 0, 3, 2});
    cases.push_back({"pal4_w" + ws, palette_picture(w, 10, 9, {0xFF}), 3, 0, 3, 4});
  }
  cases.push_back({"gray8", gray_picture(31, 17, l8, -1), 0, 0, 0, 8});
  cases.push_back({"gray8_key", gray_picture(31, 17, l8, 251), 0, 0, 0, 8});
  cases.push_back({"gray_depth8_forced", gray_picture(10, 6, l1, -1), 0, 8, 0, 8});
  cases.push_back({"rgb", rgb_picture(40, 30, false), 2, 0, 2, 8});
  cases.push_back({"rgb_key", rgb_picture(40, 30, true), 2, 0, 2, 8});
  cases.push_back({"pal8_opaque", palette_picture(40, 30, 200, {0xFF}), 3, 0, 3, 8});
  cases.push_back(
      {"pal8_translucent", palette_picture(40, 30, 256, {0xFF, 0x00, 0x80, 0xFF, 0xC0}), 3, 0, 3, 8});
  cases.push_back({"pal4_translucent", palette_picture(23, 9, 16, {0x10, 0xFF}), 3, 0, 3, 4});
  cases.push_back({"pal_depth8_forced", palette_picture(12, 5, 3, {0xFF}), 3, 8, 3, 8});
  cases.push_back({"gray_alpha", alpha_picture(33, 21, true), 4, 0, 4, 8});
  cases.push_back({"rgba", alpha_picture(33, 21, false), 6, 0, 6, 8});
  cases.push_back({"rgb_as_rgba", rgb_picture(20, 20, false), 6, 0, 6, 8});
  cases.push_back({"gray_as_rgb", gray_picture(20, 20, l8, -1), 2, 0, 2, 8});
  cases.push_back({"one_pixel", gray_picture(1, 1, {128}, -1), 0, 0, 0, 8});
  return cases;
}

// A larger picture for the passes over long streams: smooth shading with
// noise, flat panels, repeated stripes, so that the parse meets short and
// long matches at near and far distances; with flat_rows, a band of
// identical rows across a quarter of the height.
inline TestPicture large_scene(int32_t w, int32_t h, bool few_colours, bool flat_rows = false) {
  TestPicture p = make_picture(w, h);
  uint32_t s = 29;
  for (int32_t y = 0; y < h; ++y) {
    for (int32_t x = 0; x < w; ++x) {
      uint32_t c;
      if (flat_rows && y >= h / 4 && y < h / 2) {
        c = 0x305070u;
      } else if (x > w / 2 && y < h / 3) {
        c = 0x203040u;
      } else if (y % 37 < 5) {
        c = uint32_t(x / 8 % 4) * 0x402010u;
      } else if (few_colours) {
        c = uint32_t((x / 16 + y / 16 + next_random(&s) % 2) % 24) * 0x0A0B0Cu;
      } else {
        const uint32_t n = next_random(&s) % 6;
        c = uint32_t((x + y) / 4 + n) % 256 << 16 | uint32_t(y / 3 + n) % 256 << 8 | uint32_t(x / 5) % 256;
      }
      p.pixels[size_t(y) * size_t(w) + size_t(x)] = 0xFF000000u | c;
    }
  }
  return p;
}
