#include "core/stream.hpp"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <utility>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "core/block_scan.hpp"
#include "core/dialect.hpp"
#include "core/encoding.hpp"
#include "core/table_reconciler.hpp"
#include "core/writer.hpp"

namespace rowvane {

namespace {

using detail::InPlaceEncodeSink;
using detail::TableReconciler;
using Reconciler = TableReconciler<InPlaceEncodeSink>;

constexpr char kUtf8Bom[] = "\xEF\xBB\xBF";

// One block of the input, with room in front of it for the bytes the window
// carries over from the block before.
struct StreamBlock {
  std::unique_ptr<char[]> memory;
  size_t prefix = 0;  // bytes of room before data()
  size_t offset = 0;  // the input offset of its first byte
  size_t size = 0;    // bytes read; fewer than the block size at the end of the input
  size_t index = 0;
  BlockScan scan;
  std::optional<IoError> error;  // the read failed
  bool out_of_memory = false;    // the scan could not allocate

  char* data() noexcept { return memory.get() + prefix; }
  std::string_view view() noexcept { return std::string_view(data(), size); }
};

// Reads and scans the blocks: in order on the calling thread, or ahead of it
// on `workers` threads, each reading at its block's offset. The blocks in
// flight are a fixed pool: memory does not grow with the input.
class BlockReader {
 public:
  BlockReader(const StreamInput& input, size_t base, size_t block_size, size_t workers)
      : input_(input), base_(base), block_size_(block_size) {
    const size_t prefix = std::min<size_t>(block_size, size_t{1} << 20);
    // The window's block, the next one, the one being written, one per worker.
    const size_t pool = workers + 3;
    for (size_t i = 0; i < pool; ++i) {
      auto b = std::make_unique<StreamBlock>();
      b->memory = std::make_unique_for_overwrite<char[]>(prefix + block_size);
      b->prefix = prefix;
      free_.push_back(b.get());
      all_.push_back(std::move(b));
    }
    for (size_t i = 0; i < workers; ++i) threads_.emplace_back([this] { work(); });
  }
  BlockReader(const BlockReader&) = delete;
  BlockReader& operator=(const BlockReader&) = delete;
  ~BlockReader() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    changed_.notify_all();
    for (std::thread& t : threads_) t.join();
  }

  // The rows the scans look for, once the table's layout is known (blocks
  // read before are scanned for UTF-8 alone).
  void set_setup(const ScanSetup& setup) {
    std::lock_guard<std::mutex> lock(mutex_);
    setup_ = setup;
  }
  ScanSetup setup() {
    std::lock_guard<std::mutex> lock(mutex_);
    return setup_;
  }

  // The next block in input order.
  StreamBlock* next() {
    if (threads_.empty()) {
      StreamBlock* b = free_.back();
      free_.pop_back();
      fill(*b, next_out_++, setup_);
      return b;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    const size_t want = next_out_;
    StreamBlock* found = nullptr;
    const auto ready = [&] {
      for (StreamBlock* b : ready_) {
        if (b->index == want) found = b;
      }
      return found != nullptr;
    };
    // While the block it waits for is read, the run reads one further
    // ahead itself rather than sit idle.
    while (!ready()) {
      if (free_.empty() || ended_ || ready_.size() + 1 >= all_.size() - 1) {
        changed_.wait(lock);
        continue;
      }
      read_next(lock);
    }
    ready_.erase(std::find(ready_.begin(), ready_.end(), found));
    ++next_out_;
    lock.unlock();
    changed_.notify_all();
    return found;
  }

  void release(StreamBlock* b) {
    if (b == nullptr) return;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      free_.push_back(b);
    }
    changed_.notify_all();
  }

 private:
  void fill(StreamBlock& b, size_t index, const ScanSetup& setup) noexcept {
    b.index = index;
    b.offset = base_ + index * block_size_;
    b.size = 0;
    b.error.reset();
    b.out_of_memory = false;
    auto got = input_.read_at(input_.context, b.offset, b.data(), block_size_);
    if (!got) {
      b.error = std::move(got).error();
      b.scan.clear();
      return;
    }
    b.size = got.value();
    try {
      scan_block(b.view(), b.offset, setup, b.scan);
    } catch (const std::bad_alloc&) {
      b.out_of_memory = true;
    }
  }

  void work() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      // A block is claimed in input order, so the one the run waits for is
      // always claimed before any after it.
      changed_.wait(lock, [&] { return stop_ || (!free_.empty() && !ended_); });
      if (stop_) return;
      read_next(lock);
      changed_.notify_all();
    }
  }

  // Claims the next block in input order and reads it, with `lock` (held on
  // entry and on return) released meanwhile.
  void read_next(std::unique_lock<std::mutex>& lock) {
    StreamBlock* b = free_.back();
    free_.pop_back();
    const size_t index = next_read_++;
    const ScanSetup setup = setup_;
    lock.unlock();
    fill(*b, index, setup);
    lock.lock();
    // A short block ends the input: nothing past it is read.
    if (b->size < block_size_ || b->error || b->out_of_memory) ended_ = true;
    ready_.push_back(b);
  }

  const StreamInput& input_;
  size_t base_;  // the input offset of the first block
  size_t block_size_;
  std::vector<std::unique_ptr<StreamBlock>> all_;
  std::vector<std::thread> threads_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<StreamBlock*> free_;
  std::vector<StreamBlock*> ready_;
  size_t next_read_ = 0;
  size_t next_out_ = 0;
  bool ended_ = false;
  bool stop_ = false;
  ScanSetup setup_;
};

