// How fast one slot log drains, and how much memory a burst of lines costs.
//
//   log_bench [LINES]      (default 1,000,000)
//
// Each run queues LINES lines as fast as one producer can and stops the clock when
// Shutdown returns, that is when every line is on disk. Peak memory is the
// process's maximum resident set (getrusage), taken before and after the burst.
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "log/simple_log.h"
#include "log/slot_logs.h"
#include "platform/paths.h"
#include "text/strings.h"

namespace {

using lindra::DeviceLogKind;
using lindra::SlotLogs;

long MaxRssKiB() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

struct Result {
  double seconds = 0;
  long lines = 0;
  uintmax_t bytes = 0;
};

template <typename Produce>
Result Run(const std::filesystem::path& dir, long count, int linesPerCall, Produce produce) {
  std::filesystem::remove_all(dir);
  auto start = std::chrono::steady_clock::now();
  {
    SlotLogs logs;
    logs.Open(dir, 1, 3, true);
    for (long i = 0; i < count; ++i) produce(logs, i);
    logs.Shutdown();
  }
  std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  uintmax_t bytes = 0;
  for (const auto& f : std::filesystem::directory_iterator(dir)) bytes += f.file_size();
  return {elapsed.count(), count * linesPerCall, bytes};
}

void Report(const char* name, const Result& r) {
  std::printf("%-34s %9ld lines  %7.3f s  %10.0f lines/s  %6.1f MiB on disk\n", name, r.lines, r.seconds,
              r.lines / r.seconds, r.bytes / 1048576.0);
}

}  // namespace

int main(int argc, char** argv) {
  const long count = argc > 1 ? std::atol(argv[1]) : 1000000;
  if (count <= 0) return 2;
  char pattern[] = "lindra-bench-XXXXXX";
  std::filesystem::path root = lindra::TempDirectory() / pattern;
  std::string rootText = root.string();
  if (!::mkdtemp(rootText.data())) return 1;
  root = rootText;

  const long rssBefore = MaxRssKiB();
  // A telephone-log line as the senders write it.
  Result phone = Run(root / "telephone", count, 1, [](SlotLogs& logs, long i) {
    logs.Telephone(
        lindra::text::Format("DEV01: T 0212345%03ld, 3, 0215550000, 201, 127.0.0.2, 14:03:27, SENT:30", i % 1000));
  });
  const long rssAfter = MaxRssKiB();
  // A READ entry: heading and data, two program-log lines per call.
  Result program = Run(root / "program", count / 2, 2, [](SlotLogs& logs, long) {
    logs.DeviceRaw(DeviceLogKind::Read, "  1 0001 002 0212345678 0215550000 14:03:27\r\n");
  });
  std::filesystem::remove_all(root);

  std::printf("log_bench on %ld cores\n", ::sysconf(_SC_NPROCESSORS_ONLN));
  Report("telephone log, one producer", phone);
  Report("program log READ pairs", program);
  // What the burst's lines would take if all of them were queued at once: the
  // queue entry plus the text's heap block (75 bytes and malloc's overhead).
  const double linesMiB = count * (sizeof(lindra::LogLine) + 96.0) / 1048576.0;
  std::printf(
      "peak resident set: %.1f MiB before the burst, %.1f MiB after (all %ld lines queued at once: ~%.0f MiB)\n",
      rssBefore / 1024.0, rssAfter / 1024.0, count, linesMiB);
  return 0;
}
