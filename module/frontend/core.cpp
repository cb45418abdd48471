// csv_rowvane._core: the front end's native module over the same core as
// _csv_rowvane_backend, through the same calling frame (module/frame.hpp).
// Its runs work with the interpreter lock released: the core is Python-free,
// and the lock is taken back only for what needs the interpreter (the
// front end's encoding detector, Python's codecs, the signal handlers of the
// main thread, briefly, once per block of input). Every run can be
// cancelled from any thread (cancel_runs()).
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

#include "core/dialect.hpp"
#include "core/error.hpp"
#include "core/file.hpp"
#include "core/records.hpp"
#include "core/rowvane.hpp"
#include "core/stream.hpp"
#include "core/text_input.hpp"
#include "core/utf8.hpp"
#include "module/frame.hpp"
#include "module/frontend/arrow.hpp"

namespace rowvane::frontend {
namespace {

using namespace rowvane::py;

// --- Runs without the interpreter lock ---------------------------------------

// Raised (as the exception's text) by a run that cancel_runs() stopped.
constexpr const char kCancelledMessage[] = "the run was cancelled";

// Bumped by cancel_runs(): a run started under an older value stops at its
// next check.
std::atomic<std::uint64_t> g_cancel_generation{0};

// How often the main thread's signal handlers get to run during a run.
constexpr auto kSignalInterval = std::chrono::milliseconds(20);

// Whether this is the interpreter's main thread, the only one on which
// signal handlers run: elsewhere nothing is gained by taking the lock for
// them. (A failure to tell is taken as "no" and cleared.)
bool on_main_thread() noexcept {
  PyObject* threading = PyImport_ImportModule("threading");
  PyObject* main = threading != nullptr ? PyObject_CallMethod(threading, "main_thread", nullptr) : nullptr;
  PyObject* ident = main != nullptr ? PyObject_GetAttrString(main, "ident") : nullptr;
  const unsigned long value = ident != nullptr ? PyLong_AsUnsignedLong(ident) : 0;
  Py_XDECREF(ident);
  Py_XDECREF(main);
  Py_XDECREF(threading);
  if (PyErr_Occurred()) {
    PyErr_Clear();
    return false;
  }
  return value == PyThread_get_thread_ident();
}

// One run's link to the interpreter while it works without the lock.
struct RunContext {
  PyThreadState* saved = nullptr;  // set while the lock is released
  std::uint64_t generation = g_cancel_generation.load(std::memory_order_acquire);
  bool main_thread = on_main_thread();
  std::thread::id owner = std::this_thread::get_id();  // the thread that released the lock
  std::chrono::steady_clock::time_point next_signal_check{};
  bool cancelled = false;
  PyObject* chooser = nullptr;  // the front end's page chooser, borrowed
  PyObject* progress = nullptr;  // progress(done, total) after each block, borrowed
};

// Releases the lock for the life of the object.
class Unlocked {
 public:
  explicit Unlocked(RunContext& run) noexcept : run_(run) { run_.saved = PyEval_SaveThread(); }
  ~Unlocked() {
    PyEval_RestoreThread(run_.saved);
    run_.saved = nullptr;
  }
  Unlocked(const Unlocked&) = delete;
  Unlocked& operator=(const Unlocked&) = delete;

 private:
  RunContext& run_;
};

// Takes the lock back, for a callback made while it was released. Nested
// (a codec's decode asks whether to stop), the inner one finds the lock
// held and leaves it be.
class Relocked {
 public:
  explicit Relocked(RunContext& run) noexcept : run_(run), held_(run.saved != nullptr) {
    if (held_) PyEval_RestoreThread(std::exchange(run_.saved, nullptr));
  }
  ~Relocked() {
    if (held_) run_.saved = PyEval_SaveThread();
  }
  Relocked(const Relocked&) = delete;
  Relocked& operator=(const Relocked&) = delete;

