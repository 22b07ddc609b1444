#pragma once
// Pictures made and decoded by libjpeg, for the JPEG decoder's tests. libjpeg
// is linked into tests only.
#include <cstdint>
#include <vector>

struct JpegMakeOptions {
  int quality = 90;
  bool force_baseline = true;  // false lets low qualities use 16-bit quantisation tables
  int components = 3;          // 1 = gray, 3 = YCbCr
  int h0 = 2, v0 = 2;          // sampling of the first component
  int h1 = 1, v1 = 1;          // of Cb
  int h2 = 1, v2 = 1;          // of Cr
  int luma_table = 0;          // quantisation table ids
  int chroma_table = 1;
  int restart_interval = 0;  // in MCUs
  bool progressive = false;  // the library's standard progression
  // A custom scan script: each scan lists component indexes and Ss, Se, Ah, Al.
  struct Scan {
    int count;
    int comps[4];
    int ss, se, ah, al;
  };
  std::vector<Scan> scans;
};

// Compresses 8-bit samples (RGB, or gray with components = 1). Empty on failure.
std::vector<uint8_t> jpeg_make(const std::vector<uint8_t>& samples, int width, int height,
                               const JpegMakeOptions& options);

struct JpegReference {
  int width = 0;
  int height = 0;
  int components = 0;            // as stored in the file
  int warnings = 0;              // corrupt-data warnings the library raised
  std::vector<uint32_t> pixels;  // 0xFFRRGGBB
};

// Decodes with the accurate integer transform and without fancy upsampling,
// the closest the library comes to the decoder under test. Only one- and
// three-component pictures; false when the library refuses the file.
bool jpeg_reference_decode(const std::vector<uint8_t>& jpeg, JpegReference* out);

// A smooth picture with some detail, width * height * components samples;
// noise adds that much random grain to every sample.
std::vector<uint8_t> jpeg_test_samples(int width, int height, int components, int noise = 16,
                                       uint32_t seed = 12345);

// Peak signal-to-noise ratio over the three colour channels, in dB (999 when equal).
double jpeg_psnr(const std::vector<uint32_t>& a, const std::vector<uint32_t>& b);

// Largest difference of one channel between two pictures of the same size.
int jpeg_max_channel_difference(const std::vector<uint32_t>& a, const std::vector<uint32_t>& b);
