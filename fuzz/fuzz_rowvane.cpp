// Fuzz target for row reconciliation (rowvane_slice) and the file run
// (rowvane_file).
//
// Input layout: byte 0 = flags, byte 1 = delimiter, byte 2 = quote,
// byte 3 = expected column count, byte 4 = fault plan, the rest = the CSV
// text.
//   flags bit 0: delimiter given (else sniffed)
//   flags bit 1: expected_columns given (else inferred)
//   flags bit 2: fill_ragged_rows
//   flags bit 3: merge_overflow
//   flags bit 4: repair_quotes
//   flags bit 5: delimiter and quote taken raw from bytes 1 and 2 (else from
//                short lists of usual values)
//   flags bit 6: quarantine file requested
//   flags bit 7: output path = input path (rewrite in place)
//   fault plan bits 0-1: 0 plain writes (the write pattern is recorded),
//                        1 short writes and EINTR, 2 the output file fails
//                        after k bytes, 3 the quarantine file fails after k;
//              bit 2:    the failure is ENOSPC (else a write accepting 0);
//              bits 3-7: choose k within the file's expected length.
//
// Checks:
//   - summary: total = kept + quarantined, repaired <= kept, the list sizes
//     match the counts, the given delimiter/column count is reported as is, a
//     sniffed delimiter is one of the four candidates, empty input reports
//     "," and zeros;
//   - every kept row has the column count when it is non-zero; quarantine
//     lines are >= 1 and non-decreasing;
//   - the kept rows, the quarantine records (fields, reason, line = the line on
//     which the row begins) and the counts equal a reconciliation rebuilt here
//     from the core parser's own rows;
//   - the file run returns the same summary and writes exactly the bytes the
//     output and quarantine formats prescribe (also when rewriting in place);
//   - the record encoder, the record store, the quarantine line format and
//     the buffered writer, run in memory, produce exactly those bytes (the
//     encoder's record text, plan, direct write and field quoting test are
//     checked record by record for one input in four);
//   - through the writers' fault seam (in memory for every input, under the
//     real file run for one input in eight): short writes and EINTR change
//     nothing; a failing output or quarantine write returns the matching
//     error and leaves exactly what the failure table prescribes (a prefix of
//     the file, an untouched input when rewriting in place, also when the
//     quarantine file fails, no temporary file); no write call hands more than 8192 bytes except one whole record
//     of 8192 bytes or more;
//   - for an ASCII delimiter and quote that are distinct and neither CR nor LF,
//     parsing the written output again (quote repair off, every row kept)
//     gives exactly the kept rows.
#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "core/file.hpp"
#include "core/heuristics.hpp"
#include "core/parser.hpp"
#include "core/rowvane.hpp"
#include "core/writer.hpp"
#include "fuzz/fuzz_common.hpp"

namespace {

using fuzzref::Row;

constexpr unsigned char kDelims[] = {',', ';', '\t', '|', ' ', 0xA7};
constexpr unsigned char kQuotes[] = {'"', '\'', '"', '|'};

std::string g_dir;

struct Expected {
  std::vector<Row> kept;
  std::vector<rowvane::QuarantineRecord> quarantine;
  size_t total = 0, repaired = 0;
};

Expected reconcile(std::string_view text, unsigned char delim, unsigned char quote, bool repair,
                   size_t m, bool fill, bool merge) {
  Expected e;
  rowvane::ResilientParser p = rowvane::make_parser(text, delim, quote, repair);
  const std::string sep = fuzzref::byte_text(delim);
  for (;;) {
    const size_t line = p.line();
    std::optional<Row> row = p.next_row();
    if (!row) break;
    ++e.total;
    const size_t n = row->size();
    if (m == 0 || n == m) {
      e.kept.push_back(std::move(*row));
    } else if (n < m && fill) {
      row->resize(m);
      e.kept.push_back(std::move(*row));
      ++e.repaired;
    } else if (n > m && merge) {
      Row out(row->begin(), row->begin() + (m - 1));
      Row rest(row->begin() + (m - 1), row->end());
      out.push_back(fuzzref::join(rest, sep));
      e.kept.push_back(std::move(out));
      ++e.repaired;
    } else {
      rowvane::QuarantineRecord q;
      q.reason = std::string(n < m ? "Row has too few columns (expected " :
                                     "Row has extra columns (expected ") +
                 std::to_string(m) + ")";
      q.fields = std::move(*row);
      q.line = line;
      e.quarantine.push_back(std::move(q));
    }
  }
  return e;
}

// Forwards to the real file, injecting short writes, EINTR and failures.
class FaultTarget final : public rowvane::ByteTarget {
 public:
  enum Mode { Plain, Short, Fail };
  Mode mode = Plain;
  size_t fail_after = 0;       // Fail: bytes accepted before every write fails
  bool fail_enospc = false;    // Fail: -ENOSPC, else accept nothing
  uint32_t rng = 1;            // Short: pattern of short writes and EINTR
  ByteTarget* inner = nullptr;  // the real file, or nullptr: append to `sink`
  std::string sink;
  size_t accepted = 0;
  std::vector<size_t> calls;   // sizes handed to write_some

