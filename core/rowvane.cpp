#include "core/rowvane.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <utility>

#include <sys/stat.h>

#include "core/file.hpp"
#include "core/heuristics.hpp"
#include "core/writer.hpp"

namespace rowvane {

namespace {

std::string column_reason(const char* prefix, size_t columns) {
  std::string reason(prefix);
  reason += std::to_string(columns);
  reason += ')';
  return reason;
}

// Pads `row` to `m` fields with empty ones.
void pad_row(RowBuf& row, size_t m) {
  row.ends.resize(m, row.bytes.size());
}

// Joins fields m-1 .. n-1 of `row` into its m-th and last field with `sep`
// between neighbours. Done in place from the back: each surplus field moves
// right by the separators that now precede it, so nothing is overwritten
// before it has moved.
void merge_row_tail(RowBuf& row, size_t m, std::string_view sep) {
  const size_t n = row.field_count();
  const size_t old_size = row.bytes.size();
  row.bytes.resize(old_size + (n - m) * sep.size());
  char* data = row.bytes.data();
  for (size_t i = n - 1; i >= m; --i) {
    const size_t begin = row.ends[i - 1];
    const size_t shift = (i - (m - 1)) * sep.size();
    std::memmove(data + begin + shift, data + begin, row.ends[i] - begin);
    std::memcpy(data + begin + shift - sep.size(), sep.data(), sep.size());
  }
  row.ends.resize(m);
  row.ends[m - 1] = row.bytes.size();
}

// What the row loop settled before its first row.
struct SliceSetup {
  unsigned char delimiter;
  size_t columns;         // 0: no count enforced
  size_t expected_rows;   // LF count + 1
  size_t buffer_bytes;
};

// The reconciliation loop, shared by the reader (kept rows into a RowStore)
// and the file run (kept rows encoded straight into output records). A Sink
// has begin(const SliceSetup&) and keep(const RowBuf&).
template <class Sink>
RunSummary reconcile(std::string_view buffer, const RunOptions& options, Sink& sink,
                     std::vector<QuarantineRecord>& quarantine) {
  RunSummary summary;  // "," and all counts 0, which is the empty buffer's answer
  if (buffer.empty()) return summary;

  // When sniffing read every row of the buffer for the winning delimiter, its
  // counts are exactly what inference would tally: no second parse.
  unsigned char delimiter;
  std::optional<size_t> sniffed_columns;
  if (options.delimiter) {
    delimiter = *options.delimiter;
  } else {
    const SniffOutcome sniffed = sniff_delimiter_outcome(buffer);
    delimiter = sniffed.delimiter;
    if (sniffed.whole_buffer) sniffed_columns = column_count_of(sniffed.counts);
  }
  const size_t m = options.expected_columns ? *options.expected_columns
                   : sniffed_columns        ? *sniffed_columns
                                            : infer_column_count(buffer, delimiter);

  sink.begin(SliceSetup{delimiter, m, count_byte(buffer, '\n') + 1, buffer.size()});

  std::string sep;
  append_byte_as_utf8(sep, delimiter);

  ResilientParser parser = make_parser(buffer, delimiter, options.quote_char, options.repair_quotes);
  // Most records of a real file hold no quote and already have the right
  // width: those are taken whole, without the state machine. Anything else
  // (a quote, damaged UTF-8, a width to repair) is read again by the parser.
  const bool try_plain = plain_rows_apply(delimiter, options.quote_char) && sink.takes_plain(delimiter);
  RowBuf row;
  PlainRow plain;
  size_t seen = 0;
  size_t kept = 0;
  size_t repaired = 0;
  for (;;) {
    const size_t line = parser.line;  // the line on which the coming row begins
    if (try_plain && parser.pos < buffer.size() &&
        scan_plain_row(buffer, parser.pos, delimiter, options.quote_char, plain) &&
        (m == 0 || plain.fields == m)) {
      sink.keep_plain(buffer.substr(parser.pos, plain.end - parser.pos), plain.fields, delimiter);
      parser.pos = plain.next;
      parser.line += plain.line_break ? 1 : 0;
      ++seen;
      ++kept;
      continue;
    }
    if (!next_row(parser, row)) break;
    ++seen;
    const size_t n = row.field_count();
    if (m == 0 || n == m) {
      sink.keep(row);
      ++kept;
    } else if (n < m) {
      if (options.fill_ragged_rows) {
        pad_row(row, m);
        sink.keep(row);
        ++kept;
        ++repaired;
      } else {
        quarantine.push_back(QuarantineRecord{
            row.to_strings(), column_reason("Row has too few columns (expected ", m), line});
      }
    } else if (options.merge_overflow) {
      merge_row_tail(row, m, sep);
      sink.keep(row);
      ++kept;
      ++repaired;
    } else {
      quarantine.push_back(QuarantineRecord{
          row.to_strings(), column_reason("Row has extra columns (expected ", m), line});
    }
  }

  summary.detected_delimiter = static_cast<char32_t>(delimiter);
  summary.total_rows = seen;
  summary.rowvaned_rows = kept;
  summary.repaired_rows = repaired;
  summary.quarantined_rows = quarantine.size();
  summary.inferred_columns = m;
  return summary;
}

// Kept rows into the compact store handed to Python by the reader.
struct StoreSink {
  RowStore& store;

