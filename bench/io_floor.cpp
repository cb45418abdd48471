// The I/O floor of a file repair, built by bench/run.py with the system g++:
// read the whole input into a fresh buffer, write it back out in 8192-byte
// blocks, nothing else. Any repair that must see the whole input before its
// first output byte and writes through an 8192-byte buffer pays at least this.
//
//   io_floor INPUT OUTPUT REPEAT BUDGET_SECONDS
//
// Times each repeat itself (wall and process CPU time, no exec or start-up
// inside the timing) and prints one JSON line in the harness's worker format.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

namespace {

double now(clockid_t clock) {
  timespec ts;
  clock_gettime(clock, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

long vm_hwm_kb() {
  FILE* f = std::fopen("/proc/self/status", "r");
  if (f == nullptr) return 0;
  char line[256];
  long kb = 0;
  while (std::fgets(line, sizeof line, f) != nullptr) {
    if (std::strncmp(line, "VmHWM:", 6) == 0) kb = std::strtol(line + 6, nullptr, 10);
  }
  std::fclose(f);
  return kb;
}

bool fail(const char* what) {
  std::printf("{\"tool\": \"io_floor\", \"status\": \"error\", \"error\": \"%s failed\"}\n", what);
  return false;
}

// One repeat: the same system calls a repair makes, without the repair.
bool copy_once(const char* in_path, const char* out_path) {
  const int in = open(in_path, O_RDONLY | O_CLOEXEC);
  if (in < 0) return fail("open input");
  struct stat st;
  if (fstat(in, &st) != 0) return fail("fstat");
  const size_t size = static_cast<size_t>(st.st_size);
  // A fresh buffer each time, as a repair allocates one per file, from the
  // same allocator: from the second repeat on, malloc hands back the pages of
  // the buffer freed by the previous one (already mapped), exactly as it does
  // for the run under test in its worker, so both sides are timed alike.
  std::unique_ptr<char[]> buf(new char[size == 0 ? 1 : size]);
  size_t got = 0;
  while (got < size) {
    const ssize_t r = read(in, buf.get() + got, size - got);
    if (r <= 0) return fail("read");
    got += static_cast<size_t>(r);
  }
  close(in);
  const int out = open(out_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (out < 0) return fail("open output");
  constexpr size_t kBlock = 8192;
  for (size_t off = 0; off < got;) {
    const size_t n = got - off < kBlock ? got - off : kBlock;
    const ssize_t w = write(out, buf.get() + off, n);
    if (w <= 0) return fail("write");
    off += static_cast<size_t>(w);
  }
  if (close(out) != 0) return fail("close");
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: io_floor INPUT OUTPUT REPEAT BUDGET_SECONDS\n");
    return 2;
  }
  const int repeat = std::atoi(argv[3]);
  const double budget = std::atof(argv[4]);
  std::vector<double> times, cpu;
  double spent = 0;
  for (int i = 0; i < repeat; ++i) {
    unlink(argv[2]);
    const double c0 = now(CLOCK_PROCESS_CPUTIME_ID);
    const double t0 = now(CLOCK_MONOTONIC);
    if (!copy_once(argv[1], argv[2])) return 0;
    const double dt = now(CLOCK_MONOTONIC) - t0;
    cpu.push_back(now(CLOCK_PROCESS_CPUTIME_ID) - c0);
    times.push_back(dt);
    spent += dt;
    if (spent >= budget) break;
  }
  struct stat st;
  const long long out_bytes = stat(argv[2], &st) == 0 ? static_cast<long long>(st.st_size) : -1;
  std::string t, c;
  for (size_t i = 0; i < times.size(); ++i) {
    t += (i ? ", " : "") + std::to_string(times[i]);
    c += (i ? ", " : "") + std::to_string(cpu[i]);
  }
  std::printf(
      "{\"tool\": \"io_floor\", \"status\": \"ok\", \"times\": [%s], \"cpu_times\": [%s], "
      "\"vm_hwm_kb\": %ld, \"rss_after_import_kb\": null, \"out_bytes\": %lld}\n",
      t.c_str(), c.c_str(), vm_hwm_kb(), out_bytes);
  return 0;
}
