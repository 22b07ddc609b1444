#pragma once

// The two ways the compressor talks to the outside world. print is printf-like
// and returns what the formatting returns (0 when messages are off). key_check
// is the stop poll: code 0 after a pass, 1 before a row and during the split
// analysis, 2 after colour analysis; a nonzero answer means stop.
using PrintFn = int (*)(const char* format, ...);
using KeyCheckFn = int (*)(int code);
