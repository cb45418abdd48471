#include "core/stream.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/block_scan.hpp"
#include "core/rowvane.hpp"

namespace rowvane {
namespace {

namespace fs = std::filesystem;

struct StringTarget final : ByteTarget {
  std::string text;
  ssize_t write_some(const char* data, size_t size) noexcept override {
    text.append(data, size);
    return static_cast<ssize_t>(size);
  }
};

Expected<size_t, IoError> read_string(void* context, size_t offset, char* dst, size_t n) {
  const std::string& s = *static_cast<const std::string*>(context);
  if (offset >= s.size()) return size_t{0};
  const size_t k = std::min(n, s.size() - offset);
  std::memcpy(dst, s.data() + offset, k);
  return k;
}

struct Files {
  std::string output, quarantine, changes;
  TableSummary summary;
  StreamStatus status = StreamStatus::Done;
};

Files streamed(const std::string& input, size_t block, size_t threads, size_t head = kHeadBytes,
              const TableRules& rules = {}) {
  StringTarget out, quarantine, changes;
  StreamInput source{read_string, const_cast<std::string*>(&input), input.size()};
  StreamOptions stream;
  stream.block_size = block;
  stream.threads = threads;
  stream.head_bytes = head;
  StreamResult r = stream_table(source, StreamTargets{&out, &quarantine, &changes}, RunOptions{}, false, rules,
                                InputEncoding{}, false, stream, 0, InterruptCheck{});
  return Files{out.text, quarantine.text, changes.text, r.summary, r.status};
}

std::string slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/rowvane-stream-XXXXXX";
    path_ = ::mkdtemp(tmpl);
  }
  ~TempDir() { fs::remove_all(path_); }
  fs::path operator/(const char* name) const { return path_ / name; }

 private:
  fs::path path_;
};

// The whole-buffer run of the same input, through files.
Files whole(const std::string& input, const TableRules& rules = {}) {
  TempDir dir;
  {
    std::ofstream(dir / "in.csv", std::ios::binary) << input;
  }
  auto r = rowvane_table_file((dir / "in.csv").string(), (dir / "out.csv").string(),
                              (dir / "q.csv").string(), (dir / "c.csv").string(), RunOptions{}, false, rules,
                              FileRunHooks{}, TextOptions{});
  EXPECT_TRUE(r);
  Files f;
  if (!r) return f;
  f.summary = r.value();
  f.output = slurp(dir / "out.csv");
  f.quarantine = slurp(dir / "q.csv");
  f.changes = slurp(dir / "c.csv");
  return f;
}

std::string repeat(const std::string& line, size_t n) {
  std::string s;
  for (size_t i = 0; i < n; ++i) s += line;
  return s;
}

std::string numbered(size_t n, const char* eol = "\n") {
  std::string s = std::string("id,name,city,amount") + eol;
  for (size_t i = 0; i < n; ++i) {
    s += std::to_string(i) + ",\"Name " + std::to_string(i) + "\",\"Town, Region\"," + std::to_string(i * 7 % 100) +
         ".5" + eol;
  }
  return s;
}

void expect_same(const Files& got, const Files& want, const std::string& label) {
  EXPECT_EQ(got.output, want.output) << label;
  EXPECT_EQ(got.quarantine, want.quarantine) << label;
  EXPECT_EQ(got.changes, want.changes) << label;
  const TableSummary& a = got.summary;
  const TableSummary& b = want.summary;
  EXPECT_EQ(a.run.total_rows, b.run.total_rows) << label;
  EXPECT_EQ(a.run.rowvaned_rows, b.run.rowvaned_rows) << label;
  EXPECT_EQ(a.run.repaired_rows, b.run.repaired_rows) << label;
  EXPECT_EQ(a.run.quarantined_rows, b.run.quarantined_rows) << label;
  EXPECT_EQ(a.run.inferred_columns, b.run.inferred_columns) << label;
  EXPECT_EQ(a.run.detected_delimiter, b.run.detected_delimiter) << label;
  EXPECT_EQ(a.preamble_lines, b.preamble_lines) << label;
  EXPECT_EQ(a.repeated_headers, b.repeated_headers) << label;
  EXPECT_EQ(a.opening_quote_rows, b.opening_quote_rows) << label;
  EXPECT_EQ(a.tables_found, b.tables_found) << label;
  EXPECT_EQ(a.other_table_rows, b.other_table_rows) << label;
  EXPECT_EQ(a.notes_rows, b.notes_rows) << label;
  EXPECT_EQ(a.blank_rows_dropped, b.blank_rows_dropped) << label;
  EXPECT_EQ(a.encoding, b.encoding) << label;
  EXPECT_EQ(a.encoding_source, b.encoding_source) << label;
}