// The output written on a thread of its own, one block's records at a time,
// while the run goes on with the next block: the memory the pieces point to
// (the window's block, its scans' records) stays until wait() says they are
// written. Interrupts are the run's to check; here EINTR is retried.
class AsyncWrites {
 public:
  explicit AsyncWrites(ByteTarget& target) : target_(target), thread_([this] { loop(); }) {}
  AsyncWrites(const AsyncWrites&) = delete;
  AsyncWrites& operator=(const AsyncWrites&) = delete;
  ~AsyncWrites() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    changed_.notify_all();
    thread_.join();
  }

  // Waits for the pieces handed over last; the first write error, if any.
  IoStatus wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return !busy_; });
    return error_;
  }

  // Hands `pieces` over (it comes back empty); call wait() first.
  void submit(std::vector<struct iovec>& pieces) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      std::swap(work_, pieces);
      busy_ = true;
    }
    changed_.notify_all();
  }

 private:
  void loop() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      changed_.wait(lock, [&] { return stop_ || busy_; });
      if (!busy_) return;  // stopping, nothing in hand
      lock.unlock();
      IoStatus status = error_ ? std::nullopt : write_gathered(target_, work_, InterruptCheck{});
      work_.clear();
      lock.lock();
      if (status && !error_) error_ = std::move(status);
      busy_ = false;
      changed_.notify_all();
    }
  }

  ByteTarget& target_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<struct iovec> work_;
  IoStatus error_;
  bool busy_ = false;
  bool stop_ = false;
  std::thread thread_;  // last: it starts once the rest is built
};

// Whether the head of an input shows no sign of another encoding than
// UTF-8: no byte-order mark of UTF-16/32, no NUL pattern of a wide text.
bool utf8_signs(std::string_view head) noexcept {
  const BomMatch bom = match_bom(head);
  if (bom.length != 0) return bom.encoding == TextEncoding::Utf8;
  return wide_encoding_from_nuls(head) == TextEncoding::Utf8;
}

// The run over the window: the blocks joined in order, the reconciler
// reading across them, and the writers the finished rows go to.
class StreamRun {
 public:
  StreamRun(const StreamInput& input, const StreamTargets& targets, const RunOptions& options, bool quote_given,
            const TableRules& rules, const StreamOptions& stream, size_t keep_changes,
            const InterruptCheck& interrupt)
      : input_(input),
        targets_(targets),
        stream_(stream),
        keep_changes_(keep_changes),
        interrupt_(interrupt),
        // No block larger than the input (and the byte that shows its end):
        // the result does not depend on the block size, the memory does.
        block_size_(std::clamp<size_t>(stream.block_size, 1, std::min(kMaxBlockSize, input.size + 1))),
        base_(stream.part_start > 0 ? stream.part_start - 1 : 0),
        reader_(input, base_, block_size_, std::max<size_t>(stream.threads, 1) - 1),
        sink_{records_, '"', nullptr, 0},
        reconciler_(std::string_view(), options, quote_given, rules, sink_, quarantine_, changes_) {}

  StreamResult run(const InputEncoding& encoding, bool output_bom) {
    if (stream_.part_start > 0) return run_part(encoding);
    // The head: enough for the layout, and for the encoding's signs.
    const size_t head_bytes = std::max<size_t>(stream_.head_bytes, 1);
    while (!final_ && size_ < head_bytes) {
      if (!take_block(0)) return finish_early();
    }
    // The encoding's signs (a byte-order mark, where NULs fall) are read
    // from the first 64 KiB, as the decode stage reads them; a shorter head
    // reads them from itself alone.
    const std::string_view head(window_, std::min(size_, std::min(head_bytes, kDetectBytes)));
    if (!utf8_text(head, encoding)) return with_status(StreamStatus::NotUtf8);
    if (!stitch_.valid()) return with_status(StreamStatus::NotUtf8);

    reconciler_.stream(std::max(input_.size, size_), final_, &hints_, head_bytes);
    reconciler_.rebase(view(), 0);
    sink_.text = window_;
    sink_.size = size_;
    for (;;) {
      const Reconciler::Advance a = reconciler_.start();
      if (a == Reconciler::Advance::Done) break;
      if (!grow()) return finish_early();
    }
    if (reconciler_.started()) {
      const TableLayout& layout = reconciler_.layout();
      delimiter_ = layout.delimiter;
      reader_.set_setup(ScanSetup{layout.delimiter, layout.quote_char, reconciler_.fast_rows()});
      if (stream_.on_layout != nullptr) stream_.on_layout(stream_.layout_context, layout.delimiter, layout.quote_char);
    }
    if (!open_writers(output_bom)) return with_status(StreamStatus::Failed);
    return rows();
  }

