// The rowvane pipeline: reconcile every row of a buffer with one column count,
// and run that over a file on disk into a clean CSV file.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.hpp"
#include "core/file.hpp"
#include "core/parser.hpp"
#include "core/row_store.hpp"
#include "core/text_input.hpp"
#include "core/writer.hpp"

namespace rowvane {

// The options of one run, built by the Python entry points.
struct RunOptions {
  std::optional<unsigned char> delimiter;        // sniffed when absent
  unsigned char quote_char = '"';                // parser quote, also the output quote
  std::optional<size_t> expected_columns;        // inferred when absent
  bool fill_ragged_rows = true;                  // pad short rows
  bool merge_overflow = true;                    // merge surplus fields into the last one
  bool repair_quotes = true;                     // parser's stray-quote repair
};

// One row set aside.
struct QuarantineRecord {
  std::vector<std::string> fields;  // the row as parsed: not padded, not merged
  std::string reason;               // "Row has too few columns (expected 3)" ...
  size_t line = 0;                  // 1-based line on which the row begins
};

// The counts of one run.
struct RunSummary {
  char32_t detected_delimiter = U',';  // delimiter used; its code point equals the byte
  size_t total_rows = 0;               // rows the parser returned
  size_t rowvaned_rows = 0;            // rows kept (unchanged plus repaired)
  size_t repaired_rows = 0;            // kept rows that were padded or merged
  size_t quarantined_rows = 0;         // rows set aside
  size_t inferred_columns = 0;         // column count used; 0 = none enforced
};

struct SliceResult {
  RowStore rows;                             // kept rows, in input order
  std::vector<QuarantineRecord> quarantine;  // set-aside rows, in input order
  RunSummary summary;                        // counts of the run
};

// Reconciles every row of `buffer`. Never fails on content; may throw
// std::bad_alloc.
SliceResult rowvane_slice(std::string_view buffer, const RunOptions& options);

// Reads the whole file at `path` (retrying interrupted opens and reads until
// `interrupt` asks to stop). A path holding a NUL byte fails with "file name
// contained an unexpected NUL byte" before anything is opened.
Expected<FileBytes, IoError> read_whole_file(const std::string& path);
Expected<FileBytes, IoError> read_whole_file(const std::string& path,
                                             const InterruptCheck& interrupt);

// The message of a run whose output and quarantine paths name one file:
// writing the second would truncate the first.
inline constexpr const char* kSameDestinationMessage =
    "output and quarantine paths name the same file";

// Repairs `input_path` into `output_path` and, when given, writes the
// quarantine file. The output is created only after the input was read whole.
// When the quarantine path names the output file (see same_destination), the
// run fails with kSameDestinationMessage before anything is opened.
Expected<RunSummary, RowvaneError> rowvane_file(const std::string& input_path,
                                                const std::string& output_path,
                                                const std::optional<std::string>& quarantine_path,
                                                const RunOptions& options);


// Which file of a run a writer writes.
enum class RunFile { Output, Quarantine, Changes };

// Seams of the file run, for fault injection in tests. When `wrap_target` is
// set it receives each writer's open file and returns the target the writer
// writes through instead (typically a wrapper that forwards to `file`).
// `interrupt` is asked whenever an open, read or write of the run returns
// EINTR; when it asks to stop, the run ends with kInterruptedMessage (files
// closed, a temporary file removed, the input untouched).
struct FileRunHooks {
  ByteTarget* (*wrap_target)(void* context, ByteTarget& file, RunFile which) = nullptr;
  void* context = nullptr;
  InterruptCheck interrupt{};
};

// ---------------------------------------------------------------------------
// The table run: the front end's "auto" repair. The table's layout is
// detected first (core/dialect.hpp), then every row is reconciled as above
// with these further repairs, each of which can be switched off.

struct TableRules {
  bool drop_empty_surplus = true;     // a row whose surplus fields are all empty loses them
  bool opening_quote_as_text = true;  // a stray opening quote that swallowed delimiters is text
  bool set_aside_other_tables = true; // rows from a second table on are set aside
  bool set_aside_notes = true;        // notes below a table of numbers are set aside
  bool keep_blank_rows = false;       // rows of empty cells are kept (else dropped)
  bool log_changes = false;           // keep a ChangeRecord for every row changed or dropped
  // Rows holding text the decode stage replaced are set aside (reason
  // kUndecodableReason) instead of kept with U+FFFD in them.
  bool set_aside_undecodable = false;
  // The decode stage's marks in the buffer, in increasing offset; a row that
  // holds one is counted and logged (and set aside, above).
  const std::vector<DecodeMark>* marks = nullptr;
  // The change log's action for a row holding fallback-decoded bytes
  // ("decoded as cp1252"); it must outlive the run's change records.
  const std::string* fallback_action = nullptr;
  // Asked every kInterruptCheckBytes of input while rows are read: a run
  // that is told to stop ends there (TableSummary::interrupted).
  const InterruptCheck* interrupt = nullptr;
  // The layout of the basic run instead of the detected table: the sniffed
  // delimiter, the inferred width, no header (see basic_rules).
  bool basic_layout = false;
};

// The rules under which the table run reconciles every row as the basic run
// (rowvane_file) does: nothing but padding, merging and setting aside.
inline TableRules basic_rules() noexcept {
  TableRules r;
  r.drop_empty_surplus = false;
  r.opening_quote_as_text = false;
  r.set_aside_other_tables = false;
  r.set_aside_notes = false;
  r.keep_blank_rows = true;
  r.basic_layout = true;
  return r;
}

// How much input the table run reads between two interrupt checks.
inline constexpr size_t kInterruptCheckBytes = size_t{1} << 20;

// One row the table run changed or dropped.
struct ChangeRecord {
  size_t line = 0;          // 1-based line on which the row begins
  const char* action = "";  // "padded", "merged", "preamble skipped", ... (static text)
  std::string raw;          // the row's bytes as read, without its line break, as UTF-8
  std::string written;      // the record written for it, without its line feed; empty if none
};


// The reason of the rows set aside because they follow the first table.
inline constexpr const char* kSecondTableReason = "Row belongs to a second table";

// The reason of the rows set aside as notes below the table.
inline constexpr const char* kNoteReason = "Row is a note below the table";

struct TableSummary {
  RunSummary run;                    // as for the basic run; rows skipped or dropped are not kept
  unsigned char quote_char = '"';    // the quote used
  bool blank_after_delimiter = false;
  bool backslash_escape = false;     // '\\' escaped bytes inside quoted fields
  size_t preamble_lines = 0;         // lines skipped before the header
  size_t header_rows_joined = 0;     // header lines joined into the one above
  size_t repeated_headers = 0;       // copies of the header dropped
  size_t padded_rows = 0;
  size_t merged_rows = 0;
  size_t empty_surplus_rows = 0;     // rows that lost only empty surplus fields
  size_t opening_quote_rows = 0;     // rows whose opening quote was taken as text
  size_t tables_found = 0;           // 0 for an empty buffer
  size_t other_table_rows = 0;       // rows set aside as part of a later table
  size_t fallback_rows = 0;          // rows holding bytes decoded by the fallback page
  size_t replaced_rows = 0;          // rows kept with undecodable bytes replaced by U+FFFD
  size_t undecodable_rows = 0;       // rows set aside for undecodable bytes
  // The decode stage of the file run (see core/text_input.hpp).
  std::string encoding = "utf-8";
  EncodingSource encoding_source = EncodingSource::Utf8;
  std::string fallback_encoding;     // the fallback page of a mixed file, else empty
  size_t replaced_bytes = 0;         // input bytes replaced by U+FFFD
  bool stray_bom = false;
  bool interrupted = false;          // the run's interrupt check told it to stop
  size_t notes_rows = 0;             // rows set aside as notes below the table
  size_t blank_rows_dropped = 0;     // rows of empty cells dropped
  // A streamed run (core/stream.hpp): the blocks it read, and those whose
  // speculative scan guessed the first record's start wrong.
  size_t blocks = 0;
  size_t blocks_reparsed = 0;
};

// The messages of a table file run whose decode stage failed: a strict
// decode met an undecodable byte, or the caller's detector or decoder failed.
inline constexpr const char* kUndecodableMessage = "undecodable bytes in the input";
inline constexpr const char* kDecodeFailedMessage = "decoding the input failed";

// The reason of the rows set aside because they hold undecodable bytes.
inline constexpr const char* kUndecodableReason = "Row holds bytes the encoding cannot decode";

struct TableSliceResult {
  RowStore rows;
  std::vector<QuarantineRecord> quarantine;
  std::vector<ChangeRecord> changes;
  TableSummary summary;
};

// `quote_given`: whether options.quote_char was chosen by the caller (else
// detected); options.delimiter and options.expected_columns likewise.
TableSliceResult rowvane_table_slice(std::string_view buffer, const RunOptions& options,
                                     bool quote_given, const TableRules& rules);

// The file run of the table repair: as rowvane_file, plus a change log at
// `changes_path` when given (which turns rules.log_changes on).
Expected<TableSummary, RowvaneError> rowvane_table_file(
    const std::string& input_path, const std::string& output_path,
    const std::optional<std::string>& quarantine_path, const std::optional<std::string>& changes_path,
    const RunOptions& options, bool quote_given, TableRules rules, const FileRunHooks& hooks);

// How the table file run reads and writes text.
struct TextOptions {
  InputEncoding input;      // the encoding: decided from the bytes by default
  bool output_bom = false;  // the output starts with a UTF-8 byte-order mark
};

// The table file run with a decode stage in front: the input is decided or
// decoded into UTF-8 first (the other overload passes the bytes as read).
// A strict decode that meets an undecodable byte fails with
// RowvaneError::undecodable set.
Expected<TableSummary, RowvaneError> rowvane_table_file(
    const std::string& input_path, const std::string& output_path,
    const std::optional<std::string>& quarantine_path, const std::optional<std::string>& changes_path,
    const RunOptions& options, bool quote_given, TableRules rules, const FileRunHooks& hooks,
    const TextOptions& text);

// What a repair of a file would do, without writing anything: the counts,
// the first `keep` change records (rules.log_changes is on) and how many
// there were in all.
struct TableCheck {
  // A change record of its own: its action text outlives the run (a
  // ChangeRecord's action may point into the run's own strings).
  struct Change {
    size_t line = 0;
    std::string action;
    std::string raw;
  };
  TableSummary summary;
  std::vector<Change> changes;
  size_t change_count = 0;
};

Expected<TableCheck, RowvaneError> check_table_file(const std::string& input_path, const RunOptions& options,
                                                    bool quote_given, TableRules rules,
                                                    const FileRunHooks& hooks, const TextOptions& text,
                                                    size_t keep);

// rowvane_file with its writers' targets passed through `hooks`.
Expected<RunSummary, RowvaneError> rowvane_file(const std::string& input_path,
                                                const std::string& output_path,
                                                const std::optional<std::string>& quarantine_path,
                                                const RunOptions& options,
                                                const FileRunHooks& hooks);

}  // namespace rowvane
