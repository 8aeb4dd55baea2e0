#pragma once
// Owning wrapper of a POSIX file descriptor, and a write that does not stop short.
#include <string_view>
#include <utility>

namespace lindra {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { Reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) Reset(std::exchange(other.fd_, -1));
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  explicit operator bool() const { return valid(); }
  int Release() { return std::exchange(fd_, -1); }
  // Closes the held descriptor (if any) and takes `fd`.
  void Reset(int fd = -1);

 private:
  int fd_ = -1;
};

// Writes all of `bytes`, continuing after signals and short writes; false with errno
// set when the descriptor refuses. A regular file takes it in one write call.
bool WriteAll(int fd, std::string_view bytes);

}  // namespace lindra
