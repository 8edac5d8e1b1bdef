// Growable storage for queued symbols (two bytes per modelled bit).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace quillmere::bin_engine {

// The queue of modelled symbols: a plain growable array whose large
// blocks come from allocate_symbols() (see symbol_queue.cpp for why).
class SymbolQueue {
 public:
  std::uint16_t* data() noexcept { return data_.get(); }
  const std::uint16_t* data() const noexcept { return data_.get(); }
  std::size_t size() const noexcept { return size_; }
  void reserve(std::size_t n);  // std::bad_alloc when it cannot
  void resize(std::size_t n) {  // new slots are left unwritten
    if (n > capacity_) reserve(n);
    size_ = n;
  }
  void push_back(std::uint16_t v) {
    if (size_ == capacity_) [[unlikely]] reserve(capacity_ < 512 ? 1024 : 2 * capacity_);
    data_[size_++] = v;
  }

 private:
  struct Free {
    void operator()(std::uint16_t* p) const noexcept;
  };
  std::unique_ptr<std::uint16_t[], Free> data_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace quillmere::bin_engine
