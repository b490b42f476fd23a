// One-time initialisation of shared native state, safe against the GIL.
//
// A thread waiting for the cell must not hold the GIL, or the thread inside the
// initialiser (which runs Python code and may give up the GIL) could never
// finish. So the GIL is released before the lock is taken and re-acquired
// before the initialiser touches Python objects.
#pragma once

#include <atomic>
#include <mutex>
#include <thread>

#include "common/ref.h"
#include "common/status.h"

namespace velum {

class OnceGate {
 public:
  bool done() const noexcept { return done_.load(std::memory_order_acquire); }

  // Runs `init` (returning Status) unless an earlier call succeeded. A failure
  // leaves the gate open so that the next caller tries again. Called with the
  // GIL held; returns with it held.
  template <class F>
  Status Run(F&& init) {
    if (done()) return Status::Ok();
    if (owner_.load(std::memory_order_relaxed) == std::this_thread::get_id()) {
      // The initialiser reached its own cell again: waiting would deadlock.
      return Status(ErrorKind::kRuntime, "recursive initialisation of a native cache");
    }
    PyThreadState* state = PyEval_SaveThread();
    mutex_.lock();
    PyEval_RestoreThread(state);
    std::lock_guard<std::mutex> guard(mutex_, std::adopt_lock);
    Status result;
    if (!done()) {
      owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
      result = init();
      owner_.store(std::thread::id(), std::memory_order_relaxed);
      if (result.ok()) done_.store(true, std::memory_order_release);
    }
    return result;
  }

 private:
  std::atomic<bool> done_{false};
  std::atomic<std::thread::id> owner_{};
  std::mutex mutex_;
};

}  // namespace velum