  ssize_t write_some(const char* data, size_t size) noexcept override {
    calls.push_back(size);
    if (mode == Short && size > 0) {
      rng = rng * 1103515245u + 12345u;
      if ((rng >> 16) % 5 == 0) return -EINTR;
      size = 1 + (rng >> 8) % size;
    } else if (mode == Fail) {
      if (accepted >= fail_after) return fail_enospc ? -ENOSPC : 0;
      size = std::min(size, fail_after - accepted);
    }
    ssize_t n;
    if (inner != nullptr) {
      n = inner->write_some(data, size);
    } else {
      sink.append(data, size);
      n = static_cast<ssize_t>(size);
    }
    if (n > 0) accepted += static_cast<size_t>(n);
    return n;
  }
};

struct FaultPlan {
  FaultTarget output, quarantine;
};

rowvane::ByteTarget* wrap(void* context, rowvane::ByteTarget& file, rowvane::RunFile which) {
  FaultPlan& plan = *static_cast<FaultPlan*>(context);
  FaultTarget& t = which == rowvane::RunFile::Output ? plan.output : plan.quarantine;
  t.inner = &file;
  return &t;
}

// Sets up the two targets from the fault byte; tells which file must fail.
struct FaultSetup {
  bool enospc = false;
  bool out_fails = false;
  bool q_fails = false;
};

FaultSetup configure(FaultPlan& plan, unsigned char fault, size_t out_size, size_t q_size,
                     bool quarantine_written) {
  FaultSetup f;
  const int mode = fault & 3;
  f.enospc = fault & 4;
  const size_t k_sel = fault >> 3;  // 0..31
  if (mode == 1) {
    plan.output.mode = plan.quarantine.mode = FaultTarget::Short;
    plan.output.rng = plan.quarantine.rng = fault | 0x100u;
  } else if (mode == 2) {
    plan.output.mode = FaultTarget::Fail;
    plan.output.fail_enospc = f.enospc;
    plan.output.fail_after = out_size * k_sel / 31;
    f.out_fails = plan.output.fail_after < out_size;
  } else if (mode == 3) {
    plan.quarantine.mode = FaultTarget::Fail;
    plan.quarantine.fail_enospc = f.enospc;
    plan.quarantine.fail_after = q_size * k_sel / 32;
    f.q_fails = quarantine_written;
  }
  return f;
}

void check_failure_message(const rowvane::IoError& error, bool enospc) {
  const std::string msg = error.display();
  if (enospc) {
    FUZZ_CHECK(msg == "No space left on device (os error 28)");
  } else {
    FUZZ_CHECK(msg == "failed to write the buffered data" || msg == "failed to write whole buffer");
  }
}

// No write call hands more than 8192 bytes, except one whole record of 8192
// bytes or more.
void check_write_pattern(const FaultTarget& t, const std::vector<size_t>& long_records) {
  if (t.mode != FaultTarget::Plain) return;
  for (size_t call : t.calls) {
    if (call <= 8192) continue;
    FUZZ_CHECK(std::find(long_records.begin(), long_records.end(), call) != long_records.end());
  }
}

// A stored row equals `want`, compared field by field in place (building a
// string per field costs more than the rest of the check).
bool stored_row_equals(const rowvane::RowStore& rows, size_t i, const Row& want) {
  size_t j = 0;
  for (rowvane::RowStore::FieldCursor c = rows.fields(i); !c.done(); ++j) {
    if (j == want.size() || c.next() != want[j]) return false;
  }
  return j == want.size();
}

rowvane::RowBuf to_rowbuf(const Row& row) {
  rowvane::RowBuf buf;
  for (const std::string& f : row) {
    buf.bytes += f;
    buf.ends.push_back(buf.bytes.size());
  }
  return buf;
}

// The writers of the file run, in memory: the kept rows through the record
// store and one buffered writer, the quarantine records through the
// quarantine line format and another, both over fault-injecting targets.
void check_writers_in_memory(const std::vector<Row>& kept,
                             const std::vector<rowvane::QuarantineRecord>& quarantine,
                             unsigned char delim, unsigned char quote, size_t input_size,
                             unsigned char fault, const std::string& want_out,
                             const std::vector<size_t>& out_ends, const std::string& want_q,
                             const std::vector<size_t>& long_records, bool thorough) {
  FaultPlan plan;
  const FaultSetup f = configure(plan, fault, want_out.size(), want_q.size(), true);

  rowvane::EncodedRecords records;
  records.begin(delim, quote, kept.size(), input_size);
  const rowvane::CsvRecordEncoder encoder(delim, quote);
  const std::string sep = fuzzref::byte_text(delim), qtext = fuzzref::byte_text(quote);
  std::string got;
  for (size_t i = 0; i < kept.size(); ++i) {
    const Row& row = kept[i];
    const rowvane::RowBuf buf = to_rowbuf(row);
    records.push(buf);
    if (!thorough) continue;
    const size_t start = i == 0 ? 0 : out_ends[i - 1];
    const std::string_view want(want_out.data() + start, out_ends[i] - start);
    got.clear();
    encoder.append_record(buf, got);
    FUZZ_CHECK(got == want);
    const rowvane::CsvRecordEncoder::Plan plan = encoder.plan(buf);
    FUZZ_CHECK(plan.size == want.size());
    bool plain = true;
    for (const std::string& field : row) {
      const bool quoted = field.find(qtext) != std::string::npos ||
                          field.find(sep) != std::string::npos ||
                          field.find_first_of("\r\n") != std::string::npos;
      FUZZ_CHECK(encoder.needs_quotes(field) == quoted);
      plain = plain && !quoted;
    }
    if (plan.plain) FUZZ_CHECK(plain);  // "plain" may be conservative, never wrong
    std::string direct(plan.size + 1, '\x7f');
    char* end = encoder.write(buf, plan, direct.data());
    FUZZ_CHECK(end == direct.data() + plan.size);
    FUZZ_CHECK(std::string_view(direct).substr(0, plan.size) == want && direct.back() == '\x7f');
  }
  FUZZ_CHECK(records.size() == kept.size());

  rowvane::IoStatus status;
  {
    rowvane::BufferedWriter writer(plan.output);
    status = records.for_each([&](std::string_view record) { return writer.write(record); });
    if (!status) status = writer.flush();
    if (!status) FUZZ_CHECK(writer.buffered() == 0);
  }  // the closing attempt
  if (f.out_fails) {
    FUZZ_CHECK(status.has_value());
    check_failure_message(*status, f.enospc);
    FUZZ_CHECK(plan.output.sink == want_out.substr(0, plan.output.fail_after));
  } else {
    FUZZ_CHECK(!status.has_value());
    FUZZ_CHECK(plan.output.sink == want_out);
  }

  {
    rowvane::BufferedWriter writer(plan.quarantine);
    status = writer.write(rowvane::kQuarantineHeader);
    std::string line;
    for (size_t i = 0; !status && i < quarantine.size(); ++i) {
      line.clear();
      rowvane::append_quarantine_line(line, quarantine[i].line, quarantine[i].reason,
                                      quarantine[i].fields, delim);
      status = writer.write(line);
    }
    if (!status) status = writer.flush();
  }
  if (f.q_fails) {
    FUZZ_CHECK(status.has_value());
    check_failure_message(*status, f.enospc);
    FUZZ_CHECK(plan.quarantine.sink == want_q.substr(0, plan.quarantine.fail_after));
  } else {
    FUZZ_CHECK(!status.has_value());
    FUZZ_CHECK(plan.quarantine.sink == want_q);
  }
  check_write_pattern(plan.output, long_records);
  check_write_pattern(plan.quarantine, long_records);
}

uint32_t fnv1a(const uint8_t* data, size_t size) {
  uint32_t h = 2166136261u;
  for (size_t i = 0; i < size; ++i) h = (h ^ data[i]) * 16777619u;
  return h;
}

bool temp_files_left() {
  // A rewrite in place goes through ".<name>.rowvane-XXXXXX" beside the file.
  DIR* dir = opendir(g_dir.c_str());
  if (!dir) return false;
  bool found = false;
  while (dirent* e = readdir(dir)) {
    if (std::string_view(e->d_name).find(".rowvane-") != std::string_view::npos) found = true;
  }
  closedir(dir);
  return found;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_dir = fuzzref::make_scratch_dir("rowvane-fuzz", {"/in.csv", "/out.csv", "/q.csv"});
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 5) return 0;
  const unsigned char flags = data[0];
  const unsigned char fault = data[4];
  const bool raw = flags & 32;
  const unsigned char delim_byte = raw ? data[1] : kDelims[data[1] % sizeof kDelims];
  const unsigned char quote = raw ? data[2] : kQuotes[data[2] % sizeof kQuotes];
  rowvane::RunOptions opt;
  if (flags & 1) opt.delimiter = delim_byte;
  opt.quote_char = quote;
  if (flags & 2) opt.expected_columns = data[3] < 240 ? data[3] % 7 : size_t{data[3]};
  opt.fill_ragged_rows = flags & 4;
  opt.merge_overflow = flags & 8;
  opt.repair_quotes = flags & 16;
  const bool want_quarantine = flags & 64;
  const bool in_place = flags & 128;
  const uint8_t* body = data + 5;
  const size_t body_size = size - 5;
  const std::string_view text(reinterpret_cast<const char*>(body), body_size);

