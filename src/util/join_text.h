// Joining texts into a fixed buffer, cut to fit.
#pragma once

#include <cstddef>
#include <initializer_list>

// Writes the texts one after the other into out, which holds size bytes,
// and a NUL; answers false when they did not fit and were cut.
bool join_text(char* out, std::size_t size, std::initializer_list<const char*> parts);
