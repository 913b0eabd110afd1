#include "json/split_check.hpp"

#include <signal.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "json/scan.hpp"

namespace korvane::json_detail {

namespace {

bool ends_value(char c) noexcept { return c == '"' || c == ']' || c == '}' || c == 'e' || c == 'l' || is_digit(c); }

bool starts_value(char c) noexcept {
  return c == '"' || c == '[' || c == '{' || c == '-' || c == 't' || c == 'f' || c == 'n' || is_digit(c);
}

}  // namespace

const char* SplitCheck::find_comma(std::string_view text, std::size_t from) noexcept {
  constexpr std::size_t kLookAhead = std::size_t{64} << 10;
  if (text.size() < 3) return nullptr;
  const char* p = text.data() + std::clamp<std::size_t>(from, 1, text.size());
  // The byte after a comma, and one more after a space, must be there.
  const char* const last = text.data() + text.size() - 2;
  const char* const stop = p + std::min<std::size_t>(kLookAhead, static_cast<std::size_t>(std::max(last - p, std::ptrdiff_t{0})));
  while (p < stop) {
    const auto* comma = static_cast<const char*>(std::memchr(p, ',', static_cast<std::size_t>(stop - p)));
    if (comma == nullptr) return nullptr;
    const char after = comma[1] == ' ' ? comma[2] : comma[1];
    if (ends_value(comma[-1]) && starts_value(after)) return comma;
    p = comma + 1;
  }
  return nullptr;
}

namespace {

// Blocks every signal on the calling thread while it lives, so that a thread
// started meanwhile inherits that mask: signals meant for the process (an
// interrupt, say) then go to the interpreter's threads, never to ours.
// sigprocmask, which glibc applies to the calling thread alone as
// pthread_sigmask does, keeps the module within the symbols of older glibc
// releases (pthread_sigmask moved into libc only in 2.32).
class SignalsBlocked {
 public:
  SignalsBlocked() noexcept {
    sigset_t all;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, &before_);
  }
  ~SignalsBlocked() { sigprocmask(SIG_SETMASK, &before_, nullptr); }
  SignalsBlocked(const SignalsBlocked&) = delete;
  SignalsBlocked& operator=(const SignalsBlocked&) = delete;

 private:
  sigset_t before_{};
};

}  // namespace

SplitCheck::SplitCheck(std::function<void(SplitCheck&)> check) {
  const SignalsBlocked blocked;
  thread_ = std::thread([this, check = std::move(check)] {
    try {
      check(*this);
    } catch (...) {
      // Out of memory, say: the parser reads on by itself.
    }
    state_.fetch_or(kStopped, std::memory_order_release);
    state_.notify_one();
  });
}

SplitCheck::~SplitCheck() {
  cancel();
  thread_.join();
}

bool SplitCheck::log(const ClosingBracket& closer) noexcept {
  const std::uint32_t count = state_.load(std::memory_order_relaxed) >> 1;
  if (count == log_.size() || cancelled()) return false;
  log_[count] = closer;
  state_.store((count + 1) << 1, std::memory_order_release);
  state_.notify_one();
  return true;
}

std::span<const ClosingBracket> SplitCheck::wait_for(std::size_t count, std::size_t progress) noexcept {
  std::uint32_t state = state_.load(std::memory_order_acquire);
  if ((state >> 1) < count && (state & kStopped) == 0 && progress_.load(std::memory_order_relaxed) < progress) return {};
  while ((state >> 1) < count && (state & kStopped) == 0) {
    state_.wait(state, std::memory_order_acquire);
    state = state_.load(std::memory_order_acquire);
  }
  return {log_.data(), std::min<std::size_t>(state >> 1, count)};
}

}  // namespace korvane::json_detail