 private:
  RunContext& run_;
  bool held_;
};

// The run's interrupt check: cancelled from any thread, or, on the main
// thread, a signal handler that raised (KeyboardInterrupt on Ctrl-C). The
// run's other threads (reading ahead, which may wait for an input still
// being written) see the cancellation alone: the lock, and what the run
// notes, are the thread's that released it.
bool run_should_stop(void* context) noexcept {
  RunContext& run = *static_cast<RunContext*>(context);
  const bool cancelled = g_cancel_generation.load(std::memory_order_acquire) != run.generation;
  if (std::this_thread::get_id() != run.owner) return cancelled;
  if (cancelled) {
    run.cancelled = true;
    return true;
  }
  if (!run.main_thread) return false;
  const auto now = std::chrono::steady_clock::now();
  if (now < run.next_signal_check) return false;
  run.next_signal_check = now + kSignalInterval;
  Relocked lock(run);
  return PyErr_CheckSignals() < 0;
}

InterruptCheck run_interrupt(RunContext& run) noexcept { return InterruptCheck{&run_should_stop, &run}; }

// Raises the failure of a run: a signal handler's exception or a callback's
// (already pending), a cancellation, an undecodable byte, or the OSError of
// the file that failed.
[[noreturn]] void raise_failure(const RunContext& run, const RowvaneError& error);

// --- Arguments ----------------------------------------------------------------

std::string text_of(const char* param, PyObject* obj) {
  return std::string(convert(param, [&] { return to_text(obj); }));
}

std::optional<std::string> optional_text(const char* param, PyObject* obj) {
  if (obj == nullptr) return std::nullopt;
  return text_of(param, obj);
}

// One ASCII character, or nothing.
std::optional<unsigned char> char_of(const char* param, PyObject* obj) {
  if (obj == nullptr) return std::nullopt;
  const std::string s = text_of(param, obj);
  if (s.size() != 1 || static_cast<unsigned char>(s[0]) >= 0x80) {
    raise(PyExc_ValueError, std::string(param) + " must be a single ASCII character (U+0000 to U+007F)");
  }
  return static_cast<unsigned char>(s[0]);
}

bool flag_of(const BoundArgs& args, size_t i, const char* param, bool otherwise) {
  PyObject* v = args.given(i);
  return v == nullptr ? otherwise : convert(param, [&] { return to_flag(v); });
}

// The run options in the slots from `first` on: delimiter, quote_char,
// fill_ragged_rows, merge_overflow, expected_columns, repair_quotes. A
// quote of None is detected (`quote_given` false).
RunOptions run_options(const Signature& sig, const BoundArgs& args, size_t first, bool& quote_given) {
  const char* const* names = sig.params + first;
  RunOptions options;
  options.delimiter = char_of(names[0], args.given(first));
  const std::optional<unsigned char> quote = char_of(names[1], args.given(first + 1));
  quote_given = quote.has_value();
  options.quote_char = quote.value_or('"');
  options.fill_ragged_rows = flag_of(args, first + 2, names[2], true);
  options.merge_overflow = flag_of(args, first + 3, names[3], true);
  if (PyObject* v = args.given(first + 4)) {
    options.expected_columns = convert(names[4], [&] { return to_count(v); });
  }
  options.repair_quotes = flag_of(args, first + 5, names[5], true);
  return options;
}

// --- Encodings ------------------------------------------------------------------
//
// The front end names an encoding as a tuple (kind, name, table): kind one of
// "utf-8", "utf-16", "utf-16-le", "utf-16-be", "utf-32", "utf-32-le",
// "utf-32-be" (decoded natively), "single" (a single-byte page; `table` is a
// str of 256 characters, U+FFFF where the page leaves a byte undefined),
// "external" (a multi-byte page, decoded by Python's codec `name`) or, from
// the page chooser, "fallback" (UTF-8 whose invalid sequences go through
// the single-byte `table`); for a run, "as-read" skips the decode stage (the
// bytes as the engine reads them).

constexpr Py_UCS4 kUndefinedInTable = 0xFFFF;

struct NamedKind {
  const char* kind;
  TextEncoding encoding;
  bool bom_names_width;
};
constexpr NamedKind kKinds[] = {
    {"utf-8", TextEncoding::Utf8, false},       {"utf-16", TextEncoding::Utf16LE, true},
    {"utf-16-le", TextEncoding::Utf16LE, false}, {"utf-16-be", TextEncoding::Utf16BE, false},
    {"utf-32", TextEncoding::Utf32LE, true},    {"utf-32-le", TextEncoding::Utf32LE, false},
    {"utf-32-be", TextEncoding::Utf32BE, false}, {"single", TextEncoding::SingleByte, false},
    {"external", TextEncoding::External, false}, {"fallback", TextEncoding::Utf8, false},
};

// A 256-character str as a byte table.
void table_of(PyObject* obj, ByteTable& table) {
  if (!PyUnicode_Check(obj) || PyUnicode_GET_LENGTH(obj) != 256) {
    raise(PyExc_ValueError, "an encoding table must be a str of 256 characters");
  }
  for (Py_ssize_t i = 0; i < 256; ++i) {
    const Py_UCS4 c = PyUnicode_ReadChar(obj, i);
    table[static_cast<size_t>(i)] =
        c == kUndefinedInTable || (c >= 0xD800 && c <= 0xDFFF) ? kUnmapped : static_cast<char32_t>(c);
  }
}

bool is_kind(PyObject* encoding, const char* kind) {
  return encoding != nullptr && PyTuple_Check(encoding) && PyTuple_GET_SIZE(encoding) > 0 &&
         PyUnicode_Check(PyTuple_GET_ITEM(encoding, 0)) &&
         PyUnicode_CompareWithASCIIString(PyTuple_GET_ITEM(encoding, 0), kind) == 0;
}

// (kind, name, table) into the encoding, its name and table.
void encoding_of(PyObject* obj, TextEncoding& encoding, bool& bom_names_width, std::string& name,
                 ByteTable& table) {
  if (!PyTuple_Check(obj) || PyTuple_GET_SIZE(obj) != 3) {
    raise(PyExc_TypeError, "encoding must be a tuple (kind, name, table)");
  }
  const std::string kind = text_of("encoding", PyTuple_GET_ITEM(obj, 0));
  name = text_of("encoding", PyTuple_GET_ITEM(obj, 1));
  for (const NamedKind& k : kKinds) {
    if (kind == k.kind) {
      encoding = k.encoding;
      bom_names_width = k.bom_names_width;
      if (encoding == TextEncoding::SingleByte || kind == "fallback") table_of(PyTuple_GET_ITEM(obj, 2), table);
      return;
    }
  }
  raise(PyExc_ValueError, "unknown encoding kind '" + kind + "'");
}

DecodeErrors errors_of(PyObject* obj) {
  if (obj == nullptr) return DecodeErrors::Replace;
  const std::string e = text_of("encoding_errors", obj);
  if (e == "replace") return DecodeErrors::Replace;
  if (e == "strict") return DecodeErrors::Strict;
  if (e == "quarantine") return DecodeErrors::Quarantine;
  raise(PyExc_ValueError, "encoding_errors must be 'replace', 'strict' or 'quarantine', not '" + e + "'");
}

// Asks the front end's detector to name the page of an input the bytes
// alone do not decide: chooser(sample, high_bytes, mixed) -> (kind, name,
// table). Its exception stays pending for the run to raise.
bool choose_page(void* context, const Utf8Census& census, bool mixed, PageChoice& out) noexcept {
  RunContext& run = *static_cast<RunContext*>(context);
  Relocked lock(run);
  try {
    char high[128];
    for (size_t i = 0; i < 128; ++i) high[i] = census.high_bytes[i] ? 1 : 0;
    PyRef sample = checked(
        PyBytes_FromStringAndSize(census.sample.data(), static_cast<Py_ssize_t>(census.sample.size())));
    PyRef present = checked(PyBytes_FromStringAndSize(high, 128));
    PyRef answer = propagated(PyObject_CallFunctionObjArgs(run.chooser, sample.get(), present.get(),
                                                           mixed ? Py_True : Py_False, nullptr));
    bool bom_names_width = false;
    encoding_of(answer.get(), out.encoding, bom_names_width, out.name, out.table);
    if (out.encoding != TextEncoding::SingleByte && out.encoding != TextEncoding::External &&
        out.encoding != TextEncoding::Utf8) {
      raise(PyExc_ValueError, "the page chooser must name a single-byte, external or fallback page");
    }
    return true;
  } catch (...) {
    set_error_from_current_exception();
  }
  return false;
}

// Python's codec `name` over the whole input, in pieces that end at a line
// feed (no multi-byte page uses 0x0A inside a character). A piece that
// fails is decoded again up to the undecodable stretch, which becomes
// U+FFFD with a mark (or stops a strict decode): at most twice the work.
DecodeStatus decode_external(void* context, const std::string& name, std::string_view input,
                             DecodeErrors errors, DecodedText& out) noexcept {
  RunContext& run = *static_cast<RunContext*>(context);
  Relocked lock(run);
  try {
    constexpr size_t kPiece = size_t{1} << 20;
    // The multi-byte pages take at most three UTF-8 bytes per input byte (a
    // two-byte character of the BMP, or U+FFFD for one undecodable byte):
    // one buffer of that size, grown only for a codec that writes more.
    size_t capacity = 3 * input.size() + 16;
    out.bytes.data.reset(new char[capacity]);
    out.bytes.size = 0;
    auto append = [&](const char* p, size_t n) {
      if (out.bytes.size + n > capacity) {
        const size_t want = std::max(out.bytes.size + n, capacity + capacity / 2);
        std::unique_ptr<char[]> grown(new char[want]);
        if (out.bytes.size > 0) std::memcpy(grown.get(), out.bytes.data.get(), out.bytes.size);
        out.bytes.data = std::move(grown);
        capacity = want;
      }
      if (n > 0) std::memcpy(out.bytes.data.get() + out.bytes.size, p, n);
      out.bytes.size += n;
    };
    size_t pos = 0;
    while (pos < input.size()) {
      if (run_should_stop(&run)) return DecodeStatus::Aborted;
      size_t end = std::min(input.size(), pos + kPiece);
      if (end < input.size()) {
        // Only within the piece: a search that ran on past `pos` would make
        // a file without line feeds quadratic.
        const size_t nl = input.substr(pos, end - pos).rfind('\n');
        if (nl != std::string_view::npos) end = pos + nl + 1;
      }
      size_t at = pos;
      while (at < end) {
        PyObject* str =
            PyUnicode_Decode(input.data() + at, static_cast<Py_ssize_t>(end - at), name.c_str(), "strict");
        size_t good = end - at, bad = 0;
        if (str == nullptr) {
          if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) return DecodeStatus::Aborted;
          PyRef failure = PyRef::steal(PyErr_GetRaisedException());
          Py_ssize_t start = 0, stop = 0;
          if (PyUnicodeDecodeError_GetStart(failure.get(), &start) < 0 ||
              PyUnicodeDecodeError_GetEnd(failure.get(), &stop) < 0) {
            return DecodeStatus::Aborted;
          }
          good = static_cast<size_t>(start);
          bad = std::clamp<size_t>(static_cast<size_t>(stop - start), 1, end - at - good);
          if (good > 0) {
            str = PyUnicode_Decode(input.data() + at, static_cast<Py_ssize_t>(good), name.c_str(), "strict");
            if (str == nullptr) {
              // A stateful page whose prefix alone does not decode: the
              // rest of the piece counts as undecodable from here.
              PyErr_Clear();
              bad = end - at;
              good = 0;
            }
          }
        }
        if (str != nullptr) {
          PyRef owned = PyRef::steal(str);
          Py_ssize_t n = 0;
          const char* utf8 = PyUnicode_AsUTF8AndSize(str, &n);
          if (utf8 == nullptr) {
            // Surrogates from a lenient codec: written as U+FFFD.
            PyErr_Clear();
            PyRef bytes = checked(PyUnicode_AsEncodedString(str, "utf-8", "replace"));
            append(PyBytes_AS_STRING(bytes.get()), static_cast<size_t>(PyBytes_GET_SIZE(bytes.get())));
          } else {
            append(utf8, static_cast<size_t>(n));
          }
        }
        at += good;
        if (bad > 0) {
          if (errors == DecodeErrors::Strict) {
            out.stats.error_offset = at;
            out.stats.error_length = bad;
            out.stats.error_line =
                static_cast<size_t>(std::count(out.bytes.data.get(), out.bytes.data.get() + out.bytes.size, '\n')) +
                1;
            return DecodeStatus::Undecodable;
          }
          out.marks.push_back(DecodeMark{out.bytes.size, MarkKind::Replaced});
          append("\xEF\xBF\xBD", 3);  // U+FFFD
          out.stats.replaced_bytes += bad;
          at += bad;
        }
      }
      pos = end;
    }
    return DecodeStatus::Ok;
  } catch (...) {
    set_error_from_current_exception();
  }
  return DecodeStatus::Aborted;
}

// The encoding options of a run: `encoding` None (decided from the bytes)
// or a tuple as above; `chooser` a callable or None.
InputEncoding input_encoding(RunContext& run, PyObject* encoding, PyObject* errors, PyObject* chooser) {
  InputEncoding how;
  how.errors = errors_of(errors);
  if (encoding != nullptr) {
    how.given = true;
    encoding_of(encoding, how.encoding, how.bom_names_width, how.name, how.table);
  }
  if (chooser != nullptr) {
    if (!PyCallable_Check(chooser)) raise(PyExc_TypeError, "page_chooser must be callable");
    run.chooser = chooser;
    how.chooser = PageChooser{&choose_page, &run};
  }
  how.external = ExternalDecoder{&decode_external, &run};
  return how;
}

// A strict decode stopped: UnicodeDecodeError(encoding, the bytes, 0, n,
// "undecodable at line L, byte offset O") with `line` and `offset` set.
[[noreturn]] void raise_undecodable(const UndecodableText& u) {
  const std::string reason =
      "undecodable at line " + std::to_string(u.line) + ", byte offset " + std::to_string(u.offset);
  PyRef exc = checked(PyUnicodeDecodeError_Create(u.encoding.c_str(), u.bytes.data(),
                                                  static_cast<Py_ssize_t>(u.bytes.size()), 0,
                                                  static_cast<Py_ssize_t>(u.bytes.size()), reason.c_str()));
  if (PyObject_SetAttrString(exc.get(), "line", int_from_size(u.line).get()) < 0 ||
      PyObject_SetAttrString(exc.get(), "offset", int_from_size(u.offset).get()) < 0) {
    throw PyErrorRaised{};
  }
  PyErr_SetObject(PyExc_UnicodeDecodeError, exc.get());
  throw PyErrorRaised{};
}

void raise_failure(const RunContext& run, const RowvaneError& error) {
  if (PyErr_Occurred()) throw PyErrorRaised{};
  // A cancellation another thread of the run saw first is one too.
  if (run.cancelled || g_cancel_generation.load(std::memory_order_acquire) != run.generation) {
    raise(PyExc_InterruptedError, kCancelledMessage);
  }
  if (error.undecodable) raise_undecodable(*error.undecodable);
  raise_run_error(error);
}

// --- Results ------------------------------------------------------------------

void set_item(PyObject* dict, const char* key, PyRef value) {
  if (PyDict_SetItemString(dict, key, value.get()) < 0) throw PyErrorRaised{};
}

PyRef text_obj(const std::string& s) { return str_from_utf8(s); }
PyRef none_or_text(const std::string& s) { return s.empty() ? PyRef::borrow(Py_None) : text_obj(s); }
PyRef bool_obj(bool b) { return PyRef::borrow(b ? Py_True : Py_False); }

// The six counts of the engine's own run.
PyRef counts_dict(const RunSummary& r) {
  PyRef d = checked(PyDict_New());
  set_item(d.get(), "total_rows", int_from_size(r.total_rows));
  set_item(d.get(), "rowvaned_rows", int_from_size(r.rowvaned_rows));
  set_item(d.get(), "repaired_rows", int_from_size(r.repaired_rows));
  set_item(d.get(), "quarantined_rows", int_from_size(r.quarantined_rows));
  set_item(d.get(), "detected_delimiter", str_from_byte(static_cast<unsigned char>(r.detected_delimiter)));
  set_item(d.get(), "inferred_columns", int_from_size(r.inferred_columns));
  return d;
}

PyRef summary_dict(const TableSummary& s) {
  PyRef d = checked(PyDict_New());
  const unsigned char delimiter = static_cast<unsigned char>(s.run.detected_delimiter);
  set_item(d.get(), "total_rows", int_from_size(s.run.total_rows));
  set_item(d.get(), "rowvaned_rows", int_from_size(s.run.rowvaned_rows));
  set_item(d.get(), "repaired_rows", int_from_size(s.run.repaired_rows));
  set_item(d.get(), "quarantined_rows", int_from_size(s.run.quarantined_rows));
  // ", " when blanks after each delimiter were dropped; the output uses ",".
  set_item(d.get(), "detected_delimiter", s.blank_after_delimiter ? text_obj(", ") : str_from_byte(delimiter));
  set_item(d.get(), "inferred_columns", int_from_size(s.run.inferred_columns));
  set_item(d.get(), "output_delimiter", str_from_byte(delimiter));
  set_item(d.get(), "output_quote_char", str_from_byte(s.quote_char));
  set_item(d.get(), "skipped_preamble_lines", int_from_size(s.preamble_lines));
  set_item(d.get(), "header_rows_joined", int_from_size(s.header_rows_joined));
  set_item(d.get(), "repeated_headers_dropped", int_from_size(s.repeated_headers));
  set_item(d.get(), "padded_rows", int_from_size(s.padded_rows));
  set_item(d.get(), "merged_rows", int_from_size(s.merged_rows));
  set_item(d.get(), "dropped_empty_surplus_rows", int_from_size(s.empty_surplus_rows));
  set_item(d.get(), "opening_quote_rows", int_from_size(s.opening_quote_rows));
  set_item(d.get(), "tables_found", int_from_size(s.tables_found));
  set_item(d.get(), "second_table_rows", int_from_size(s.other_table_rows));
  set_item(d.get(), "encoding", text_obj(s.encoding));
  set_item(d.get(), "encoding_source", text_obj(encoding_source_name(s.encoding_source)));
  set_item(d.get(), "fallback_encoding", none_or_text(s.fallback_encoding));
  set_item(d.get(), "fallback_decoded_rows", int_from_size(s.fallback_rows));
  set_item(d.get(), "replaced_bytes", int_from_size(s.replaced_bytes));
  set_item(d.get(), "replaced_rows", int_from_size(s.replaced_rows));
  set_item(d.get(), "undecodable_rows", int_from_size(s.undecodable_rows));
  set_item(d.get(), "stray_bom", bool_obj(s.stray_bom));
  set_item(d.get(), "notes_rows", int_from_size(s.notes_rows));
  set_item(d.get(), "blank_rows_dropped", int_from_size(s.blank_rows_dropped));
  set_item(d.get(), "escape_char", text_obj(s.backslash_escape ? "\\" : ""));
  set_item(d.get(), "blocks", int_from_size(s.blocks));
  set_item(d.get(), "blocks_reparsed", int_from_size(s.blocks_reparsed));
  return d;
}

// --- An input decompressed while it is repaired ------------------------------------

// The file a Python thread decompresses into while a run reads it: the
// thread says how far it got (growing_grew) and how it ended (growing_end);
// the run's reads wait for their bytes.
struct Growth {
  std::mutex mutex;
  std::condition_variable changed;
  size_t size = 0;
  bool complete = false;
  bool failed = false;
  GrowingInput input;
};

constexpr const char* kGrowthCapsule = "csv_rowvane._core.growing";

Expected<GrowingInput::State, IoError> growth_wait(void* context, size_t end, const InterruptCheck& interrupt) {
  Growth& g = *static_cast<Growth*>(context);
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(g.mutex);
      // A while at a time: the interrupt check below may take the
      // interpreter lock, which the writer holds while it waits for this one.
      g.changed.wait_for(lock, std::chrono::milliseconds(50),
                         [&] { return g.failed || g.complete || g.size >= end; });
      if (g.failed) return IoError::fixed(IoErrorKind::Other, "the input's decompression failed");
      if (g.complete || g.size >= end) return GrowingInput::State{g.size, g.complete};
    }
    if (interrupt.should_stop()) return interrupted_error();
  }
}

