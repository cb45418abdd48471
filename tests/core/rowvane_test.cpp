#include "core/rowvane.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/time.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "core/file.hpp"
#include "core/heuristics.hpp"
#include "core/writer.hpp"

namespace rowvane {
namespace {

namespace fs = std::filesystem;
using Rows = std::vector<std::vector<std::string>>;

Rows rows_of(const RowStore& store) {
  Rows rows;
  for (size_t i = 0; i < store.size(); ++i) rows.push_back(store.row_strings(i));
  return rows;
}

RunOptions opts(std::optional<unsigned char> delimiter = std::nullopt,
                std::optional<size_t> columns = std::nullopt, bool fill = true,
                bool merge = true, unsigned char quote = '"') {
  RunOptions o;
  o.delimiter = delimiter;
  o.expected_columns = columns;
  o.fill_ragged_rows = fill;
  o.merge_overflow = merge;
  o.quote_char = quote;
  return o;
}

// ---------------------------------------------------------------------------
// Reconciliation over a buffer

struct Quarantined {
  std::vector<std::string> fields;
  std::string reason;
  size_t line;
};

struct SliceCase {
  const char* name;
  std::string input;
  RunOptions options;
  Rows rows;
  std::vector<Quarantined> quarantine;
  char32_t delimiter;
  size_t columns;
  size_t repaired;
};

const std::string kFew2 = "Row has too few columns (expected 2)";
const std::string kExtra2 = "Row has extra columns (expected 2)";

TEST(RowvaneSliceTest, Table) {
  const SliceCase cases[] = {
      {"empty buffer ignores options", "", opts(';', 5), {}, {}, U',', 0, 0},
      {"bom only", "\xEF\xBB\xBF", opts(), {}, {}, U',', 0, 0},
      {"bom never reaches a field", "\xEF\xBB\xBF" "a,b\n1,2\n", opts(), {{"a", "b"}, {"1", "2"}}, {},
       U',', 2, 0},
      {"sniffed delimiter, inferred columns", "a;b;c\n1;2;3\n4;5\n", opts(),
       {{"a", "b", "c"}, {"1", "2", "3"}, {"4", "5", ""}}, {}, U';', 3, 1},
      {"given delimiter is used as is", "a,b;c\n", opts(';'), {{"a,b", "c"}}, {}, U';', 2, 0},
      {"zero columns keeps every row", "a,b\nc\n", opts(std::nullopt, 0), {{"a", "b"}, {"c"}}, {},
       U',', 0, 0},
      {"blank lines only infer zero", "\n  \n\n", opts(), {{""}, {"  "}, {""}}, {}, U',', 0, 0},
      {"pad short and blank rows", "a,b\n\nx,y,z\n", opts(std::nullopt, 3),
       {{"a", "b", ""}, {"", "", ""}, {"x", "y", "z"}}, {}, U',', 3, 2},
      {"merge into the last column", "a;b;c;d\n", opts(';', 2), {{"a", "b;c;d"}}, {}, U';', 2, 1},
      {"merge everything into one column", "a,b,c\n,\n", opts(',', 1), {{"a,b,c"}, {","}}, {},
       U',', 1, 2},
      {"merge loses the quotes of merged fields", "a,\"b,c\",,d\n", opts(',', 2),
       {{"a", "b,c,,d"}}, {}, U',', 2, 1},
      {"merge separator is the delimiter as UTF-8", "a\xA7" "b\xA7" "c\n", opts(0xA7, 2),
       {{"a", "b\xC2\xA7" "c"}}, {}, U'\u00A7', 2, 1},
      {"short rows quarantined", "a,b\nx\n\n", opts(',', 2, false),
       {{"a", "b"}}, {{{"x"}, kFew2, 2}, {{""}, kFew2, 3}}, U',', 2, 0},
      {"long rows quarantined", "a,b,c\nx,y\n", opts(',', 2, true, false),
       {{"x", "y"}}, {{{"a", "b", "c"}, kExtra2, 1}}, U',', 2, 0},
      {"reason in plain decimal", "a\n", opts(',', 12, false),
       {}, {{{"a"}, "Row has too few columns (expected 12)", 1}}, U',', 12, 0},
      // The line is where the row begins: after a multi-line quoted field the
      // count jumps, and an unterminated last line keeps its own number.
      {"quarantine lines", "h1,h2\n\"x\ny\",z,extra\nq\r\nlast", opts(',', 2, false, false),
       {{"h1", "h2"}},
       {{{"x\ny", "z", "extra"}, kExtra2, 2}, {{"q"}, kFew2, 4}, {{"last"}, kFew2, 5}}, U',', 2, 0},
      // Inference always parses with the double quote; only the row loop uses
      // the quote option.
      {"quote option reaches the row loop only", "'a,b',c\n", opts(',', std::nullopt, true, true, '\''),
       {{"a,b", "c", ""}}, {}, U',', 3, 1},
  };
  for (const SliceCase& c : cases) {
    SCOPED_TRACE(c.name);
    SliceResult r = rowvane_slice(c.input, c.options);
    EXPECT_EQ(rows_of(r.rows), c.rows);
    ASSERT_EQ(r.quarantine.size(), c.quarantine.size());
    for (size_t i = 0; i < c.quarantine.size(); ++i) {
      EXPECT_EQ(r.quarantine[i].fields, c.quarantine[i].fields);
      EXPECT_EQ(r.quarantine[i].reason, c.quarantine[i].reason);
      EXPECT_EQ(r.quarantine[i].line, c.quarantine[i].line);
    }
    const RunSummary& s = r.summary;
    EXPECT_EQ(s.detected_delimiter, c.delimiter);
    EXPECT_EQ(s.inferred_columns, c.columns);
    EXPECT_EQ(s.rowvaned_rows, c.rows.size());
    EXPECT_EQ(s.quarantined_rows, c.quarantine.size());
    EXPECT_EQ(s.total_rows, s.rowvaned_rows + s.quarantined_rows);
    EXPECT_EQ(s.repaired_rows, c.repaired);
  }
}

// ---------------------------------------------------------------------------
// Record encoding and quarantine lines

struct EncodeCase {
  const char* name;
  unsigned char delimiter;
  unsigned char quote;
  std::vector<std::string> fields;
  std::string record;
};

RowBuf row_buf(const std::vector<std::string>& fields) {
  RowBuf row;
  for (const std::string& f : fields) {
    row.bytes += f;
    row.ends.push_back(row.bytes.size());
  }
  return row;
}

TEST(CsvRecordEncoderTest, Table) {
  const EncodeCase cases[] = {
      {"plain", ',', '"', {"a", "b"}, "a,b\n"},
      {"quote doubled", ',', '"', {"c,d", "e\"f"}, "\"c,d\",\"e\"\"f\"\n"},
      {"lone CR quoted", ',', '"', {"\r"}, "\"\r\"\n"},
      {"LF quoted", ',', '"', {"x\ny"}, "\"x\ny\"\n"},
      {"blanks and controls stay bare", ',', '"', {" a\t", "\x01", "\xC3\xA9"},
       " a\t,\x01,\xC3\xA9\n"},
      {"empty fields are nothing", ',', '"', {"", ""}, ",\n"},
      {"single empty field is an empty line", ',', '"', {""}, "\n"},
      {"comma is text under ;", ';', '"', {"a,b", "c;d"}, "a,b;\"c;d\"\n"},
      {"apostrophe quote", ',', '\'', {"it's", "say \"x\""}, "'it''s',say \"x\"\n"},
      {"two-byte separator", 0xA7, '"', {"b\xC2\xA7" "c", "\xC2\xA9"},
       "\"b\xC2\xA7" "c\"\xC2\xA7\xC2\xA9\n"},
      {"trigger past the first eight bytes", ',', '"', {"abcdefghijkl", "0123456789\"x"},
       "abcdefghijkl,\"0123456789\"\"x\"\n"},
      {"long bare fields", ';', '"', {"abcdefghijklmnopq", "rst,uvwxyz"}, "abcdefghijklmnopq;rst,uvwxyz\n"},
      {"lead byte of a two-byte separator alone", 0xA7, '"', {"abcdefgh\xC2\xA9ijk", "\xC2\xA7"},
       "abcdefgh\xC2\xA9ijk\xC2\xA7\"\xC2\xA7\"\n"},
      {"two-byte quote", ',', 0xA7, {"x\xC2\xA7y", "\xC2\xA9"},
       "\xC2\xA7x\xC2\xA7\xC2\xA7y\xC2\xA7,\xC2\xA9\n"},
  };
  for (const EncodeCase& c : cases) {
    SCOPED_TRACE(c.name);
    CsvRecordEncoder enc(c.delimiter, c.quote);
    RowBuf row = row_buf(c.fields);
    std::string out;
    enc.append_record(row, out);
    EXPECT_EQ(out, c.record);
    EXPECT_EQ(enc.plan(row).size, out.size());
  }
}

TEST(QuarantineLineTest, Format) {
  std::string out;
  append_quarantine_line(out, 7, kExtra2, {"x\"y", "z", "w"}, ';');
  EXPECT_EQ(out, "7,\"Row has extra columns (expected 2)\",\"x\"\"y;z;w\"\n");
  out.clear();
  append_quarantine_line(out, 12, "r\"", {"a\r\nb", ""}, 0xA7);
  EXPECT_EQ(out, "12,\"r\"\"\",\"a\r\nb\xC2\xA7\"\n");
  EXPECT_EQ(kQuarantineHeader.size(), 24u);
}

// ---------------------------------------------------------------------------
// Buffered writer under injected faults

// Records every call; answers from a script, then accepts up to `limit`.
struct ScriptedTarget final : ByteTarget {
  std::vector<ssize_t> script;  // answers consumed first; >0 = accept that many
  size_t limit = SIZE_MAX;
  std::vector<size_t> calls;
  std::string data;
  ssize_t write_some(const char* p, size_t n) noexcept override {
    calls.push_back(n);
    ssize_t r = static_cast<ssize_t>(std::min(n, limit));
    if (!script.empty()) {
      r = std::min<ssize_t>(script.front(), static_cast<ssize_t>(n));
      script.erase(script.begin());
    }
    if (r > 0) data.append(p, static_cast<size_t>(r));
    return r;
  }
};

TEST(BufferedWriterTest, WritePattern) {
  struct Case {
    const char* name;
    std::vector<size_t> writes;
    std::vector<size_t> calls;  // sizes handed to the target, flush included
  };
  const Case cases[] = {
      {"held until full", {3000, 3000, 3000}, {6000, 3000}},
      {"exactly the free space is held", {8000, 192, 1}, {8192, 1}},
      {"large record in one piece of its own", {10, 9000, 5}, {10, 9000, 5}},
      {"8192 bytes into an empty buffer go straight out", {8192}, {8192}},
      {"8191 and 1 byte fill the buffer", {8191, 1}, {8192}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedTarget t;
    std::string expected;
    {
      BufferedWriter w(t);
      char fill = 'a';
      for (size_t n : c.writes) {
        std::string text(n, fill++);
        expected += text;
        ASSERT_FALSE(w.write(text));
      }
      ASSERT_FALSE(w.flush());
    }
    EXPECT_EQ(t.calls, c.calls);
    EXPECT_EQ(t.data, expected);
  }
}

TEST(BufferedWriterTest, Faults) {
  struct Case {
    const char* name;
    std::vector<ssize_t> script;
    size_t record;  // < 8192: held and flushed; otherwise written straight
    std::string error;  // empty: success
  };
  const Case cases[] = {
      {"short writes continue", {100, 1, 5000}, 6000, ""},
      {"EINTR is retried", {-EINTR, -EINTR}, 6000, ""},
      {"EINTR is retried when writing straight", {-EINTR, 10}, 9000, ""},
      {"zero while emptying the buffer", {10, 0}, 6000, "failed to write the buffered data"},
      {"zero while writing straight", {0}, 9000, "failed to write whole buffer"},
      {"ENOSPC", {-ENOSPC}, 6000, "No space left on device (os error 28)"},
      {"ENOSPC when writing straight", {100, -ENOSPC}, 9000, "No space left on device (os error 28)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedTarget t;
    t.script = c.script;
    const std::string text(c.record, 'x');
    BufferedWriter w(t);
    IoStatus status = w.write(text);
    if (!status) status = w.flush();
    if (c.error.empty()) {
      EXPECT_FALSE(status);
      EXPECT_EQ(t.data, text);
    } else {
      ASSERT_TRUE(status);
      EXPECT_EQ(status->display(), c.error);
      EXPECT_EQ(status->kind(), c.error.rfind("failed", 0) == 0 ? IoErrorKind::WriteZero
                                                                : IoErrorKind::Other);
    }
  }
}

TEST(BufferedWriterTest, ClosingAttemptWritesTheRest) {
  ScriptedTarget t;
  t.script = {100, 0};
  {
    BufferedWriter w(t);
    ASSERT_FALSE(w.write(std::string(500, 'y')));
    ASSERT_TRUE(w.flush());
    EXPECT_EQ(w.buffered(), 400u);  // the accepted 100 bytes left the buffer
  }
  EXPECT_EQ(t.data, std::string(500, 'y'));
}

// ---------------------------------------------------------------------------
// File run

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/rowvane_test.XXXXXX";
    path_ = ::mkdtemp(tmpl);
  }
  ~TempDir() { fs::remove_all(path_); }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }
  std::vector<std::string> names() const {
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(path_)) out.push_back(e.path().filename());
    std::sort(out.begin(), out.end());
    return out;
  }

