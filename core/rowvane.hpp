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
Expected<std::string, IoError> read_whole_file(const std::string& path);
Expected<std::string, IoError> read_whole_file(const std::string& path,
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
enum class RunFile { Output, Quarantine };

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

// rowvane_file with its writers' targets passed through `hooks`.
Expected<RunSummary, RowvaneError> rowvane_file(const std::string& input_path,
                                                const std::string& output_path,
                                                const std::optional<std::string>& quarantine_path,
                                                const RunOptions& options,
                                                const FileRunHooks& hooks);

}  // namespace rowvane