 private:
  // The rows to the end of the input, or of the part.
  StreamResult rows() {
    StreamResult& r = result_;
    bool stopped = false;
    if (reconciler_.started()) {
      reconciler_.stop_at(stream_.part_stop);
      for (;;) {
        const Reconciler::Advance a = reconciler_.advance();
        if (a == Reconciler::Advance::Done) break;
        if (a == Reconciler::Advance::Stopped) {
          stopped = true;
          break;
        }
        if (a == Reconciler::Advance::Interrupted) return with_status(StreamStatus::Interrupted);
        if (!grow()) return finish_early();
      }
    }
    if (stopped) {
      // The bytes past the part are the next part's to check.
      r.summary = reconciler_.counts();
      r.next = reconciler_.position();
      r.lines = reconciler_.line() - 1;
      r.clean = reconciler_.clean();
    } else {
      r.summary = reconciler_.finish();
      if (!stitch_.finish()) return with_status(StreamStatus::NotUtf8);
      r.next = base_ + size_;
      r.lines = reconciler_.started() ? reconciler_.line() - 1 : 0;
    }
    r.tables_added = reconciler_.tables_added();
    r.reread_used = reconciler_.reread_used();
    r.reread_refused = reconciler_.reread_refused();
    if (!flush()) return with_status(StreamStatus::Failed);
    if (!close_writers()) return with_status(StreamStatus::Failed);
    r.summary.blocks = blocks_;
    r.summary.blocks_reparsed = hints_.missed_blocks();
    r.summary.encoding = encoding_name_;
    r.summary.encoding_source = source_;
    r.change_count = change_count_;
    r.status = StreamStatus::Done;
    return std::move(r);
  }

  // A part after the first: the layout and the header from the head, read
  // on their own; then the part's rows from its first record start.
  StreamResult run_part(const InputEncoding& encoding) {
    const size_t head_bytes = std::max<size_t>(stream_.head_bytes, 1);
    head_ = std::make_unique_for_overwrite<char[]>(head_bytes);
    auto got = input_.read_at(input_.context, 0, head_.get(), head_bytes);
    if (!got) {
      result_.error = std::move(got).error();
      result_.read_failed = true;
      return with_status(StreamStatus::Failed);
    }
    const std::string_view head(head_.get(), got.value());
    if (!utf8_text(head.substr(0, std::min(head_bytes, kDetectBytes)), encoding)) {
      return with_status(StreamStatus::NotUtf8);
    }
    reconciler_.stream(std::max(input_.size, head.size()), head.size() < head_bytes, nullptr, head_bytes);
    reconciler_.rebase(head, 0);
    sink_.text = head_.get();
    sink_.size = head.size();
    if (reconciler_.start() != Reconciler::Advance::Done || !reconciler_.started()) {
      return with_status(StreamStatus::Unsplittable);
    }
    // What the head's rows made is the first part's to write.
    records_.clear();
    quarantine_.clear();
    changes_.clear();
    const TableLayout& layout = reconciler_.layout();
    delimiter_ = layout.delimiter;
    reader_.set_setup(ScanSetup{layout.delimiter, layout.quote_char, reconciler_.fast_rows()});

    // The part's window starts a byte early: a line break there means a
    // record starts right at part_start.
    size_t first = std::string_view::npos;
    while (first == std::string_view::npos) {
      const size_t from = size_ > 0 ? size_ - 1 : 0;  // a CR that ended the window may have its LF now
      if (!final_ && !take_block(0)) return finish_early();
      for (size_t i = from; i < size_ && first == std::string_view::npos; ++i) {
        if (window_[i] == '\n') first = i + 1;
        if (window_[i] == '\r' && i + 1 < size_) first = window_[i + 1] == '\n' ? i + 2 : i + 1;
      }
      if (first == std::string_view::npos && final_) first = size_;
    }
    result_.first = base_ + first;
    reconciler_.resume_at(view(), base_, first);
    reconciler_.set_final(final_);
    reconciler_.stream(std::max(input_.size, base_ + size_), final_, &hints_, head_bytes);
    sink_.text = window_;
    sink_.size = size_;
    if (!open_writers(false)) return with_status(StreamStatus::Failed);
    return rows();
  }

  std::string_view view() const noexcept { return std::string_view(window_, size_); }

  StreamResult with_status(StreamStatus status) {
    result_.status = status;
    return std::move(result_);
  }

  // take_block or grow stopped: a read failed, an interrupt, or bad bytes.
  StreamResult finish_early() { return with_status(stop_status_); }

  // Whether the head says the text is UTF-8 (or given as UTF-8): no mark or
  // NUL pattern naming UTF-16/32.
  bool utf8_text(std::string_view head, const InputEncoding& encoding) {
    if (encoding.given) {
      if (encoding.encoding != TextEncoding::Utf8) return false;
      source_ = EncodingSource::Given;
      encoding_name_ = encoding.name;
      return true;
    }
    if (!utf8_signs(head)) return false;
    source_ = match_bom(head).length != 0 ? EncodingSource::Bom : EncodingSource::Utf8;
    encoding_name_ = "utf-8";
    return true;
  }

