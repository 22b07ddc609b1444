#include "driver/run.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>
#include <thread>

#include <unistd.h>
#include <vector>

#include "decode/picture.h"
#include "decode/gif_decode.h"
#include "decode/png_decode.h"
#include "driver/animation.h"
#include "driver/batch.h"
#include "driver/gif_animation.h"
#include "driver/chunk_select.h"
#include "driver/console.h"
#include "driver/encode_setup.h"
#include "driver/file_io.h"
#include "driver/memory_limit.h"
#include "driver/names.h"
#include "driver/options.h"
#include "driver/output_decision.h"
#include "driver/signals.h"
#include "driver/verify.h"
#include "encode/encode_png.h"
#include "encode/encode_wide.h"
#include "encode/search.h"

namespace {

OutputTamperHook tamper_hook = nullptr;

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};

// What the search's check of each candidate compares against.
struct VerifyTarget {
  const uint32_t* pixels;
  int32_t width, height;
  bool clear_colour_free;
};

bool verify_candidate(void* user, const uint8_t* png, int32_t size) {
  const auto* t = static_cast<const VerifyTarget*>(user);
  return verify_png_output(png, size, t->pixels, t->width, t->height, t->clear_colour_free);
}

int32_t search_threads(int32_t requested) {
  if (requested > 0) return requested;
  const unsigned hardware = std::thread::hardware_concurrency();
  return hardware == 0 ? 1 : int32_t(hardware > unsigned(kMaxThreads) ? kMaxThreads : hardware);
}

// A 16-bit picture without a requested filter: the mixed per-row filter
// loses to no filter on some (smooth gray+alpha ramps by a third), so the
// other filters are tried silently first (0 alone by default, 0..4 with the
// whole-stream engine under -o) and the printed encode with the mixed filter
// last; the smallest is kept, ties going to the mixed one. The order is
// fixed, so the bytes never depend on the thread count.
int32_t encode_wide_best(EncodeOptions* options, bool filter_fixed, int32_t search_level) {
  if (search_level > 0) options->deep_level = search_level;
  if (filter_fixed) return encode_png(options);
  const int32_t last = search_level > 0 ? 4 : 0;
  uint8_t* best = nullptr;
  int32_t best_size = kNoPng, best_filter = -1;
  for (int32_t f = 0; f <= last; ++f) {
    EncodeOptions trial = *options;
    trial.filter = f;
    trial.kbuf = nullptr;
    trial.kbuf_capacity = 0;
    trial.print = PrintFn{};
    const int32_t size = encode_png(&trial);
    if (size != kNoPng && size < best_size) {
      std::free(best);
      best = trial.kbuf;
      best_size = size;
      best_filter = f;
    } else {
      std::free(trial.kbuf);
    }
    if (options->key_check(0)) break;
  }
  const int32_t size = encode_png(options);
  if (best != nullptr && (size == kNoPng || best_size < size)) {
    std::free(options->kbuf);
    options->kbuf = best;
    options->kbuf_capacity = best_size;
    options->chosen_filter = best_filter;
    return best_size;
  }
  std::free(best);
  return size;
}

// The high byte of every wide sample, as the 32-bit picture holds it.
void wide_to_pixels(const uint16_t* wide, int64_t count, uint32_t* pixels) {
  for (int64_t i = 0; i < count; ++i, wide += 4) {
    pixels[i] = uint32_t(wide[3] >> 8) << 24 | uint32_t(wide[0] >> 8) << 16 | uint32_t(wide[1] >> 8) << 8 |
                uint32_t(wide[2] >> 8);
  }
}

bool background16_fits_8_bits(const uint16_t* b) {
  for (int32_t i = 0; i < 3; ++i)
    if ((b[i] >> 8) != (b[i] & 0xFF)) return false;
  return true;
}

