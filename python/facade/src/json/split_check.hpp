// A second thread for the check of a large text: while the parser reads
// the part before one of its commas, the second thread checks the part
// after it, inside containers whose kinds it cannot know, and logs each
// bracket that closes one of them. Where the parser meets that comma in a
// part it does not keep, it compares the brackets it has open with the
// logged ones and, if they agree, goes on from the last it needs.
//
// Only a faultless stretch is ever taken: whatever the second thread finds
// wanting, the parser reads again itself, so descriptions and positions are
// the one-pass parser's own.
//
// Internal to the JSON code.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string_view>
#include <thread>

namespace korvane::json_detail {

struct ClosingBracket {
  std::size_t offset;  // of the bracket in the text
  char bracket;        // ']' or '}'
  int deepest;         // most containers open past the comma's own, up to here
};

class SplitCheck {
 public:
  // Texts shorter than this are read by one thread: below it, starting the
  // second thread costs about what it saves.
  static constexpr std::size_t kMinimumText = std::size_t{256} << 10;

  // How much more than half of a text the parser's own thread reads. The
  // second thread begins some 90 microseconds late (its core is woken from
  // idle) and its part of the text is not yet in its core's cache; in that
  // time the parser reads about twice this much, so both end together.
  static constexpr std::size_t kHeadStart = std::size_t{48} << 10;

  // The first comma at or after `from` (within 64 KiB) that lies right
  // after the end of a value and before the start of one, or nullptr. It may
  // still be inside a string: the parser confirms it by meeting it.
  static const char* find_comma(std::string_view text, std::size_t from) noexcept;

  // Runs `check` on a thread of its own; throws std::system_error when no
  // thread can be started.
  explicit SplitCheck(std::function<void(SplitCheck&)> check);
  SplitCheck(const SplitCheck&) = delete;
  SplitCheck& operator=(const SplitCheck&) = delete;
  // Stops the second thread and waits for it.
  ~SplitCheck();

  // On the second thread. log() is false once nothing more is wanted.
  bool log(const ClosingBracket& closer) noexcept;
  void progress(std::size_t offset) noexcept { progress_.store(offset, std::memory_order_relaxed); }
  bool cancelled() const noexcept { return cancelled_.load(std::memory_order_relaxed); }

  // On the parser's thread: the first `count` logged brackets, waiting for
  // them unless the second thread has stopped first or has not yet checked
  // up to `progress` (it lags, so the parser is better off reading on
  // itself). Fewer than `count` means: read on.
  std::span<const ClosingBracket> wait_for(std::size_t count, std::size_t progress) noexcept;
  void cancel() noexcept { cancelled_.store(true, std::memory_order_relaxed); }

 private:
  static constexpr std::uint32_t kStopped = 1;  // state_: logged count << 1, | kStopped

  // A text has fewer containers open at once than this; a bracket past it
  // belongs to a text that is wanting anyway.
  std::array<ClosingBracket, 128> log_{};
  std::atomic<std::uint32_t> state_{0};
  std::atomic<std::size_t> progress_{0};
  std::atomic<bool> cancelled_{false};
  std::thread thread_;
};

}  // namespace korvane::json_detail
