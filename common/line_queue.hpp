// The rule of every program's log output: a reader that stops reading (a stalled journal, a
// full pipe) costs lines, never time. Lines wait in a bounded queue; a line that finds it full
// is dropped and counted, and the count is handed out once the lines queued before the loss
// have been written, for the program to say in its own words.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

namespace quorvel {

class LineQueue {
 public:
  explicit LineQueue(std::size_t capBytes) : cap_(capBytes) {}

  // Queues the line and a line end; false, and counted, when they do not fit.
  bool Push(std::string_view line) {
    if (queue_.size() + line.size() + 1 > cap_) {
      ++lost_;
      ++lostTotal_;
      return false;
    }
    queue_.append(line);
    queue_ += '\n';
    return true;
  }

  // The bytes waiting, oldest first; Consume(n) once the reader has taken n of them.
  std::string_view Bytes() const { return queue_; }
  void Consume(std::size_t bytes) { queue_.erase(0, bytes); }
  // Everything waiting at once, for a writer that writes outside its lock.
  std::string TakeAll() { return std::exchange(queue_, std::string()); }
  // The output is gone: what waits is given up.
  void Clear() { queue_.clear(); }
  bool Empty() const { return queue_.empty(); }

  // Lines dropped since the last call, once nothing waits any more; else 0.
  std::size_t TakeLost() {
    if (!queue_.empty()) return 0;
    return std::exchange(lost_, 0);
  }
  unsigned long long LostTotal() const { return lostTotal_; }

 private:
  std::size_t cap_;
  std::string queue_;
  std::size_t lost_ = 0;
  unsigned long long lostTotal_ = 0;
};

}  // namespace quorvel