  // Joins the next block to the window, after its bytes [keep, size) moved
  // to its front (`keep` 0 keeps all). False when the run must stop.
  bool take_block(size_t keep) {
    if (interrupt_.should_stop()) {
      stop_status_ = StreamStatus::Interrupted;
      return false;
    }
    // The block's memory, or big_, may still be written from.
    if (async_ && writing_big_ && !wait_writes()) return false;
    StreamBlock* b = reader_.next();
    if (b->error) {
      result_.error = std::move(b->error);
      result_.read_failed = true;
      reader_.release(b);
      stop_status_ = StreamStatus::Failed;
      return false;
    }
    if (b->out_of_memory) {
      reader_.release(b);
      throw std::bad_alloc();
    }
    ++blocks_;
    if (!stitch_.add(b->view(), b->scan)) {
      reader_.release(b);
      stop_status_ = StreamStatus::NotUtf8;
      return false;
    }
    const size_t carry = size_ - keep;
    const char* from = window_ + keep;
    final_ = b->size < block_size_;
    // The scan moves to the run's own list, where the hints find it until
    // the window passes its block.
    // (A scan given back before lends the block its memory.)
    if (spare_scans_.empty()) {
      scans_.emplace_back();
    } else {
      scans_.push_back(std::move(spare_scans_.back()));
      spare_scans_.pop_back();
    }
    std::swap(scans_.back(), b->scan);
    if (carry <= b->prefix) {
      char* start = b->data() - carry;
      if (carry != 0) std::memcpy(start, from, carry);
      window_ = start;
      size_ = carry + b->size;
      let_go(block_);
      block_ = b;
      // A long row is behind: its memory goes back.
      big_.reset();
      big_capacity_ = 0;
    } else {
      // A window longer than a block's room: rows held back, or one long
      // record. Its memory doubles as it fills, so a record is read again
      // a bounded number of times.
      const size_t need = carry + b->size;
      if (need > big_capacity_ || big_ == nullptr) {
        const size_t capacity = std::max(need, big_capacity_ * 2);
        auto bigger = std::make_unique_for_overwrite<char[]>(capacity);
        if (carry != 0) std::memcpy(bigger.get(), from, carry);
        big_ = std::move(bigger);
        big_capacity_ = capacity;
      } else if (carry != 0 && from != big_.get()) {
        std::memmove(big_.get(), from, carry);  // the carry may lie in big_ itself
      }
      std::memcpy(big_.get() + carry, b->data(), b->size);
      window_ = big_.get();
      size_ = need;
      let_go(block_);
      reader_.release(b);
      block_ = nullptr;
    }
    base_ += keep;
    hints_.add(&scans_.back());
    return true;
  }

  // The window cannot hold the next row: write out what is done, keep the
  // rest, and join blocks until the window has room to go on.
  bool grow() {
    const size_t keep = reconciler_.started() ? reconciler_.keep_from() : 0;
    if (writers_open_ && !flush()) {
      stop_status_ = StreamStatus::Failed;
      return false;
    }
    if (stream_.progress != nullptr &&
        !stream_.progress(stream_.progress_context, base_ + keep, std::max(input_.size, base_ + size_))) {
      stop_status_ = StreamStatus::Interrupted;
      return false;
    }
    const size_t carry = size_ - keep;
    if (!take_block(keep)) return false;
    // Little was done since the last block: the next row is long. Join
    // blocks until the window is twice what it carried, so that reading the
    // row again stays linear in its length.
    while (!final_ && size_ < 2 * carry) {
      if (!take_block(0)) return false;
    }
    reconciler_.rebase(view(), keep);
    reconciler_.set_final(final_);
    sink_.text = window_;
    sink_.size = size_;
    hints_.drop_before(base_);
    if (!async_) drop_scans();
    return true;
  }

  // The scans of blocks wholly before the window: their records are written.
  void drop_scans() {
    while (!scans_.empty() && scans_.front().offset + scans_.front().size <= base_) {
      if (spare_scans_.size() < 4) spare_scans_.push_back(std::move(scans_.front()));
      scans_.pop_front();
    }
  }

  // A block the window leaves: back to the reader, unless its records are
  // being written from it.
  void let_go(StreamBlock* b) {
    if (b != nullptr && b == writing_block_) {
      retired_ = b;
    } else {
      reader_.release(b);
    }
  }

  // Waits for the output handed over last, then lets go of what it was
  // written from.
  bool wait_writes() {
    if (IoStatus status = async_->wait()) {
      failed(std::move(*status), RunFile::Output);
      stop_status_ = StreamStatus::Failed;
      return false;
    }
    reader_.release(retired_);
    retired_ = nullptr;
    writing_block_ = nullptr;
    writing_big_ = false;
    records_spare_.clear();
    drop_scans();
    return true;
  }

  bool open_writers(bool output_bom) {
    writers_open_ = true;
    if (targets_.output != nullptr && stream_.threads > 1) {
      // The output's records go to the file on a thread of their own.
      const TableLayout& layout = reconciler_.layout();
      records_spare_.begin(layout.delimiter, layout.quote_char, 1024, size_t{1} << 20);
      async_.emplace(*targets_.output);
    }
    if (targets_.output != nullptr && output_bom) {
      pieces_.push_back(iovec{const_cast<char*>(kUtf8Bom), 3});
      if (IoStatus status = write_gathered(*targets_.output, pieces_, interrupt_)) {
        return failed(std::move(*status), RunFile::Output);
      }
    }
    if (targets_.quarantine != nullptr) {
      quarantine_writer_.emplace(*targets_.quarantine, interrupt_);
      if (!write(*quarantine_writer_, RunFile::Quarantine, kQuarantineHeader)) return false;
    }
    if (targets_.changes != nullptr) {
      changes_writer_.emplace(*targets_.changes, interrupt_);
      if (!write(*changes_writer_, RunFile::Changes, kChangeLogHeader)) return false;
    }
    return true;
  }

  bool write(BufferedWriter& writer, RunFile which, std::string_view text) {
    if (IoStatus status = writer.write(text)) return failed(std::move(*status), which);
    return true;
  }

  bool failed(IoError error, RunFile which) {
    result_.error = std::move(error);
    result_.failed_file = which;
    return false;
  }

