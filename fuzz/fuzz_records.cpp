// Fuzz target for RecordStream, the reader of a run's output records.
//
// Input layout: byte 0 = delimiter (mod 4: , ; TAB |), byte 1 = block size
// (1 + byte % 64), byte 2 = quote (bit 0: ' instead of "), then the bytes.
//
// Checks, for every input: the rows read from a file in blocks of that size
// are the rows of a byte-at-a-time reference reader over the whole input
// (the same leniency: text after a closing quote joins the cell, an unclosed
// quote runs to the end, a blank line is one empty cell, a leading UTF-8
// byte-order mark is skipped), and the same again in blocks of 1 MiB.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/records.hpp"
#include "fuzz/fuzz_common.hpp"

namespace {

using Table = std::vector<std::vector<std::string>>;

Table reference(std::string_view s, char delimiter, char quote) {
  Table rows;
  size_t i = s.substr(0, 3) == "\xEF\xBB\xBF" ? 3 : 0;
  while (i < s.size()) {
    std::vector<std::string> row;
    for (;;) {
      std::string cell;
      if (i < s.size() && s[i] == quote) {
        ++i;
        while (i < s.size()) {
          if (s[i] != quote) {
            cell.push_back(s[i++]);
          } else if (i + 1 < s.size() && s[i + 1] == quote) {
            cell.push_back(quote);
            i += 2;
          } else {
            ++i;
            break;
          }
        }
      }
      while (i < s.size() && s[i] != delimiter && s[i] != '\n' && s[i] != '\r') cell.push_back(s[i++]);
      row.push_back(cell);
      if (i < s.size() && s[i] == delimiter) {
        ++i;
        continue;
      }
      if (i < s.size() && s[i] == '\r') {
        ++i;
        if (i < s.size() && s[i] == '\n') ++i;
      } else if (i < s.size()) {
        ++i;  // '\n'
      }
      break;
    }
    rows.push_back(row);
  }
  return rows;
}

Table read_back(const std::string& text, char delimiter, char quote, size_t block) {
  const int fd = ::memfd_create("records", MFD_CLOEXEC);
  FUZZ_CHECK(fd >= 0);
  FUZZ_CHECK(::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()));
  FUZZ_CHECK(::lseek(fd, 0, SEEK_SET) == 0);
  rowvane::RecordStream reader(fd, delimiter, quote, block);
  Table rows;
  for (;;) {
    auto r = reader.next();
    FUZZ_CHECK(r.has_value());
    if (!r.value()) break;
    rows.emplace_back(reader.cells().begin(), reader.cells().end());
  }
  return rows;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  static constexpr char kDelimiters[] = {',', ';', '\t', '|'};
  const char delimiter = kDelimiters[data[0] % 4];
  const size_t block = 1 + data[1] % 64;
  const char quote = (data[2] & 1) != 0 ? '\'' : '"';
  const std::string text(reinterpret_cast<const char*>(data + 3), size - 3);
  const Table want = reference(text, delimiter, quote);
  FUZZ_CHECK(read_back(text, delimiter, quote, block) == want);
  FUZZ_CHECK(read_back(text, delimiter, quote, rowvane::RecordStream::kBlock) == want);
  return 0;
}