  rowvane::SliceResult r = rowvane::rowvane_slice(text, opt);
  const rowvane::RunSummary& s = r.summary;

  // Counts.
  FUZZ_CHECK(s.total_rows == s.rowvaned_rows + s.quarantined_rows);
  FUZZ_CHECK(s.repaired_rows <= s.rowvaned_rows);
  FUZZ_CHECK(r.rows.size() == s.rowvaned_rows);
  FUZZ_CHECK(r.quarantine.size() == s.quarantined_rows);
  if (text.empty()) {
    FUZZ_CHECK(s.detected_delimiter == U',' && s.total_rows == 0 && s.inferred_columns == 0);
    FUZZ_CHECK(s.repaired_rows == 0);
  } else {
    if (opt.delimiter) {
      FUZZ_CHECK(s.detected_delimiter == char32_t{*opt.delimiter});
    } else {
      FUZZ_CHECK(s.detected_delimiter == U',' || s.detected_delimiter == U';' ||
                 s.detected_delimiter == U'\t' || s.detected_delimiter == U'|');
      FUZZ_CHECK(s.detected_delimiter == rowvane::sniff_delimiter(text));
    }
    const unsigned char d = static_cast<unsigned char>(s.detected_delimiter);
    if (opt.expected_columns) {
      FUZZ_CHECK(s.inferred_columns == *opt.expected_columns);
    } else {
      FUZZ_CHECK(s.inferred_columns == rowvane::infer_column_count(text, d));
    }
  }
  FUZZ_CHECK(s.detected_delimiter <= 0xFF);
  const unsigned char delim = static_cast<unsigned char>(s.detected_delimiter);
  const size_t m = s.inferred_columns;