void growth_capsule_destructor(PyObject* capsule) {
  auto* g = static_cast<Growth*>(PyCapsule_GetPointer(capsule, kGrowthCapsule));
  if (g == nullptr) {
    PyErr_Clear();
    return;
  }
  delete g;
}

Growth* growth_of(PyObject* capsule) {
  if (capsule == nullptr || capsule == Py_None) return nullptr;
  auto* g = static_cast<Growth*>(PyCapsule_GetPointer(capsule, kGrowthCapsule));
  if (g == nullptr) throw PyErrorRaised{};
  return g;
}

PyObject* growing_new(PyObject*, PyObject* expected) {
  return guarded([&]() -> PyRef {
    const size_t size = convert("expected_size", [&] { return to_count(expected); });
    auto g = std::make_unique<Growth>();
    g->input.wait = growth_wait;
    g->input.context = g.get();
    g->input.expected_size = size;
    PyObject* capsule = PyCapsule_New(g.get(), kGrowthCapsule, growth_capsule_destructor);
    if (capsule == nullptr) throw PyErrorRaised{};
    g.release();
    return PyRef::steal(capsule);
  });
}

constexpr const char* kGrewParams[] = {"growing", "size"};
constexpr Signature kGrewSignature = {"growing_grew", nullptr, kGrewParams, 2, 2};

