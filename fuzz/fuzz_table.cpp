// Fuzz target for table detection and the table run (the front end's "auto"
// repair).
//
// Input layout: byte 0 holds flags (bit 0 fill, 1 merge, 2 repair quotes,
// 3 drop empty surplus, 4 opening quote as text, 5 other tables set aside,
// 6 quote given, 7 the given quote is the apostrophe); byte 1 chooses the
// delimiter (0: detected; 1..5: , ; TAB | : given); the rest is the text.
//
// Checks:
//   - every row is accounted for: total = kept + set aside + header lines
//     joined + copies of the header dropped; repaired = padded + merged +
//     empty surplus dropped + opening quotes taken as text;
//   - with a column count, every kept row has exactly that many fields;
//   - the change log has one record per row changed or dropped (and per
//     preamble line), its raw text and written record valid UTF-8, written
//     empty exactly for rows not kept;
//   - detection is deterministic, and the layout the run used is the one
//     detect_table reports;
//   - for one input in four, the file run (whose records are written over
//     the input text it has read) writes exactly the slice's kept rows,
//     encoded, and the slice's change log;
//   - with every table repair off and a layout the basic run would also use
//     (same delimiter and quote, no preamble, a one-line header, no ", "),
//     the kept rows are exactly the basic run's.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "core/dialect.hpp"
#include "core/heuristics.hpp"
#include "core/rowvane.hpp"
#include "core/writer.hpp"
#include "fuzz/fuzz_common.hpp"

