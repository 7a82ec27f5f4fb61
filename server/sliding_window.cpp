#include "server/sliding_window.hpp"

namespace qserver {

// The key's events within the span; once a span, the keys with none left are forgotten.
std::deque<SlidingWindow::Clock::time_point>& SlidingWindow::Events(const std::string& key,
                                                                    Clock::time_point now) {
  if (now - lastPrune_ >= span_) {
    lastPrune_ = now;
    for (auto it = events_.begin(); it != events_.end();)
      it = it->second.empty() || now - it->second.back() >= span_ ? events_.erase(it) : std::next(it);
  }
  auto& times = events_[key];
  while (!times.empty() && now - times.front() >= span_) times.pop_front();
  return times;
}

bool SlidingWindow::Allows(const std::string& key, Clock::time_point now) {
  if (limit_ == 0) return true;
  std::lock_guard lock(mutex_);
  auto& times = Events(key, now);
  const bool allowed = times.size() < limit_;
  if (times.empty()) events_.erase(key);
  return allowed;
}

void SlidingWindow::Add(const std::string& key, Clock::time_point now) {
  if (limit_ == 0) return;
  std::lock_guard lock(mutex_);
  Events(key, now).push_back(now);
}

bool SlidingWindow::Take(const std::string& key, Clock::time_point now) {
  if (limit_ == 0) return true;
  std::lock_guard lock(mutex_);
  auto& times = Events(key, now);
  if (times.size() >= limit_) return false;
  times.push_back(now);
  return true;
}

std::size_t SlidingWindow::KeysKept() {
  std::lock_guard lock(mutex_);
  return events_.size();
}

}  // namespace qserver