// Keys for the overwrite prompt: true to go on. The end of input answers no,
// since no key will ever come.
bool ask_overwrite(const std::string& output_name) {
  console_print("%s already exists. Overwrite? (y/n) ", output_name.c_str());
  for (;;) {
    int key = read_key();
    // 0 and 0xE0 lead the codes of extended keys: the code after one may
    // accept but never cancels.
    const bool prefixed = key == 0 || key == 0xE0;
    if (prefixed) key = read_key();
    if (key == 'Y' || key == 'y') {
      console_print("y\n");
      return true;
    }
    if (key < 0 || (!prefixed && (key == 27 || key == 'N' || key == 'n'))) {
      console_print("n\nOperation cancelled.\n");
      return false;
    }
  }
}

// Writes bytes to the output, reporting failures in the run's words.
bool write_output(bool to_stdout, const std::string& name, const uint8_t* data, size_t size,
                  const FileTimes* times) {
  if (to_stdout) {
    if (write_stdout(data, size)) return true;
    console_print("ERROR writing to file!\n");
    return false;
  }
  switch (write_file_safely(name, data, size, times)) {
    case kWriteOk:
      return true;
    case kWriteOpenFailed:
      console_print("ERROR: Unable to open %s for writing!\n", name.c_str());
      break;
    case kWriteFailed:
      console_print("ERROR writing to file!\n");
      break;
  }
  return false;
}

bool stop_requested(const FileReport* report) {
  return report != nullptr && report->stop != nullptr && *report->stop;
}

