// Fuzz target for the streaming table run (stream_table): the blocks, the
// speculative scans on worker threads and the join through one window.
//
// Input layout: byte 0 = block size (1 + byte % 64), byte 1 = threads
// (1 + byte % 3), byte 2 = flags (bit 0: a 64-byte head, else the usual
// one; bit 1: second tables not set aside; bit 2: blank rows kept; bit 3:
// no opening-quote repair; bit 4: no notes set aside; bit 5: the basic run's
// rules and layout instead of all these), then the text.
//
// Checks, for every input:
//   - the run over tiny blocks on worker threads ends as the run over one
//     block holding the whole input: the same status, and when done the same
//     output, quarantine file, change log and counts, byte for byte;
//   - the basic run, done, equals the engine's own file run (rowvane_file),
//     whatever the head;
//   - with the usual head, a done run equals the whole-buffer file run of the
//     same bytes (files under FUZZ_SCRATCH_DIR, /dev/shm by default), and
//     the input is handed back (not UTF-8) exactly when that run decoded it.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "core/rowvane.hpp"
#include "core/stream.hpp"
#include "fuzz/fuzz_common.hpp"

namespace {

using namespace rowvane;

struct StringTarget final : ByteTarget {
  std::string text;
  ssize_t write_some(const char* data, size_t size) noexcept override {
    text.append(data, size);
    return static_cast<ssize_t>(size);
  }
};

Expected<size_t, IoError> read_string(void* context, size_t offset, char* dst, size_t n) {
  const std::string& s = *static_cast<const std::string*>(context);
  if (offset >= s.size()) return size_t{0};
  const size_t k = std::min(n, s.size() - offset);
  std::memcpy(dst, s.data() + offset, k);
  return k;
}

struct Run {
  StreamStatus status;
  std::string output, quarantine, changes;
  TableSummary summary;
};

Run stream(const std::string& text, size_t block, size_t threads, size_t head, const TableRules& rules) {
  StringTarget out, quarantine, changes;
  StreamInput source{read_string, const_cast<std::string*>(&text), text.size()};
  StreamOptions options;
  options.block_size = block;
  options.threads = threads;
  options.head_bytes = head;
  StreamResult r = stream_table(source, StreamTargets{&out, &quarantine, &changes}, RunOptions{}, false, rules,
                                InputEncoding{}, false, options, 0, InterruptCheck{});
  return Run{r.status, out.text, quarantine.text, changes.text, r.summary};
}

bool same_counts(const TableSummary& a, const TableSummary& b) {
  return a.run.total_rows == b.run.total_rows && a.run.rowvaned_rows == b.run.rowvaned_rows &&
         a.run.repaired_rows == b.run.repaired_rows && a.run.quarantined_rows == b.run.quarantined_rows &&
         a.run.inferred_columns == b.run.inferred_columns && a.run.detected_delimiter == b.run.detected_delimiter &&
         a.quote_char == b.quote_char && a.preamble_lines == b.preamble_lines &&
         a.header_rows_joined == b.header_rows_joined && a.repeated_headers == b.repeated_headers &&
         a.padded_rows == b.padded_rows && a.merged_rows == b.merged_rows &&
         a.empty_surplus_rows == b.empty_surplus_rows && a.opening_quote_rows == b.opening_quote_rows &&
         a.tables_found == b.tables_found && a.other_table_rows == b.other_table_rows &&
         a.notes_rows == b.notes_rows && a.blank_rows_dropped == b.blank_rows_dropped &&
         a.encoding == b.encoding && a.encoding_source == b.encoding_source;
}

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

const std::string& scratch() {
  static const std::string dir = [] {
    const char* base = std::getenv("FUZZ_SCRATCH_DIR");
    std::string d = std::string(base != nullptr ? base : "/dev/shm") + "/rowvane-stream-XXXXXX";
    if (::mkdtemp(d.data()) == nullptr) d = "/tmp";
    return d;
  }();
  return dir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const size_t block = 1 + data[0] % 64;
  const size_t threads = 1 + data[1] % 3;
  const uint8_t flags = data[2];
  const std::string text(reinterpret_cast<const char*>(data + 3), size - 3);
  const size_t head = (flags & 1) != 0 ? 64 : kHeadBytes;
  TableRules rules;
  rules.set_aside_other_tables = (flags & 2) == 0;
  rules.keep_blank_rows = (flags & 4) != 0;
  rules.opening_quote_as_text = (flags & 8) == 0;
  rules.set_aside_notes = (flags & 16) == 0;
  const bool basic = (flags & 32) != 0;
  if (basic) rules = basic_rules();

  const Run one = stream(text, kMaxBlockSize, 1, head, rules);
  const Run many = stream(text, block, threads, head, rules);
  FUZZ_CHECK(one.status == many.status);
  FUZZ_CHECK(one.status == StreamStatus::Done || one.status == StreamStatus::NotUtf8);
  if (one.status == StreamStatus::Done) {
    FUZZ_CHECK(one.output == many.output);
    FUZZ_CHECK(one.quarantine == many.quarantine);
    FUZZ_CHECK(one.changes == many.changes);
    FUZZ_CHECK(same_counts(one.summary, many.summary));
  }
  if (head != kHeadBytes && !basic) return 0;

  const std::string in = scratch() + "/in.csv";
  const std::string out = scratch() + "/out.csv";
  const std::string q = scratch() + "/q.csv";
  const std::string c = scratch() + "/c.csv";
  {
    std::ofstream f(in, std::ios::binary);
    f << text;
  }
  if (basic) {
    auto engine = rowvane_file(in, out, q, RunOptions{});
    FUZZ_CHECK(static_cast<bool>(engine));
    if (one.status == StreamStatus::Done) {
      FUZZ_CHECK(slurp(out) == one.output);
      FUZZ_CHECK(slurp(q) == one.quarantine);
      const RunSummary& a = engine.value();
      const RunSummary& b = one.summary.run;
      FUZZ_CHECK(a.total_rows == b.total_rows && a.rowvaned_rows == b.rowvaned_rows &&
                 a.repaired_rows == b.repaired_rows && a.quarantined_rows == b.quarantined_rows &&
                 a.inferred_columns == b.inferred_columns && a.detected_delimiter == b.detected_delimiter);
    }
    return 0;
  }
  auto whole = rowvane_table_file(in, out, q, c, RunOptions{}, false, rules, FileRunHooks{}, TextOptions{});
  FUZZ_CHECK(static_cast<bool>(whole));
  const bool passed_through = whole.value().encoding_source == EncodingSource::Utf8 ||
                              whole.value().encoding_source == EncodingSource::Bom;
  const bool utf8 = passed_through && whole.value().encoding == "utf-8";
  FUZZ_CHECK(utf8 == (one.status == StreamStatus::Done));
  if (utf8) {
    FUZZ_CHECK(slurp(out) == one.output);
    FUZZ_CHECK(slurp(q) == one.quarantine);
    FUZZ_CHECK(slurp(c) == one.changes);
    FUZZ_CHECK(same_counts(whole.value(), one.summary));
  }
  return 0;
}