  // Hands the rows done so far to the writers, so that the window may drop
  // their text.
  bool flush() {
    if (targets_.output != nullptr) {
      // The records lie in the window, most of them where their rows were
      // read: written from there, stretch by stretch, a few calls a block.
      if (async_ && !wait_writes()) return false;
      records_.for_each_stretch([&](std::string_view s) {
        pieces_.push_back(iovec{const_cast<char*>(s.data()), s.size()});
      });
      if (async_) {
        async_->submit(pieces_);
        writing_block_ = block_;
        writing_big_ = block_ == nullptr;
        std::swap(records_, records_spare_);  // these stay until written
      } else if (IoStatus status = write_gathered(*targets_.output, pieces_, interrupt_)) {
        return failed(std::move(*status), RunFile::Output);
      }
    }
    records_.clear();
    for (size_t i = 0; i < quarantine_.size() && result_.quarantine.size() < stream_.keep_quarantine; ++i) {
      result_.quarantine.push_back(quarantine_[i]);
    }
    for (const QuarantineRecord& q : quarantine_) {
      if (!quarantine_writer_) break;
      line_.clear();
      append_quarantine_line(line_, q.line, q.reason, q.fields, delimiter_);
      if (!write(*quarantine_writer_, RunFile::Quarantine, line_)) return false;
    }
    reconciler_.drained(quarantine_.size());
    quarantine_.clear();
    for (ChangeRecord& c : changes_) {
      if (result_.changes.size() < keep_changes_) {
        result_.changes.push_back(TableCheck::Change{c.line, c.action, c.raw});
      }
      ++change_count_;
      if (!changes_writer_) continue;
      line_.clear();
      append_change_line(line_, c.line, c.action, c.raw, c.written);
      if (!write(*changes_writer_, RunFile::Changes, line_)) return false;
    }
    changes_.clear();
    return true;
  }

  bool close_writers() {
    if (async_ && !wait_writes()) return false;
    if (quarantine_writer_) {
      if (IoStatus status = quarantine_writer_->flush()) return failed(std::move(*status), RunFile::Quarantine);
    }
    if (changes_writer_) {
      if (IoStatus status = changes_writer_->flush()) return failed(std::move(*status), RunFile::Changes);
    }
    return true;
  }

  const StreamInput& input_;
  const StreamTargets& targets_;
  const StreamOptions& stream_;
  size_t keep_changes_;
  const InterruptCheck& interrupt_;
  size_t block_size_;
  // The window: bytes [base_, base_ + size_) of the input, in a block's
  // memory (block_) or in big_.
  size_t base_ = 0;
  BlockReader reader_;
  StreamResult result_;
  StreamStatus stop_status_ = StreamStatus::Failed;

  char* window_ = nullptr;
  size_t size_ = 0;
  bool final_ = false;
  StreamBlock* block_ = nullptr;
  std::unique_ptr<char[]> big_;
  size_t big_capacity_ = 0;
  std::deque<BlockScan> scans_;      // the scans of the window's blocks
  std::vector<BlockScan> spare_scans_;
  RowHints hints_;
  Utf8Stitch stitch_;
  size_t blocks_ = 0;

  EncodedRecords records_;
  EncodedRecords records_spare_;  // the records being written, when the output has a thread
  std::vector<QuarantineRecord> quarantine_;
  std::vector<ChangeRecord> changes_;
  InPlaceEncodeSink sink_;
  Reconciler reconciler_;
  unsigned char delimiter_ = ',';
  std::vector<struct iovec> pieces_;  // the output's stretches being written
  std::unique_ptr<char[]> head_;      // a part's head, read apart
  std::optional<BufferedWriter> quarantine_writer_;
  std::optional<BufferedWriter> changes_writer_;
  bool writers_open_ = false;
  std::string line_;
  size_t change_count_ = 0;
  std::string encoding_name_ = "utf-8";
  EncodingSource source_ = EncodingSource::Utf8;
  // The output's writes on a thread of their own (threads > 1): the block
  // and the window memory they are made from. Last, so that the thread is
  // gone before anything it writes from.
  StreamBlock* writing_block_ = nullptr;
  bool writing_big_ = false;
  StreamBlock* retired_ = nullptr;  // writing_block_, once the window left it
  std::optional<AsyncWrites> async_;
};

}  // namespace

StreamResult stream_table(const StreamInput& input, const StreamTargets& targets, const RunOptions& options,
                          bool quote_given, TableRules rules, const InputEncoding& encoding, bool output_bom,
                          const StreamOptions& stream, size_t keep_changes, const InterruptCheck& interrupt) {
  rules.marks = nullptr;  // valid UTF-8 carries no decode marks
  rules.fallback_action = nullptr;
  rules.interrupt = &interrupt;
  rules.log_changes = rules.log_changes || targets.changes != nullptr || keep_changes > 0;
  StreamRun run(input, targets, options, quote_given, rules, stream, keep_changes, interrupt);
  return run.run(encoding, output_bom);
}

