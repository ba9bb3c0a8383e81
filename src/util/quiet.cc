// The quiet switch of a run.
#include "util/quiet.h"

namespace {

bool is_quiet = false;

}  // namespace

void set_quiet(bool quiet) { is_quiet = quiet; }
bool quiet() { return is_quiet; }