  // Kept rows and quarantine records.
  size_t prev_line = 1;
  for (const rowvane::QuarantineRecord& q : r.quarantine) {
    FUZZ_CHECK(q.line >= prev_line);
    prev_line = q.line;
    FUZZ_CHECK(!q.fields.empty());
    FUZZ_CHECK(m != 0 && q.fields.size() != m);
  }
  // The reference reconciliation, rebuilt from the parser's own rows; the
  // stored rows are compared with it in place and its rows stand for them
  // in the checks below.
  Expected e;
  if (!text.empty()) {
    e = reconcile(text, delim, quote, opt.repair_quotes, m, opt.fill_ragged_rows,
                  opt.merge_overflow);
  }
  FUZZ_CHECK(e.total == s.total_rows);
  FUZZ_CHECK(e.repaired == s.repaired_rows);
  FUZZ_CHECK(e.kept.size() == r.rows.size());
  for (size_t i = 0; i < r.rows.size(); ++i) {
    const Row& row = e.kept[i];
    FUZZ_CHECK(!row.empty());
    if (m != 0) FUZZ_CHECK(row.size() == m);
    FUZZ_CHECK(r.rows.field_count(i) == row.size());
    FUZZ_CHECK(stored_row_equals(r.rows, i, row));
    size_t bytes = 0;
    for (const std::string& f : row) {
      FUZZ_CHECK(fuzzref::ref_valid_utf8(f));
      bytes += f.size();
    }
    FUZZ_CHECK(bytes == r.rows.row_bytes(i));
  }
  FUZZ_CHECK(e.quarantine.size() == r.quarantine.size());
  for (size_t i = 0; i < e.quarantine.size(); ++i) {
    FUZZ_CHECK(e.quarantine[i].fields == r.quarantine[i].fields);
    FUZZ_CHECK(e.quarantine[i].reason == r.quarantine[i].reason);
    FUZZ_CHECK(e.quarantine[i].line == r.quarantine[i].line);
  }
  const std::vector<Row>& kept = e.kept;