namespace {

Expected<size_t, IoError> pread_all(void* context, size_t offset, char* dst, size_t n) {
  const int fd = *static_cast<const int*>(context);
  size_t got = 0;
  while (got < n) {
    const ssize_t r = ::pread(fd, dst + got, n - got, static_cast<off_t>(offset + got));
    if (r < 0) {
      if (errno == EINTR) continue;  // a regular file's read; the run checks for stops between blocks
      return IoError::from_errno(errno);
    }
    if (r == 0) break;
    got += static_cast<size_t>(r);
  }
  return got;
}

constexpr char kLongerMessage[] = "the input grew past the size it was said to have";

// A read of a file still being written: it waits for the bytes it asks for.
struct GrowingSource {
  int fd;
  const GrowingInput* growing;
  const InterruptCheck* interrupt;
};

Expected<size_t, IoError> growing_read(void* context, size_t offset, char* dst, size_t n) {
  auto& g = *static_cast<GrowingSource*>(context);
  const size_t end = offset > SIZE_MAX - n ? SIZE_MAX : offset + n;
  auto state = g.growing->wait(g.growing->context, end, *g.interrupt);
  if (!state) return std::move(state).error();
  // Longer than said: the run stops here and goes again once the file is
  // complete (its work so far was done while the file was written).
  if (state.value().size > g.growing->expected_size) return IoError::fixed(IoErrorKind::Other, kLongerMessage);
  return pread_all(&g.fd, offset, dst, n);
}

RowvaneError step_failure(IoError error, const std::string& path, const char* operation) {
  RowvaneError e{std::move(error)};
  e.path = path;
  e.operation = operation;
  return e;
}

ByteTarget* target_of(const FileRunHooks& hooks, std::optional<OutputFile>& file, RunFile which) {
  if (!file) return nullptr;
  if (hooks.wrap_target == nullptr) return &file->file();
  return hooks.wrap_target(hooks.context, file->file(), which);
}

bool names_input(const std::string& path, const FileIdentity& id) noexcept {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && st.st_dev == id.dev && st.st_ino == id.ino;
}

// Whether the regular file `fd` is UTF-8 throughout as a streamed run
// decides it, read in blocks of a MiB.
Expected<bool, RowvaneError> utf8_throughout(int fd, const std::string& path, const InterruptCheck& interrupt) {
  constexpr size_t kBlock = size_t{1} << 20;
  auto block = std::make_unique_for_overwrite<char[]>(kBlock);
  Utf8Stitch stitch;
  BlockScan scan;
  const ScanSetup setup{',', '"', false};  // the UTF-8 check alone
  for (size_t offset = 0;; offset += kBlock) {
    if (interrupt.should_stop()) return step_failure(interrupted_error(), path, "read");
    auto got = pread_all(&fd, offset, block.get(), kBlock);
    if (!got) return step_failure(std::move(got).error(), path, "read");
    const std::string_view view(block.get(), got.value());
    if (offset == 0 && !utf8_signs(view.substr(0, std::min(view.size(), kDetectBytes)))) return false;
    scan_block(view, offset, setup, scan);
    if (!stitch.add(view, scan)) return false;
    if (got.value() < kBlock) return stitch.finish();
  }
}

// Whether `path` names something other than a regular file (a FIFO, a
// device): written directly, what a run writes there cannot be taken back.
bool names_other_than_file(const std::optional<std::string>& path) noexcept {
  struct stat st;
  return path && !path->empty() && ::stat(path->c_str(), &st) == 0 && !S_ISREG(st.st_mode);
}

// The streamed run of a file; `check` set: nothing is written, the change
// records go there. Returns nullopt when the input must be run whole.
std::optional<Expected<TableSummary, RowvaneError>> stream_file(
    const std::string& input_path, const std::string& output_path,
    const std::optional<std::string>& quarantine_path, const std::optional<std::string>& changes_path,
    const RunOptions& options, bool quote_given, const TableRules& rules, const FileRunHooks& hooks,
    const TextOptions& text, const StreamOptions& stream, TableCheck* check, StreamResult* part = nullptr) {
  using Result = Expected<TableSummary, RowvaneError>;
  if (text.input.given && text.input.encoding != TextEncoding::Utf8) return std::nullopt;
  const InterruptCheck& interrupt = hooks.interrupt;
  auto input = FileHandle::open_read(input_path, interrupt);
  if (!input) return Result(step_failure(std::move(input).error(), input_path, "open"));
  const std::optional<FileIdentity> input_id = input.value().identity();
  if (!input_id) return Result(step_failure(IoError::from_errno(errno), input_path, "stat"));
  if (!S_ISREG(input_id->mode)) return std::nullopt;
  int fd = input.value().get();

  std::optional<OutputFile> output, quarantine, changes;
  if (check == nullptr) {
    // A run found not UTF-8 late starts again whole: its outputs so far must
    // be ones it can drop, so an output it writes directly waits for the
    // input to be known UTF-8 throughout.
    if (names_other_than_file(output_path) || names_other_than_file(quarantine_path) ||
        names_other_than_file(changes_path)) {
      if (stream.growing != nullptr) return std::nullopt;  // once the input is complete
      auto utf8 = utf8_throughout(fd, input_path, interrupt);
      if (!utf8) return Result(std::move(utf8).error());
      if (!utf8.value()) return std::nullopt;
    }
    const auto create = [&](const std::string& path, std::optional<OutputFile>& into) -> std::optional<RowvaneError> {
      auto file = OutputFile::create(path, input_id, fd, interrupt);
      if (!file) return step_failure(std::move(file).error(), path, "open");
      into.emplace(std::move(file.value()));
      return std::nullopt;
    };
    if (auto e = create(output_path, output)) return Result(std::move(*e));
    if (quarantine_path) {
      if (auto e = create(*quarantine_path, quarantine)) return Result(std::move(*e));
    }
    if (changes_path) {
      if (auto e = create(*changes_path, changes)) return Result(std::move(*e));
    }
  }
  StreamTargets targets{target_of(hooks, output, RunFile::Output), target_of(hooks, quarantine, RunFile::Quarantine),
                        target_of(hooks, changes, RunFile::Changes)};
  GrowingSource growing{fd, stream.growing, &interrupt};
  const StreamInput source = stream.growing != nullptr
                                 ? StreamInput{growing_read, &growing, stream.growing->expected_size}
                                 : StreamInput{pread_all, &fd, input_id->size};
  StreamResult r = stream_table(source, targets, options, quote_given, rules, text.input, text.output_bom, stream,
                                check != nullptr ? check->change_count : 0, interrupt);
  if (stream.growing != nullptr) {
    // Had the file another size than the run assumed, the run goes again
    // (the caller's fallback). A run that reached the end knows the file
    // complete; one stopped early may have found it longer.
    const bool done = r.status == StreamStatus::Done;
    auto state = stream.growing->wait(stream.growing->context, done ? SIZE_MAX : 0, interrupt);
    if (!state && done) return Result(step_failure(std::move(state).error(), input_path, "read"));
    const size_t expected = stream.growing->expected_size;
    if (state && (state.value().size > expected || (done && state.value().size != expected))) return std::nullopt;
  }
  if (part != nullptr) {
    part->status = r.status;
    part->first = r.first;
    part->next = r.next;
    part->lines = r.lines;
    part->clean = r.clean;
    part->tables_added = r.tables_added;
    part->reread_used = r.reread_used;
    part->reread_refused = r.reread_refused;
  }
  switch (r.status) {
    case StreamStatus::Done: break;
    case StreamStatus::NotUtf8:
    case StreamStatus::Unsplittable: return std::nullopt;  // the temporary files go with `output` and the others
    case StreamStatus::Interrupted: return Result(step_failure(interrupted_error(), input_path, "read"));
    case StreamStatus::Failed: {
      IoError error = r.error ? std::move(*r.error) : IoError::fixed(IoErrorKind::Other, "stream failed");
      if (r.read_failed) return Result(step_failure(std::move(error), input_path, "read"));
      const std::string& path = r.failed_file == RunFile::Output       ? output_path
                                : r.failed_file == RunFile::Quarantine ? *quarantine_path
                                                                       : *changes_path;
      return Result(step_failure(std::move(error), path, "write"));
    }
  }
  if (check != nullptr) {
    check->changes = std::move(r.changes);
    check->change_count = r.change_count;
    return Result(std::move(r.summary));
  }
  // The side files are committed before an output that replaces the input,
  // so the rows set aside are never lost with it; else the output goes first.
  const bool side_names_input = (quarantine_path && names_input(*quarantine_path, *input_id)) ||
                                (changes_path && names_input(*changes_path, *input_id));
  const bool output_last = output->via_temporary() && !side_names_input;
  if (!output_last) {
    if (IoStatus status = output->commit()) return Result(step_failure(std::move(*status), output_path, "rename"));
  }
  if (quarantine) {
    if (IoStatus status = quarantine->commit()) {
      return Result(step_failure(std::move(*status), *quarantine_path, "rename"));
    }
  }
  if (changes) {
    if (IoStatus status = changes->commit()) return Result(step_failure(std::move(*status), *changes_path, "rename"));
  }
  if (output_last) {
    if (IoStatus status = output->commit()) return Result(step_failure(std::move(*status), output_path, "rename"));
  }
  output->file().close();
  input.value().close();
  return Result(std::move(r.summary));
}

bool has_nul_byte(const std::string& s) noexcept { return s.find('\0') != std::string::npos; }

// Before a run that reads a growing input whole or from its start again:
// waits for it to be complete; the writer's failure otherwise.
std::optional<RowvaneError> await_complete(const StreamOptions& stream, const std::string& path,
                                           const InterruptCheck& interrupt) {
  if (stream.growing == nullptr) return std::nullopt;
  auto state = stream.growing->wait(stream.growing->context, SIZE_MAX, interrupt);
  if (!state) return step_failure(std::move(state).error(), path, "read");
  return std::nullopt;
}

// The streamed run `attempt` (unless the paths are refused); a growing
// input it hands back is waited for and streamed once more, complete.
// nullopt: the input is to be run whole (complete by then).
template <class Attempt>
std::optional<Expected<TableSummary, RowvaneError>> stream_or_complete(bool refused, const StreamOptions& stream,
                                                                       const std::string& path,
                                                                       const InterruptCheck& interrupt,
                                                                       Attempt attempt) {
  if (!refused) {
    auto streamed = attempt(stream);
    if (streamed) return streamed;
  }
  if (stream.growing == nullptr) return std::nullopt;
  if (auto e = await_complete(stream, path, interrupt)) return Expected<TableSummary, RowvaneError>(std::move(*e));
  if (refused) return std::nullopt;
  StreamOptions complete = stream;
  complete.growing = nullptr;
  return attempt(complete);
}

}  // namespace

