// The fixed texts the driver writes: usage, version, banner.
#pragma once

constexpr int kVersionMajor = 7;
constexpr int kVersionMinor = 0;
constexpr char kVersionLetter = 'b';

// The usage text, on standard error.
void write_usage();
// "Kestol V 7.00b", on standard output.
void write_version();
// The run banner, on standard error.
void write_banner();