 private:
  std::string path_;
};

void put(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string get(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

struct FileCase {
  const char* name;
  std::string input;
  RunOptions options;
  std::string output;
  std::optional<std::string> quarantine;  // nullopt: no quarantine path given
};

TEST(RowvaneFileTest, OutputAndQuarantineBytes) {
  const std::string header(kQuarantineHeader);
  const FileCase cases[] = {
      {"quoting", "a,b\n\"c,d\",\"e\"\"f\"\n", opts(),
       "\x61\x2C\x62\x0A\x22\x63\x2C\x64\x22\x2C\x22\x65\x22\x22\x66\x22\x0A", header},
      {"quarantine line", "a;b\na;b\na;b\na;b\na;b\na;b\n\"x\"\"y\";z;w\n", opts(std::nullopt, 2, true, false),
       "a;b\na;b\na;b\na;b\na;b\na;b\n",
       header + "7,\"Row has extra columns (expected 2)\",\"x\"\"y;z;w\"\n"},
      {"apostrophe quote; quarantine keeps double quotes", "'it''s',\"q\"\nx\n",
       opts(',', 2, false, true, '\''), "'it''s',\"q\"\n",
       header + "2,\"Row has too few columns (expected 2)\",\"x\"\n"},
      {"BOM dropped, CRLF to LF", "\xEF\xBB\xBF" "a,b\r\nc,d\r\n", opts(), "a,b\nc,d\n", header},
      {"no rows kept: empty output", "a\nb\n", opts(',', 2, false), "",
       header + "1,\"Row has too few columns (expected 2)\",\"a\"\n"
                "2,\"Row has too few columns (expected 2)\",\"b\"\n"},
      {"empty input", "", opts(), "", header},
      {"set-aside rows only counted without a quarantine path", "a|b|c\n1|2\n", opts(std::nullopt, 3, false),
       "a|b|c\n", std::nullopt},
  };
  for (const FileCase& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    put(dir / "in.csv", c.input);
    put(dir / "out.csv", "stale content to be truncated");
    auto r = rowvane_file(dir / "in.csv", dir / "out.csv",
                          c.quarantine ? std::optional(dir / "q.csv") : std::nullopt, c.options);
    ASSERT_TRUE(r) << r.error().display();
    EXPECT_EQ(get(dir / "out.csv"), c.output);
    EXPECT_EQ(get(dir / "in.csv"), c.input);
    if (c.quarantine) {
      EXPECT_EQ(get(dir / "q.csv"), *c.quarantine);
    } else {
      EXPECT_FALSE(fs::exists(dir / "q.csv"));
      EXPECT_EQ(r.value().quarantined_rows, 1u);
    }
  }
}

TEST(RowvaneFileTest, Failures) {
  struct Case {
    const char* name;
    std::string input;  // relative names inside the temp dir
    std::string output;
    std::optional<std::string> quarantine;
    std::string error;
    std::vector<std::string> files_after;  // besides in.csv and the dir "d"
    bool output_complete;
  };
  const std::string nul("x\0y", 3);
  const Case cases[] = {
      {"missing input", "missing.csv", "out.csv", "q.csv", "No such file or directory (os error 2)", {}, false},
      {"input is a directory", "d", "out.csv", "q.csv", "Is a directory (os error 21)", {}, false},
      {"output in a missing directory", "in.csv", "nodir/out.csv", "q.csv",
       "No such file or directory (os error 2)", {}, false},
      {"output is a directory", "in.csv", "d", "q.csv", "Is a directory (os error 21)", {}, false},
      {"unwritable quarantine after complete output", "in.csv", "out.csv", "d",
       "Is a directory (os error 21)", {"out.csv"}, true},
      {"NUL in the input path", nul, "out.csv", "q.csv", kNulInPathMessage, {}, false},
      {"NUL in the quarantine path opens nothing", "in.csv", "out.csv", nul, kNulInPathMessage, {}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    fs::create_directory(dir / "d");
    put(dir / "in.csv", "a,b\n1,2\n");
    auto r = rowvane_file(dir / c.input, dir / c.output,
                          c.quarantine ? std::optional(dir / *c.quarantine) : std::nullopt, opts());
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().display(), c.error);
    std::vector<std::string> expected = {"d", "in.csv"};
    expected.insert(expected.end(), c.files_after.begin(), c.files_after.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(dir.names(), expected);
    if (c.output_complete) {
      EXPECT_EQ(get(dir / "out.csv"), "a,b\n1,2\n");
    }
  }
}

TEST(RowvaneFileTest, DeviceFiles) {
  TempDir dir;
  put(dir / "in.csv", "a,b\n");
  auto full = rowvane_file(dir / "in.csv", "/dev/full", std::nullopt, opts());
  ASSERT_FALSE(full);
  EXPECT_EQ(full.error().display(), "No space left on device (os error 28)");

  // A device as input and output at once has one inode too, but is no file
  // to replace. A private null device keeps a faulty run away from the
  // system's own.
  const std::string null = dir / "null";
  if (::mknod(null.c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0) GTEST_SKIP() << "mknod not permitted";
  auto r = rowvane_file(null, null, null, opts());
  if (!r && r.error().io.kind() == IoErrorKind::PermissionDenied) GTEST_SKIP() << "nodev filesystem";
  ASSERT_TRUE(r) << r.error().display();
  EXPECT_EQ(r.value().total_rows, 0u);
  EXPECT_TRUE(fs::is_character_file(null));
  EXPECT_EQ(dir.names(), (std::vector<std::string>{"in.csv", "null"}));
}

// Forwards to the real file, failing with `err` once `budget` bytes went by.
struct FailAfter final : ByteTarget {
  ByteTarget* file = nullptr;
  RunFile only = RunFile::Output;
  size_t budget = 0;
  int err = ENOSPC;
  std::vector<size_t> calls;
  ssize_t write_some(const char* p, size_t n) noexcept override {
    calls.push_back(n);
    if (budget == 0) return -err;
    ssize_t r = file->write_some(p, std::min(n, budget));
    if (r > 0) budget -= static_cast<size_t>(r);
    return r;
  }
  static ByteTarget* wrap(void* ctx, ByteTarget& file, RunFile which) {
    auto* self = static_cast<FailAfter*>(ctx);
    if (which != self->only) return &file;
    self->file = &file;
    return self;
  }
};

std::string numbered_rows(size_t n) {
  std::string s;
  for (size_t i = 0; i < n; ++i) s += std::to_string(i) + ",row " + std::to_string(i) + "\n";
  return s;
}

TEST(RowvaneFileTest, PartialFilesAfterWriteFailure) {
  const std::string input = numbered_rows(2000);  // well over one buffer
  for (RunFile which : {RunFile::Output, RunFile::Quarantine}) {
    SCOPED_TRACE(which == RunFile::Output ? "output" : "quarantine");
    TempDir dir;
    put(dir / "in.csv", input);
    FailAfter fault;
    fault.only = which;
    fault.budget = which == RunFile::Output ? 8192 + 100 : 10;
    auto r = rowvane_file(dir / "in.csv", dir / "out.csv", dir / "q.csv", opts(),
                          FileRunHooks{&FailAfter::wrap, &fault});
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().display(), "No space left on device (os error 28)");
    if (which == RunFile::Output) {
      EXPECT_EQ(get(dir / "out.csv"), input.substr(0, 8192 + 100));
      EXPECT_FALSE(fs::exists(dir / "q.csv"));
    } else {
      EXPECT_EQ(get(dir / "out.csv"), input);
      EXPECT_EQ(get(dir / "q.csv"), std::string(kQuarantineHeader.substr(0, 10)));
    }
  }
}

TEST(RowvaneFileTest, BlocksOfAtMost8192BytesExceptLargeRecords) {
  TempDir dir;
  std::string input = numbered_rows(1000) + "big," + std::string(10000, 'z') + "\n" + numbered_rows(10);
  put(dir / "in.csv", input);
  FailAfter spy;
  spy.budget = SIZE_MAX;
  auto r = rowvane_file(dir / "in.csv", dir / "out.csv", std::nullopt, opts(),
                        FileRunHooks{&FailAfter::wrap, &spy});
  ASSERT_TRUE(r);
  EXPECT_EQ(get(dir / "out.csv"), input);
  size_t large = 0;
  for (size_t n : spy.calls) {
    if (n > 8192) {
      EXPECT_EQ(n, 10000u + 5u);
      ++large;
    }
  }
  EXPECT_EQ(large, 1u);
}

TEST(RowvaneFileTest, InPlaceRewrite) {
  struct Case {
    const char* name;
    bool output_is_input;       // else the quarantine file is the input
    bool via_symlink;           // the path names the input through a link
    size_t fail_after;          // SIZE_MAX: no failure
  };
  const Case cases[] = {
      {"output is the input", true, false, SIZE_MAX},
      {"output links to the input", true, true, SIZE_MAX},
      {"quarantine is the input", false, false, SIZE_MAX},
      {"failure midway leaves the input", true, false, 9000},
      {"quarantine failure leaves the input", false, false, 10},
  };
  const std::string input = "\xEF\xBB\xBF" + numbered_rows(1500) + "short\r\n";
  const std::string repaired = numbered_rows(1500) + "short,\n";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    put(dir / "in.csv", input);
    ASSERT_EQ(::chmod((dir / "in.csv").c_str(), 0640), 0);
    if (c.via_symlink) fs::create_symlink(dir / "in.csv", dir / "link.csv");
    const std::string self = c.via_symlink ? dir / "link.csv" : dir / "in.csv";
    struct stat before;
    ::stat((dir / "in.csv").c_str(), &before);

    FailAfter fault;
    fault.only = c.output_is_input ? RunFile::Output : RunFile::Quarantine;
    fault.budget = c.fail_after;
    const FileRunHooks hooks{&FailAfter::wrap, &fault};
    auto r = c.output_is_input
                 ? rowvane_file(dir / "in.csv", self, std::nullopt, opts(), hooks)
                 : rowvane_file(dir / "in.csv", dir / "out.csv", self, opts(std::nullopt, 2, false), hooks);

    std::vector<std::string> names = {"in.csv"};
    if (c.via_symlink) names.push_back("link.csv");
    if (!c.output_is_input) names.insert(names.begin() + 1, "out.csv");
    EXPECT_EQ(dir.names(), names);  // no temporary file left either way
    if (c.via_symlink) {
      EXPECT_TRUE(fs::is_symlink(dir / "link.csv"));
    }
    struct stat after;
    ::stat((dir / "in.csv").c_str(), &after);
    EXPECT_EQ(after.st_mode & 07777, 0640u);

    if (c.fail_after != SIZE_MAX) {
      ASSERT_FALSE(r);
      EXPECT_EQ(get(dir / "in.csv"), input);
      EXPECT_EQ(after.st_ino, before.st_ino);
    } else if (c.output_is_input) {
      ASSERT_TRUE(r) << r.error().display();
      EXPECT_EQ(get(dir / "in.csv"), repaired);
    } else {
      ASSERT_TRUE(r) << r.error().display();
      EXPECT_EQ(get(dir / "in.csv"),
                std::string(kQuarantineHeader) + "1501,\"Row has too few columns (expected 2)\",\"short\"\n");
    }
  }
}

TEST(RowvaneFileTest, InPlaceRewriteWithoutATemporaryFileIsRefused) {
  // ".<name>.rowvane-XXXXXX" passes the 255-byte name limit. Truncating the
  // input in place instead would lose it to any later write failure.
  TempDir dir;
  const std::string name = std::string(250, 'n') + ".csv";
  const std::string input = "a,b\nshort\n";
  put(dir / name, input);
  for (bool quarantine : {false, true}) {
    SCOPED_TRACE(quarantine ? "quarantine is the input" : "output is the input");
    auto r = quarantine ? rowvane_file(dir / name, dir / "out.csv", dir / name, opts(std::nullopt, 2, false))
                        : rowvane_file(dir / name, dir / name, std::nullopt, opts());
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().io.raw_os_error(), ENAMETOOLONG);
    EXPECT_EQ(get(dir / name), input);
  }
  EXPECT_EQ(dir.names(), (std::vector<std::string>{name, "out.csv"}));  // the output was written first
}

TEST(RowvaneFileTest, InPlaceRewriteKeepsOwnerAndAttributes) {
  if (::geteuid() != 0) GTEST_SKIP() << "changes owners: needs root";
  TempDir dir;
  const std::string path = dir / "in.csv";
  put(path, "a,b\nshort\n");
  ASSERT_EQ(::chown(path.c_str(), 65534, 65533), 0);
  ASSERT_EQ(::chmod(path.c_str(), 04755), 0);
  const bool xattrs = ::setxattr(path.c_str(), "user.note", "kept", 4, 0) == 0;

  auto r = rowvane_file(path, path, std::nullopt, opts());
  ASSERT_TRUE(r) << r.error().display();
  EXPECT_EQ(get(path), "a,b\nshort,\n");
  struct stat st;
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 65534u);
  EXPECT_EQ(st.st_gid, 65533u);
  EXPECT_EQ(st.st_mode & 07777, 04755u);
  if (xattrs) {
    char value[16] = {};
    EXPECT_EQ(::getxattr(path.c_str(), "user.note", value, sizeof value), 4);
    EXPECT_STREQ(value, "kept");
  }
  EXPECT_EQ(dir.names(), (std::vector<std::string>{"in.csv"}));
}

