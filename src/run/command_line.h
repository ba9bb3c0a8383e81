// The command line: switches, day counts and the update-file name.
#pragma once

#include <cstdio>

#include "run/run_context.h"

enum class CommandLineAction {
  run,        // options are set; go on with the run
  usage,      // /H: show the usage text on standard error, status 0
  help,       // -h, --help: the usage text on standard output, status 0
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

// Does what action asks for before any run: the usage text, written by
// usage to standard error for /H and to standard output for -h and
// --help; the version line; the message of a name too long. Answers true,
// with the exit status in *status, when that is all there is to do; false
// when a run (or with *recover, kestol --recover) is to follow.
bool answer_command_line(CommandLineAction action, void (*usage)(std::FILE* out), bool* recover, int* status);