struct Shape {
  const char* name;
  std::string text;
};

// Inputs whose rows the blocks cut in every way that matters.
std::vector<Shape> shapes() {
  const std::string long_field = "a,b\n1,\"" + repeat("x\ny,", 300) + "\"\n2,3\n";
  return {
      {"simple quoted rows", numbered(300)},
      {"CRLF", numbered(120, "\r\n")},
      {"lone CR", numbered(50, "\r")},
      {"no final line break", "a,b\n1,2\n3,4"},
      {"header only", "a,b,c\n"},
      {"one cell", "x"},
      {"empty", ""},
      {"byte-order mark", "\xEF\xBB\xBF" + numbered(40)},
      {"quoted field over many blocks", long_field},
      {"unclosed quote swallows the rest", "a,b,c\n1,\"2,3\n" + repeat("4,5,6\n", 80)},
      {"stray opening quote", "name,city,n\n" + repeat("Ann,Oslo,1\n", 30) + "\"Bob,Rome,2\n" +
                                   repeat("Cy,Lima,3\n", 30)},
      {"ragged rows", "a,b,c\n1,2\n3,4,5,6\n" + repeat("7,8,9\n", 50) + "1\n"},
      {"blank rows and notes below a table of numbers",
       "Region,2019,2020\n" + repeat("North,1.5,2.5\n", 40) + "\n\nSource: the survey office, 2021.\n" +
           "Note: figures are rounded.\n"},
      {"blank rows inside", "a,b\n" + repeat("1,2\n,\n\n", 40) + "3,4\n"},
      {"second table", "a,b,c\n" + repeat("1,2,3\n", 30) + "\nx,y\n" + repeat("7,8\n", 20)},
      {"repeated header", "a,b,c\n" + repeat("1,2,3\na,b,c\n", 25)},
      {"preamble", "Report of the year\nPrinted today\n\nid,name,v\n" + repeat("1,\"A, B\",3\n", 40)},
      {"long record", "a,b\n1,\"" + std::string(5000, 'z') + "\"\n" + repeat("2,3\n", 10)},
      {"semicolons", "a;b;c\n" + repeat("1;\"x;y\";3,5\n", 60)},
      {"quotes inside fields", "a,b\n" + repeat("1,\"say \"\"hi\"\"\"\n2,x\"y\n", 40)},
      {"multi-byte text", "name,city\n" + repeat("Zoë,Genève\nRené,Zürich\n\xE6\x9D\xB1,\xF0\x9F\x98\x80\n", 40)},
  };
}

// Every input gives the whole run's bytes and counts, whatever the block
// size and the threads: the rows the blocks cut, the quoted line breaks and
// stray quotes that make a block's guessed first record wrong, the rows held
// back across blocks.
TEST(StreamTest, SameAsTheWholeRun) {
  const std::vector<Shape> cases = shapes();
  const size_t blocks[] = {1, 2, 3, 5, 16, 61, 256, 4096, size_t{1} << 20};
  for (const auto& c : cases) {
    const Files want = whole(c.text);
    // With a short head, the window moves over the input: the same bytes as
    // one window holding it all.
    const Files one_window = streamed(c.text, size_t{1} << 20, 1, 64);
    for (size_t block : {size_t{1}, size_t{4}, size_t{29}, size_t{200}}) {
      for (size_t threads : {1, 2, 3}) {
        const std::string label = std::string(c.name) + " head 64, block " + std::to_string(block) +
                                  " threads " + std::to_string(threads);
        const Files got = streamed(c.text, block, threads, 64);
        ASSERT_EQ(got.status, StreamStatus::Done) << label;
        EXPECT_GE(got.summary.blocks, c.text.size() / block) << label;
        expect_same(got, one_window, label);
      }
    }
    for (size_t block : blocks) {
      for (size_t threads : {1, 2, 3}) {
        const std::string label = std::string(c.name) + " block " + std::to_string(block) + " threads " +
                                  std::to_string(threads);
        const Files got = streamed(c.text, block, threads);
        ASSERT_EQ(got.status, StreamStatus::Done) << label;
        expect_same(got, want, label);
      }
    }
  }
}

