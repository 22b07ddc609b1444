#pragma once
#include <cstdint>

// One whole conversion, as the command line asks for it. Returns the exit
// status: 0 when the run reached its end, 1 for every early stop or failure.
int run_tessel(int argc, char** argv);

// Tests only: called with the finished PNG just before it is verified, so a
// test can damage it and see that verification holds the write back. Never
// set by the program itself; nullptr removes it.
using OutputTamperHook = void (*)(uint8_t* png, int32_t size);
void set_output_tamper_hook(OutputTamperHook hook);
