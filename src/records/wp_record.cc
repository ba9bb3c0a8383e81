// Reading, writing and time-field coding of white pages records.
#include "records/wp_record.h"

std::int32_t get_time(const unsigned char (&field)[4]) {
  std::uint32_t value = static_cast<std::uint32_t>(field[0]) | static_cast<std::uint32_t>(field[1]) << 8 |
                        static_cast<std::uint32_t>(field[2]) << 16 |
                        static_cast<std::uint32_t>(field[3]) << 24;
  return static_cast<std::int32_t>(value);  // modular conversion, defined
}

void put_time(unsigned char (&field)[4], std::int32_t seconds) {
  auto value = static_cast<std::uint32_t>(seconds);
  field[0] = static_cast<unsigned char>(value);
  field[1] = static_cast<unsigned char>(value >> 8);
  field[2] = static_cast<unsigned char>(value >> 16);
  field[3] = static_cast<unsigned char>(value >> 24);
}

bool read_record(std::FILE* stream, WpRecord* record) {
  return std::fread(record, 1, kRecordSize, stream) == kRecordSize;
}

bool write_record(std::FILE* stream, const WpRecord* record) {
  return std::fwrite(record, 1, kRecordSize, stream) == kRecordSize;
}
