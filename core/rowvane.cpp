#include "core/rowvane.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <utility>

#include <sys/stat.h>

#include "core/dialect.hpp"
#include "core/file.hpp"
#include "core/heuristics.hpp"
#include "core/simd.hpp"
#include "core/table_reconciler.hpp"
#include "core/writer.hpp"

namespace rowvane {

namespace {

using namespace detail;

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

  sink.begin(SliceSetup{delimiter, m, count_byte(buffer, '\n') + 1, buffer.size(), options.quote_char});

  std::string sep;
  append_utf8(sep, delimiter);

  ResilientParser parser = make_parser(buffer, delimiter, options.quote_char, options.repair_quotes);
  // Most records of a real file hold no quote and already have the right
  // width: those are taken whole, without the state machine. Anything else
  // (a quote, damaged UTF-8, a width to repair) is read again by the parser.
  const bool try_plain = plain_rows_apply(delimiter, options.quote_char) && sink.takes_plain(delimiter);
  constexpr bool in_place = WritesInPlace<Sink>;
  auto keep = [&](const RowBuf& kept_row, size_t begin) {
    if constexpr (in_place) {
      sink.keep_at(kept_row, begin, parser.pos());
    } else {
      (void)begin;
      sink.keep(kept_row);
    }
  };
  RowBuf row;
  PlainRow plain;
  SimpleRow simple;
  size_t seen = 0;
  size_t kept = 0;
  size_t repaired = 0;
  for (;;) {
    const size_t line = parser.line();  // the line on which the coming row begins
    if (try_plain && !parser.at_end() && parser.scan_plain(plain) && (m == 0 || plain.fields == m)) {
      sink.keep_plain(buffer.substr(parser.pos(), plain.end - parser.pos()), plain.fields, delimiter);
      parser.pass(plain);
      ++seen;
      ++kept;
      continue;
    }
    if constexpr (in_place) {
      if (try_plain && !parser.at_end() && parser.scan_simple(simple) &&
          (m == 0 || simple.fields == m)) {
        sink.keep_simple(simple, parser.pos());
        parser.pass(simple);
        ++seen;
        ++kept;
        continue;
      }
    }
    const size_t begin = parser.pos();
    if (!parser.next_row(row)) break;
    ++seen;
    const size_t n = row.field_count();
    if (m == 0 || n == m) {
      keep(row, begin);
      ++kept;
    } else if (n < m ? options.fill_ragged_rows : options.merge_overflow) {
      if (n < m) {
        pad_row(row, m);
      } else {
        merge_row_tail(row, m, sep);
      }
      keep(row, begin);
      ++kept;
      ++repaired;
    } else {
      quarantine.push_back(QuarantineRecord{row.to_strings(), width_reason(n, m), line});
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


RowvaneError io_failure(IoError error) { return RowvaneError{std::move(error)}; }

// The byte-order mark a spreadsheet program looks for to read UTF-8.
constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

// Whether `path` names the file `id` (the same inode on the same device).
bool names_file(const std::string& path, const FileIdentity& id) noexcept {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && st.st_dev == id.dev && st.st_ino == id.ino;
}

ByteTarget& writer_target(const FileRunHooks& hooks, FileHandle& file, RunFile which) {
  if (hooks.wrap_target == nullptr) return file;
  return *hooks.wrap_target(hooks.context, file, which);
}

// Writes a side file of the run (quarantine file or change log): `header`,
// then the line `line_of(i, out)` builds for i = 0, 1, ... until it returns
// false, through an 8192-byte writer; commits it when written whole.
template <class LineOf>
IoStatus write_side_file(const FileRunHooks& hooks, const std::string& path, RunFile which,
                         const FileIdentity& input_id, int input_fd, std::string_view header,
                         const char*& step, LineOf&& line_of) {
  const InterruptCheck& interrupt = hooks.interrupt;
  step = "open";
  auto file = OutputFile::create(path, input_id, input_fd, interrupt);
  if (!file) return std::move(file).error();
  step = "write";
  {
    BufferedWriter writer(writer_target(hooks, file.value().file(), which), interrupt);
    IoStatus status = writer.write(header);
    std::string line;
    for (size_t i = 0; !status; ++i) {
      line.clear();
      if (!line_of(i, line)) break;
      status = writer.write(line);
    }
    if (!status) status = writer.flush();
    if (status) return status;
  }
  step = "rename";
  return file.value().commit();
}

// Which file of the write phase failed, at which step.
struct WriteStep {
  RunFile file = RunFile::Output;
  const char* operation = "";
};

// The write phase of a file run, once every row is reconciled: the output,
// then the quarantine file and the change log when asked for. On failure
// `where` says which file failed at which step.
IoStatus write_run_files(const FileRunHooks& hooks, const std::string& output_path,
                         const std::optional<std::string>& quarantine_path,
                         const std::optional<std::string>& changes_path, const FileIdentity& input_id,
                         int input_fd, const EncodedRecords& records,
                         const std::vector<QuarantineRecord>& quarantine, unsigned char delimiter,
                         const std::vector<ChangeRecord>& changes, bool output_bom, WriteStep& where) {
  const InterruptCheck& interrupt = hooks.interrupt;
  where = WriteStep{RunFile::Output, "open"};
  // Only now, with the input read whole, may the output replace it.
  auto output = OutputFile::create(output_path, input_id, input_fd, interrupt);
  if (!output) return std::move(output).error();
  where.operation = "write";
  {
    BufferedWriter writer(writer_target(hooks, output.value().file(), RunFile::Output), interrupt);
    // The records live in the input text and the blocks until the writer is
    // done: they are written from there, not copied first.
    IoStatus status = output_bom ? writer.write(kUtf8Bom) : std::nullopt;
    if (!status) {
      status = records.for_each([&](std::string_view record) { return writer.write_stable(record); });
    }
    if (!status) status = writer.flush();
    if (status) return status;
  }
  // An output that replaces the input stays in its temporary file until the
  // side files are written too: a failing quarantine file would otherwise
  // lose the rows set aside, whose only other copy is the input. (When a side
  // file names the input as well, the output goes first.)
  const bool side_files = quarantine_path || changes_path;
  const bool defer_output = output.value().via_temporary() && side_files &&
                            !(quarantine_path && names_file(*quarantine_path, input_id)) &&
                            !(changes_path && names_file(*changes_path, input_id));
  if (!defer_output) {
    where.operation = "rename";
    if (IoStatus status = output.value().commit()) return status;
  }
  if (quarantine_path) {
    where.file = RunFile::Quarantine;
    IoStatus status = write_side_file(
        hooks, *quarantine_path, RunFile::Quarantine, input_id, input_fd, kQuarantineHeader, where.operation,
        [&](size_t i, std::string& line) {
          if (i == quarantine.size()) return false;
          const QuarantineRecord& rec = quarantine[i];
          append_quarantine_line(line, rec.line, rec.reason, rec.fields, delimiter);
          return true;
        });
    if (status) return status;
  }
  if (changes_path) {
    where.file = RunFile::Changes;
    IoStatus status = write_side_file(hooks, *changes_path, RunFile::Changes, input_id, input_fd,
                                      kChangeLogHeader, where.operation, [&](size_t i, std::string& line) {
                                        if (i == changes.size()) return false;
                                        append_change_line(line, changes[i].line, changes[i].action, changes[i].raw, changes[i].written);
                                        return true;
                                      });
    if (status) return status;
  }
  if (defer_output) {
    where = WriteStep{RunFile::Output, "rename"};
    if (IoStatus status = output.value().commit()) return status;
  }
  output.value().file().close();
  return std::nullopt;
}

// A failure of one step on one file of a run.
RowvaneError step_failure(IoError error, const std::string& path, const char* operation) {
  RowvaneError e{std::move(error)};
  e.path = path;
  e.operation = operation;
  return e;
}

}  // namespace

SliceResult rowvane_slice(std::string_view buffer, const RunOptions& options) {
  SliceResult result;
  StoreSink sink{result.rows};
  result.summary = reconcile(buffer, options, sink, result.quarantine);
  return result;
}

Expected<FileBytes, IoError> read_whole_file(const std::string& path) {
  return read_whole_file(path, InterruptCheck{});
}

Expected<FileBytes, IoError> read_whole_file(const std::string& path,
                                             const InterruptCheck& interrupt) {
  auto file = FileHandle::open_read(path, interrupt);  // refuses a NUL byte before opening
  if (!file) return std::move(file).error();
  std::optional<FileIdentity> id = file.value().identity();
  return read_all_bytes(file.value(), id ? id->size : 0, interrupt);
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
  if (!input) return step_failure(std::move(input).error(), input_path, "open");
  // Without the input's identity an output naming the input could not be
  // told apart, and would truncate it.
  const std::optional<FileIdentity> input_id = input.value().identity();
  if (!input_id) return step_failure(IoError::from_errno(errno), input_path, "stat");
  const int input_fd = input.value().get();

  // The input text lives until the output is written: the records of its
  // plain lines are not copied out of it.
  auto bytes = read_all_bytes(input.value(), input_id->size, interrupt);
  if (!bytes) return step_failure(std::move(bytes).error(), input_path, "read");
  FileBytes& text = bytes.value();
  EncodedRecords records;
  std::vector<QuarantineRecord> quarantine;
  InPlaceEncodeSink sink{records, options.quote_char, text.data.get(), text.size};
  const RunSummary summary = reconcile(text.view(), options, sink, quarantine);

  WriteStep where;
  if (IoStatus status = write_run_files(hooks, output_path, quarantine_path, std::nullopt, *input_id,
                                        input_fd, records, quarantine,
                                        static_cast<unsigned char>(summary.detected_delimiter), {}, false,
                                        where)) {
    return step_failure(std::move(*status), where.file == RunFile::Output ? output_path : *quarantine_path,
                        where.operation);
  }
  input.value().close();
  return summary;
}

TableSliceResult rowvane_table_slice(std::string_view buffer, const RunOptions& options,
                                     bool quote_given, const TableRules& rules) {
  TableSliceResult result;
  StoreSink sink{result.rows};
  result.summary =
      TableReconciler<StoreSink>(buffer, options, quote_given, rules, sink, result.quarantine, result.changes)
          .run();
  return result;
}

namespace {

// The table file run; `text_options` null passes the bytes on as read.
// With `check` given nothing is written: the first check->change_count
// change records (the count to keep comes in there) and the number of all
// of them go there instead.
Expected<TableSummary, RowvaneError> run_table_file(
    const std::string& input_path, const std::string& output_path,
    const std::optional<std::string>& quarantine_path, const std::optional<std::string>& changes_path,
    const RunOptions& options, bool quote_given, TableRules rules, const FileRunHooks& hooks,
    const TextOptions* text_options, TableCheck* check) {
  if (has_nul(input_path) || has_nul(output_path) || (quarantine_path && has_nul(*quarantine_path)) ||
      (changes_path && has_nul(*changes_path))) {
    return io_failure(IoError::fixed(IoErrorKind::InvalidInput, kNulInPathMessage));
  }
  if (check == nullptr &&
      ((quarantine_path && same_destination(output_path, *quarantine_path)) ||
       (changes_path && same_destination(output_path, *changes_path)) ||
       (quarantine_path && changes_path && same_destination(*quarantine_path, *changes_path)))) {
    return io_failure(IoError::fixed(IoErrorKind::InvalidInput, kSameDestinationMessage));
  }
  rules.log_changes = rules.log_changes || changes_path.has_value() || check != nullptr;
  rules.interrupt = &hooks.interrupt;

  const InterruptCheck& interrupt = hooks.interrupt;
  auto input = FileHandle::open_read(input_path, interrupt);
  if (!input) return step_failure(std::move(input).error(), input_path, "open");
  const std::optional<FileIdentity> input_id = input.value().identity();
  if (!input_id) return step_failure(IoError::from_errno(errno), input_path, "stat");
  auto bytes = read_all_bytes(input.value(), input_id->size, interrupt);
  if (!bytes) return step_failure(std::move(bytes).error(), input_path, "read");

  TextInput decoded;
  std::string fallback_action;
  if (text_options == nullptr) {
    decoded.text = std::move(bytes.value());
  } else {
    switch (prepare_text(std::move(bytes.value()), text_options->input, decoded)) {
      case TextInputStatus::Ok: break;
      case TextInputStatus::Undecodable: {
        RowvaneError error =
            step_failure(IoError::fixed(IoErrorKind::InvalidInput, kUndecodableMessage), input_path, "decode");
        error.undecodable = UndecodableText{decoded.encoding, decoded.stats.error_offset,
                                            decoded.stats.error_line, decoded.error_bytes};
        return error;
      }
      case TextInputStatus::Failed:
        return step_failure(IoError::fixed(IoErrorKind::Other, kDecodeFailedMessage), input_path, "decode");
    }
    rules.marks = &decoded.marks;
    rules.set_aside_undecodable = text_options->input.errors == DecodeErrors::Quarantine;
    if (!decoded.fallback.empty()) {
      fallback_action = "decoded as " + decoded.fallback;
      rules.fallback_action = &fallback_action;
    }
  }
  FileBytes& text = decoded.text;

  EncodedRecords records;
  std::vector<QuarantineRecord> quarantine;
  std::vector<ChangeRecord> changes;
  // The sink learns the detected quote in begin().
  InPlaceEncodeSink sink{records, '"', text.data.get(), text.size};
  TableReconciler<InPlaceEncodeSink> reconciler(text.view(), options, quote_given, rules, sink, quarantine,
                                                changes);
  TableSummary summary = reconciler.run();
  if (summary.interrupted) return step_failure(interrupted_error(), input_path, "read");
  summary.encoding = decoded.encoding;
  summary.encoding_source = decoded.source;
  summary.fallback_encoding = decoded.fallback;
  summary.replaced_bytes = decoded.stats.replaced_bytes;
  summary.stray_bom = decoded.stray_bom;
  if (check != nullptr) {
    const size_t keep = check->change_count;
    check->change_count = changes.size();
    check->changes.clear();
    for (size_t i = 0; i < changes.size() && i < keep; ++i) {
      check->changes.push_back(TableCheck::Change{changes[i].line, changes[i].action, std::move(changes[i].raw)});
    }
    return summary;
  }
  WriteStep where;
  if (IoStatus status = write_run_files(hooks, output_path, quarantine_path, changes_path, *input_id,
                                        input.value().get(), records, quarantine,
                                        static_cast<unsigned char>(summary.run.detected_delimiter),
                                        changes, text_options != nullptr && text_options->output_bom,
                                        where)) {
    const std::string& path = where.file == RunFile::Output       ? output_path
                              : where.file == RunFile::Quarantine ? *quarantine_path
                                                                  : *changes_path;
    return step_failure(std::move(*status), path, where.operation);
  }
  input.value().close();
  return summary;
}

}  // namespace

Expected<TableSummary, RowvaneError> rowvane_table_file(
    const std::string& input_path, const std::string& output_path,
    const std::optional<std::string>& quarantine_path, const std::optional<std::string>& changes_path,
    const RunOptions& options, bool quote_given, TableRules rules, const FileRunHooks& hooks) {
  return run_table_file(input_path, output_path, quarantine_path, changes_path, options, quote_given,
                        rules, hooks, nullptr, nullptr);
}

Expected<TableSummary, RowvaneError> rowvane_table_file(
    const std::string& input_path, const std::string& output_path,
    const std::optional<std::string>& quarantine_path, const std::optional<std::string>& changes_path,
    const RunOptions& options, bool quote_given, TableRules rules, const FileRunHooks& hooks,
    const TextOptions& text) {
  return run_table_file(input_path, output_path, quarantine_path, changes_path, options, quote_given,
                        rules, hooks, &text, nullptr);
}

Expected<TableCheck, RowvaneError> check_table_file(const std::string& input_path, const RunOptions& options,
                                                    bool quote_given, TableRules rules,
                                                    const FileRunHooks& hooks, const TextOptions& text,
                                                    size_t keep) {
  TableCheck check;
  check.change_count = keep;
  auto run = run_table_file(input_path, std::string(), std::nullopt, std::nullopt, options, quote_given, rules,
                            hooks, &text, &check);
  if (!run) return std::move(run).error();
  check.summary = std::move(run.value());
  return check;
}

}  // namespace rowvane