// What the writer tells (growing_grew, growing_end): `change` applied under
// the lock, the waiting reads woken.
template <class Change>
PyObject* tell_growth(const Signature& sig, PyObject* args, PyObject* kwargs, Change change) {
  return guarded([&]() -> PyRef {
    const BoundArgs a = bind_tuple_dict(sig, args, kwargs);
    Growth* g = growth_of(a[0]);
    if (g == nullptr) raise(PyExc_TypeError, "growing must be a growing file");
    const auto apply = change(a[1]);  // converted before the lock is taken
    {
      std::lock_guard<std::mutex> lock(g->mutex);
      apply(*g);
    }
    g->changed.notify_all();
    return PyRef::borrow(Py_None);
  });
}

PyObject* growing_grew(PyObject*, PyObject* args, PyObject* kwargs) {
  return tell_growth(kGrewSignature, args, kwargs, [](PyObject* arg) {
    const size_t size = convert("size", [&] { return to_count(arg); });
    return [size](Growth& g) { g.size = std::max(g.size, size); };
  });
}

constexpr const char* kEndParams[] = {"growing", "complete"};
constexpr Signature kEndSignature = {"growing_end", nullptr, kEndParams, 2, 2};

PyObject* growing_end(PyObject*, PyObject* args, PyObject* kwargs) {
  return tell_growth(kEndSignature, args, kwargs, [](PyObject* arg) {
    const bool complete = to_flag(arg);
    return [complete](Growth& g) {
      g.complete = complete;
      g.failed = !complete;
    };
  });
}

// Waits, with the interpreter lock released, for a growing input to be
// complete: a run that reads its input whole does so first.
void await_growth(RunContext& run, Growth* g, const InterruptCheck& interrupt) {
  if (g == nullptr) return;
  std::optional<Expected<GrowingInput::State, IoError>> state;
  {
    Unlocked unlocked(run);
    state.emplace(growth_wait(g, SIZE_MAX, interrupt));
  }
  if (!*state) raise_failure(run, RowvaneError{std::move(*state).error()});
}

// --- Entry points ---------------------------------------------------------------

constexpr const char* kRepairParams[] = {
    "input_path",       "output_path",     "quarantine_path", "changes_path",   "delimiter",
    "quote_char",       "fill_ragged_rows", "merge_overflow", "expected_columns", "repair_quotes",
    "drop_empty_surplus", "opening_quote_as_text", "set_aside_other_tables", "encoding", "encoding_errors",
    "page_chooser",     "output_bom",      "keep_blank_rows", "threads",        "block_size",
    "progress",         "part_start",      "part_stop",       "growing",
};
constexpr Signature kRepairSignature = {"repair_file", nullptr, kRepairParams, 24, 2};

// The progress callback of a streamed run: its exception stays pending and
// stops the run.
bool report_progress(void* context, size_t done, size_t total) noexcept {
  RunContext& run = *static_cast<RunContext*>(context);
  Relocked lock(run);
  PyObject* answer = PyObject_CallFunction(run.progress, "nn", static_cast<Py_ssize_t>(done),
                                           static_cast<Py_ssize_t>(total));
  if (answer == nullptr) return false;
  Py_DECREF(answer);
  return true;
}

// threads (None: every core), block_size (None: the default) and progress
// (None or a callable) at `first`, `first + 1` and `first + 2`.
StreamOptions stream_options(const BoundArgs& args, size_t first, RunContext& run) {
  StreamOptions stream;
  const unsigned cores = std::thread::hardware_concurrency();
  stream.threads = cores == 0 ? 1 : cores;
  PyObject* threads = args.given(first);
  if (threads != nullptr && threads != Py_None) {
    stream.threads = convert("threads", [&] { return to_count(threads); });
    if (stream.threads == 0) raise(PyExc_ValueError, "threads must be at least 1");
  }
  PyObject* block = args.given(first + 1);
  if (block != nullptr && block != Py_None) {
    stream.block_size = convert("block_size", [&] { return to_count(block); });
    if (stream.block_size == 0) raise(PyExc_ValueError, "block_size must be at least 1");
  }
  PyObject* progress = args.given(first + 2);
  if (progress != nullptr && progress != Py_None) {
    if (!PyCallable_Check(progress)) raise(PyExc_TypeError, "progress must be callable");
    run.progress = progress;
    stream.progress = report_progress;
    stream.progress_context = &run;
  }
  return stream;
}

// Slots of kRepairParams, also used by check_file's own list below.
TableRules table_rules(const BoundArgs& args, size_t first) {
  TableRules rules;
  rules.drop_empty_surplus = flag_of(args, first, "drop_empty_surplus", true);
  rules.opening_quote_as_text = flag_of(args, first + 1, "opening_quote_as_text", true);
  rules.set_aside_other_tables = flag_of(args, first + 2, "set_aside_other_tables", true);
  return rules;
}

PyObject* repair_file(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyRef {
    const BoundArgs a = bind_tuple_dict(kRepairSignature, args, kwargs);
    const std::string input_path = text_of("input_path", a[0]);
    const std::string output_path = text_of("output_path", a[1]);
    const std::optional<std::string> quarantine_path = optional_text("quarantine_path", a.given(2));
    const std::optional<std::string> changes_path = optional_text("changes_path", a.given(3));
    bool quote_given = false;
    const RunOptions options = run_options(kRepairSignature, a, 4, quote_given);
    TableRules rules = table_rules(a, 10);
    rules.keep_blank_rows = flag_of(a, 17, "keep_blank_rows", false);
    RunContext run;
    // ("as-read", ...) passes the bytes to the parser as they were read,
    // with no decode stage: the engine's own reading of UTF-8.
    const bool as_read = is_kind(a.given(13), "as-read");
    TextOptions text;
    if (!as_read) text.input = input_encoding(run, a.given(13), a.given(14), a.given(15));
    text.output_bom = flag_of(a, 16, "output_bom", false);
    FileRunHooks hooks;
    hooks.interrupt = run_interrupt(run);
    StreamOptions stream = stream_options(a, 18, run);
    if (a.given(21) != nullptr || a.given(22) != nullptr) {
      // One part of a split input (the Dask run): its own files, and where
      // it began and ended, for the caller to join.
      stream.part_start = a.given(21) != nullptr ? convert("part_start", [&] { return to_count(a.given(21)); }) : 0;
      stream.part_stop = a.given(22) != nullptr && a.given(22) != Py_None
                             ? convert("part_stop", [&] { return to_count(a.given(22)); })
                             : SIZE_MAX;
      std::optional<Expected<StreamResult, RowvaneError>> part;
      {
        Unlocked unlocked(run);
        part.emplace(stream_part_file(input_path, output_path, quarantine_path, changes_path, options, quote_given,
                                      rules, hooks, text, stream));
      }
      if (!*part) raise_failure(run, part->error());
      const StreamResult& r = part->value();
      PyRef d = summary_dict(r.summary);
      set_item(d.get(), "part_status", text_obj(r.status == StreamStatus::Done      ? "done"
                                                 : r.status == StreamStatus::NotUtf8 ? "not utf-8"
                                                                                     : "unsplittable"));
      set_item(d.get(), "first", int_from_size(r.first));
      set_item(d.get(), "next", int_from_size(r.next));
      set_item(d.get(), "lines", int_from_size(r.lines));
      set_item(d.get(), "clean", bool_obj(r.clean));
      set_item(d.get(), "tables_added", int_from_size(r.tables_added));
      set_item(d.get(), "reread_used", int_from_size(r.reread_used));
      set_item(d.get(), "reread_refused", bool_obj(r.reread_refused));
      return d;
    }

    Growth* growing = growth_of(a.given(23));
    if (growing != nullptr) {
      if (as_read) {
        await_growth(run, growing, hooks.interrupt);  // read whole
      } else {
        stream.growing = &growing->input;
      }
    }
    std::optional<Expected<TableSummary, RowvaneError>> result;
    {
      Unlocked unlocked(run);
      result.emplace(as_read ? rowvane_table_file(input_path, output_path, quarantine_path, changes_path,
                                                  options, quote_given, rules, hooks)
                             : stream_table_file(input_path, output_path, quarantine_path, changes_path,
                                                 options, quote_given, rules, hooks, text, stream));
    }
    if (!*result) raise_failure(run, result->error());
    return summary_dict(result->value());
  });
}