TEST(RowvaneFileTest, OutputAndQuarantineNamingOneFileAreRefused) {
  struct Case {
    const char* name;
    std::string output;
    std::string quarantine;
  };
  const Case cases[] = {
      {"the input three times", "in.csv", "in.csv"},
      {"one existing file", "old.csv", "old.csv"},
      {"one new file", "new.csv", "new.csv"},
      {"one new file spelled twice", "new.csv", "d/../new.csv"},
      {"a link to an existing file", "link.csv", "old.csv"},
      {"a dangling link and its target", "dangling.csv", "new.csv"},
      {"a hard link", "hard.csv", "old.csv"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    fs::create_directory(dir / "d");
    put(dir / "in.csv", "a,b\nshort\n");
    put(dir / "old.csv", "old\n");
    fs::create_symlink("old.csv", dir / "link.csv");
    fs::create_symlink("new.csv", dir / "dangling.csv");
    fs::create_hard_link(dir / "old.csv", dir / "hard.csv");
    const std::vector<std::string> before = dir.names();
    auto r = rowvane_file(dir / "in.csv", dir / c.output, dir / c.quarantine, opts(std::nullopt, 2, false));
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().display(), kSameDestinationMessage);
    EXPECT_EQ(dir.names(), before);
    EXPECT_EQ(get(dir / "in.csv"), "a,b\nshort\n");
    EXPECT_EQ(get(dir / "old.csv"), "old\n");
  }
}

