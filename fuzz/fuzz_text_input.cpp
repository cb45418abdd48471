// Fuzz target for the decode stage of a run (prepare_text): the encoding
// given or decided from the bytes, the page chooser asked when they do not
// decide, the marks handed to the table run.
//
// Input layout: byte 0 = how (bit 0: given, else decided; bits 1-3: the
// given encoding mod 6, UTF-8, UTF-16 LE, UTF-16 BE, UTF-32 LE, UTF-32 BE,
// single byte; bit 4: "utf-16"/"utf-32" whose byte order a mark names;
// bit 5: the chooser answers a single-byte page instead of cp1252's
// default; bit 6: the chooser fails), byte 1 = errors (mod 3: Replace,
// Strict, Quarantine), then the bytes.
//
// Checks, for every input:
//   - Ok gives valid UTF-8 text, marks strictly increasing inside it, and
//     counts no larger than the input; valid UTF-8 decided from the bytes
//     is passed on exactly as read, without a copy (decoded is false);
//   - Undecodable only under Strict, with an offset inside the input and
//     the bytes that stopped it taken from there;
//   - Failed only when the chooser failed and was asked;
//   - the stage never asks the chooser for valid UTF-8, nor for a given
//     encoding; its sample is no larger than the default cap.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "core/text_input.hpp"
#include "core/utf8.hpp"
#include "fuzz/fuzz_common.hpp"

namespace {

using rowvane::DecodeErrors;
using rowvane::PageChoice;
using rowvane::TextEncoding;

struct Chooser {
  bool fail = false;
  bool single_byte = false;
  int asked = 0;
};

bool choose(void* context, const rowvane::Utf8Census& census, bool mixed, PageChoice& out) {
  Chooser& c = *static_cast<Chooser*>(context);
  ++c.asked;
  FUZZ_CHECK(census.sample.size() <= (size_t{1} << 16));
  if (c.fail) return false;
  out.encoding = mixed ? TextEncoding::Utf8 : TextEncoding::SingleByte;
  out.table = rowvane::cp1252_table();
  // A page of its own: every byte above 0x7F one letter further on, 0x80
  // left undefined.
  if (c.single_byte) {
    for (size_t b = 0x80; b < 0x100; ++b) out.table[b] = b == 0x80 ? rowvane::kUnmapped : char32_t(0x400 + b);
  }
  out.name = c.single_byte ? "test-page" : "cp1252";
  return true;
}

constexpr TextEncoding kGiven[] = {TextEncoding::Utf8,    TextEncoding::Utf16LE, TextEncoding::Utf16BE,
                                   TextEncoding::Utf32LE, TextEncoding::Utf32BE, TextEncoding::SingleByte};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint8_t how_byte = data[0];
  const DecodeErrors errors = static_cast<DecodeErrors>(data[1] % 3);
  const std::string_view input(reinterpret_cast<const char*>(data + 2), size - 2);

  Chooser chooser;
  chooser.single_byte = (how_byte & 0x20) != 0;
  chooser.fail = (how_byte & 0x40) != 0;
  rowvane::InputEncoding how;
  how.errors = errors;
  how.given = (how_byte & 1) != 0;
  how.encoding = kGiven[((how_byte >> 1) & 7) % 6];
  how.bom_names_width = (how_byte & 0x10) != 0;
  how.table = rowvane::cp1252_table();
  how.name = "given";
  how.chooser = rowvane::PageChooser{&choose, &chooser};

  rowvane::FileBytes raw;
  raw.data.reset(new char[input.size() + 1]);
  if (!input.empty()) std::memcpy(raw.data.get(), input.data(), input.size());
  raw.size = input.size();
  const char* const raw_address = raw.data.get();

  rowvane::TextInput out;
  const rowvane::TextInputStatus status = rowvane::prepare_text(std::move(raw), how, out);
  const bool valid = rowvane::is_valid_utf8(input.data(), input.size());

  if (how.given || valid) FUZZ_CHECK(chooser.asked == 0);
  switch (status) {
    case rowvane::TextInputStatus::Ok: {
      const std::string_view text = out.text.view();
      FUZZ_CHECK(rowvane::is_valid_utf8(text.data(), text.size()) ||
                 (!out.decoded && valid));
      size_t last = 0;
      for (size_t k = 0; k < out.marks.size(); ++k) {
        FUZZ_CHECK(out.marks[k].offset < text.size());
        FUZZ_CHECK(k == 0 || out.marks[k].offset > last);
        last = out.marks[k].offset;
      }
      FUZZ_CHECK(out.stats.replaced_bytes + out.stats.fallback_bytes <= input.size());
      if (!how.given && valid && rowvane::wide_encoding_from_nuls(input) == TextEncoding::Utf8 &&
          rowvane::match_bom(input).encoding == TextEncoding::Utf8) {
        // Passed on as read: the same buffer, not a copy.
        FUZZ_CHECK(!out.decoded && out.text.data.get() == raw_address && out.text.size == input.size());
      }
      break;
    }
    case rowvane::TextInputStatus::Undecodable:
      FUZZ_CHECK(errors == DecodeErrors::Strict);
      FUZZ_CHECK(out.stats.error_offset < input.size() && out.stats.error_line >= 1);
      FUZZ_CHECK(!out.error_bytes.empty() &&
                 input.substr(out.stats.error_offset, out.error_bytes.size()) == out.error_bytes);
      break;
    case rowvane::TextInputStatus::Failed:
      FUZZ_CHECK(chooser.fail && chooser.asked == 1);
      break;
  }
  return 0;
}