  void begin(const SliceSetup& s) {
    // Field texts never exceed the input (delimiters, quotes and line breaks
    // drop out) except through U+FFFD repairs, which are rare enough to pay
    // for one regrowth. Each kept row holds `columns` fields; capped by what
    // the input can yield without padding, so an absurd expected_columns
    // cannot make the reservation itself fail.
    const size_t rows = s.expected_rows;
    const size_t per_row = std::max<size_t>(s.columns, 1);
    const size_t field_cap = s.buffer_bytes + rows;
    const size_t fields = per_row > field_cap / rows ? field_cap : rows * per_row;
    store.reserve(rows, s.buffer_bytes, fields);
  }
  void keep(const RowBuf& row) { store.push(row); }
  bool takes_plain(unsigned char) const noexcept { return true; }
  void keep_plain(std::string_view text, size_t fields, unsigned char delimiter) {
    store.push_split(text, fields, delimiter);
  }
};

// Kept rows encoded as output records, for the file run.
struct EncodeSink {
  EncodedRecords& records;
  unsigned char quote;
  const char* input_end;  // one past the input text the plain lines lie in

  void begin(const SliceSetup& s) {
    records.begin(s.delimiter, quote, s.expected_rows, s.buffer_bytes);
  }
  void keep(const RowBuf& row) { records.push(row); }
  // A plain line is its own record only while the separator and the quote are
  // one byte each: a quote from 0x80 on is written as two bytes (0xB0 as
  // C2 B0) that a plain line may hold as text, and such a field needs quotes.
  bool takes_plain(unsigned char delimiter) const noexcept {
    return delimiter < 0x80 && quote < 0x80;
  }
  // A line that ends in a lone LF is already its record: it stays in the
  // input text, which the file run keeps until the records are written.
  void keep_plain(std::string_view text, size_t, unsigned char) {
    const char* end = text.data() + text.size();
    if (end < input_end && *end == '\n') {
      records.push_borrowed(std::string_view(text.data(), text.size() + 1));
    } else {
      records.push_plain(text);
    }
  }
};

RowvaneError io_failure(IoError error) { return RowvaneError{std::move(error)}; }

// Whether `path` names the file `id` (the same inode on the same device).
bool names_file(const std::string& path, const FileIdentity& id) noexcept {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && st.st_dev == id.dev && st.st_ino == id.ino;
}

ByteTarget& writer_target(const FileRunHooks& hooks, FileHandle& file, RunFile which) {
  if (hooks.wrap_target == nullptr) return file;
  return *hooks.wrap_target(hooks.context, file, which);
}

}  // namespace

SliceResult rowvane_slice(std::string_view buffer, const RunOptions& options) {
  SliceResult result;
  StoreSink sink{result.rows};
  result.summary = reconcile(buffer, options, sink, result.quarantine);
  return result;
}

Expected<std::string, IoError> read_whole_file(const std::string& path) {
  return read_whole_file(path, InterruptCheck{});
}

Expected<std::string, IoError> read_whole_file(const std::string& path,
                                               const InterruptCheck& interrupt) {
  auto file = FileHandle::open_read(path, interrupt);  // refuses a NUL byte before opening
  if (!file) return std::move(file).error();
  std::optional<FileIdentity> id = file.value().identity();
  return read_all(file.value(), id ? id->size : 0, interrupt);
}

Expected<RunSummary, RowvaneError> rowvane_file(const std::string& input_path,
                                                const std::string& output_path,
                                                const std::optional<std::string>& quarantine_path,
                                                const RunOptions& options) {
  return rowvane_file(input_path, output_path, quarantine_path, options, FileRunHooks{});
}

Expected<RunSummary, RowvaneError> rowvane_file(const std::string& input_path,
                                                const std::string& output_path,
                                                const std::optional<std::string>& quarantine_path,
                                                const RunOptions& options,
                                                const FileRunHooks& hooks) {
  // A name with a NUL byte cannot be opened; refuse the run before any file
  // is opened rather than after the output was written.
  if (has_nul(input_path) || has_nul(output_path) ||
      (quarantine_path && has_nul(*quarantine_path))) {
    return io_failure(IoError::fixed(IoErrorKind::InvalidInput, kNulInPathMessage));
  }

  // The quarantine file is opened with O_TRUNC after the output was written:
  // were they one file, the kept rows would be gone and the run would still
  // report success.
  if (quarantine_path && same_destination(output_path, *quarantine_path)) {
    return io_failure(IoError::fixed(IoErrorKind::InvalidInput, kSameDestinationMessage));
  }

  const InterruptCheck& interrupt = hooks.interrupt;
  auto input = FileHandle::open_read(input_path, interrupt);
  if (!input) return io_failure(std::move(input).error());
  // Without the input's identity an output naming the input could not be
  // told apart, and would truncate it.
  const std::optional<FileIdentity> input_id = input.value().identity();
  if (!input_id) return io_failure(IoError::from_errno(errno));
  const int input_fd = input.value().get();

  // The input text lives until the output is written: the records of its
  // plain lines are not copied out of it.
  auto bytes = read_all(input.value(), input_id->size, interrupt);
  if (!bytes) return io_failure(std::move(bytes).error());
  const std::string& text = bytes.value();
  EncodedRecords records;
  std::vector<QuarantineRecord> quarantine;
  EncodeSink sink{records, options.quote_char, text.data() + text.size()};
  const RunSummary summary = reconcile(text, options, sink, quarantine);

  // Only now, with the input read whole, may the output replace it.
  auto output = OutputFile::create(output_path, input_id, input_fd, interrupt);
  if (!output) return io_failure(std::move(output).error());
  {
    BufferedWriter writer(writer_target(hooks, output.value().file(), RunFile::Output), interrupt);
    IoStatus status = records.for_each([&](std::string_view record) { return writer.write(record); });
    if (!status) status = writer.flush();
    if (status) return io_failure(std::move(*status));
  }
  // An output that replaces the input stays in its temporary file until the
  // quarantine file is written too: a failing quarantine file would otherwise
  // lose the rows set aside, whose only other copy is the input. (When the
  // quarantine file names the input as well, the output goes first.)
  const bool defer_output = output.value().via_temporary() && quarantine_path &&
                            !names_file(*quarantine_path, *input_id);
  if (!defer_output) {
    if (IoStatus status = output.value().commit()) return io_failure(std::move(*status));
  }

  if (quarantine_path) {
    auto qfile = OutputFile::create(*quarantine_path, input_id, input_fd, interrupt);
    if (!qfile) return io_failure(std::move(qfile).error());
    {
      BufferedWriter writer(writer_target(hooks, qfile.value().file(), RunFile::Quarantine),
                            interrupt);
      IoStatus status = writer.write(kQuarantineHeader);
      std::string line;
      const unsigned char delimiter = static_cast<unsigned char>(summary.detected_delimiter);
      for (size_t i = 0; !status && i < quarantine.size(); ++i) {
        const QuarantineRecord& rec = quarantine[i];
        line.clear();
        append_quarantine_line(line, rec.line, rec.reason, rec.fields, delimiter);
        status = writer.write(line);
      }
      if (!status) status = writer.flush();
      if (status) return io_failure(std::move(*status));
    }
    if (IoStatus status = qfile.value().commit()) return io_failure(std::move(*status));
  }  // the quarantine file closes here
  if (defer_output) {
    if (IoStatus status = output.value().commit()) return io_failure(std::move(*status));
  }
  output.value().file().close();
  input.value().close();
  return summary;
}

}  // namespace rowvane
