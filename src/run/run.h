// One run of the tool: the command line, the run sequence and the record
// loop. Answers the exit status.
#pragma once

int run_kestol(int argc, char** argv);