// The shared corpus of real edge cases: the streamed run over small blocks
// on worker threads gives the bytes of one window, and with the usual head
// the whole run's.
TEST(StreamTest, CorpusSameAsOneWindow) {
  const fs::path corpus = fs::path(ROWVANE_SOURCE_DIR) / ".." / "shared" / "corpus";
  std::ifstream manifest(corpus / "MANIFEST.tsv");
  if (!manifest) GTEST_SKIP() << "no shared corpus beside the checkout";
  std::string line;
  std::getline(manifest, line);  // its header
  size_t files = 0, streamed_files = 0;
  while (std::getline(manifest, line)) {
    const std::string name = line.substr(0, line.find('\t'));
    const std::string text = slurp(corpus / name);
    ++files;
    const Files want = whole(text);
    const Files one = streamed(text, size_t{1} << 20, 1);
    if (one.status == StreamStatus::Done) {
      ++streamed_files;
      expect_same(one, want, name);
    }
    const Files short_head = streamed(text, size_t{1} << 20, 1, 256);
    for (const auto& [block, threads] : {std::pair<size_t, size_t>{13, 2}, {509, 3}, {4096, 1}}) {
      const Files got = streamed(text, block, threads, 256);
      const std::string label = name + " block " + std::to_string(block) + " threads " + std::to_string(threads);
      ASSERT_EQ(got.status, short_head.status) << label;
      if (got.status == StreamStatus::Done) expect_same(got, short_head, label);
    }
  }
  EXPECT_GT(files, 1000u);
  EXPECT_GT(streamed_files, files / 2);
}

// The basic run streamed gives the engine's own whole-buffer run byte for
// byte: its sniffed delimiter and inferred width (read from as many rows as
// the whole run reads, however long), every row padded, merged or set aside.
struct BasicFiles {
  std::string output, quarantine;
  RunSummary summary;
};

BasicFiles basic_run(const std::string& input, const RunOptions& options, const StreamOptions* stream) {
  TempDir dir;
  {
    std::ofstream(dir / "in.csv", std::ios::binary) << input;
  }
  const std::string in = (dir / "in.csv").string(), out = (dir / "out.csv").string(), q = (dir / "q.csv").string();
  auto r = stream != nullptr ? stream_basic_file(in, out, q, options, FileRunHooks{}, *stream)
                             : rowvane_file(in, out, q, options);
  EXPECT_TRUE(r);
  BasicFiles f;
  if (!r) return f;
  f.summary = r.value();
  f.output = slurp(dir / "out.csv");
  f.quarantine = slurp(dir / "q.csv");
  return f;
}

void expect_same_basic(const BasicFiles& got, const BasicFiles& want, const std::string& label) {
  EXPECT_EQ(got.output, want.output) << label;
  EXPECT_EQ(got.quarantine, want.quarantine) << label;
  EXPECT_EQ(got.summary.total_rows, want.summary.total_rows) << label;
  EXPECT_EQ(got.summary.rowvaned_rows, want.summary.rowvaned_rows) << label;
  EXPECT_EQ(got.summary.repaired_rows, want.summary.repaired_rows) << label;
  EXPECT_EQ(got.summary.quarantined_rows, want.summary.quarantined_rows) << label;
  EXPECT_EQ(got.summary.inferred_columns, want.summary.inferred_columns) << label;
  EXPECT_EQ(got.summary.detected_delimiter, want.summary.detected_delimiter) << label;
}

