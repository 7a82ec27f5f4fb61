// How many events each key had within the last span, against a limit: the flood rule (updates
// of one name a minute) and the creation limit (identifiers one peer makes a minute).
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <unordered_map>

namespace qserver {

class SlidingWindow {
 public:
  using Clock = std::chrono::steady_clock;
  // limit 0: no limit (nothing is kept).
  explicit SlidingWindow(std::size_t limit, Clock::duration span = std::chrono::minutes(1))
      : limit_(limit), span_(span) {}

  // Whether key may have one more event at `now`.
  bool Allows(const std::string& key, Clock::time_point now);
  // Counts one event of key at `now`.
  void Add(const std::string& key, Clock::time_point now);
  // Allows, then Add when it does, in one step.
  bool Take(const std::string& key, Clock::time_point now);

  std::size_t KeysKept();  // for the tests: keys with an event within the span

 private:
  std::deque<Clock::time_point>& Events(const std::string& key, Clock::time_point now);

  const std::size_t limit_;
  const Clock::duration span_;
  std::mutex mutex_;
  std::unordered_map<std::string, std::deque<Clock::time_point>> events_;
  Clock::time_point lastPrune_{};
};

}  // namespace qserver