constexpr const char* kBasicRunParams[] = {
    "input_path", "output_path", "quarantine_path", "delimiter", "quote_char", "fill_ragged_rows",
    "merge_overflow", "expected_columns", "repair_quotes", "threads", "block_size", "progress",
    "growing",
};
constexpr Signature kBasicRunSignature = {"repair_basic", nullptr, kBasicRunParams, 13, 2};

// The engine's own run (rowvane_file's, byte for byte) with the lock
// released, failing as open() fails; streamed where the input is UTF-8.
PyObject* repair_basic(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyRef {
    const BoundArgs a = bind_tuple_dict(kBasicRunSignature, args, kwargs);
    const std::string input_path = text_of("input_path", a[0]);
    const std::string output_path = text_of("output_path", a[1]);
    const std::optional<std::string> quarantine_path = optional_text("quarantine_path", a.given(2));
    bool quote_given = false;
    const RunOptions options = run_options(kBasicRunSignature, a, 3, quote_given);
    RunContext run;
    FileRunHooks hooks;
    hooks.interrupt = run_interrupt(run);
    StreamOptions stream = stream_options(a, 9, run);
    if (Growth* growing = growth_of(a.given(12))) stream.growing = &growing->input;
    std::optional<Expected<RunSummary, RowvaneError>> result;
    {
      Unlocked unlocked(run);
      result.emplace(stream_basic_file(input_path, output_path, quarantine_path, options, hooks, stream));
    }
    if (!*result) raise_failure(run, result->error());
    const RunSummary& r = result->value();
    PyRef d = counts_dict(r);
    set_item(d.get(), "output_delimiter", str_from_byte(static_cast<unsigned char>(r.detected_delimiter)));
    set_item(d.get(), "output_quote_char", str_from_byte(options.quote_char));
    return d;
  });
}

constexpr const char* kCheckParams[] = {
    "input_path",       "max_problems",    "delimiter",     "quote_char",       "fill_ragged_rows",
    "merge_overflow",   "expected_columns", "repair_quotes", "drop_empty_surplus", "opening_quote_as_text",
    "set_aside_other_tables", "encoding", "encoding_errors", "page_chooser", "keep_blank_rows",
    "threads",          "block_size",      "progress",
};
constexpr Signature kCheckSignature = {"check_file", nullptr, kCheckParams, 18, 1};

// (line, action, raw content) of each change kept.
PyRef problem_list(const std::vector<TableCheck::Change>& changes) {
  PyRef list = checked(PyList_New(0));
  for (const TableCheck::Change& c : changes) {
    PyRef item = checked(Py_BuildValue("(ns#s#)", static_cast<Py_ssize_t>(c.line), c.action.data(),
                                       static_cast<Py_ssize_t>(c.action.size()), c.raw.data(),
                                       static_cast<Py_ssize_t>(c.raw.size())));
    if (PyList_Append(list.get(), item.get()) < 0) throw PyErrorRaised{};
  }
  return list;
}

PyObject* check_file(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyRef {
    const BoundArgs a = bind_tuple_dict(kCheckSignature, args, kwargs);
    const std::string input_path = text_of("input_path", a[0]);
    const size_t keep = a.given(1) != nullptr ? convert("max_problems", [&] { return to_count(a.given(1)); }) : 10;
    bool quote_given = false;
    const RunOptions options = run_options(kCheckSignature, a, 2, quote_given);
    TableRules rules = table_rules(a, 8);
    rules.keep_blank_rows = flag_of(a, 14, "keep_blank_rows", false);
    RunContext run;
    TextOptions text;
    text.input = input_encoding(run, a.given(11), a.given(12), a.given(13));
    FileRunHooks hooks;
    hooks.interrupt = run_interrupt(run);
    const StreamOptions stream = stream_options(a, 15, run);
    std::optional<Expected<TableCheck, RowvaneError>> result;
    {
      Unlocked unlocked(run);
      result.emplace(stream_check_table_file(input_path, options, quote_given, rules, hooks, text, keep, stream));
    }
    if (!*result) raise_failure(run, result->error());
    const TableCheck& c = result->value();
    PyRef d = summary_dict(c.summary);
    set_item(d.get(), "problems", problem_list(c.changes));
    set_item(d.get(), "problem_rows", int_from_size(c.change_count));
    return d;
  });
}

constexpr const char* kBasicParams[] = {
    "input_path", "max_problems", "delimiter", "quote_char", "fill_ragged_rows", "merge_overflow",
    "expected_columns", "repair_quotes", "threads", "block_size", "progress",
};
constexpr Signature kBasicSignature = {"check_basic", nullptr, kBasicParams, 11, 1};

// (line, reason, content) of the first `keep` rows set aside, their fields
// joined by the run's delimiter.
PyRef quarantine_problems(const std::vector<QuarantineRecord>& quarantine, const RunSummary& run, size_t keep) {
  const unsigned char delimiter = static_cast<unsigned char>(run.detected_delimiter);
  PyRef list = checked(PyList_New(0));
  for (size_t i = 0; i < quarantine.size() && i < keep; ++i) {
    const QuarantineRecord& q = quarantine[i];
    std::string content;
    for (size_t f = 0; f < q.fields.size(); ++f) {
      if (f > 0) append_utf8(content, delimiter);
      content += q.fields[f];
    }
    PyRef item = checked(Py_BuildValue("(ns#s#)", static_cast<Py_ssize_t>(q.line), q.reason.data(),
                                       static_cast<Py_ssize_t>(q.reason.size()), content.data(),
                                       static_cast<Py_ssize_t>(content.size())));
    if (PyList_Append(list.get(), item.get()) < 0) throw PyErrorRaised{};
  }
  return list;
}

// What the engine's own run would do: its counts, and the rows it would
// change, found by the same run with nothing repaired (every such row is
// then set aside with its line and reason).
PyObject* check_basic(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyRef {
    const BoundArgs a = bind_tuple_dict(kBasicSignature, args, kwargs);
    const std::string input_path = text_of("input_path", a[0]);
    const size_t keep = a.given(1) != nullptr ? convert("max_problems", [&] { return to_count(a.given(1)); }) : 10;
    bool quote_given = false;
    const RunOptions options = run_options(kBasicSignature, a, 2, quote_given);
    RunContext run;
    // A UTF-8 file streams: the run's counts, then the same run with nothing
    // repaired (its layout fixed), keeping the first rows it sets aside.
    {
      StreamOptions stream = stream_options(a, 8, run);
      FileRunHooks hooks;
      hooks.interrupt = run_interrupt(run);
      std::optional<Expected<StreamResult, RowvaneError>> first, second;
      {
        Unlocked unlocked(run);
        first.emplace(stream_into(input_path, nullptr, options, true, basic_rules(), hooks, stream));
        if (*first && first->value().status == StreamStatus::Done) {
          const RunSummary& c = first->value().summary.run;
          RunOptions s = options;
          s.fill_ragged_rows = false;
          s.merge_overflow = false;
          if (c.inferred_columns != 0 && (options.fill_ragged_rows || options.merge_overflow)) {
            s.expected_columns = c.inferred_columns;
            s.delimiter = static_cast<unsigned char>(c.detected_delimiter);
          }
          stream.keep_quarantine = keep;
          second.emplace(stream_into(input_path, nullptr, s, true, basic_rules(), hooks, stream));
        }
      }
      if (!*first) raise_failure(run, first->error());
      if (second && !*second) raise_failure(run, second->error());
      if (second && second->value().status == StreamStatus::Done) {
        PyRef d = counts_dict(first->value().summary.run);
        const StreamResult& strict = second->value();
        set_item(d.get(), "problems", quarantine_problems(strict.quarantine, strict.summary.run, keep));
        set_item(d.get(), "problem_rows", int_from_size(strict.summary.run.quarantined_rows));
        return d;
      }
    }
    std::optional<Expected<FileBytes, IoError>> bytes;
    std::optional<SliceResult> counted, strict;
    {
      Unlocked unlocked(run);
      bytes.emplace(read_whole_file(input_path, run_interrupt(run)));
      if (*bytes) {
        counted.emplace(rowvane_slice(bytes->value().view(), options));
        RunOptions s = options;
        s.fill_ragged_rows = false;
        s.merge_overflow = false;
        if (counted->summary.inferred_columns != 0 && (options.fill_ragged_rows || options.merge_overflow)) {
          s.expected_columns = counted->summary.inferred_columns;
          s.delimiter = static_cast<unsigned char>(counted->summary.detected_delimiter);
        }
        strict.emplace(rowvane_slice(bytes->value().view(), s));
      }
    }
    if (!*bytes) {
      RowvaneError e{bytes->error()};
      e.path = input_path;
      e.operation = "read";
      raise_failure(run, e);
    }
    const RunSummary& r = counted->summary;
    PyRef d = counts_dict(r);
    set_item(d.get(), "problems", quarantine_problems(strict->quarantine, strict->summary, keep));
    set_item(d.get(), "problem_rows", int_from_size(strict->quarantine.size()));
    return d;
  });
}

