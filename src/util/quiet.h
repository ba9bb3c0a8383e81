// Whether the run is quiet (kestol -q): nothing on standard output or
// error but failures and the notices of an interrupted run, so that a
// scheduler that mails whatever a job prints mails exactly what matters.
#pragma once

void set_quiet(bool quiet);
bool quiet();
