// The streaming table run: the front end's repair and check of a file of any
// size in memory bounded by the blocks in flight, not by the file.
//
//   read blocks ─▶ scan (speculative, threads) ─▶ join in order ─▶ reconcile ─▶ write
//
// Blocks of `block_size` bytes are read at their offsets and scanned by the
// worker threads while the calling thread reconciles the blocks before them,
// in order, through one window: the last rows of a block and the first of the
// next are read across the two. The scan guesses where the block's first
// record begins; the join takes a hint only at a row it reached itself, so
// the output, quarantine file, change log and counts do not depend on the
// threads or the block size.
//
// The text must be UTF-8: the decode stage's other outcomes (a byte-order
// mark or NUL pattern naming UTF-16/32, a legacy page, a UTF-8 file with
// stray bytes) need the whole input decided first, and those runs go through
// the whole-buffer run instead, as does an input that is no regular file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "core/error.hpp"
#include "core/file.hpp"
#include "core/dialect.hpp"
#include "core/rowvane.hpp"

namespace rowvane {

inline constexpr size_t kDefaultBlockSize = size_t{4} << 20;
inline constexpr size_t kMaxBlockSize = size_t{1} << 30;

// An input file still being written while the run reads it (a compressed
// input decompressed on another thread): a read waits for the bytes it
// needs. The run's choices depend on the input's size (its block size, the
// bytes the quote repair may read again), so the writer says the size the
// file will have; a run that finds another size at the end is not kept: the
// file runs again once complete.
struct GrowingInput {
  struct State {
    size_t size = 0;        // bytes written so far
    bool complete = false;  // the writer is done: `size` is the file's size
  };
  // Waits until `end` bytes are written or the file is complete; the
  // writer's failure, or an interrupted error when `interrupt` says stop.
  Expected<State, IoError> (*wait)(void* context, size_t end, const InterruptCheck& interrupt) = nullptr;
  void* context = nullptr;
  size_t expected_size = 0;
};

struct StreamOptions {
  size_t threads = 1;                    // 1: everything on the calling thread
  size_t block_size = kDefaultBlockSize; // bytes read per block (clamped to 1 .. kMaxBlockSize)
  // The head the table's layout is settled from. A run with another head
  // than kHeadBytes may settle another layout than the whole-buffer run
  // (tests make it small, to stream small inputs).
  size_t head_bytes = kHeadBytes;
  // A part of an input split into byte ranges (the Dask run): the rows from
  // the first record start at or after `part_start` (0: the input's start)
  // to the last before the first row that starts at or after `part_stop`.
  // A part after the first reads the layout and the header from the head
  // and takes its first row as a row of the table's body, its lines counted
  // from 1: the caller checks that it began where the part before ended.
  size_t part_start = 0;
  size_t part_stop = SIZE_MAX;
  // Called on the calling thread after each block, with the input bytes
  // reconciled so far and the input's size; returns false to stop the run
  // (which then ends as interrupted).
  bool (*progress)(void* context, size_t done, size_t total) = nullptr;
  void* progress_context = nullptr;
  // Called on the calling thread once the layout is settled, before any
  // record is written: the delimiter and quote of the records to come (a
  // consumer of the output parses them with it).
  void (*on_layout)(void* context, unsigned char delimiter, unsigned char quote) = nullptr;
  void* layout_context = nullptr;
  // Rows set aside to hand back in the result (StreamResult::quarantine),
  // the first ones: a check that writes nothing reports them.
  size_t keep_quarantine = 0;
  // The input is still being written (stream_table_file and
  // stream_basic_file): read as it grows; any run that needs it whole waits
  // for it to be complete first.
  const GrowingInput* growing = nullptr;
};

// Where a streamed run reads its input: `read_at` fills `dst` with up to `n`
// bytes from `offset`, returning how many (0 at the end).
struct StreamInput {
  Expected<size_t, IoError> (*read_at)(void* context, size_t offset, char* dst, size_t n) = nullptr;
  void* context = nullptr;
  size_t size = 0;  // the size expected (a hint: the reads decide)
};

// Where a streamed run writes: any target may be null (not written).
struct StreamTargets {
  ByteTarget* output = nullptr;
  ByteTarget* quarantine = nullptr;
  ByteTarget* changes = nullptr;
};

enum class StreamStatus : unsigned char {
  Done,
  NotUtf8,      // the input is not UTF-8 throughout: run it whole instead
  Unsplittable, // a part after the first: the header reaches past the head
  Interrupted,  // the interrupt check or the progress callback said to stop
  Failed,       // a read or write failed: see StreamResult::error
};

struct StreamResult {
  StreamStatus status = StreamStatus::Done;
  TableSummary summary;
  std::optional<IoError> error;
  RunFile failed_file = RunFile::Output;  // Failed: which target, when a write failed
  bool read_failed = false;               // Failed: the input's read failed
  // The change records kept (check runs: `keep` of them) and their count.
  std::vector<TableCheck::Change> changes;
  size_t change_count = 0;
  std::vector<QuarantineRecord> quarantine;  // the first StreamOptions::keep_quarantine rows set aside
  // A part (StreamOptions::part_start, part_stop): where its first row
  // began and where the row after its last begins (the input's size at its
  // end), the lines between, and what the part after it may assume.
  size_t first = 0;
  size_t next = 0;
  size_t lines = 0;
  bool clean = true;         // nothing held back, no later table under way
  size_t tables_added = 0;   // tables begun in the part (the first part: its table too)
  size_t reread_used = 0;    // bytes the opening-quote repair read again
  bool reread_refused = false;
};

// The streamed table run over `input` into `targets`: the whole run but the
// files. `keep_changes`: change records to hand back in the result.
StreamResult stream_table(const StreamInput& input, const StreamTargets& targets, const RunOptions& options,
                          bool quote_given, TableRules rules, const InputEncoding& encoding, bool output_bom,
                          const StreamOptions& stream, size_t keep_changes, const InterruptCheck& interrupt);

// rowvane_table_file with a decode stage (see core/rowvane.hpp), streamed
// where the input allows it, else run whole.
Expected<TableSummary, RowvaneError> stream_table_file(
    const std::string& input_path, const std::string& output_path,
    const std::optional<std::string>& quarantine_path, const std::optional<std::string>& changes_path,
    const RunOptions& options, bool quote_given, TableRules rules, const FileRunHooks& hooks,
    const TextOptions& text, const StreamOptions& stream);

// The basic run (rowvane_file's output and quarantine file, byte for byte:
// the table run under basic_rules), streamed where the input is UTF-8
// throughout, else run whole by rowvane_file.
Expected<RunSummary, RowvaneError> stream_basic_file(const std::string& input_path, const std::string& output_path,
                                                     const std::optional<std::string>& quarantine_path,
                                                     const RunOptions& options, const FileRunHooks& hooks,
                                                     const StreamOptions& stream);

// Whether the file at `path` streams: a regular file whose text is UTF-8
// throughout as the streamed runs decide it (a UTF-8 mark or none, no NUL
// pattern of UTF-16/32, valid), read in blocks of bounded memory. A consumer
// of stream_into checks first, since a late invalid byte cannot take back
// records already handed over.
Expected<bool, RowvaneError> streams_as_utf8(const std::string& path, const InterruptCheck& interrupt);

// The streamed run of the file at `input_path` into `output` alone (no side
// files, no change log; null: its counts alone): the records as they are
// made, for a consumer on another thread (a pipe). Status NotUtf8 when the input is no regular file
// or not UTF-8 throughout (see streams_as_utf8); then `output` may hold the
// records of its first blocks.
Expected<StreamResult, RowvaneError> stream_into(const std::string& input_path, ByteTarget* output,
                                                 const RunOptions& options, bool quote_given, TableRules rules,
                                                 const FileRunHooks& hooks, const StreamOptions& stream);
// The same over an input already open (`input_path` names it in errors).
Expected<StreamResult, RowvaneError> stream_into(const FileHandle& input, const std::string& input_path,
                                                 ByteTarget* output, const RunOptions& options, bool quote_given,
                                                 TableRules rules, const FileRunHooks& hooks,
                                                 const StreamOptions& stream);

// One part of a split input (StreamOptions::part_start, part_stop) into its
// own files: status Done with the part's counts and where it began and
// ended; NotUtf8 or Unsplittable (nothing written) when the input cannot be
// split so, or is no regular file.
Expected<StreamResult, RowvaneError> stream_part_file(
    const std::string& input_path, const std::string& output_path,
    const std::optional<std::string>& quarantine_path, const std::optional<std::string>& changes_path,
    const RunOptions& options, bool quote_given, TableRules rules, const FileRunHooks& hooks,
    const TextOptions& text, const StreamOptions& stream);

// check_table_file, streamed likewise.
Expected<TableCheck, RowvaneError> stream_check_table_file(const std::string& input_path,
                                                           const RunOptions& options, bool quote_given,
                                                           TableRules rules, const FileRunHooks& hooks,
                                                           const TextOptions& text, size_t keep,
                                                           const StreamOptions& stream);

}  // namespace rowvane