TEST(StreamTest, BasicRunSameAsTheEngine) {
  std::vector<Shape> cases = shapes();
  cases.push_back({"widths settled past the first blocks", repeat("1,2\n", 30) + repeat("1,2,3\n", 80) + "4\n"});
  cases.push_back({"long first line without the delimiter", std::string(70000, 'w') + "\n" + repeat("a;b\n", 30)});
  cases.push_back({"long first line with it", std::string(70000, 'w') + ";x\n" + repeat("a;b\n", 30)});
  cases.push_back({"blank rows padded", "a,b,c\n\n" + repeat("1,2,3\n \n,,\n", 40)});
  cases.push_back({"stray bytes", "a,b\n1,\xff\n" + repeat("2,3\n", 20)});
  cases.push_back({"UTF-16 mark", std::string("\xFF\xFE", 2) + "a,b\n"});
  cases.push_back({"quote across lines", "a,b\n" + repeat("1,\"x\n", 40) + "y\"\n"});
  RunOptions given_delimiter;
  given_delimiter.delimiter = ';';
  RunOptions strict;
  strict.fill_ragged_rows = false;
  strict.merge_overflow = false;
  RunOptions three;
  three.expected_columns = 3;
  three.repair_quotes = false;
  RunOptions single_quote;
  single_quote.quote_char = '\'';
  const std::pair<const char*, RunOptions> option_sets[] = {
      {"defaults", RunOptions{}}, {"delimiter ;", given_delimiter}, {"nothing repaired", strict},
      {"3 columns, no quote repair", three}, {"quote '", single_quote}};
  for (const auto& c : cases) {
    for (const auto& [option_name, options] : option_sets) {
      const BasicFiles want = basic_run(c.text, options, nullptr);
      for (const auto& [block, threads] : {std::pair<size_t, size_t>{1, 1}, {3, 2}, {61, 3}, {4096, 2}, {1 << 20, 1}}) {
        StreamOptions stream;
        stream.block_size = block;
        stream.threads = threads;
        stream.head_bytes = 64;  // the layout settles from rows, not from the head
        const std::string label = std::string(c.name) + ", " + option_name + ", block " + std::to_string(block) +
                                  " threads " + std::to_string(threads);
        expect_same_basic(basic_run(c.text, options, &stream), want, label);
      }
    }
  }
}

TEST(StreamTest, BasicRunCorpusSameAsTheEngine) {
  const fs::path corpus = fs::path(ROWVANE_SOURCE_DIR) / ".." / "shared" / "corpus";
  std::ifstream manifest(corpus / "MANIFEST.tsv");
  if (!manifest) GTEST_SKIP() << "no shared corpus beside the checkout";
  std::string line;
  std::getline(manifest, line);  // its header
  size_t files = 0;
  while (std::getline(manifest, line)) {
    const std::string name = line.substr(0, line.find('\t'));
    const std::string text = slurp(corpus / name);
    ++files;
    const BasicFiles want = basic_run(text, RunOptions{}, nullptr);
    StreamOptions stream;
    stream.block_size = 317;
    stream.threads = 2;
    expect_same_basic(basic_run(text, RunOptions{}, &stream), want, name);
  }
  EXPECT_GT(files, 1000u);
}

// An input split into byte ranges, each part run on its own: where the
// parts chain (each began where the one before ended, with nothing held
// back), their outputs joined and their counts added are the whole run's.
TEST(StreamTest, PartsChainIntoTheWholeRun) {
  const struct {
    const char* name;
    std::string text;
  } cases[] = {
      {"simple quoted rows", numbered(400)},
      {"CRLF", numbered(300, "\r\n")},
      {"quoted line breaks", "a,b\n" + repeat("1,\"x\ny\"\n2,z\n", 200)},
      {"damaged", "name,city,n\n" + repeat("Ann,Oslo,1\n\"Bob,Rome,2\nCy,Lima,3,4\n", 100)},
  };
  size_t chained = 0;
  for (const auto& c : cases) {
    const Files one = streamed(c.text, size_t{1} << 20, 1);
    for (size_t parts : {2, 3, 7}) {
      std::string output;
      size_t total = 0, kept = 0, repaired = 0, tables = 0;
      size_t expected_first = 0;
      bool chain = true;
      for (size_t k = 0; k < parts && chain; ++k) {
        StringTarget out, quarantine, changes;
        StreamInput source{read_string, const_cast<std::string*>(&c.text), c.text.size()};
        StreamOptions stream;
        stream.block_size = 97;
        stream.threads = 2;
        stream.part_start = c.text.size() * k / parts;
        stream.part_stop = k + 1 == parts ? SIZE_MAX : c.text.size() * (k + 1) / parts;
        StreamResult r = stream_table(source, StreamTargets{&out, &quarantine, &changes}, RunOptions{}, false,
                                      TableRules{}, InputEncoding{}, false, stream, 0, InterruptCheck{});
        ASSERT_EQ(r.status, StreamStatus::Done) << c.name;
        chain = r.first == expected_first;
        expected_first = r.next;
        chain = chain && (k + 1 == parts || r.clean);
        output += out.text;
        total += r.summary.run.total_rows;
        kept += r.summary.run.rowvaned_rows;
        repaired += r.summary.run.repaired_rows;
        tables += r.tables_added;
      }
      if (!chain) continue;
      ++chained;
      const std::string label = std::string(c.name) + " in " + std::to_string(parts) + " parts";
      EXPECT_EQ(expected_first, c.text.size()) << label;
      EXPECT_EQ(output, one.output) << label;
      EXPECT_EQ(total, one.summary.run.total_rows) << label;
      EXPECT_EQ(kept, one.summary.run.rowvaned_rows) << label;
      EXPECT_EQ(repaired, one.summary.run.repaired_rows) << label;
      EXPECT_EQ(std::max<size_t>(tables, 1), one.summary.tables_found) << label;
    }
  }
  EXPECT_GE(chained, 6u);
}

