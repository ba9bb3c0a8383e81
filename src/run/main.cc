// Entry point: the exit status is the run's answer.
#include "run/run.h"

int main(int argc, char** argv) { return run_kestol(argc, argv); }
