// The module function rowvane_file: repairs one CSV file on disk into another.
#include "module/rowvane_file.hpp"

#include <optional>
#include <string>

#include "core/rowvane.hpp"
#include "module/frame.hpp"
#include "module/summary.hpp"

namespace rowvane::py {

namespace {

constexpr const char* kParams[] = {
    "input_path",     "output_path",      "quarantine_path", "delimiter",     "quote_char",
    "fill_ragged_rows", "merge_overflow", "expected_columns", "repair_quotes",
};

constexpr Signature kSignature = {"rowvane_file", nullptr, kParams, 9, 2};

PyObject* rowvane_file_entry(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return guarded([&] {
    BoundArgs bound = bind_vectorcall(kSignature, args, static_cast<size_t>(nargs), kwnames);
    std::string input_path =
        convert(kParams[0], [&] { return std::string(to_text(bound[0])); });
    std::string output_path =
        convert(kParams[1], [&] { return std::string(to_text(bound[1])); });
    std::optional<std::string> quarantine_path;
    if (PyObject* v = bound.given(2)) {
      quarantine_path = convert(kParams[2], [&] { return std::string(to_text(v)); });
    }
    RunOptions options = convert_run_options(kSignature, bound, 3);
    FileRunHooks hooks;
    hooks.interrupt = python_interrupt_check();
    Expected<RunSummary, RowvaneError> run =
        rowvane_file(input_path, output_path, quarantine_path, options, hooks);
    if (!run) raise_rowvane_error(run.error());
    return make_summary_object(run.value());
  });
}

PyMethodDef rowvane_file_def = {
    "rowvane_file",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(rowvane_file_entry)),
    METH_FASTCALL | METH_KEYWORDS,
    "rowvane_file(input_path, output_path, quarantine_path=None, delimiter=None, "
    "quote_char=\"\\\"\", fill_ragged_rows=True, merge_overflow=True, expected_columns=None, "
    "repair_quotes=True)\n"
    "--\n"
    "\n"
    "Rowvanes a corrupted CSV file and writes a clean, standard RFC-4180 file.\n"
    "\n"
    "Args:\n"
    "    input_path: Path to the corrupted CSV file.\n"
    "    output_path: Path where the repaired CSV file will be written.\n"
    "    quarantine_path: Optional path to write unrecoverable / quarantined rows.\n"
    "    delimiter: Optional single-character delimiter (e.g. \",\" or \";\"). If None, "
    "auto-sniffed.\n"
    "    quote_char: Optional single-character quote enclosure (default '\"').\n"
    "    fill_ragged_rows: If True, pads short rows with empty strings. Default True.\n"
    "    merge_overflow: If True, merges extra tokens into the last column. Default True.\n"
    "    expected_columns: Optional explicit column count. If None, inferred automatically.\n"
    "    repair_quotes: If True, disambiguates and repairs stray internal quotes. Default True.",
};

}  // namespace

PyMethodDef* rowvane_file_method_def() { return &rowvane_file_def; }

}  // namespace rowvane::py
