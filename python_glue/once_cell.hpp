// A process-wide value built once, under the interpreter lock.
//
// Builders import modules and run Python code, and the interpreter may switch
// threads in the middle of that. A second thread arriving then must neither
// start a second build nor block while holding the interpreter lock, which the
// builder needs to finish: it waits on a condition variable with the lock
// released. The builder keeps the interpreter lock throughout.
//
// The internal mutex is only ever held for a few instructions, or by a waiter
// that has already given up the interpreter lock, so the two locks cannot
// deadlock.
#pragma once

#include <Python.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

namespace quillmere_py {

template <class T>
class OnceCell {
 public:
  // The value, building it with `build` (returning std::optional<T>) on first
  // use. A build that returns nullopt leaves its Python exception set and the
  // cell empty, so a later call tries again. nullptr with no exception set
  // means the building thread asked for the value from inside its own build.
  template <class Build>
  const T* get(Build&& build) {
    if (state_.load(std::memory_order_acquire) == State::Ready) return &*value_;

    std::unique_lock lock(mutex_);
    for (;;) {
      const State state = state_.load(std::memory_order_relaxed);
      if (state == State::Ready) return &*value_;
      if (state == State::Empty) break;
      if (builder_ == std::this_thread::get_id()) return nullptr;
      // Drop our mutex before the interpreter lock is taken back: a thread
      // holding the interpreter lock may be about to take the mutex.
      lock.unlock();
      PyThreadState* saved = PyEval_SaveThread();
      {
        std::unique_lock wait_lock(mutex_);
        ready_.wait(wait_lock, [this] { return state_.load(std::memory_order_relaxed) != State::Building; });
      }
      PyEval_RestoreThread(saved);
      lock.lock();
    }
    state_.store(State::Building, std::memory_order_relaxed);
    builder_ = std::this_thread::get_id();
    lock.unlock();

    std::optional<T> built;
    try {
      built = build();
    } catch (...) {
      finish(std::nullopt);
      throw;
    }
    const bool ok = built.has_value();
    finish(std::move(built));
    return ok ? &*value_ : nullptr;
  }

 private:
  enum class State : unsigned char { Empty, Building, Ready };

  void finish(std::optional<T> built) noexcept {
    {
      std::lock_guard lock(mutex_);
      builder_ = std::thread::id();
      if (built) {
        value_ = std::move(built);
        state_.store(State::Ready, std::memory_order_release);
      } else {
        state_.store(State::Empty, std::memory_order_relaxed);
      }
    }
    ready_.notify_all();
  }

  std::atomic<State> state_{State::Empty};
  std::mutex mutex_;
  std::condition_variable ready_;
  std::thread::id builder_;
  std::optional<T> value_;
};

}  // namespace quillmere_py
