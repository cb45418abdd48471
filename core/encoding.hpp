// The decode stage: which encoding a file's bytes are in, and their text as
// UTF-8 for the stages after it. Everything here is a pure function of the
// bytes; nothing reads files and nothing knows about Python.
//
// The decision, in order (decide_encoding):
//   1. A byte-order mark names the encoding (UTF-8, UTF-16 LE/BE, UTF-32
//      LE/BE). A UTF-8 mark in front of bytes that are not UTF-8 is a stray
//      one (a legacy export run through a tool that adds it): it is dropped
//      and the rest decided on its own.
//   2. Without a mark, UTF-16 or UTF-32 when the NUL bytes fall on one side
//      of the code units clearly more than on the other (CJK text puts some
//      NULs on the other side too, so a share, not an absolute rule).
//   3. UTF-8 when the whole input is valid UTF-8 (the vector validator over
//      every byte: non-ASCII text often first shows late in a file).
//   4. Otherwise a census of the lines holding non-ASCII bytes: lines that
//      are valid UTF-8 against lines that are not. A file with enough valid
//      lines is two exports glued together: it stays UTF-8 and only its
//      invalid sequences go through a single-byte fallback page. Otherwise
//      the file is in a legacy code page, for the caller's detector to name
//      from the census's sample of non-ASCII lines, taken across the file.
//
// Decoding (decode_text) appends UTF-8 to a buffer sized once for the worst
// case and records a mark at every place it did not decode plainly: a byte
// decoded by the fallback page, or an undecodable stretch replaced by U+FFFD.
// The run uses the marks to log, count or set aside the rows that hold them.
// Every decoder is linear in its input and writes valid UTF-8 for any bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/file.hpp"

