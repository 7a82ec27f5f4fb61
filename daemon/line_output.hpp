// Lines for standard output or error that never hold the service up, by the rule of
// common/line_queue.hpp: writes never block, and what a stalled reader leaves waits in a
// bounded queue.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "common/line_queue.hpp"
#include "common/unique_handle.hpp"

namespace quorvel {

class LineOutput {
 public:
  // The bytes that may wait for a slow reader.
  static constexpr std::size_t kQueueCap = 16 * 1024;

  // fd stays open and shared; writes to it never block.
  explicit LineOutput(int fd);

  // Queues the line and a line end, then writes what the reader takes.
  void Write(std::string_view line);
  // Writes what the reader takes now.
  void Flush();
  // Something waits for the reader: poll the descriptor for POLLOUT.
  bool Waiting() const { return !queue_.Empty(); }
  int PollFd() const { return own_ ? own_.get() : fd_; }
  // Lines lost to a full queue since the last call, once the queue has emptied; else 0.
  std::size_t TakeLost() { return queue_.TakeLost(); }

 private:
  enum class Kind { kPlain, kSocket, kOwn };

  int fd_;
  Kind kind_ = Kind::kPlain;
  // A description of our own for a pipe or a terminal, non-blocking without changing the one
  // shared with the shell or the service manager.
  UniqueFd own_;
  LineQueue queue_{kQueueCap};
};

}  // namespace quorvel