namespace {

std::string g_dir;  // scratch directory of the file runs

std::vector<std::vector<std::string>> rows_of(const rowvane::RowStore& store) {
  std::vector<std::vector<std::string>> rows;
  for (size_t i = 0; i < store.size(); ++i) rows.push_back(store.row_strings(i));
  return rows;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_dir = fuzzref::make_scratch_dir("rowvane-table-fuzz", {"/in.csv", "/out.csv", "/changes.csv"});
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const unsigned char flags = data[0];
  const unsigned char sel = data[1];
  const std::string_view text(reinterpret_cast<const char*>(data + 2), size - 2);

  rowvane::RunOptions options;
  options.fill_ragged_rows = (flags & 1) != 0;
  options.merge_overflow = (flags & 2) != 0;
  options.repair_quotes = (flags & 4) != 0;
  const bool quote_given = (flags & 64) != 0;
  if (quote_given) options.quote_char = (flags & 128) != 0 ? '\'' : '"';
  static constexpr unsigned char kDelims[] = {',', ';', '\t', '|', ':'};
  if (sel % 6 != 0) options.delimiter = kDelims[sel % 6 - 1];
  rowvane::TableRules rules;
  rules.drop_empty_surplus = (flags & 8) != 0;
  rules.opening_quote_as_text = (flags & 16) != 0;
  rules.set_aside_other_tables = (flags & 32) != 0;
  rules.set_aside_notes = rules.set_aside_other_tables;
  rules.keep_blank_rows = !rules.drop_empty_surplus;
  rules.log_changes = true;

  rowvane::DetectOptions detect{options.delimiter, std::nullopt, std::nullopt, options.repair_quotes};
  if (quote_given) detect.quote_char = options.quote_char;
  const rowvane::TableLayout layout = rowvane::detect_table(text, detect);
  const rowvane::TableLayout again = rowvane::detect_table(text, detect);
  FUZZ_CHECK(layout.delimiter == again.delimiter && layout.quote_char == again.quote_char &&
             layout.start == again.start && layout.columns == again.columns &&
             layout.header_rows == again.header_rows);
  FUZZ_CHECK(layout.start <= text.size());
  FUZZ_CHECK(layout.header_rows >= 1 && layout.header_rows <= rowvane::kMaxHeaderRows);

  const rowvane::TableSliceResult r = rowvane::rowvane_table_slice(text, options, quote_given, rules);
  const rowvane::TableSummary& s = r.summary;
  FUZZ_CHECK(s.run.total_rows == s.run.rowvaned_rows + s.run.quarantined_rows + s.header_rows_joined +
                                     s.repeated_headers + s.blank_rows_dropped);
  FUZZ_CHECK(s.notes_rows + s.other_table_rows <= s.run.quarantined_rows);
  // Kept, blank rows are dropped only between the lines of a header.
  if (rules.keep_blank_rows) FUZZ_CHECK(s.blank_rows_dropped < layout.header_rows);
  if (!rules.set_aside_notes) FUZZ_CHECK(s.notes_rows == 0);
  FUZZ_CHECK(s.run.quarantined_rows == r.quarantine.size());
  FUZZ_CHECK(s.run.rowvaned_rows == r.rows.size());
  FUZZ_CHECK(s.run.repaired_rows ==
             s.padded_rows + s.merged_rows + s.empty_surplus_rows + s.opening_quote_rows);
  FUZZ_CHECK((s.tables_found == 0) == (s.run.total_rows == 0));
  if (!text.empty()) {
    FUZZ_CHECK(static_cast<unsigned char>(s.run.detected_delimiter) == layout.delimiter);
    FUZZ_CHECK(s.quote_char == layout.quote_char);
    FUZZ_CHECK(s.run.inferred_columns == layout.columns);
    FUZZ_CHECK(s.preamble_lines == layout.preamble.size());
  }
  const size_t m = s.run.inferred_columns;
  if (m > 0) {
    for (size_t i = 0; i < r.rows.size(); ++i) FUZZ_CHECK(r.rows.field_count(i) == m);
  }
  FUZZ_CHECK(r.changes.size() == s.preamble_lines + s.run.repaired_rows + s.run.quarantined_rows +
                                     s.header_rows_joined + s.repeated_headers + s.blank_rows_dropped);
  for (const rowvane::ChangeRecord& c : r.changes) {
    FUZZ_CHECK(fuzzref::ref_valid_utf8(c.raw));
    FUZZ_CHECK(fuzzref::ref_valid_utf8(c.written));
    FUZZ_CHECK(c.line >= 1);
  }

  // The file run, on a share of inputs chosen by their bytes.
  size_t hash = 0;
  for (size_t i = 0; i < size; ++i) hash = hash * 31 + data[i];
  if (hash % 4 == 0) {
    fuzzref::write_file_or_die(g_dir + "/in.csv", data + 2, size - 2);
    const auto run = rowvane::rowvane_table_file(g_dir + "/in.csv", g_dir + "/out.csv", std::nullopt,
                                                 g_dir + "/changes.csv", options, quote_given, rules,
                                                 rowvane::FileRunHooks{});
    if (!run) fuzzref::fail("the table file run failed on a writable scratch directory");
    std::string expected;
    rowvane::CsvRecordEncoder encoder(layout.delimiter, layout.quote_char);
    rowvane::RowBuf buf;
    for (size_t i = 0; i < r.rows.size(); ++i) {
      buf.clear();
      for (const std::string& f : r.rows.row_strings(i)) {
        buf.bytes += f;
        buf.ends.push_back(buf.bytes.size());
      }
      encoder.append_record(buf, expected);
    }
    FUZZ_CHECK(fuzzref::read_file_or_die(g_dir + "/out.csv") == expected);
    std::string log(rowvane::kChangeLogHeader);
    for (const rowvane::ChangeRecord& c : r.changes) {
      log += std::to_string(c.line) + "," + c.action + ",\"" + fuzzref::double_all(c.raw, "\"") + "\",\"" +
             fuzzref::double_all(c.written, "\"") + "\"\n";
    }
    FUZZ_CHECK(fuzzref::read_file_or_die(g_dir + "/changes.csv") == log);
    FUZZ_CHECK(run.value().run.rowvaned_rows == s.run.rowvaned_rows);
  }

  const bool rules_off = !rules.drop_empty_surplus && !rules.opening_quote_as_text && !rules.set_aside_other_tables;
  if (rules_off && !text.empty() && layout.preamble.empty() && layout.header_rows == 1 && !layout.backslash_escape &&
      !layout.blank_after_delimiter && layout.quote_char == options.quote_char && s.repeated_headers == 0) {
    rowvane::RunOptions basic = options;
    basic.delimiter = layout.delimiter;
    basic.expected_columns = layout.columns;
    const rowvane::SliceResult b = rowvane::rowvane_slice(text, basic);
    FUZZ_CHECK(rows_of(b.rows) == rows_of(r.rows));
    FUZZ_CHECK(b.quarantine.size() == r.quarantine.size());
  }
  return 0;
}