constexpr const char* kDecodeParams[] = {"path", "encoding", "encoding_errors", "page_chooser", "head"};
constexpr Signature kDecodeSignature = {"decode_file", nullptr, kDecodeParams, 5, 1};

// The decode stage alone: the text of a file as UTF-8, and what was decided.
PyObject* decode_file(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyRef {
    const BoundArgs a = bind_tuple_dict(kDecodeSignature, args, kwargs);
    const std::string input_path = text_of("path", a[0]);
    RunContext run;
    const InputEncoding how = input_encoding(run, a.given(1), a.given(2), a.given(3));
    const size_t head = a.given(4) != nullptr ? convert("head", [&] { return to_count(a.given(4)); })
                                              : static_cast<size_t>(-1);
    std::optional<Expected<FileBytes, IoError>> bytes;
    TextInput text;
    TextInputStatus status = TextInputStatus::Ok;
    {
      Unlocked unlocked(run);
      bytes.emplace(read_whole_file(input_path, run_interrupt(run)));
      if (*bytes) status = prepare_text(std::move(bytes->value()), how, text);
    }
    if (!*bytes || status != TextInputStatus::Ok) {
      RowvaneError e{*bytes ? IoError::fixed(IoErrorKind::Other, kDecodeFailedMessage) : bytes->error()};
      e.path = input_path;
      if (status == TextInputStatus::Undecodable) {
        e.undecodable = UndecodableText{text.encoding, text.stats.error_offset, text.stats.error_line,
                                        text.error_bytes};
      }
      raise_failure(run, e);
    }
    PyRef d = checked(PyDict_New());
    set_item(d.get(), "encoding", text_obj(text.encoding));
    set_item(d.get(), "encoding_source", text_obj(encoding_source_name(text.source)));
    set_item(d.get(), "fallback_encoding", none_or_text(text.fallback));
    set_item(d.get(), "replaced_bytes", int_from_size(text.stats.replaced_bytes));
    set_item(d.get(), "fallback_bytes", int_from_size(text.stats.fallback_bytes));
    set_item(d.get(), "stray_bom", bool_obj(text.stray_bom));
    // The text itself only when decoding changed it (valid UTF-8 is the
    // file), at most its first `head` bytes.
    set_item(d.get(), "text",
             text.decoded ? checked(PyBytes_FromStringAndSize(
                                text.text.data.get(), static_cast<Py_ssize_t>(std::min(head, text.text.size))))
                          : PyRef::borrow(Py_None));
    return d;
  });
}

// --- The row feed ---------------------------------------------------------------
//
// The basic run streamed to Python a batch of rows at a time: the run works
// on a thread of its own and writes its records into a pipe, whose other end
// the reader parses as Python asks for rows. The pipe's room and the run's
// blocks bound the memory, whatever the file's size; a reader that stops
// early stops the run at its next block.

constexpr const char* kFeedParams[] = {
    "input_path", "delimiter", "quote_char", "fill_ragged_rows", "merge_overflow", "expected_columns",
    "repair_quotes", "threads", "block_size",
};
constexpr Signature kFeedSignature = {"row_feed", nullptr, kFeedParams, 9, 1};
constexpr const char* kFeedCapsule = "csv_rowvane._core.row_feed";

// Reads what is left of `fd` and drops it (a writer at the other end of a
// pipe then finishes instead of waiting for room).
void drain(int fd) noexcept {
  char sink[1 << 16];
  for (;;) {
    const ssize_t n = ::read(fd, sink, sizeof sink);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
  }
}

struct RowFeed {
  std::string path;
  RunOptions options;
  std::uint64_t generation = g_cancel_generation.load(std::memory_order_acquire);
  std::atomic<bool> stop{false};
  int read_fd = -1;                 // the pipe's end the rows are read from, until `rows` owns it
  std::unique_ptr<RecordStream> rows;
  std::thread producer;
  // The run's outcome, set by the producer before it closes its end of the
  // pipe; read once it was joined.
  std::optional<Expected<StreamResult, RowvaneError>> result;
  bool ended = false;

  RowFeed() = default;
  RowFeed(const RowFeed&) = delete;
  RowFeed& operator=(const RowFeed&) = delete;
  ~RowFeed() { close(); }

  // Stops the run: it sees `stop` at its next block; what it still writes is
  // read and dropped so that it never waits for room.
  void close() noexcept {
    stop.store(true, std::memory_order_release);
    if (producer.joinable()) {
      const int fd = rows ? rows->fd() : read_fd;
      if (fd >= 0) drain(fd);
      producer.join();
    }
    rows.reset();
    if (read_fd >= 0) ::close(read_fd);
    read_fd = -1;
  }
};

bool feed_should_stop(void* context) noexcept {
  const RowFeed& f = *static_cast<const RowFeed*>(context);
  return f.stop.load(std::memory_order_acquire) ||
         g_cancel_generation.load(std::memory_order_acquire) != f.generation;
}

void feed_capsule_destructor(PyObject* capsule) {
  auto* f = static_cast<RowFeed*>(PyCapsule_GetPointer(capsule, kFeedCapsule));
  if (f == nullptr) {
    PyErr_Clear();
    return;
  }
  // The run never takes the lock: stopping it here cannot wait on Python.
  delete f;
}

RowFeed& feed_of(PyObject* capsule) {
  auto* f = static_cast<RowFeed*>(PyCapsule_GetPointer(capsule, kFeedCapsule));
  if (f == nullptr) throw PyErrorRaised{};
  return *f;
}

PyObject* row_feed(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyRef {
    const BoundArgs a = bind_tuple_dict(kFeedSignature, args, kwargs);
    auto feed = std::make_unique<RowFeed>();
    feed->path = text_of("input_path", a[0]);
    bool quote_given = false;
    feed->options = run_options(kFeedSignature, a, 1, quote_given);
    RunContext run;
    StreamOptions stream = stream_options(a, 7, run);
    // Opened here, so that a missing or unreadable file fails at once (and
    // a temporary file may go once the feed exists).
    std::optional<Expected<FileHandle, IoError>> opened;
    {
      Unlocked unlocked(run);
      opened.emplace(FileHandle::open_read(feed->path, run_interrupt(run)));
    }
    if (!*opened) {
      RowvaneError e{std::move(*opened).error()};
      e.path = feed->path;
      e.operation = "open";
      raise_failure(run, e);
    }
    FileHandle input = std::move(opened->value());
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
      RowvaneError e{IoError::from_errno(errno)};
      e.operation = "pipe";
      raise_failure(run, e);
    }
    feed->read_fd = ends[0];
    FileHandle write_end(ends[1]);
    ::fcntl(ends[1], F_SETPIPE_SZ, 1 << 20);  // fewer hand-overs; the default room works too
    RowFeed* f = feed.get();
    // The records' delimiter goes first, as one byte: the reader parses
    // what follows with it.
    stream.on_layout = [](void* context, unsigned char delimiter, unsigned char) {
      (void)static_cast<FileHandle*>(context)->write_some(reinterpret_cast<const char*>(&delimiter), 1);
    };
    feed->producer = std::thread([f, stream, in = std::move(input), out = std::move(write_end)]() mutable {
      stream.layout_context = &out;
      FileRunHooks hooks;
      hooks.interrupt = InterruptCheck{&feed_should_stop, f};
      try {
        f->result.emplace(stream_into(in, f->path, &out, f->options, true, basic_rules(), hooks, stream));
      } catch (const std::bad_alloc&) {
        f->result.emplace(RowvaneError{IoError::from_errno(ENOMEM)});
      }
      out.close();  // the reader's end of the rows
    });
    PyObject* capsule = PyCapsule_New(feed.get(), kFeedCapsule, feed_capsule_destructor);
    if (capsule == nullptr) throw PyErrorRaised{};
    feed.release();
    return PyRef::steal(capsule);
  });
}