// A target that takes `room` bytes, then fails with ENOSPC.
struct FullTarget final : ByteTarget {
  size_t room;
  explicit FullTarget(size_t n) : room(n) {}
  ssize_t write_some(const char*, size_t size) noexcept override {
    if (room == 0) return -ENOSPC;
    const size_t n = std::min(size, room);
    room -= n;
    return static_cast<ssize_t>(n);
  }
};

// A write that fails ends the run with its error and the file it names,
// whether the output is written on the run's thread or on its own.
TEST(StreamTest, AFailingWriteEndsTheRun) {
  const std::string text = numbered(3000);
  for (size_t threads : {1, 2, 3}) {
    for (size_t room : {size_t{0}, size_t{100}, size_t{50000}}) {
      FullTarget out(room);
      StringTarget quarantine;
      StreamInput source{read_string, const_cast<std::string*>(&text), text.size()};
      StreamOptions stream;
      stream.block_size = 4096;
      stream.threads = threads;
      stream.head_bytes = 1024;
      StreamResult r = stream_table(source, StreamTargets{&out, &quarantine, nullptr}, RunOptions{}, false,
                                    TableRules{}, InputEncoding{}, false, stream, 0, InterruptCheck{});
      EXPECT_EQ(r.status, StreamStatus::Failed) << threads << " " << room;
      EXPECT_EQ(r.failed_file, RunFile::Output);
      ASSERT_TRUE(r.error.has_value());
      EXPECT_EQ(r.error->raw_os_error(), ENOSPC);
    }
  }
}

// Inputs that are not UTF-8 throughout are handed back to be run whole.
// An output the run writes directly (a FIFO) cannot be taken back: a file
// found not UTF-8 only late must not send its first blocks there before the
// whole run writes them again (or the reader has gone).
TEST(StreamTest, ADirectOutputWaitsForTheInputToBeUtf8) {
  TempDir dir;
  const std::string text = "a,b\n" + repeat("1,2\n", 100000) + "3,\xff\n";
  {
    std::ofstream(dir / "in.csv", std::ios::binary) << text;
  }
  const std::string in = (dir / "in.csv").string(), fifo = (dir / "fifo").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  for (bool utf8 : {false, true}) {
    if (utf8) {
      std::ofstream(dir / "in.csv", std::ios::binary) << text.substr(0, text.size() - 3) << "\n";
    }
    auto regular = stream_table_file(in, (dir / "out.csv").string(), std::nullopt, std::nullopt, RunOptions{}, false,
                                     TableRules{}, FileRunHooks{}, TextOptions{}, StreamOptions{});
    ASSERT_TRUE(regular);
    std::string got;
    std::thread reader([&] { got = slurp(fifo); });
    StreamOptions stream;
    stream.block_size = 4096;
    auto direct = stream_table_file(in, fifo, std::nullopt, std::nullopt, RunOptions{}, false, TableRules{},
                                    FileRunHooks{}, TextOptions{}, stream);
    reader.join();
    ASSERT_TRUE(direct);
    EXPECT_EQ(got, slurp(dir / "out.csv")) << utf8;
    EXPECT_EQ(direct.value().blocks > 0, utf8);
  }
}