// One input to its output, as the command line (or the batch, for one of its
// files) asks; report, when given, receives what became of it.
int convert_file(const CommandLine& cmd, EncodeOptions options, FileReport* report) {
  std::string input_name = cmd.input_stdin ? std::string() : std::string(cmd.input_arg);
  std::string output_name;
  bool output_is_input = false;
  if (cmd.output_arg != nullptr && !cmd.output_stdout)
    output_name = output_name_from_argument(cmd.output_arg);
  else if (cmd.output_arg == nullptr && cmd.input_stdin)
    output_name = "stdin.png";
  else if (cmd.output_arg == nullptr && cmd.in_place)
    output_name = input_name, output_is_input = true;
  else if (cmd.output_arg == nullptr)
    output_name = output_name_from_input(input_name, &output_is_input);

  std::vector<uint8_t> file;
  FileTimes times = {};
  if (cmd.input_stdin) {
    const ReadResult read = read_stdin(&file);
    if (read == kReadTooLarge) {
      console_print("%s is larger than %d bytes, the most the encoder's 32-bit sizes allow\n", "(stdin)",
                    int(INT32_MAX));
      return 1;
    }
    if (read != kReadOk) {
      console_print("%s not found\n", "(stdin)");
      return 1;
    }
    console_print("Read %d byte(s) from stdin\n", int(file.size()));
  } else {
    bool opened = false;
    ReadResult read = read_input_file(input_name, &file, &opened, &times);
    if (!opened && !cmd.in_place && input_name.find('.') == std::string::npos) {
      input_name += ".png";
      read = read_input_file(input_name, &file, &opened, &times);
      if (opened && !cmd.output_stdout) adjust_output_after_retry(input_name, &output_name);
    }
    if (read == kReadTooLarge) {
      console_print("%s is larger than %d bytes, the most the encoder's 32-bit sizes allow\n", input_name.c_str(),
                    int(INT32_MAX));
      return 1;
    }
    if (read != kReadOk) {
      console_print("%s not found\n", input_name.c_str());
      return 1;
    }
  }
  const std::string input_display = cmd.input_stdin ? std::string("(stdin)") : input_name;
  const std::string output_display = cmd.output_stdout ? std::string("(stdout)") : output_name;
  const int32_t input_size = int32_t(file.size());
  const uint8_t* data = file.data();
  if (report != nullptr) report->bytes_before = input_size;
  const FileTimes* kept_times = cmd.preserve_times && !cmd.input_stdin ? &times : nullptr;

  int32_t width = 0, height = 0;
  probe_picture(data, input_size, &width, &height);
  // No PNG can hold an empty picture; the decode would only refuse it later.
  if (width < 1 || height < 1) {
    console_print("%s unsupported format\n", input_display.c_str());
    return 1;
  }
  // 16-bit samples travel in their own wide buffer, four per pixel.
  const bool wide_input = picture_sample_depth(data, input_size) == 16;
  // Decided from the header alone, so a lying one costs nothing.
  int64_t need = run_memory_bytes(width, height, input_size);
  if (wide_input) need = std::min(INT64_MAX - need, wide_extra_memory_bytes(width, height)) + need;
  const int64_t limit = memory_limit_bytes(cmd.memory_limit);
  // Beyond the encoder's 32-bit buffer sizes no limit helps; they bound the
  // limit for this picture, and the message says which bound it met.
  const int64_t bound = largest_need_at_width(width, input_size, wide_input);
  if (need > std::min(limit, bound)) {
    constexpr int64_t kMiB = int64_t(1) << 20;
    console_print("%s is %d x %d pixels and needs %lld MiB, more than the memory limit of %lld MiB %s\n",
                  input_display.c_str(), int(width), int(height),
                  (long long)run_memory_mib(width, height, input_size, wide_input),
                  (long long)(std::min(limit, bound) / kMiB),
                  bound < limit ? "(the most the encoder's 32-bit buffer sizes allow at this width)" : "(-l)");
    return 1;
  }
  // An animation's frames are taken apart beside the run and held to the same
  // limit, decided from their headers before any is decoded.
  int32_t counted_frames = 0;
  const int64_t frames_need = animation_memory_bytes(data, input_size, width, height, &counted_frames);
  if (frames_need > limit - need) {
    constexpr int64_t kMiB = int64_t(1) << 20;
    const int64_t total = frames_need > INT64_MAX - need - kMiB ? INT64_MAX - kMiB : need + frames_need;
    console_print("%s is %d x %d pixels in %d frames and needs %lld MiB, more than the memory limit of %lld MiB (-l)\n",
                  input_display.c_str(), int(width), int(height), int(counted_frames),
                  (long long)((total + kMiB - 1) / kMiB), (long long)(limit / kMiB));
    return 1;
  }
  // Zero-filled: a decoder that leaves pixels unwritten must not leak old memory.
  std::unique_ptr<uint32_t, FreeDeleter> pixels(
      static_cast<uint32_t*>(std::calloc(size_t(width) * size_t(height), 4)));
  if (!pixels) {
    console_print("Out of memory\n");
    return 1;
  }
  // What the decoder learns about the input, for the choices below.
  SourceInfo source_info{};
  source_info.source_color_type = 2;
  const DecodeTarget target{pixels.get(), width * 4, width, height, 0, 0, cmd.smooth_chroma};
  std::unique_ptr<uint16_t, FreeDeleter> wide;
  if (wide_input) {
    wide.reset(static_cast<uint16_t*>(std::calloc(size_t(width) * size_t(height) * 4, 2)));
    if (!wide) {
      console_print("Out of memory\n");
      return 1;
    }
    reset_decode_fields(source_info);
  }
  if (wide_input ? decode_picture_wide(data, input_size, target, wide.get(), source_info) < 0
                 : decode_picture(data, input_size, target, source_info) < 0) {
    if (source_info.refusal != nullptr)
      console_print("%s unsupported format: %s\n", input_display.c_str(), source_info.refusal);
    else
      console_print("%s unsupported format\n", input_display.c_str());
    return 1;
  }

  if (wide_input) {
    wide_to_pixels(wide.get(), int64_t(width) * height, pixels.get());
    // Where 8 bits hold every sample (and a bKGD) exactly, the picture takes
    // the ordinary path as an 8-bit one would.
    if (wide_fits_8_bits(wide.get(), width, height) && background16_fits_8_bits(source_info.background16)) {
      wide.reset();
      source_info.source_bit_depth = 8;
    }
  }

  // An animated GIF becomes an animated PNG below.
  const bool input_is_gif = input_size >= 6 && data[0] == 'G' && data[1] == 'I' && data[2] == 'F';
  const int32_t gif_frames = input_is_gif ? gif_image_count(data, input_size) : 0;

  const bool replaces_input = !cmd.input_stdin && !cmd.output_stdout &&
                              (output_name == input_name || same_file(input_name, output_name));
  if (source_info.incomplete) {
    console_print("Warning: %s is damaged or incomplete: %d of %d rows decoded\n", input_display.c_str(),
                  int(source_info.decoded_rows), int(height));
    // Rewriting it in place would lose the only copy of the rest, even forced.
    if (replaces_input) {
      console_print("Damaged input left unchanged\n");
      return 1;
    }
    if (!cmd.force) {
      console_print("Nothing written; -force writes what was decoded\n");
      return 1;
    }
  }

  const bool input_is_png = has_png_signature_bytes(data, input_size);
  if (input_is_png && !cmd.force) options.kbuf_capacity = input_size;

  ChunkSelection chunks;
  select_chunks(data, input_size, cmd.chunk_list ? cmd.chunk_list : "", cmd.colour_type, options.verbose,
                console_printer(), &chunks, &source_info.background);
  options.background = source_info.background;
  const bool animated = is_animated_png(data, input_size);
  if (animated) drop_animation_chunks(&chunks);

  // Only a real PNG given without an output name is rewritten without asking;
  // anything else merely named ".png" goes through the prompt.
  const bool assume_yes = cmd.assume_yes || (output_is_input && input_is_png);
  if (!assume_yes && !cmd.pretend && !cmd.output_stdout && path_exists(output_name) &&
      !ask_overwrite(output_name))
    return 1;

  if (cmd.quiet)
    console_set_stream(nullptr);
  else if (!cmd.output_stdout)
    console_set_stream(stdout);

  fill_encode_options(cmd, source_info, chunks, pixels.get(), width, height, &options);
  // What a damaged picture lacks is transparent black, which gray or RGB
  // cannot hold; the alpha form keeps every decoded pixel exact.
  if (source_info.incomplete && cmd.colour_type < 0 &&
      (options.colour_type == 0 || options.colour_type == 2)) {
    options.colour_type += 4;
    if (options.bit_depth < 8) options.bit_depth = 8;
    if (cmd.filter < 0) options.filter = 5;
  }
  if (wide) {
    options.wide_pixels = wide.get();
    options.background16 = source_info.background16;
    options.colour_type = cmd.colour_type;
    options.bit_depth = cmd.bit_depth;
    options.filter = cmd.filter >= 0 ? cmd.filter : 5;
  }
  // The search tries 8-bit forms only; a 16-bit picture gets the plain encode.
  const bool searching = cmd.search_level > 0 && !wide;
  // The match lists kept between passes take what the limit leaves beside the
  // run's need and the search workers', an equal share for each encoder; the
  // batch reserves the same amount for the run before starting it.
  const int32_t encoders =
      searching ? search_workers_within(search_threads(cmd.threads), width, height, need, limit) : 1;
  // A run without search parses the blocks of its replaying passes side by
  // side on the -j threads (the same bytes with any count).
  options.parse_threads =
      searching || wide ? 1 : parse_threads_within(search_threads(cmd.threads), width, height, need, limit);
  options.match_store_limit =
      wide ? -1
           : match_store_budget(width, height,
                                need + extra_workers_bytes(encoders, width, height) +
                                    parse_threads_bytes(options.parse_threads, width, height),
                                limit, encoders);

  console_print(" Input: %s coltype:%d (%s)", input_display.c_str(), int(source_info.source_color_type),
                colour_type_name(source_info.source_color_type));
  if (source_info.source_filter >= 0)
    console_print(" filter:%d (%s)", int(source_info.source_filter), filter_name(source_info.source_filter));
  if (searching) {
    console_print("\nOutput: %s search level:%d\n", output_display.c_str(), int(cmd.search_level));
  } else {
    const int32_t shown_type =
        wide && options.colour_type < 0 ? suggest_wide_colour_type(&options) : options.colour_type;
    console_print("\nOutput: %s coltype:%d (%s)", output_display.c_str(), shown_type,
                  colour_type_name(shown_type));
    console_print(" filter:%d (%s)\n", options.filter, filter_name(options.filter));
  }
  if (input_size != 0) console_print("\n Input size:%8d bytes", input_size);

  int32_t result = kNoPng;
  // A search repeats itself run after run, "-r" included.
  options.random_seed = cmd.search_level > 0 ? 1u : uint32_t(std::time(nullptr));
  const VerifyTarget verify_target = {pixels.get(), width, height, cmd.alpha_free};
  const bool gif_animation = gif_frames > 1;
  if (!animated && !gif_animation && searching) {
    SearchRequest request{};
    request.level = cmd.search_level;
    request.threads = encoders;
    request.alpha_free = cmd.alpha_free;
    request.fixed_colour_type = cmd.colour_type >= 0;
    request.fixed_bit_depth = cmd.bit_depth >= 0;
    request.fixed_filter = cmd.filter >= 0;
    request.fixed_blocks = cmd.block_option;
    request.fixed_strategy = cmd.strategy_option;
    request.fixed_palette = options.keep_palette;
    request.verify = verify_candidate;
    request.verify_user = const_cast<VerifyTarget*>(&verify_target);
    request.print = console_printer();
    request.verbose = options.verbose;
    request.progress = !cmd.quiet && console_stream() != nullptr && isatty(fileno(console_stream())) != 0;
    request.key_check = console_key_check();
    result = search_png(&options, &request);
  } else if (!animated && !gif_animation && wide) {
    result = encode_wide_best(&options, cmd.filter >= 0, cmd.search_level);
  } else if (!animated && !gif_animation) {
    result = encode_png(&options);
  }
  // An animation is re-encoded frame by frame in one shared form; when its
  // frames can't be taken apart it is kept as it is.
  int32_t animation_frames = 0;
  bool form_refused = false;  // the -c/-d form can't hold the frames: refused as for a still picture
  uint8_t* animation = nullptr;
  if (animated) {
    EncodeOptions frame_options = options;
    frame_options.match_store_limit = -1;  // the frames' buffers take what the limit leaves
    if (cmd.filter < 0) frame_options.filter = -1;
    if (!cmd.block_option) frame_options.exact_block_count = 0;
    // Under -o every frame also gets its own best filter (see encode_apng).
    frame_options.deep_level = cmd.search_level;
    // Only a form asked for binds the frames (see encode_apng).
    frame_options.colour_type = cmd.colour_type;
    frame_options.bit_depth = cmd.bit_depth > 0 ? cmd.bit_depth : 0;
    result = recompress_apng(data, input_size, frame_options, !cmd.block_option, limit - need, &animation,
                             &animation_frames, &form_refused);
    if (result != kNoPng) options.kbuf_capacity = result;
  }
  // An animated GIF whose frames can't all be composed (a damaged one) would
  // lose all but its first: that takes -force, as a damaged file does.
  int32_t gif_written = 0;
  if (gif_animation) {
    EncodeOptions frame_options = options;
    frame_options.match_store_limit = -1;  // the frames' buffers take what the limit leaves
    if (cmd.filter < 0) frame_options.filter = -1;
    if (!cmd.block_option) frame_options.exact_block_count = 0;
    // Under -o every frame also gets its own best filter (see encode_apng).
    frame_options.deep_level = cmd.search_level;
    frame_options.colour_type = cmd.colour_type;
    frame_options.bit_depth = cmd.bit_depth > 0 ? cmd.bit_depth : 0;
    result = gif_to_apng(data, input_size, pixels.get(), width, height, frame_options, !cmd.block_option,
                         limit - need, &animation, &gif_written, &form_refused);
    if (result == kNoPng && !cmd.force && !form_refused) {
      console_print("\n%s is an animated GIF of %d frames; only the first would be kept\n", input_display.c_str(),
                    int(gif_frames));
      console_print("Nothing written; -force writes the first frame\n");
      if (report != nullptr) {
        report->animated = true;
        report->outcome = kFileKept;
      }
      return 0;
    }
    if (result == kNoPng && !form_refused)
      result = encode_png(&options);
    else if (result != kNoPng)
      options.kbuf_capacity = result;
  }
  const bool frames_lost = animated && result == kNoPng && !form_refused;
  std::unique_ptr<uint8_t, FreeDeleter> kbuf(animation != nullptr ? animation : options.kbuf);
  console_print("\n");
  if (frames_lost) console_print("Animated PNG: frames would be lost\n");
  if (animation != nullptr && animated)
    console_print("Animated PNG: %d frames, each re-encoded and checked\n", int(animation_frames));
  if (gif_written > 0) console_print("Animated GIF: %d frames written\n", int(gif_written));
  if (gif_animation && gif_written == 0 && result != kNoPng)
    console_print("Animated GIF: only the first of %d frames is written\n", int(gif_frames));
  if (report != nullptr) report->animated = frames_lost;

  OutputFacts facts;
  facts.input_is_png = input_is_png;
  facts.force = cmd.force;
  facts.may_copy =
      cmd.output_arg != nullptr && (cmd.output_stdout || !names_equal_ignoring_case(input_name, output_name));
  facts.animated = frames_lost;
  facts.result = result;
  facts.input_size = input_size;
  facts.kbuf_capacity = options.kbuf_capacity;

  switch (decide_output(facts)) {
    case kOutputNoPng:
      return 1;
    case kOutputWrite: {
      if (tamper_hook != nullptr) tamper_hook(kbuf.get(), result);
      // An animation is checked frame by frame, every frame as the input
      // shows it: an animated PNG's default image with them, at the depth of
      // its frames.
      const bool apng_written = animation != nullptr && animated;
      bool verified = apng_written ? apng_output_matches(data, input_size, kbuf.get(), result, limit - need)
                      : wide       ? verify_png_output_wide(kbuf.get(), result, wide.get(), width, height)
                                   : verify_png_output(kbuf.get(), result, pixels.get(), width, height,
                                                       cmd.alpha_free);
      if (verified && animation != nullptr && gif_animation)
        verified = gif_apng_matches(data, input_size, pixels.get(), width, height, kbuf.get(), result, limit - need);
      if (!verified) {
        std::fprintf(stderr, "ERROR: output failed verification, nothing written\n");
        return 1;
      }
      // A batch stopped by Escape leaves the file it was on as it was.
      if (stop_requested(report)) {
        report->outcome = kFileStopped;
        return 1;
      }
      const bool written =
          cmd.pretend || write_output(cmd.output_stdout, output_name, kbuf.get(), size_t(result), kept_times);
      if (input_size != 0) {
        const int32_t change = result - input_size;
        console_print("     Change:%+8d byte%c (%3d%% of original)\n", change,
                      change == 1 || change == -1 ? ' ' : 's', int(100.0 * result / input_size));
      }
      if (cmd.pretend) console_print("Pretend: nothing written\n");
      if (report != nullptr) {
        report->outcome = written ? kFileRewritten : kFileFailed;
        report->bytes_after = result;
      }
      return written ? 0 : 1;
    }
    case kOutputCopy: {
      const bool written =
          cmd.pretend || write_output(cmd.output_stdout, output_name, data, file.size(), kept_times);
      console_print("Unable to compress further: copying original file\n");
      if (cmd.pretend) console_print("Pretend: nothing written\n");
      if (report != nullptr) report->outcome = written ? kFileKept : kFileFailed;
      return written ? 0 : 1;
    }
    case kOutputRefuse:
      console_print("Unable to compress further\n");
      if (report != nullptr) report->outcome = kFileKept;
      return 0;
  }
  return 0;
}

}  // namespace

void set_output_tamper_hook(OutputTamperHook hook) { tamper_hook = hook; }

int run_tessel(int argc, char** argv) {
  console_reset();
  CommandLine cmd;
  EncodeOptions options;
  const ParseResult parsed = parse_command_line(argc, argv, console_printer(), &cmd, &options);
  if (parsed == kParseHelp || parsed == kParseVersion) {
    // Asked for, so it goes where a pager or a script reads it.
    console_set_stream(stdout);
    if (parsed == kParseHelp)
      print_usage(console_printer());
    else
      print_version(console_printer());
    return 0;
  }
  if (parsed != kParseOk) {
    if (parsed == kParseUsage)
      print_usage(console_printer());
    else
      print_parse_error(parsed, console_printer());
    return 1;
  }
  options.print = console_printer();
  options.key_check = console_key_check();
  signals_install();
  // The picture came from standard input: nothing there is a key.
  console_allow_key_poll(!cmd.input_stdin);
  if (cmd.batch) return run_batch(cmd, options, convert_file);
  return convert_file(cmd, options, nullptr);
}
