// The speculative scan of one block of a streamed input: the rows the fast
// paths of the table run would take there, found without knowing where the
// block's first record begins. A block is scanned as if a record began after
// its first line break; the run, reading the blocks in order, takes a hint
// only for a row that begins exactly where a hint does, so a wrong guess
// (a quoted line break across the blocks, a stray quote swallowing lines)
// costs the scan, never the result: a hint is the scan of the same bytes.
//
// The scan also validates the block as UTF-8 short of the sequences its
// edges may cut, which the run checks as it joins the blocks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/parser.hpp"

namespace rowvane {

// A row the fast paths may take whole: plain (PlainRow) or simply quoted
// (SimpleRow), with its offsets from its first byte.
struct RowHint {
  enum class Kind : std::uint8_t { Plain, Simple };
  size_t begin = 0;               // input offset of its first byte
  std::uint32_t end = 0;          // its line break
  std::uint32_t next = 0;         // past its line break
  std::uint32_t fields = 0;
  std::uint32_t inner_lines = 0;  // Simple: LFs inside its quoted fields
  std::uint32_t dropped_count = 0;  // Simple: the quotes its record drops
  std::uint32_t output = 0;       // its output record in BlockScan::output (its length: output_size())
  Kind kind = Kind::Plain;
  bool line_break = false;

  // The length of its output record: the row without its dropped quotes
  // and its line break, and a line feed.
  size_t output_size() const noexcept { return end - dropped_count + 1; }

  // The PlainRow of a row found at window offset `pos`; false for a simple row.
  bool plain(size_t pos, PlainRow& out) const noexcept {
    if (kind != Kind::Plain) return false;
    out.end = pos + end;
    out.next = pos + next;
    out.fields = fields;
    out.line_break = line_break;
    return true;
  }
};

struct BlockScan {
  size_t offset = 0;  // the block's input offset
  size_t size = 0;    // its length
  std::vector<RowHint> rows;            // in increasing begin
  // The hinted rows' output records, made by the scan: a row the run keeps
  // as hinted is written from here, its bytes in the window left alone.
  std::string output;
  // UTF-8: bytes [utf8_begin, utf8_end) of the block were validated. The
  // bytes before are continuation bytes of a sequence begun in the block
  // before; those after, a sequence the block's end cuts.
  size_t utf8_begin = 0;
  size_t utf8_end = 0;
  bool utf8_valid = true;

  void clear() noexcept {
    rows.clear();
    output.clear();
    utf8_begin = utf8_end = 0;
    utf8_valid = true;
  }
};

// What the scan looks for.
struct ScanSetup {
  unsigned char delimiter = ',';
  unsigned char quote = '"';
  bool rows = false;  // look for rows (the table's fast paths apply)
};

// Scans `block`, the bytes at input offset `offset` (0: the input's start,
// where the first record begins past a byte-order mark). A row is hinted
// only when a byte of the block follows its line break, so the scan of the
// same row inside a longer window gives the same answer.
void scan_block(std::string_view block, size_t offset, const ScanSetup& setup, BlockScan& out);

// Joins the UTF-8 checks of consecutive blocks: the bytes each scan left
// out at its edges are checked here, across the blocks.
class Utf8Stitch {
 public:
  // The next block, in input order. False once an invalid sequence was met.
  bool add(std::string_view block, const BlockScan& scan);
  // The end of the input: what is left must be whole sequences.
  bool finish();
  bool valid() const noexcept { return valid_; }

 private:
  std::string held_;  // bytes not yet checked, from a sequence's first byte
  bool valid_ = true;
};

// The hints of the blocks in the run's window, looked up in input order.
class RowHints {
 public:
  // A block joined the window (its scan outlives its use here).
  void add(const BlockScan* scan);
  // Drops the blocks that end at or before input offset `offset`.
  void drop_before(size_t offset);
  // The hint of the row at input offset `at`, if the scan found one.
  const RowHint* find(size_t at) noexcept;
  // The SimpleRow of a hint just found, at window offset `pos`, without
  // its dropped quotes: a row taken as hinted is kept from its record.
  bool simple(const RowHint& hint, size_t pos, SimpleRow& out) const noexcept;
  // The output record of a hint just found.
  std::string_view output(const RowHint& hint) const noexcept {
    return std::string_view(blocks_[block_]->output).substr(hint.output, hint.output_size());
  }
  // Blocks whose first hinted row was not where the run's rows began there.
  size_t missed_blocks() const noexcept { return missed_; }

 private:
  const RowHint* look_up(size_t at) noexcept;

  std::vector<const BlockScan*> blocks_;  // in input order
  size_t last_at_ = 0;                    // the last row asked for, and its answer
  const RowHint* last_ = nullptr;
  size_t block_ = 0;   // the block find() looked in last
  size_t row_ = 0;     // the row of that block it stopped at
  bool checked_ = false;  // the first query inside block_ was counted
  size_t missed_ = 0;
};

}  // namespace rowvane
