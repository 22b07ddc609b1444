#!/usr/bin/env bash
# The whole test run: installs what the tests need, then
#   1. Release build, every test (CTest), fuzz seeds replayed;
#   2. Debug build with AddressSanitizer + UndefinedBehaviorSanitizer, every test
#      (the Pillow comparisons and the pinned-hash grid on a fixed quarter of
#      their files and cases: step 1 runs them whole);
#   3. ThreadSanitizer builds of the tests that run threads (encodes and decodes at
#      once, the blocks of a pass parsed side by side);
#   4. short libFuzzer runs: the decoders (FUZZ_SECONDS, default 30), then encoder
#      round trips for two thirds of that.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-test-deps.sh
jobs=$(nproc)

cmake -S . -B build/test-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DTESSEL_TESTS=ON >/dev/null
cmake --build build/test-release -j"$jobs"
ctest --test-dir build/test-release -j"$jobs" --output-on-failure --timeout 900

cmake -S . -B build/test-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTESSEL_TESTS=ON -DTESSEL_SANITIZE=ON \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build build/test-asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build/test-asan -j"$jobs" --output-on-failure --timeout 1800

# Only the tests that run threads: the concurrency test, the lists and
# blocks of a pass found and parsed side by side, and the block boundaries
# measured ahead; the rest runs one encode at a time.
cmake -S . -B build/test-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSEL_TESTS=ON \
  -DTESSEL_SANITIZE_THREAD=ON -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build build/test-tsan -j"$jobs" --target encode_test_concurrent_runs encode_test_parallel_parse \
  deflate_test_parallel_replay deflate_test_block_split
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 build/test-tsan/encode_test_concurrent_runs
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 build/test-tsan/encode_test_parallel_parse
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 build/test-tsan/deflate_test_parallel_replay
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 build/test-tsan/deflate_test_block_split

seconds=${FUZZ_SECONDS:-30}
scripts/fuzz.sh "$seconds"
FUZZ_TARGET=fuzz_encode scripts/fuzz.sh $((seconds * 2 / 3))
