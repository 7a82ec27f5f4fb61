// Keeps the store's writers apart, and lets a reader see one writer's values all together. On
// the file store it is a lock on the store's folder; the registry needs none.
#pragma once

#include "common/unique_handle.hpp"

namespace quorvel {

class StoreLock {
 public:
  enum class Mode { kShared, kExclusive };
  // Waits at most StoreLockWaitMs() for the lock.
  explicit StoreLock(Mode mode);
  bool Held() const { return held_; }

 private:
  bool held_ = false;
#ifndef _WIN32
  UniqueFd folder_;  // closing it releases the lock
#endif
};

// How long a StoreLock waits: 5 s unless set (the daemon's loop waits less).
int StoreLockWaitMs();
void SetStoreLockWaitMs(int milliseconds);

}  // namespace quorvel