// A file written by another thread while the run reads it, a chunk at a
// time; it may fail after `fail_after` bytes.
class GrowingFile {
 public:
  static constexpr size_t kLong = 100000;  // a file this long is surely read while it is written
  GrowingFile(std::string path, std::string text, size_t expected, size_t chunk, size_t fail_after = SIZE_MAX)
      : path_(std::move(path)), text_(std::move(text)), chunk_(chunk), fail_after_(fail_after) {
    std::ofstream(path_, std::ios::binary);  // there, empty, when the run opens it
    input_.wait = wait;
    input_.context = this;
    input_.expected_size = expected;
  }
  ~GrowingFile() {
    if (writer_.joinable()) writer_.join();
  }
  void start() {
    writer_ = std::thread([this] {
      std::ofstream out(path_, std::ios::binary);
      for (size_t at = 0; at < text_.size(); at += chunk_) {
        const size_t n = std::min(chunk_, text_.size() - at);
        out.write(text_.data() + at, static_cast<std::streamsize>(n));
        out.flush();
        std::unique_lock<std::mutex> lock(mutex_);
        if (at + n > fail_after_) {
          failed_ = true;
          break;
        }
        state_.size = at + n;
        changed_.notify_all();
        if (text_.size() > kLong && at < text_.size() / 2 && at + n >= text_.size() / 2) {
          // Halfway, the writer waits for the run to have read: it surely
          // reads while the file is written.
          changed_.wait_for(lock, std::chrono::seconds(10), [&] { return early_reads_ > 0; });
        }
      }
      std::lock_guard<std::mutex> lock(mutex_);
      state_.complete = !failed_;
      changed_.notify_all();
    });
  }
  const GrowingInput* input() const { return &input_; }
  // Reads that had their bytes before the file was complete.
  size_t early_reads() {
    std::lock_guard<std::mutex> lock(mutex_);
    return early_reads_;
  }

 private:
  static Expected<GrowingInput::State, IoError> wait(void* context, size_t end, const InterruptCheck&) {
    auto* g = static_cast<GrowingFile*>(context);
    std::unique_lock<std::mutex> lock(g->mutex_);
    g->changed_.wait(lock, [&] { return g->failed_ || g->state_.complete || g->state_.size >= end; });
    if (g->failed_) return IoError::from_errno(EIO);
    if (!g->state_.complete) {
      ++g->early_reads_;
      g->changed_.notify_all();
    }
    return g->state_;
  }

  std::string path_, text_;
  size_t chunk_, fail_after_;
  std::mutex mutex_;
  std::condition_variable changed_;
  GrowingInput::State state_;
  bool failed_ = false;
  size_t early_reads_ = 0;
  GrowingInput input_;
  std::thread writer_;
};

// A file read while it is written gives the bytes of the finished file:
// when the size said beforehand was wrong (the run goes again), when a late
// byte is not UTF-8 (the whole run, once the file is complete); a writer
// that fails fails the run with the writer's error.
TEST(StreamTest, AGrowingInputGivesTheFinishedFilesBytes) {
  const std::string text = numbered(20000);
  const struct {
    const char* name;
    std::string text;
    long size_error;
    size_t fail_after;
  } cases[] = {
      {"the size said", text, 0, SIZE_MAX},
      {"a size too small", text, -10, SIZE_MAX},
      {"a size too large", text, 1000, SIZE_MAX},
      {"a stray byte late", text + "9,\xff,x,1\n", 0, SIZE_MAX},
      {"short", "a,b\n1,2\n", 0, SIZE_MAX},
      {"empty", "", 0, SIZE_MAX},
      {"the writer fails", text, 0, text.size() / 2},
  };
  TempDir dir;
  const std::string in = (dir / "in.csv").string(), out = (dir / "out.csv").string();
  const std::string q = (dir / "q.csv").string(), grown = (dir / "grown.csv").string();
  for (const auto& c : cases) {
    for (size_t threads : {1, 2}) {
      for (bool basic : {false, true}) {
        const std::string label = std::string(c.name) + (basic ? ", basic" : ", table") + ", threads " +
                                  std::to_string(threads);
        std::ofstream(in, std::ios::binary) << c.text;
        fs::remove(out);
        fs::remove(q);
        StreamOptions stream;
        stream.block_size = 4096;
        stream.threads = threads;
        const auto run = [&](const std::string& path, const StreamOptions& options) -> std::optional<RowvaneError> {
          if (basic) {
            auto r = stream_basic_file(path, out, q, RunOptions{}, FileRunHooks{}, options);
            if (!r) return r.error();
            return std::nullopt;
          }
          auto r = stream_table_file(path, out, q, std::nullopt, RunOptions{}, false, TableRules{}, FileRunHooks{},
                                     TextOptions{}, options);
          if (!r) return r.error();
          return std::nullopt;
        };
        std::string want_out, want_q;
        if (c.fail_after == SIZE_MAX) {
          ASSERT_FALSE(run(in, stream)) << label;
          want_out = slurp(out);
          want_q = slurp(q);
          fs::remove(out);
          fs::remove(q);
        }
        GrowingFile file(grown, c.text, static_cast<size_t>(static_cast<long>(c.text.size()) + c.size_error), 1000,
                         c.fail_after);
        stream.growing = file.input();
        file.start();
        const std::optional<RowvaneError> failed = run(grown, stream);
        if (c.fail_after != SIZE_MAX) {
          ASSERT_TRUE(failed) << label;
          EXPECT_EQ(failed->io.raw_os_error(), EIO) << label;
          EXPECT_STREQ(failed->operation, "read") << label;
          continue;
        }
        ASSERT_FALSE(failed) << label << ": " << failed->display();
        if (c.text.size() > GrowingFile::kLong) {
          EXPECT_GT(file.early_reads(), 0u) << label;  // it read while the file was written
        }
        EXPECT_EQ(slurp(out), want_out) << label;
        EXPECT_EQ(slurp(q), want_q) << label;
      }
    }
  }
}

