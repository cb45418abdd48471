// The run's input as UTF-8 text: the decode stage between reading a file and
// parsing it. Decides the encoding (core/encoding.hpp) or takes the one the
// caller named, asks the caller's detector to name a page where the bytes
// alone cannot, and decodes. Valid UTF-8 is passed on as it was read, without
// a copy: for most files the stage costs one validation pass.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "core/encoding.hpp"
#include "core/file.hpp"

namespace rowvane {

// The page a detector named for an input the bytes alone do not decide.
struct PageChoice {
  // SingleByte: `table` decodes the whole input. External: the caller's
  // decoder does (a multi-byte page). Utf8: the input stays UTF-8 and
  // `table` decodes its invalid sequences (the fallback page of a file
  // glued together from two exports).
  TextEncoding encoding = TextEncoding::SingleByte;
  ByteTable table{};
  std::string name;  // the page's name as reported ("cp1252", "gbk")
};

// Names a page from the census of an input's non-ASCII lines; `mixed` says
// the input is mostly UTF-8 and only a fallback page is wanted. Returns
// false when it failed (the caller's own error is then pending).
struct PageChooser {
  bool (*choose)(void* context, const Utf8Census& census, bool mixed, PageChoice& out) = nullptr;
  void* context = nullptr;
};

// Decodes a whole input in a page the core has no table for (the
// multi-byte pages), with the marks and counts decode_text makes.
struct ExternalDecoder {
  DecodeStatus (*decode)(void* context, const std::string& name, std::string_view input,
                         DecodeErrors errors, DecodedText& out) = nullptr;
  void* context = nullptr;
};

// How the run gets its text.
struct InputEncoding {
  bool given = false;          // the caller named the encoding; else decided from the bytes
  TextEncoding encoding = TextEncoding::Utf8;  // when given
  bool bom_names_width = false;  // given "utf-16"/"utf-32": a mark picks the byte order (else LE)
  ByteTable table{};           // when given SingleByte
  std::string name;            // when given: its name as reported
  DecodeErrors errors = DecodeErrors::Replace;
  PageChooser chooser;         // asked when the bytes do not decide (auto)
  ExternalDecoder external;    // for TextEncoding::External
};

// What the stage decided and did.
struct TextInput {
  FileBytes text;                 // UTF-8; a byte-order mark may lead (the parser passes it)
  std::vector<DecodeMark> marks;  // offsets in `text`
  DecodeStats stats;
  std::string encoding = "utf-8";       // the codec used, as reported
  EncodingSource source = EncodingSource::Utf8;
  std::string fallback;           // the fallback page's name, when there is one
  bool stray_bom = false;         // a UTF-8 mark in front of text that was not UTF-8 was dropped
  std::string error_bytes;        // Undecodable: the bytes that stopped the strict decode
  bool decoded = false;           // `text` was written by a decoder (else it is the bytes as read)
};

enum class TextInputStatus : unsigned char {
  Ok,
  Undecodable,  // errors == Strict met an undecodable byte: see out.stats
  Failed,       // the chooser or the external decoder failed
};

// Turns the bytes read into the run's text. `raw` is consumed: valid UTF-8
// moves into out.text as it is.
TextInputStatus prepare_text(FileBytes raw, const InputEncoding& how, TextInput& out);

// The name a decision without a detector reports for an encoding
// ("utf-16-le", ...); "" for SingleByte and External.
const char* encoding_name(TextEncoding encoding) noexcept;

}  // namespace rowvane