TEST(SameDestinationTest, Table) {
  TempDir dir;
  fs::create_directory(dir / "d");
  put(dir / "a.csv", "a");
  put(dir / "b.csv", "b");
  fs::create_symlink("a.csv", dir / "to_a");
  fs::create_symlink("to_a", dir / "to_to_a");
  fs::create_symlink("d/../new.csv", dir / "to_new");
  fs::create_symlink(dir / "loop", dir / "loop");
  struct Case {
    std::string a;
    std::string b;
    bool same;
  };
  const Case cases[] = {
      {dir / "a.csv", dir / "a.csv", true},
      {dir / "a.csv", dir / "to_to_a", true},
      {dir / "a.csv", dir / "d/../a.csv", true},
      {dir / "new.csv", dir / "to_new", true},
      {dir / "new.csv", dir / "d/../new.csv", true},
      {dir / "loop", dir / "loop", true},  // unresolvable: the same spelling
      {dir / "a.csv", dir / "b.csv", false},
      {dir / "a.csv", dir / "new.csv", false},
      {dir / "new.csv", dir / "d/new.csv", false},
      {dir / "d", dir / "d", false},  // not a regular file
      {"/dev/null", "/dev/null", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.a + " | " + c.b);
    EXPECT_EQ(same_destination(c.a, c.b), c.same);
    EXPECT_EQ(same_destination(c.b, c.a), c.same);
  }
}

