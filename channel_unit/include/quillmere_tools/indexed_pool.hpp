// Batch work on a few threads. Each index runs exactly once and writes only
// its own result slot, so what a batch returns does not depend on the
// number of threads or on their scheduling.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <thread>
#include <vector>

namespace quillmere_tools {

// Runs task(i) for every i below count on up to `threads` threads, the
// calling thread included. `task` must not throw.
template <class Task>
void run_indexed(std::size_t count, std::size_t threads, const Task& task) noexcept {
  std::atomic<std::size_t> next{0};
  const auto drain = [&]() noexcept {
    for (std::size_t i = next.fetch_add(1); i < count; i = next.fetch_add(1)) task(i);
  };
  threads = std::clamp<std::size_t>(threads, 1, std::max<std::size_t>(count, 1));
  try {
    std::vector<std::jthread> helpers;
    helpers.reserve(threads - 1);
    for (std::size_t t = 1; t < threads; ++t) helpers.emplace_back(drain);
    drain();
  } catch (...) {
    // A thread that could not be started leaves its share to this one; the
    // helpers already running were joined when the vector unwound.
    drain();
  }
}

}  // namespace quillmere_tools