TEST(StreamTest, NotUtf8IsHandedBack) {
  const struct {
    const char* name;
    std::string text;
  } cases[] = {
      {"late cp1252 byte", numbered(400) + "9,Ren\xE9,x,1\n"},
      {"early invalid byte", "a,b\n\xFF,1\n"},
      {"UTF-16 mark", std::string("\xFF\xFE" "a\0,\0b\0", 8)},
      {"NUL pattern", std::string("a\0,\0b\0\n\0" "1\0,\0" "2\0\n\0", 16)},
      {"cut sequence at the end", "a,b\n1,\xC3"},
      {"stray UTF-8 mark", "\xEF\xBB\xBF" "a,b\n\xE9,1\n"},
  };
  for (const auto& c : cases) {
    for (size_t block : {size_t{1}, size_t{3}, size_t{64}, size_t{1} << 20}) {
      for (size_t threads : {1, 2}) {
        EXPECT_EQ(streamed(c.text, block, threads).status, StreamStatus::NotUtf8)
            << c.name << " block " << block << " threads " << threads;
      }
    }
  }
}

// The speculative scan finds the rows a run would take, and only where a
// byte of the block follows them.
TEST(BlockScanTest, HintsAreTheScansOfTheSameBytes) {
  const std::string text = numbered(50);
  for (size_t block : {size_t{7}, size_t{64}, size_t{300}}) {
    for (size_t offset = 0; offset < text.size(); offset += block) {
      const std::string_view b = std::string_view(text).substr(offset, block);
      BlockScan scan;
      scan_block(b, offset, ScanSetup{',', '"', true}, scan);
      EXPECT_TRUE(scan.utf8_valid);
      for (const RowHint& h : scan.rows) {
        ASSERT_LT(h.begin - offset + h.next, b.size());
        SimpleRow row;
        ASSERT_TRUE(scan_simple_row(text, h.begin, ',', '"', row));
        EXPECT_EQ(row.next, h.begin + h.next);
        EXPECT_EQ(row.fields, h.fields);
      }
    }
  }
}

TEST(Utf8StitchTest, JoinsSequencesCutByBlocks) {
  const std::string good = "a\xC3\xA9" "b\xE6\x9D\xB1" "c\xF0\x9F\x98\x80" "d";
  const std::string bad[] = {"a\xC3", "\x80" "abc", "a\xE6\x9D" "b", "\xF0\x9F\x98\x80\x80", "\xED\xA0\x80"};
  for (size_t block = 1; block <= 8; ++block) {
    const auto check = [&](const std::string& text) {
      Utf8Stitch stitch;
      bool ok = true;
      for (size_t at = 0; at < text.size() && ok; at += block) {
        BlockScan scan;
        const std::string_view b = std::string_view(text).substr(at, block);
        scan_block(b, at, ScanSetup{}, scan);
        ok = stitch.add(b, scan);
      }
      return ok && stitch.finish();
    };
    EXPECT_TRUE(check(good)) << block;
    EXPECT_TRUE(check(repeat(good, 9))) << block;
    for (const std::string& b : bad) EXPECT_FALSE(check(b)) << block;
  }
}

}  // namespace
}  // namespace rowvane