// ---------------------------------------------------------------------------
// Interrupted waits

// Ticks of the alarm below (a signal handler's counter).
std::atomic<int> g_alarm_ticks{0};

// Counts its calls; asks to stop from call `stop_at` on, or once the alarm
// below has ticked `stop_after_ticks` times (0: never).
struct CountingCheck {
  int calls = 0;
  int stop_at = 0;
  int stop_after_ticks = 0;
  static bool ask(void* ctx) {
    auto* self = static_cast<CountingCheck*>(ctx);
    ++self->calls;
    if (self->stop_after_ticks != 0) return g_alarm_ticks.load() >= self->stop_after_ticks;
    return self->stop_at != 0 && self->calls >= self->stop_at;
  }
  InterruptCheck check() { return InterruptCheck{&ask, this}; }
};

TEST(BufferedWriterTest, InterruptCheckDecidesOnEintr) {
  struct Case {
    const char* name;
    std::vector<ssize_t> script;
    size_t record;
    int stop_at;
    bool stopped;
    int calls;  // of the check
  };
  const Case cases[] = {
      // The check is asked once before the buffer is written, then on each EINTR.
      {"retried while the check says go on", {-EINTR, -EINTR, 10}, 6000, 0, false, 3},
      {"stopped while emptying the buffer", {-EINTR, -EINTR}, 6000, 2, true, 2},
      {"stopped while writing straight", {100, -EINTR}, 9000, 2, true, 2},
      {"stopped before writing: a signal came while the run was busy", {10}, 6000, 1, true, 1},
      // ENOSPC itself does not ask: the two calls are the checks before the
      // flush and before the closing flush's new attempt.
      {"other errors do not ask", {-ENOSPC}, 6000, 0, false, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedTarget t;
    t.script = c.script;
    CountingCheck check;
    check.stop_at = c.stop_at;
    size_t writes_before_close = 0;
    {
      BufferedWriter w(t, check.check());
      IoStatus status = w.write(std::string(c.record, 'x'));
      if (!status) status = w.flush();
      if (c.stopped) {
        ASSERT_TRUE(status);
        EXPECT_EQ(status->display(), kInterruptedMessage);
        EXPECT_TRUE(is_interrupted_error(*status));
      } else if (c.script.back() == -ENOSPC) {
        ASSERT_TRUE(status);
        EXPECT_FALSE(is_interrupted_error(*status));
      } else {
        EXPECT_FALSE(status);
      }
      writes_before_close = t.calls.size();
    }
    EXPECT_EQ(check.calls, c.calls);
    // A stopped writer makes no closing attempt, which would block again.
    if (c.stopped) {
      EXPECT_EQ(t.calls.size(), writes_before_close);
    }
  }
}

// SIGALRM every 20 ms with a handler that only counts and no SA_RESTART, so
// a blocked call returns EINTR, as under an interpreter's signal handlers.
class TickingAlarm {
 public:
  TickingAlarm() {
    g_alarm_ticks = 0;
    struct sigaction sa = {};
    sa.sa_handler = [](int) { g_alarm_ticks.fetch_add(1); };
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGALRM, &sa, &old_);
    struct itimerval tv = {{0, 20000}, {0, 20000}};
    ::setitimer(ITIMER_REAL, &tv, nullptr);
  }
  ~TickingAlarm() {
    struct itimerval off = {};
    ::setitimer(ITIMER_REAL, &off, nullptr);
    ::sigaction(SIGALRM, &old_, nullptr);
  }

 private:
  struct sigaction old_ = {};
};

TEST(InterruptCheckTest, StopsBlockedFifoRuns) {
  enum class Blocks { OpenInput, ReadInput, OpenOutput, WriteOutput, WriteQuarantineInPlace };
  struct Case {
    const char* name;
    Blocks blocks;
  };
  const Case cases[] = {
      {"open of an input without a writer", Blocks::OpenInput},
      {"read of a silent writer", Blocks::ReadInput},
      {"open of an output without a reader", Blocks::OpenOutput},
      {"write to a reader that never reads", Blocks::WriteOutput},
      {"quarantine blocked while the output waits beside the input", Blocks::WriteQuarantineInPlace},
  };
  const std::string input = numbered_rows(20000) + "short\n";  // far more than a pipe holds
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string fifo = dir / "pipe";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    put(dir / "in.csv", input);
    int other_end = -1;  // kept open and idle: the run waits on it
    if (c.blocks == Blocks::ReadInput) other_end = ::open(fifo.c_str(), O_RDWR | O_CLOEXEC);
    if (c.blocks == Blocks::WriteOutput || c.blocks == Blocks::WriteQuarantineInPlace) {
      other_end = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    }
    // Stops once the alarm has ticked a few times: by then the run waits on
    // the pipe, so the stop comes from an interrupted wait.
    CountingCheck check;
    check.stop_after_ticks = 4;
    FileRunHooks hooks;
    hooks.interrupt = check.check();
    Expected<RunSummary, RowvaneError> r = RunSummary{};
    {
      TickingAlarm alarm;
      switch (c.blocks) {
        case Blocks::OpenInput:
        case Blocks::ReadInput:
          r = rowvane_file(fifo, dir / "out.csv", std::nullopt, opts(), hooks);
          break;
        case Blocks::OpenOutput:
        case Blocks::WriteOutput:
          r = rowvane_file(dir / "in.csv", fifo, std::nullopt, opts(), hooks);
          break;
        case Blocks::WriteQuarantineInPlace:
          r = rowvane_file(dir / "in.csv", dir / "in.csv", fifo, opts(std::nullopt, 3, false), hooks);
          break;
      }
    }
    if (other_end >= 0) ::close(other_end);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().display(), kInterruptedMessage);
    EXPECT_GE(check.calls, 2);
    EXPECT_EQ(get(dir / "in.csv"), input);
    std::vector<std::string> names = dir.names();  // no temporary file left
    names.erase(std::remove(names.begin(), names.end(), "out.csv"), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"in.csv", "pipe"}));
  }
  // The reader's way in: read_whole_file.
  TempDir dir;
  const std::string fifo = dir / "pipe";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  CountingCheck check;
  check.stop_at = 1;
  TickingAlarm alarm;
  auto r = read_whole_file(fifo, check.check());
  ASSERT_FALSE(r);
  EXPECT_TRUE(is_interrupted_error(r.error()));
}

