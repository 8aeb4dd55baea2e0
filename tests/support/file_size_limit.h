#pragma once
#include <sys/resource.h>

#include <csignal>

namespace lindra::testing {

// Lowers this process's file size limit for the scope, as a full disk would stop its
// writes: a write that would grow a file beyond it writes what fits, then fails with
// EFBIG (SIGXFSZ is ignored meanwhile, as the servers do).
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    ::getrlimit(RLIMIT_FSIZE, &saved_);
    previousHandler_ = std::signal(SIGXFSZ, SIG_IGN);
    const rlimit lowered{bytes, saved_.rlim_max};
    ::setrlimit(RLIMIT_FSIZE, &lowered);
  }
  ~FileSizeLimit() {
    Lift();
    std::signal(SIGXFSZ, previousHandler_);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

  // Space is back.
  void Lift() { ::setrlimit(RLIMIT_FSIZE, &saved_); }

 private:
  rlimit saved_{};
  void (*previousHandler_)(int) = SIG_DFL;
};

}  // namespace lindra::testing
