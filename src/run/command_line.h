// The command line: switches, day counts and the update-file name.
#pragma once

#include "run/run_context.h"

enum class CommandLineAction {
  run,        // options are set; go on with the run
  usage,      // show the usage text, status 0
  version,    // show the version line, status 0
  recover,    // resolve a journal that a run could not undo by itself
  name_long,  // update-file name over 255 characters, status 5
};

// Reads a day count as atoi does (leading white space, optional sign,
// leading digits; anything else gives 0), but clamps the value of the
// digits to the signed 32-bit range instead of overflowing.
std::int32_t parse_day_count(const char* text);

// Parses argv into options. Upper-cases the first and the last argument in
// place, as the switches and the update-file name are read from them.
CommandLineAction parse_command_line(int argc, char** argv, RunOptions* options);