Expected<TableSummary, RowvaneError> stream_table_file(
    const std::string& input_path, const std::string& output_path,
    const std::optional<std::string>& quarantine_path, const std::optional<std::string>& changes_path,
    const RunOptions& options, bool quote_given, TableRules rules, const FileRunHooks& hooks,
    const TextOptions& text, const StreamOptions& stream) {
  // Refusals of the paths come from the whole run, which makes them first.
  const bool refused = has_nul_byte(input_path) || has_nul_byte(output_path) ||
                       (quarantine_path && (has_nul_byte(*quarantine_path) || same_destination(output_path, *quarantine_path))) ||
                       (changes_path && (has_nul_byte(*changes_path) || same_destination(output_path, *changes_path))) ||
                       (quarantine_path && changes_path && same_destination(*quarantine_path, *changes_path));
  auto streamed = stream_or_complete(refused, stream, input_path, hooks.interrupt, [&](const StreamOptions& s) {
    return stream_file(input_path, output_path, quarantine_path, changes_path, options, quote_given, rules, hooks,
                       text, s, nullptr);
  });
  if (streamed) return std::move(*streamed);
  return rowvane_table_file(input_path, output_path, quarantine_path, changes_path, options, quote_given, rules,
                            hooks, text);
}

Expected<RunSummary, RowvaneError> stream_basic_file(const std::string& input_path, const std::string& output_path,
                                                     const std::optional<std::string>& quarantine_path,
                                                     const RunOptions& options, const FileRunHooks& hooks,
                                                     const StreamOptions& stream) {
  const bool refused = has_nul_byte(input_path) || has_nul_byte(output_path) ||
                       (quarantine_path && (has_nul_byte(*quarantine_path) || same_destination(output_path, *quarantine_path)));
  auto streamed = stream_or_complete(refused, stream, input_path, hooks.interrupt, [&](const StreamOptions& s) {
    return stream_file(input_path, output_path, quarantine_path, std::nullopt, options, true, basic_rules(), hooks,
                       TextOptions{}, s, nullptr);
  });
  if (streamed) {
    if (!*streamed) return std::move(*streamed).error();
    return std::move(streamed->value().run);
  }
  return rowvane_file(input_path, output_path, quarantine_path, options, hooks);
}