// ---------------------------------------------------------------------------
// Reading whole files

TEST(ReadWholeFileTest, SizesAndFailures) {
  TempDir dir;
  const std::string big = numbered_rows(20000);
  put(dir / "big.csv", big);
  put(dir / "empty.csv", "");
  EXPECT_EQ(read_whole_file(dir / "big.csv").value().view(), big);
  EXPECT_EQ(read_whole_file(dir / "empty.csv").value().view(), "");
  // procfs reports size 0: read by growing the buffer.
  auto proc = read_whole_file("/proc/self/status");
  ASSERT_TRUE(proc);
  EXPECT_NE(proc.value().view().find("\nPid:"), std::string::npos);

  struct Case {
    std::string path;
    std::string error;
    IoErrorKind kind;
  };
  const Case cases[] = {
      {dir / "missing", "No such file or directory (os error 2)", IoErrorKind::NotFound},
      {dir / "", "Is a directory (os error 21)", IoErrorKind::IsADirectory},
      {std::string("big.csv\0x", 9), kNulInPathMessage, IoErrorKind::InvalidInput},
  };
  for (const Case& c : cases) {
    auto r = read_whole_file(c.path);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().display(), c.error);
    EXPECT_EQ(r.error().kind(), c.kind);
  }
}

}  // namespace
}  // namespace rowvane

namespace rowvane {
namespace {

// Plain lines skip the state machine; the result must be exactly what the
// parser itself gives. The reference below reconciles rows from next_row only.
struct Reference {
  Rows rows;
  std::string output;
  std::vector<size_t> quarantine_lines;
};

Reference reference_run(const std::string& input, const RunOptions& o, unsigned char delim,
                        size_t m) {
  Reference ref;
  CsvRecordEncoder encoder(delim, o.quote_char);
  std::string sep;
  append_utf8(sep, delim);
  ResilientParser ps = make_parser(input, delim, o.quote_char, o.repair_quotes);
  RowBuf row;
  for (;;) {
    const size_t line = ps.line();
    if (!ps.next_row(row)) break;
    std::vector<std::string> fields = row.to_strings();
    if (m != 0 && fields.size() < m) {
      if (!o.fill_ragged_rows) {
        ref.quarantine_lines.push_back(line);
        continue;
      }
      fields.resize(m);
    } else if (m != 0 && fields.size() > m) {
      if (!o.merge_overflow) {
        ref.quarantine_lines.push_back(line);
        continue;
      }
      for (size_t i = m; i < fields.size(); ++i) fields[m - 1] += sep + fields[i];
      fields.resize(m);
    }
    RowBuf kept;
    for (const std::string& f : fields) {
      kept.bytes += f;
      kept.ends.push_back(kept.bytes.size());
    }
    encoder.append_record(kept, ref.output);
    ref.rows.push_back(std::move(fields));
  }
  return ref;
}

TEST(PlainLineTest, MatchesTheParserOnRandomInput) {
  static const unsigned char alphabet[] = {'a', 'b', ',', ';', '"', '\'', ' ', '\t', '\r', '\n',
                                           '\n', 0xC3, 0xA9, 0xFF, 0xA7, 0xC2, 0xB0};
  static const unsigned char delimiters[] = {',', ';', '\t', 0xA7, '"'};
  uint64_t state = 0x9E3779B97F4A7C15ull;
  auto next = [&state]() {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
  };
  TempDir dir;
  for (int iter = 0; iter < 3000; ++iter) {
    std::string input;
    if (next() % 4 == 0) input = "\xEF\xBB\xBF";
    // Long plain stretches exercise the 16-byte steps, short noise the tails.
    const size_t len = next() % 120;
    for (size_t i = 0; i < len; ++i) {
      const uint64_t r = next();
      input += static_cast<char>(r % 3 == 0 ? alphabet[(r >> 8) % sizeof alphabet]
                                            : "abcdefgh,,\n"[(r >> 8) % 11]);
    }
    RunOptions o;
    if (next() % 4 != 0) o.delimiter = delimiters[next() % sizeof delimiters];
    // 0xF0 is written as C3 B0, which a line may hold as text without 0xF0.
    static const unsigned char quotes[] = {'"', '"', '"', '\'', 0xF0};
    o.quote_char = quotes[next() % sizeof quotes];
    o.repair_quotes = next() % 2 == 0;
    o.fill_ragged_rows = next() % 2 == 0;
    o.merge_overflow = next() % 2 == 0;
    if (next() % 3 != 0) o.expected_columns = next() % 4;
    SCOPED_TRACE(::testing::PrintToString(input));

    const SliceResult got = rowvane_slice(input, o);
    if (input.empty()) continue;
    // The run settles delimiter and width as the heuristics on their own do
    // (it may reuse the sniffing sample for the width).
    const unsigned char delim = o.delimiter ? *o.delimiter : sniff_delimiter(input);
    const size_t m = o.expected_columns ? *o.expected_columns : infer_column_count(input, delim);
    ASSERT_EQ(got.summary.detected_delimiter, static_cast<char32_t>(delim));
    ASSERT_EQ(got.summary.inferred_columns, m);
    const Reference want = reference_run(input, o, delim, m);
    ASSERT_EQ(rows_of(got.rows), want.rows);
    std::vector<size_t> lines;
    for (const QuarantineRecord& q : got.quarantine) lines.push_back(q.line);
    ASSERT_EQ(lines, want.quarantine_lines);

    if (iter % 8 != 0) continue;  // the file run is slower; a sample of cases suffices
    put(dir / "in.csv", input);
    fs::remove(dir / "out.csv");  // a truncated file is flushed on close: slow
    auto run = rowvane_file(dir / "in.csv", dir / "out.csv", std::nullopt, o);
    ASSERT_TRUE(run.has_value());
    ASSERT_EQ(get(dir / "out.csv"), want.output);
  }
}

}  // namespace
}  // namespace rowvane

namespace rowvane {
namespace {

// A quote from 0x80 on is written as two bytes that a plain line can hold as
// text without the quote byte itself: such a line is not its own record.
TEST(PlainLineTest, TwoByteQuoteTextInAPlainLine) {
  TempDir dir;
  put(dir / "in.csv", "a,\xC3\xB0\nb,c\n");
  RunOptions o;
  o.delimiter = ',';
  o.quote_char = 0xF0;  // written as C3 B0
  ASSERT_TRUE(rowvane_file(dir / "in.csv", dir / "out.csv", std::nullopt, o).has_value());
  EXPECT_EQ(get(dir / "out.csv"), "a,\xC3\xB0\xC3\xB0\xC3\xB0\xC3\xB0\nb,c\n");
}

}  // namespace
}  // namespace rowvane