namespace rowvane {

enum class TextEncoding : std::uint8_t {
  Utf8,        // with an optional single-byte fallback page for invalid sequences
  Utf16LE,
  Utf16BE,
  Utf32LE,
  Utf32BE,
  SingleByte,  // a code page given as a ByteTable
  External,    // decoded by the caller (a multi-byte code page)
};

// Where the decision came from (the report's `encoding_source`).
enum class EncodingSource : std::uint8_t {
  Bom,         // "bom"
  Utf8,        // "utf-8": the whole input is valid UTF-8
  NulPattern,  // "nul pattern"
  Detected,    // "detected": a legacy page named by the detector
  Given,       // "given": the caller named it
  Fallback,    // "fallback": UTF-8 with some lines in a single-byte page
};

// The report's text for a source.
const char* encoding_source_name(EncodingSource source) noexcept;

// What happens to bytes the encoding cannot decode.
enum class DecodeErrors : std::uint8_t {
  Replace,     // U+FFFD, counted and marked
  Strict,      // decoding stops at the first one
  Quarantine,  // U+FFFD and marked, like Replace; the run sets the rows aside
};

// A single-byte code page: the code point of each byte, kUnmapped where the
// page leaves the byte undefined (cp1252's 0x81, for instance). The decoders
// treat an entry that is no BMP scalar value (a surrogate, or past U+FFFF)
// as unmapped too: no code page maps a byte there.
inline constexpr char32_t kUnmapped = 0xFFFFFFFF;
using ByteTable = std::array<char32_t, 256>;

// Windows-1252, the fallback page when the evidence names no other.
const ByteTable& cp1252_table() noexcept;

// How to decode one input.
struct DecodeOptions {
  TextEncoding encoding = TextEncoding::Utf8;
  // SingleByte: the page (required). Utf8: the fallback page for invalid
  // sequences, each byte of a maximal invalid subpart decoded through it;
  // nullptr replaces them by U+FFFD instead. Unused otherwise.
  const ByteTable* table = nullptr;
  DecodeErrors errors = DecodeErrors::Replace;
};

// A place in the decoded text that was not decoded plainly.
enum class MarkKind : std::uint8_t {
  Fallback,  // bytes decoded through the Utf8 decoding's fallback page
  Replaced,  // undecodable bytes, written as one U+FFFD each stretch
};

struct DecodeMark {
  size_t offset = 0;  // byte offset in the decoded text where the mark's text begins
  MarkKind kind = MarkKind::Replaced;
};

struct DecodeStats {
  size_t replaced_bytes = 0;   // input bytes replaced by U+FFFD
  size_t fallback_bytes = 0;   // input bytes decoded through the fallback page
  // Strict decoding that stopped: where (input byte offset, length of the
  // undecodable stretch, 1-based line in the decoded text). Unset otherwise.
  size_t error_offset = 0;
  size_t error_length = 0;
  size_t error_line = 0;
};

enum class DecodeStatus : std::uint8_t {
  Ok,
  Undecodable,  // Strict met an undecodable byte (see DecodeStats)
  Aborted,      // an External decoder failed for a reason of its own
};

struct DecodedText {
  FileBytes bytes;                // the UTF-8 text, without any byte-order mark
  std::vector<DecodeMark> marks;  // in increasing offset
  DecodeStats stats;
};

// The worst-case UTF-8 size of `input_size` bytes in `encoding` (a UTF-8
// input with a fallback page: every byte may take three).
size_t max_decoded_size(size_t input_size, TextEncoding encoding) noexcept;

// Decodes `input` (its byte-order mark already cut off by the caller) per
// `decoding` into `out` (replacing what it held). External is not decoded here.
// Ok or Undecodable; never throws but std::bad_alloc.
DecodeStatus decode_text(std::string_view input, const DecodeOptions& decoding, DecodedText& out);

// --- The decision -----------------------------------------------------------

struct BomMatch {
  TextEncoding encoding = TextEncoding::Utf8;  // Utf8, Utf16LE/BE, Utf32LE/BE
  size_t length = 0;                           // 0 when there is no mark
};

// The byte-order mark at the start of `input`, if any (UTF-32 LE before
// UTF-16 LE: FF FE 00 00 is the former).
BomMatch match_bom(std::string_view input) noexcept;

// UTF-16/32 LE/BE from where the NUL bytes fall in the first `sample`
// bytes; Utf8 when the pattern names none of them.
TextEncoding wide_encoding_from_nuls(std::string_view input, size_t sample = 1 << 16) noexcept;

// The lines holding non-ASCII bytes of an input that is not valid UTF-8.
struct Utf8Census {
  size_t valid_lines = 0;        // non-ASCII lines that are valid UTF-8
  size_t invalid_lines = 0;      // lines with at least one invalid sequence
  size_t invalid_sequences = 0;  // maximal invalid subparts, over the whole input
  // Which bytes 0x80..0xFF occur in the invalid lines (index byte - 0x80).
  std::array<bool, 128> high_bytes{};
  // Invalid lines (each with its line feed), taken evenly across the file
  // up to the cap: what a detector reads to name the page.
  std::string sample;
};

Utf8Census census_utf8(std::string_view input, size_t sample_cap = 1 << 16);

struct EncodingDecision {
  TextEncoding encoding = TextEncoding::Utf8;
  EncodingSource source = EncodingSource::Utf8;
  size_t skip = 0;          // bytes to cut off the front: a byte-order mark, a stray one included
  bool stray_bom = false;   // a UTF-8 mark in front of text that is not UTF-8 was dropped
  // The input is not valid UTF-8 and no mark or NUL pattern named a wide
  // encoding: the caller names a page from `census` (a legacy page, or the
  // fallback page of a mixed file). `mixed`: enough non-ASCII lines are
  // valid UTF-8 that the file stays UTF-8 with a fallback page.
  bool needs_page = false;
  bool mixed = false;
  Utf8Census census;
};

// Steps 1 to 4 above over the whole input. The census of an input above
// 4 MiB reads whole lines in 256 windows of 16 KiB spread evenly over it.
EncodingDecision decide_encoding(std::string_view input, size_t sample_cap = 1 << 16);

// The census of decide_encoding: census_utf8 over the whole of a small input,
// over the windows of a large one.
Utf8Census census_spread(std::string_view input, size_t sample_cap = 1 << 16);

}  // namespace rowvane