  // What the two files must hold.
  const std::string sep = fuzzref::byte_text(delim);
  const std::string qtext = fuzzref::byte_text(quote);
  std::string want_out;
  std::vector<size_t> out_ends, long_records;
  out_ends.reserve(kept.size());
  for (const Row& row : kept) {
    const size_t before = want_out.size();
    fuzzref::append_output_record(want_out, row, sep, qtext);
    out_ends.push_back(want_out.size());
    if (want_out.size() - before >= 8192) long_records.push_back(want_out.size() - before);
  }
  std::string want_q = "line,reason,raw_content\n";
  for (const rowvane::QuarantineRecord& q : r.quarantine) {
    const size_t before = want_q.size();
    want_q += std::to_string(q.line);
    want_q += ",\"";
    want_q += fuzzref::double_all(q.reason, "\"");
    want_q += "\",\"";
    want_q += fuzzref::double_all(fuzzref::join(q.fields, sep), "\"");
    want_q += "\"\n";
    if (want_q.size() - before >= 8192) long_records.push_back(want_q.size() - before);
  }

  // The costlier checks (the encoder record by record and field by field,
  // the real file run) go to a fixed share of the inputs, chosen by a hash so
  // that an input always gets the same checks.
  const uint32_t hash = fnv1a(data, size);
  check_writers_in_memory(kept, r.quarantine, delim, quote, text.size(), fault, want_out,
                          out_ends, want_q, long_records, (hash & 0x30) == 0);

