// The head of the result file a completed run leaves (kestol.res): the
// run's start time, then its counts, each number between fixed texts. The
// run writes it and wptool status reads it back from the same texts, so
// that the two cannot drift apart.
#pragma once

#include <cstdio>

struct ResultHead {
  long start;    // the run's start time, seconds since 1970
  long total;    // records after review
  long updated;  // records updated
  long deleted;  // records deleted
  long lines;    // update lines appended to mess.wp
};

// Writes the head as the result file begins.
void write_result_head(std::FILE* out, const ResultHead& head);

// Reads the head from the start of text into *head. White space in the
// texts stands for any run of white space, none included, as in a scanf
// format. False when text does not begin with a whole head.
bool read_result_head(const char* text, ResultHead* head);
