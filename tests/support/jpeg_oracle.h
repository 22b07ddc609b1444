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
  bool arithmetic = false;   // arithmetic coding instead of Huffman codes
  // How three or four components are stored: YCbCr, RGB (marked by an Adobe
  // segment), CMYK or YCCK; the samples given are then RGB or CMYK.
  enum class Stored { kYcc, kRgb, kCmyk, kYcck } stored = Stored::kYcc;
  bool adobe_segment = true;  // CMYK only: false leaves the Adobe segment out
  int h3 = 1, v3 = 1;         // sampling of the fourth component
};

// Compresses 8-bit samples (RGB, gray with components = 1, CMYK with 4).
// Empty on failure.
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
// the closest the library comes to the decoder under test; false when the
// library refuses the file. Four-component pictures come out of the library
// as CMYK and are shown as the established viewers show them: the inks
// stored inverted, red = (255 - ink c) of (255 - ink k), that is c k / 255 of
// the stored values. With fancy, subsampled components are interpolated as
// the library does by default (its triangle filter for halved ones).
bool jpeg_reference_decode(const std::vector<uint8_t>& jpeg, JpegReference* out, bool fancy = false);

// A smooth picture with some detail, width * height * components samples;
// noise adds that much random grain to every sample.
std::vector<uint8_t> jpeg_test_samples(int width, int height, int components, int noise = 16,
                                       uint32_t seed = 12345);

// Peak signal-to-noise ratio over the three colour channels, in dB (999 when equal).
double jpeg_psnr(const std::vector<uint32_t>& a, const std::vector<uint32_t>& b);

// Largest difference of one channel between two pictures of the same size.
int jpeg_max_channel_difference(const std::vector<uint32_t>& a, const std::vector<uint32_t>& b);
