// Fuzz target: the init.srv reader on arbitrary bytes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "config/site_config.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<char> bytes(data, data + size);
  bytes.push_back('\0');  // fmemopen wants a buffer of at least one byte
  std::FILE* in = fmemopen(bytes.data(), size == 0 ? 1 : size, "r");
  if (in == nullptr) return 0;
  if (size == 0) std::fgetc(in);  // the placeholder byte is not input
  char base[kConfigLineSize];
  std::memset(base, 0x55, sizeof base);
  bool found = read_base_directory(in, base);
  std::fclose(in);
  if (found) {
    std::size_t length = strnlen(base, sizeof base);
    if (length == 0 || length >= sizeof base) std::abort();  // a significant line is never empty
    if (base[0] == '#') std::abort();
    for (std::size_t i = 0; i < length; ++i) {
      if (base[i] >= 'A' && base[i] <= 'Z') std::abort();  // lower-cased
      if (base[i] == '\n') std::abort();
    }
  }
  return 0;
}