Expected<bool, RowvaneError> streams_as_utf8(const std::string& path, const InterruptCheck& interrupt) {
  auto input = FileHandle::open_read(path, interrupt);
  if (!input) return step_failure(std::move(input).error(), path, "open");
  const std::optional<FileIdentity> id = input.value().identity();
  if (!id) return step_failure(IoError::from_errno(errno), path, "stat");
  if (!S_ISREG(id->mode)) return false;
  return utf8_throughout(input.value().get(), path, interrupt);
}

Expected<StreamResult, RowvaneError> stream_into(const std::string& input_path, ByteTarget* output,
                                                 const RunOptions& options, bool quote_given, TableRules rules,
                                                 const FileRunHooks& hooks, const StreamOptions& stream) {
  auto input = FileHandle::open_read(input_path, hooks.interrupt);
  if (!input) return step_failure(std::move(input).error(), input_path, "open");
  return stream_into(input.value(), input_path, output, options, quote_given, std::move(rules), hooks, stream);
}

Expected<StreamResult, RowvaneError> stream_into(const FileHandle& input, const std::string& input_path,
                                                 ByteTarget* output, const RunOptions& options, bool quote_given,
                                                 TableRules rules, const FileRunHooks& hooks,
                                                 const StreamOptions& stream) {
  const InterruptCheck& interrupt = hooks.interrupt;
  const std::optional<FileIdentity> id = input.identity();
  if (!id) return step_failure(IoError::from_errno(errno), input_path, "stat");
  StreamResult r;
  r.status = StreamStatus::NotUtf8;
  if (!S_ISREG(id->mode)) return r;
  int fd = input.get();
  StreamInput source{pread_all, &fd, id->size};
  r = stream_table(source, StreamTargets{output, nullptr, nullptr}, options, quote_given, rules, InputEncoding{},
                   false, stream, 0, interrupt);
  if (r.status == StreamStatus::Interrupted) return step_failure(interrupted_error(), input_path, "read");
  if (r.status == StreamStatus::Failed) {
    IoError error = r.error ? std::move(*r.error) : IoError::fixed(IoErrorKind::Other, "stream failed");
    return step_failure(std::move(error), r.read_failed ? input_path : std::string(), r.read_failed ? "read" : "write");
  }
  return r;
}

Expected<TableCheck, RowvaneError> stream_check_table_file(const std::string& input_path,
                                                           const RunOptions& options, bool quote_given,
                                                           TableRules rules, const FileRunHooks& hooks,
                                                           const TextOptions& text, size_t keep,
                                                           const StreamOptions& stream) {
  if (auto e = await_complete(stream, input_path, hooks.interrupt)) return std::move(*e);
  if (!has_nul_byte(input_path)) {
    TableCheck check;
    check.change_count = keep;
    auto streamed = stream_file(input_path, std::string(), std::nullopt, std::nullopt, options, quote_given, rules,
                                hooks, text, stream, &check);
    if (streamed) {
      if (!*streamed) return std::move(*streamed).error();
      check.summary = std::move(streamed->value());
      return check;
    }
  }
  return check_table_file(input_path, options, quote_given, rules, hooks, text, keep);
}

Expected<StreamResult, RowvaneError> stream_part_file(
    const std::string& input_path, const std::string& output_path,
    const std::optional<std::string>& quarantine_path, const std::optional<std::string>& changes_path,
    const RunOptions& options, bool quote_given, TableRules rules, const FileRunHooks& hooks,
    const TextOptions& text, const StreamOptions& stream) {
  StreamResult part;
  part.status = StreamStatus::Unsplittable;  // unless the run says otherwise (an input that is no regular file)
  if (has_nul_byte(input_path) || has_nul_byte(output_path)) {
    return RowvaneError{IoError::fixed(IoErrorKind::InvalidInput, kNulInPathMessage)};
  }
  auto streamed = stream_file(input_path, output_path, quarantine_path, changes_path, options, quote_given, rules,
                              hooks, text, stream, nullptr, &part);
  if (streamed) {
    if (!*streamed) return std::move(*streamed).error();
    part.summary = std::move(streamed->value());
  }
  return part;
}

}  // namespace rowvane