namespace rowvane {
namespace {

// ---------------------------------------------------------------------------
// The table run

struct TableCase {
  const char* name;
  std::string input;
  Rows kept;
  std::vector<std::string> actions;  // of the change log, in order
  size_t quarantined = 0;
};

TEST(RowvaneTableTest, Pollutions) {
  const std::string body = "1,2,3,4\n5,6,7,8\n";
  const TableCase cases[] = {
      {"preamble", "PREAMBLE,,,\n,,,\nA,B,C,D\n" + body,
       {{"A", "B", "C", "D"}, {"1", "2", "3", "4"}, {"5", "6", "7", "8"}},
       {"preamble skipped", "preamble skipped"}},
      {"comma space", "A, B, C, D\n1, 2, 3, 4\n5, \"6, 7\", 8, 9\n",
       {{"A", "B", "C", "D"}, {"1", "2", "3", "4"}, {"5", "6, 7", "8", "9"}},
       {}},
      {"empty surplus", "A,B,C,D\n1,2,3,4,\n5,6,7,8,,\n9,10,11,12,x\n" + body + body,
       {{"A", "B", "C", "D"}, {"1", "2", "3", "4"}, {"5", "6", "7", "8"}, {"9", "10", "11", "12,x"},
        {"1", "2", "3", "4"}, {"5", "6", "7", "8"}, {"1", "2", "3", "4"}, {"5", "6", "7", "8"}},
       {"empty surplus dropped", "empty surplus dropped", "merged"}},
      {"apostrophe quotes", "A,B,C,D\n1,'2,5',3,4\n5,6,'7',8\n",
       {{"A", "B", "C", "D"}, {"1", "2,5", "3", "4"}, {"5", "6", "7", "8"}},
       {}},
      {"second table", "A,B,C,D\n" + body + "\nX,Y\n1,2\n3,4\n",
       {{"A", "B", "C", "D"}, {"1", "2", "3", "4"}, {"5", "6", "7", "8"}},
       {"second table set aside", "second table set aside", "second table set aside",
        "second table set aside"},
       4},
      {"same header again after a blank line", "A,B,C,D\n" + body + "\n\nA,B,C,D\n9,9,9,9\n",
       {{"A", "B", "C", "D"}, {"1", "2", "3", "4"}, {"5", "6", "7", "8"}},
       {"second table set aside", "second table set aside", "second table set aside",
        "second table set aside"},
       4},
      {"repeated header", "A,B,C,D\nA,B,C,D\n" + body,
       {{"A", "B", "C", "D"}, {"1", "2", "3", "4"}, {"5", "6", "7", "8"}},
       {"repeated header dropped"}},
      {"header over two lines", "Amount,Name,Due,Kind\nin EUR,,date,\n" + body,
       {{"Amount in EUR", "Name", "Due date", "Kind"}, {"1", "2", "3", "4"}, {"5", "6", "7", "8"}},
       {"header rows joined"}},
      {"stray opening quote", "A,B,C,D\n\"1,2,\"3\",4\n5,6,7,8\n",
       {{"A", "B", "C", "D"}, {"\"1", "2", "3", "4"}, {"5", "6", "7", "8"}},
       {"opening quote taken as text"}},
      {"stray opening quote over lines", "A,B,C,D\n\"1,2,3,4\n5,6,7,8\n9,\"10\",11,12\n",
       {{"A", "B", "C", "D"}, {"\"1", "2", "3", "4"}, {"5", "6", "7", "8"}, {"9", "10", "11", "12"}},
       {"opening quote taken as text"}},
      {"blank line inside the table is dropped", "A,B,C,D\n1,2,3,4\n\n5,6,7,8\n",
       {{"A", "B", "C", "D"}, {"1", "2", "3", "4"}, {"5", "6", "7", "8"}},
       {"blank row dropped"}},
  };
  for (const TableCase& c : cases) {
    TableRules rules;
    rules.log_changes = true;
    const TableSliceResult r = rowvane_table_slice(c.input, opts(), false, rules);
    EXPECT_EQ(rows_of(r.rows), c.kept) << c.name;
    std::vector<std::string> actions;
    for (const ChangeRecord& rec : r.changes) actions.emplace_back(rec.action);
    EXPECT_EQ(actions, c.actions) << c.name;
    EXPECT_EQ(r.quarantine.size(), c.quarantined) << c.name;
    EXPECT_EQ(r.summary.run.rowvaned_rows, c.kept.size()) << c.name;
    for (const QuarantineRecord& q : r.quarantine) EXPECT_EQ(q.reason, kSecondTableReason) << c.name;
  }
}

TEST(RowvaneTableTest, VerboseTables) {
  struct Case {
    const char* name;
    std::string input;
    Rows kept;
    std::vector<std::string> actions;  // of the change log, in order
    std::vector<size_t> note_lines;
    bool keep_blank_rows = false;
  };
  const std::string body = "Maine,310,290\nVermont,160,150\nOhio,2900,2700\n";
  const Rows kept = {{"State", "Male", "Female"}, {"Maine", "310", "290"}, {"Vermont", "160", "150"},
                     {"Ohio", "2900", "2700"}};
  const Case cases[] = {
      {"notes after a blank row", "State,Male,Female\n" + body + ",,\nSource: Census Bureau.\n1 Includes all.\n",
       kept, {"blank row dropped", "note set aside", "note set aside"}, {6, 7}},
      {"a note holding the delimiter, and its next line",
       "State,Male,Female\n" + body + "Source: Census Bureau, Survey\nannual averages.\n", kept,
       {"note set aside", "note set aside"}, {5, 6}},
      {"group rows and totals are data", "State,Male,Female\nNortheast,,\n" + body + "Total,3370,3140\n",
       {{"State", "Male", "Female"}, {"Northeast", "", ""}, {"Maine", "310", "290"}, {"Vermont", "160", "150"},
        {"Ohio", "2900", "2700"}, {"Total", "3370", "3140"}},
       {}, {}},
      {"a row of values after the notes makes them data", "State,Male,Female\n" + body + "Footnotes:\nIowa,1,2\n",
       {{"State", "Male", "Female"}, {"Maine", "310", "290"}, {"Vermont", "160", "150"}, {"Ohio", "2900", "2700"},
        {"Footnotes:", "", ""}, {"Iowa", "1", "2"}},
       {"padded"}, {}},
      {"text tables keep their last rows", "a,b,c\nx,y,z\nu,v,w\nend\n",
       {{"a", "b", "c"}, {"x", "y", "z"}, {"u", "v", "w"}, {"end", "", ""}}, {"padded"}, {}},
      {"header over lines with a blank line between",
       "Title\n,Employed,\n\n,Male,Female\n" + body,
       {{"", "Employed Male", "Employed Female"}, {"Maine", "310", "290"}, {"Vermont", "160", "150"},
        {"Ohio", "2900", "2700"}},
       {"preamble skipped", "blank row dropped", "header rows joined"}, {}},
      {"rows of empty cells kept on request", "State,Male,Female\nMaine,310,290\n,,\n\nOhio,2900,2700\n",
       {{"State", "Male", "Female"}, {"Maine", "310", "290"}, {"", "", ""}, {"", "", ""}, {"Ohio", "2900", "2700"}},
       {"padded"}, {}, true},
      {"a file of empty cells alone keeps them", ",,\n,,\n", {{"", "", ""}, {"", "", ""}}, {}, {}},
      {"a stray opening quote is mended before it reads as a note",
       "State,Male,Female\n" + body + "\"Iowa,1,2\n",
       {{"State", "Male", "Female"}, {"Maine", "310", "290"}, {"Vermont", "160", "150"}, {"Ohio", "2900", "2700"},
        {"\"Iowa", "1", "2"}},
       {"opening quote taken as text"}, {}},
  };
  for (const Case& c : cases) {
    TableRules rules;
    rules.log_changes = true;
    rules.keep_blank_rows = c.keep_blank_rows;
    const TableSliceResult r = rowvane_table_slice(c.input, opts(), false, rules);
    EXPECT_EQ(rows_of(r.rows), c.kept) << c.name;
    std::vector<std::string> actions;
    for (const ChangeRecord& rec : r.changes) actions.emplace_back(rec.action);
    EXPECT_EQ(actions, c.actions) << c.name;
    std::vector<size_t> notes;
    for (const QuarantineRecord& q : r.quarantine) {
      EXPECT_EQ(q.reason, kNoteReason) << c.name;
      notes.push_back(q.line);
    }
    EXPECT_EQ(notes, c.note_lines) << c.name;
    EXPECT_EQ(r.summary.notes_rows, c.note_lines.size()) << c.name;
    const TableSummary& s = r.summary;
    EXPECT_EQ(s.run.total_rows, s.run.rowvaned_rows + s.run.quarantined_rows + s.header_rows_joined +
                                    s.repeated_headers + s.blank_rows_dropped)
        << c.name;
  }
}

TEST(RowvaneTableTest, FileRunDropsAndSetsAsideAsTheSliceDoes) {
  // The file run takes most rows by its fast paths: rows of empty cells and
  // notes must still reach the slow path there.
  TempDir dir;
  put(dir / "in.csv", "T\n,A,B\nx,1,2\n,,\n\"\",\"\",\"\"\ny,3,4\n  ,\t,\n\" \t\",\"\",\" \"\nz,5,6\nSource: here,,\n");
  const auto run = rowvane_table_file(dir / "in.csv", dir / "out.csv", dir / "q.csv", std::nullopt, opts(), false,
                                      TableRules{}, FileRunHooks{});
  ASSERT_TRUE(run.has_value());
  EXPECT_EQ(get(dir / "out.csv"), ",A,B\nx,1,2\ny,3,4\nz,5,6\n");
  EXPECT_EQ(run.value().blank_rows_dropped, 4u);
  EXPECT_EQ(run.value().notes_rows, 1u);
}

TEST(RowvaneTableTest, ChangeRecordsHoldRawAndWrittenText) {
  TableRules rules;
  rules.log_changes = true;
  const TableSliceResult r =
      rowvane_table_slice("PRE,,\nA,B,C\n1,2\r\n3,4,5,6\n\"x,y,\"z\"\n7,8,9\n7,8,9\n", opts(), false, rules);
  ASSERT_EQ(r.changes.size(), 4u);
  EXPECT_EQ(r.changes[0].line, 1u);
  EXPECT_EQ(r.changes[0].raw, "PRE,,");
  EXPECT_EQ(r.changes[0].written, "");
  EXPECT_EQ(r.changes[1].raw, "1,2");
  EXPECT_EQ(r.changes[1].written, "1,2,");
  EXPECT_EQ(r.changes[2].written, "3,4,\"5,6\"");
  EXPECT_EQ(r.changes[3].action, std::string("opening quote taken as text"));
  EXPECT_EQ(r.changes[3].written, "\"\"\"x\",y,z");
  EXPECT_EQ(r.summary.preamble_lines, 1u);
  EXPECT_EQ(r.summary.padded_rows, 1u);
  EXPECT_EQ(r.summary.merged_rows, 1u);
  EXPECT_EQ(r.summary.opening_quote_rows, 1u);
  rules.log_changes = false;
  EXPECT_TRUE(rowvane_table_slice("A,B\n1\n", opts(), false, rules).changes.empty());
}

TEST(RowvaneTableTest, RulesSwitchedOffGiveTheBasicRows) {
  const std::string text = "A,B,C\n1,2,3,\n\"4,5,\"6\"\n";
  TableRules off;
  off.drop_empty_surplus = false;
  off.opening_quote_as_text = false;
  off.set_aside_other_tables = false;
  off.set_aside_notes = false;
  off.keep_blank_rows = true;
  const TableSliceResult t = rowvane_table_slice(text, opts(), false, off);
  const SliceResult b = rowvane_slice(text, opts());
  EXPECT_EQ(rows_of(t.rows), rows_of(b.rows));
}

TEST(RowvaneTableTest, ManyStrayOpeningQuotesStayLinear) {
  // Every line opens a quote that nothing closes: each first parse swallows
  // the rest of the buffer. The re-read budget keeps the run linear; the
  // rows all come out either way.
  std::string text = "A,B,C\n";
  for (int i = 0; i < 20000; ++i) text += "\"a" + std::to_string(i) + ",b,c\n";
  const TableSliceResult r = rowvane_table_slice(text, opts(), false, TableRules{});
  EXPECT_GE(r.summary.run.total_rows, 2u);
  EXPECT_EQ(r.summary.run.total_rows, r.summary.run.rowvaned_rows + r.quarantine.size());
}

TEST(RowvaneTableTest, FileRunWritesTheChangeLog) {
  const fs::path dir = fs::temp_directory_path() / ("rowvane-table-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const std::string in = (dir / "in.csv").string();
  std::ofstream(in, std::ios::binary) << "PREAMBLE,,\nA,B,C\n1,2,3,\n4,\"5\"\"\",6\n";
  const auto run = rowvane_table_file(in, (dir / "out.csv").string(), std::nullopt,
                                      (dir / "changes.csv").string(), opts(), false, TableRules{},
                                      FileRunHooks{});
  ASSERT_TRUE(run.has_value());
  EXPECT_EQ(get((dir / "out.csv").string()), "A,B,C\n1,2,3\n4,\"5\"\"\",6\n");
  EXPECT_EQ(get((dir / "changes.csv").string()),
            "line,action,raw_content,written\n"
            "1,preamble skipped,\"PREAMBLE,,\",\"\"\n"
            "3,empty surplus dropped,\"1,2,3,\",\"1,2,3\"\n");
  const auto same = rowvane_table_file(in, (dir / "o2.csv").string(), std::nullopt,
                                       (dir / "o2.csv").string(), opts(), false, TableRules{},
                                       FileRunHooks{});
  EXPECT_FALSE(same.has_value());
  fs::remove_all(dir);
}

}  // namespace
}  // namespace rowvane
