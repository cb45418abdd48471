#include "core/text_input.hpp"

#include <algorithm>
#include <utility>

#include "core/utf8.hpp"

namespace rowvane {
namespace {

bool is_wide(TextEncoding e) noexcept {
  return e == TextEncoding::Utf16LE || e == TextEncoding::Utf16BE || e == TextEncoding::Utf32LE ||
         e == TextEncoding::Utf32BE;
}

bool is_utf16(TextEncoding e) noexcept {
  return e == TextEncoding::Utf16LE || e == TextEncoding::Utf16BE;
}

// Decodes raw[skip..] per `decoding` (or through the external decoder) into out.
TextInputStatus decode_into(const FileBytes& raw, size_t skip, const DecodeOptions& decoding,
                            const InputEncoding& how, const std::string& name, TextInput& out) {
  const std::string_view input = raw.view().substr(skip);
  DecodedText decoded;
  DecodeStatus status = DecodeStatus::Aborted;
  if (decoding.encoding == TextEncoding::External) {
    if (how.external.decode != nullptr) {
      status = how.external.decode(how.external.context, name, input, decoding.errors, decoded);
    }
  } else {
    status = decode_text(input, decoding, decoded);
  }
  out.marks = std::move(decoded.marks);
  out.stats = decoded.stats;
  if (status == DecodeStatus::Undecodable) {
    const size_t length = std::min(decoded.stats.error_length, input.size() - std::min(input.size(), decoded.stats.error_offset));
    out.error_bytes.assign(input.substr(std::min(input.size(), decoded.stats.error_offset), length));
    out.stats.error_offset += skip;  // an offset in the file as read
    return TextInputStatus::Undecodable;
  }
  if (status != DecodeStatus::Ok) return TextInputStatus::Failed;
  out.text = std::move(decoded.bytes);
  out.decoded = true;
  return TextInputStatus::Ok;
}

// The caller named the encoding.
TextInputStatus prepare_given(FileBytes raw, const InputEncoding& how, TextInput& out) {
  out.source = EncodingSource::Given;
  out.encoding = how.name;
  DecodeOptions decoding{how.encoding, nullptr, how.errors};
  size_t skip = 0;
  const BomMatch bom = match_bom(raw.view());
  if (how.encoding == TextEncoding::Utf8) {
    // Valid text goes on as read; the parser passes a leading mark itself.
    if (is_valid_utf8(raw.data.get(), raw.size)) {
      out.text = std::move(raw);
      return TextInputStatus::Ok;
    }
    if (bom.encoding == TextEncoding::Utf8) skip = bom.length;
  } else if (is_wide(how.encoding)) {
    // "utf-16" and "utf-32" take their byte order from a mark, little-endian
    // without one; a mark of the named order is passed, not decoded.
    if (how.bom_names_width && bom.length > 0 && is_utf16(bom.encoding) == is_utf16(how.encoding) &&
        bom.encoding != TextEncoding::Utf8) {
      decoding.encoding = bom.encoding;
    }
    if (bom.length > 0 && bom.encoding == decoding.encoding) skip = bom.length;
  } else if (how.encoding == TextEncoding::SingleByte) {
    decoding.table = &how.table;
  }
  return decode_into(raw, skip, decoding, how, how.name, out);
}

}  // namespace

const char* encoding_name(TextEncoding encoding) noexcept {
  switch (encoding) {
    case TextEncoding::Utf8: return "utf-8";
    case TextEncoding::Utf16LE: return "utf-16-le";
    case TextEncoding::Utf16BE: return "utf-16-be";
    case TextEncoding::Utf32LE: return "utf-32-le";
    case TextEncoding::Utf32BE: return "utf-32-be";
    case TextEncoding::SingleByte:
    case TextEncoding::External: break;
  }
  return "";
}

TextInputStatus prepare_text(FileBytes raw, const InputEncoding& how, TextInput& out) {
  if (how.given) return prepare_given(std::move(raw), how, out);

  EncodingDecision d = decide_encoding(raw.view());
  out.source = d.source;
  out.stray_bom = d.stray_bom;
  if (!d.needs_page) {
    out.encoding = encoding_name(d.encoding);
    if (d.encoding == TextEncoding::Utf8) {
      out.text = std::move(raw);  // valid UTF-8, its mark (if any) passed by the parser
      return TextInputStatus::Ok;
    }
    return decode_into(raw, d.skip, DecodeOptions{d.encoding, nullptr, how.errors}, how, out.encoding, out);
  }

  PageChoice choice;
  if (how.chooser.choose != nullptr) {
    if (!how.chooser.choose(how.chooser.context, d.census, d.mixed, choice)) return TextInputStatus::Failed;
  } else {
    // Without a detector: Windows-1252, the page most such files are in.
    choice.encoding = d.mixed ? TextEncoding::Utf8 : TextEncoding::SingleByte;
    choice.table = cp1252_table();
    choice.name = "cp1252";
  }
  DecodeOptions decoding{choice.encoding, nullptr, how.errors};
  if (choice.encoding == TextEncoding::Utf8) {
    out.source = EncodingSource::Fallback;
    out.encoding = "utf-8";
    out.fallback = choice.name;
    decoding.table = &choice.table;
  } else {
    out.source = EncodingSource::Detected;
    out.encoding = choice.name;
    if (choice.encoding == TextEncoding::SingleByte) decoding.table = &choice.table;
  }
  return decode_into(raw, d.skip, decoding, how, choice.name, out);
}

}  // namespace rowvane