// Raises what ended a feed's run, if it failed.
void raise_feed_failure(RowFeed& f) {
  if (!f.result) raise(PyExc_RuntimeError, "the run ended without a result");
  if (!*f.result) {
    RunContext run;
    run.cancelled = g_cancel_generation.load(std::memory_order_acquire) != f.generation;
    raise_failure(run, f.result->error());
  }
  if (f.result->value().status == StreamStatus::NotUtf8) {
    raise(PyExc_ValueError, f.path + ": the input changed while it was read (it is no longer UTF-8 throughout)");
  }
}

// The next rows of a feed: up to max_rows (and about a MiB of text), an
// empty list at the end.
PyObject* feed_rows(PyObject*, PyObject* args) {
  return guarded([&]() -> PyRef {
    PyObject* capsule;
    Py_ssize_t max_rows;
    if (!PyArg_ParseTuple(args, "On:feed_rows", &capsule, &max_rows)) throw PyErrorRaised{};
    RowFeed& f = feed_of(capsule);
    PyRef out = checked(PyList_New(0));
    if (f.ended) return out;
    std::string text;                 // the batch's cells, one after another
    std::vector<size_t> cell_ends;    // where each cell ends in `text`
    std::vector<size_t> row_cells;    // the cells of each row
    std::string failure;
    bool at_end = false;
    Py_BEGIN_ALLOW_THREADS
    try {
      if (!f.rows) {
        // The pipe's first byte is the records' delimiter; none: no rows.
        unsigned char delimiter = 0;
        ssize_t n;
        do {
          n = ::read(f.read_fd, &delimiter, 1);
        } while (n < 0 && errno == EINTR);
        if (n < 0) throw std::system_error(errno, std::generic_category(), "read");
        if (n == 1) {
          const int fd = std::exchange(f.read_fd, -1);
          try {
            f.rows = std::make_unique<RecordStream>(fd, static_cast<char>(delimiter),
                                                    static_cast<char>(f.options.quote_char));
          } catch (...) {
            ::close(fd);
            throw;
          }
        }
      }
      while (f.rows && static_cast<Py_ssize_t>(row_cells.size()) < max_rows && text.size() < (size_t{1} << 20)) {
        auto more = f.rows->next();
        if (!more) throw std::system_error(more.error().raw_os_error(), std::generic_category(), "read");
        if (!more.value()) {
          at_end = true;
          break;
        }
        for (const std::string_view cell : f.rows->cells()) {
          text += cell;
          cell_ends.push_back(text.size());
        }
        row_cells.push_back(f.rows->cells().size());
      }
      if (!f.rows) at_end = true;
    } catch (const std::exception& e) {
      failure = e.what();
      at_end = true;
    }
    if (at_end) {
      f.ended = true;
      if (f.producer.joinable()) f.producer.join();
    }
    Py_END_ALLOW_THREADS
    if (at_end) raise_feed_failure(f);
    if (!failure.empty()) raise(PyExc_OSError, failure);
    size_t cell = 0, from = 0;
    for (const size_t n : row_cells) {
      PyRef row = checked(PyList_New(static_cast<Py_ssize_t>(n)));
      for (size_t i = 0; i < n; ++i, ++cell) {
        PyObject* s = PyUnicode_DecodeUTF8(text.data() + from, static_cast<Py_ssize_t>(cell_ends[cell] - from),
                                           "replace");
        if (s == nullptr) throw PyErrorRaised{};
        PyList_SET_ITEM(row.get(), static_cast<Py_ssize_t>(i), s);
        from = cell_ends[cell];
      }
      if (PyList_Append(out.get(), row.get()) < 0) throw PyErrorRaised{};
    }
    return out;
  });
}

// The counts of a feed's run once its rows were read to the end, else None.
PyObject* feed_summary(PyObject*, PyObject* capsule) {
  return guarded([&]() -> PyRef {
    RowFeed& f = feed_of(capsule);
    if (!f.ended || !f.result || !*f.result) return PyRef::borrow(Py_None);
    return counts_dict(f.result->value().summary.run);
  });
}

// Stops a feed's run and lets go of its pipe.
PyObject* feed_close(PyObject*, PyObject* capsule) {
  return guarded([&]() -> PyRef {
    RowFeed& f = feed_of(capsule);
    Py_BEGIN_ALLOW_THREADS
    f.close();
    Py_END_ALLOW_THREADS
    f.ended = true;
    return PyRef::borrow(Py_None);
  });
}

// The counts of the basic run over a file, streamed, nothing written.
PyObject* basic_counts(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyRef {
    const BoundArgs a = bind_tuple_dict(kFeedSignature, args, kwargs);
    const std::string path = text_of("input_path", a[0]);
    bool quote_given = false;
    const RunOptions options = run_options(kFeedSignature, a, 1, quote_given);
    RunContext run;
    const StreamOptions stream = stream_options(a, 7, run);
    FileRunHooks hooks;
    hooks.interrupt = run_interrupt(run);
    std::optional<Expected<StreamResult, RowvaneError>> result;
    {
      Unlocked unlocked(run);
      result.emplace(stream_into(path, nullptr, options, true, basic_rules(), hooks, stream));
    }
    if (!*result) raise_failure(run, result->error());
    if (result->value().status == StreamStatus::NotUtf8) {
      raise(PyExc_ValueError, path + ": the input is not UTF-8 throughout");
    }
    return counts_dict(result->value().summary.run);
  });
}

// Whether a file streams as UTF-8 (see streams_as_utf8).
PyObject* streams_utf8(PyObject*, PyObject* args) {
  return guarded([&]() -> PyRef {
    PyObject* path_obj;
    if (!PyArg_ParseTuple(args, "U:streams_utf8", &path_obj)) throw PyErrorRaised{};
    const std::string path = text_of("path", path_obj);
    RunContext run;
    std::optional<Expected<bool, RowvaneError>> result;
    {
      Unlocked unlocked(run);
      result.emplace(streams_as_utf8(path, run_interrupt(run)));
    }
    if (!*result) raise_failure(run, result->error());
    return bool_obj(result->value());
  });
}

constexpr const char* kDetectParams[] = {"sample", "delimiter", "quote_char"};
constexpr Signature kDetectSignature = {"detect", nullptr, kDetectParams, 3, 1};

PyObject* detect(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyRef {
    const BoundArgs a = bind_tuple_dict(kDetectSignature, args, kwargs);
    if (!PyBytes_Check(a[0])) raise(PyExc_TypeError, "sample must be bytes");
    DetectOptions options;
    options.delimiter = char_of("delimiter", a.given(1));
    options.quote_char = char_of("quote_char", a.given(2));
    const std::string_view sample(PyBytes_AS_STRING(a[0]), static_cast<size_t>(PyBytes_GET_SIZE(a[0])));
    const TableLayout l = detect_table(sample, options);
    PyRef d = checked(PyDict_New());
    set_item(d.get(), "delimiter", l.blank_after_delimiter ? text_obj(", ") : str_from_byte(l.delimiter));
    set_item(d.get(), "quote_char", str_from_byte(l.quote_char));
    set_item(d.get(), "columns", int_from_size(l.columns));
    set_item(d.get(), "start", int_from_size(l.start));
    set_item(d.get(), "start_line", int_from_size(l.start_line));
    set_item(d.get(), "preamble_lines", int_from_size(l.preamble.size()));
    set_item(d.get(), "header_rows", int_from_size(l.has_header ? l.header_rows : 0));
    return d;
  });
}

PyObject* cancel_runs(PyObject*, PyObject*) {
  g_cancel_generation.fetch_add(1, std::memory_order_acq_rel);
  Py_RETURN_NONE;
}

#define ROWVANE_KW(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn))

