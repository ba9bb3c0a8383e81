// The fixed texts the driver writes: usage, version, banner.
#pragma once

#include <cstdio>

constexpr int kVersionMajor = 7;
constexpr int kVersionMinor = 0;
constexpr char kVersionLetter = 'b';

// The usage text, on out (standard error for /H, standard output for -h
// and --help, where the options follow it).
void write_usage(std::FILE* out);
// "Kestol V 7.00b", on standard output.
void write_version();
// The run banner, on standard error.
void write_banner();