  // The real file run, through the same fault seam, for one input in eight
  // (files cost far more than the rest of an execution).
  if ((hash & 7) == 0) {
    const std::string in_path = g_dir + "/in.csv";
    const std::string out_path = in_place ? in_path : g_dir + "/out.csv";
    const std::string q_path = g_dir + "/q.csv";
    fuzzref::write_file_or_die(in_path, body, body_size);
    if (!in_place) unlink(out_path.c_str());
    unlink(q_path.c_str());
    std::optional<std::string> qarg;
    if (want_quarantine) qarg = q_path;

    FaultPlan plan;
    const FaultSetup f = configure(plan, fault, want_out.size(), want_q.size(), want_quarantine);
    rowvane::FileRunHooks hooks;
    hooks.wrap_target = wrap;
    hooks.context = &plan;
    auto run = rowvane::rowvane_file(in_path, out_path, qarg, opt, hooks);
    check_write_pattern(plan.output, long_records);
    check_write_pattern(plan.quarantine, long_records);

    if (f.out_fails || f.q_fails) {
      FUZZ_CHECK(!run.has_value());
      check_failure_message(run.error().io, f.enospc);
      if (f.out_fails) {
        if (in_place) {
          FUZZ_CHECK(fuzzref::read_file_or_die(in_path) == text);  // survives a failed rewrite
        } else {
          FUZZ_CHECK(fuzzref::read_file_or_die(out_path) ==
                     want_out.substr(0, plan.output.fail_after));
        }
        FUZZ_CHECK(access(q_path.c_str(), F_OK) != 0);
      } else {
        // A rewrite in place is committed only after the quarantine file was
        // written: the input, the only other copy of the rows set aside,
        // survives a failing quarantine file.
        FUZZ_CHECK(fuzzref::read_file_or_die(out_path) == (in_place ? std::string(text) : want_out));
        FUZZ_CHECK(fuzzref::read_file_or_die(q_path) ==
                   want_q.substr(0, plan.quarantine.fail_after));
      }
      FUZZ_CHECK(!temp_files_left());
    } else {
      if (!run) {
        std::fprintf(stderr, "file run failed: %s\n", run.error().display().c_str());
        fuzzref::fail("rowvane_file failed on a writable scratch directory");
      }
      FUZZ_CHECK(!temp_files_left());
      const rowvane::RunSummary& fs = run.value();
      FUZZ_CHECK(fs.detected_delimiter == s.detected_delimiter && fs.total_rows == s.total_rows &&
                 fs.rowvaned_rows == s.rowvaned_rows && fs.repaired_rows == s.repaired_rows &&
                 fs.quarantined_rows == s.quarantined_rows &&
                 fs.inferred_columns == s.inferred_columns);
      FUZZ_CHECK(fuzzref::read_file_or_die(out_path) == want_out);
      if (want_quarantine) {
        FUZZ_CHECK(fuzzref::read_file_or_die(q_path) == want_q);
      } else {
        FUZZ_CHECK(access(q_path.c_str(), F_OK) != 0);
      }
    }
  }

  // Round trip: the written output parses back into the kept rows. A first
  // field that itself begins with U+FEFF would be read back as a byte-order
  // mark: the writer cannot express it, so such inputs are left out.
  const bool roundtrip = delim < 0x80 && quote < 0x80 && delim != quote && delim != '\r' &&
                         delim != '\n' && quote != '\r' && quote != '\n' &&
                         fuzzref::ref_bom_offset(want_out) == 0;
  if (roundtrip) {
    rowvane::RunOptions back;
    back.delimiter = delim;
    back.quote_char = quote;
    back.expected_columns = 0;
    back.repair_quotes = false;
    rowvane::SliceResult again = rowvane::rowvane_slice(want_out, back);
    FUZZ_CHECK(again.summary.total_rows == kept.size());
    FUZZ_CHECK(again.summary.quarantined_rows == 0 && again.summary.repaired_rows == 0);
    for (size_t i = 0; i < kept.size(); ++i) FUZZ_CHECK(stored_row_equals(again.rows, i, kept[i]));
  }
  return 0;
}