PyMethodDef methods[] = {
    {"repair_file", ROWVANE_KW(repair_file), METH_VARARGS | METH_KEYWORDS,
     "repair_file(input_path, output_path, quarantine_path=None, changes_path=None, delimiter=None, "
     "quote_char=None, fill_ragged_rows=True, merge_overflow=True, expected_columns=None, "
     "repair_quotes=True, drop_empty_surplus=True, opening_quote_as_text=True, "
     "set_aside_other_tables=True, encoding=None, encoding_errors='replace', page_chooser=None, "
     "output_bom=False, keep_blank_rows=False, threads=None, block_size=None, progress=None, "
     "part_start=None, part_stop=None, growing=None)\n--\n\n"
     "Decides the input's encoding, detects its table and repairs it into output_path, with the\n"
     "interpreter lock released; returns a dict of counts and of what was decided. A UTF-8 input\n"
     "is streamed in blocks of block_size bytes read ahead by threads threads (None: every core),\n"
     "progress(done, total) called after each block; part_start/part_stop repair one byte range\n"
     "of the input and add where its rows began and ended (first, next, lines, clean). The change log,\n"
     "when changes_path is given, lists every row changed or dropped: line, action, raw_content,\n"
     "written. Rows of empty cells are dropped unless keep_blank_rows; notes below a table of\n"
     "numbers are set aside. Failures raise the OSError subclass of the file that failed, with its\n"
     "filename."},
    {"repair_basic", ROWVANE_KW(repair_basic), METH_VARARGS | METH_KEYWORDS,
     "repair_basic(input_path, output_path, quarantine_path=None, delimiter=None, quote_char=None, "
     "fill_ragged_rows=True, merge_overflow=True, expected_columns=None, repair_quotes=True, threads=None, "
     "block_size=None, progress=None, growing=None)\n--\n\n"
     "The engine's own repair, byte for byte that of _csv_rowvane_backend.rowvane_file, with the\n"
     "interpreter lock released, streamed in blocks on `threads` threads where the input is UTF-8;\n"
     "returns a dict of its counts. Failures raise the OSError subclass of the file that failed,\n"
     "with its filename."},
    {"check_file", ROWVANE_KW(check_file), METH_VARARGS | METH_KEYWORDS,
     "check_file(input_path, max_problems=10, ...)\n--\n\n"
     "What repair_file with these options would do, writing nothing: its dict, plus `problems`, the\n"
     "first max_problems (line, action, raw content) it would change or drop, and `problem_rows`."},
    {"check_basic", ROWVANE_KW(check_basic), METH_VARARGS | METH_KEYWORDS,
     "check_basic(input_path, max_problems=10, delimiter=None, quote_char=None, fill_ragged_rows=True, "
     "merge_overflow=True, expected_columns=None, repair_quotes=True, threads=None, block_size=None, "
     "progress=None)\n--\n\n"
     "What the engine's own run would do, writing nothing: its counts, and the first max_problems\n"
     "(line, reason, content) it would pad, merge or set aside, with `problem_rows`."},
    {"decode_file", ROWVANE_KW(decode_file), METH_VARARGS | METH_KEYWORDS,
     "decode_file(path, encoding=None, encoding_errors='replace', page_chooser=None, head=None)\n--\n\n"
     "The decode stage of a run alone: a dict of what was decided (encoding, encoding_source,\n"
     "fallback_encoding, replaced_bytes, fallback_bytes, stray_bom) and `text`, the file's text\n"
     "as UTF-8 bytes (its first `head` bytes when given), or None when the file is valid UTF-8\n"
     "as it is."},
    {"detect", ROWVANE_KW(detect), METH_VARARGS | METH_KEYWORDS,
     "detect(sample, delimiter=None, quote_char=None)\n--\n\n"
     "The layout detected at the start of a CSV sample (bytes): delimiter (', ' included),\n"
     "quote_char, columns, start offset and line of the header, preamble_lines, header_rows."},
    {"arrow_scan", ROWVANE_KW(arrow_scan), METH_VARARGS | METH_KEYWORDS,
     "arrow_scan(path, delimiter, quote_char, header, infer_types, max_rows=None)\n--\n\n"
     "Reads a repaired CSV file once: its header (the first row's cells, when header), `types`, the\n"
     "type of each column of the widest row (every column string unless infer_types), and `rows`;\n"
     "max_rows stops after that many rows below the header."},
    {"arrow_stream", ROWVANE_KW(arrow_stream), METH_VARARGS | METH_KEYWORDS,
     "arrow_stream(path, delimiter, quote_char, header, batch_rows, names, types, null_empty)\n--\n\n"
     "A PyCapsule 'arrow_array_stream' of record batches of batch_rows rows read from the file,\n"
     "the columns named and typed so; empty cells are null when null_empty. The stream holds the\n"
     "file open: it may be removed once the capsule exists."},
    {"arrow_schema", ROWVANE_KW(arrow_schema), METH_VARARGS | METH_KEYWORDS,
     "arrow_schema(names, types)\n--\n\n"
     "A PyCapsule 'arrow_schema' of the struct of these columns."},
    {"row_feed", ROWVANE_KW(row_feed), METH_VARARGS | METH_KEYWORDS,
     "row_feed(input_path, delimiter=None, quote_char=None, fill_ragged_rows=True, merge_overflow=True, "
     "expected_columns=None, repair_quotes=True, threads=None, block_size=None)\n--\n\n"
     "Starts the basic run of a UTF-8 file on a thread of its own; returns a capsule whose rows\n"
     "feed_rows hands over a batch at a time. The input is opened at once (OSError if it cannot be)."},
    {"feed_rows", feed_rows, METH_VARARGS,
     "feed_rows(feed, max_rows)\n--\n\n"
     "The next rows of a feed (lists of str), at most max_rows; an empty list at the end. A failed\n"
     "run raises the OSError of the file that failed."},
    {"feed_summary", feed_summary, METH_O,
     "feed_summary(feed)\n--\n\n"
     "The counts of a feed's run once its rows were read to the end, else None."},
    {"growing_new", growing_new, METH_O,
     "growing_new(expected_size)\n--\n\n"
     "A file being written while a run reads it (growing= of repair_file and repair_basic): the\n"
     "writer tells how far it got with growing_grew and how it ended with growing_end; the run's\n"
     "reads wait for their bytes. A run that finds another size than expected_size at the end\n"
     "goes again over the complete file."},
    {"growing_grew", ROWVANE_KW(growing_grew), METH_VARARGS | METH_KEYWORDS,
     "growing_grew(growing, size)\n--\n\nThe file holds its first size bytes."},
    {"growing_end", ROWVANE_KW(growing_end), METH_VARARGS | METH_KEYWORDS,
     "growing_end(growing, complete)\n--\n\n"
     "The writer is done: complete, or failed (the run's reads then fail)."},
    {"feed_close", feed_close, METH_O,
     "feed_close(feed)\n--\n\n"
     "Stops a feed's run (at its next block) and lets go of its pipe; the feed then has no rows."},
    {"basic_counts", ROWVANE_KW(basic_counts), METH_VARARGS | METH_KEYWORDS,
     "basic_counts(input_path, delimiter=None, ...)\n--\n\n"
     "The counts of row_feed's run over the file, streamed, with nothing written or kept."},
    {"streams_utf8", streams_utf8, METH_VARARGS,
     "streams_utf8(path)\n--\n\n"
     "Whether the file is a regular file of UTF-8 text throughout (no mark or NUL pattern of\n"
     "UTF-16/32), read in blocks: the inputs row_feed takes."},
    {"cancel_runs", cancel_runs, METH_NOARGS,
     "cancel_runs()\n--\n\n"
     "Stops every run of this module in progress, in any thread, at its next check; each raises\n"
     "InterruptedError(\"the run was cancelled\"). Runs started afterwards are not affected."},
    {nullptr, nullptr, 0, nullptr},
};

#undef ROWVANE_KW

PyModuleDef_Slot slots[] = {
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "csv_rowvane._core",
    .m_doc = "The native part of the csv_rowvane front end: encodings, table detection and the table\n"
             "repair, run with the interpreter lock released.",
    .m_size = 0,
    .m_methods = methods,
    .m_slots = slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace
}  // namespace rowvane::frontend

PyMODINIT_FUNC PyInit__core() { return PyModuleDef_Init(&rowvane::frontend::module_def); }
