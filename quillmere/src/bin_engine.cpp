// The cold half of the bit engine: the symbol queue's storage, the backward
// coding pass and decoder set-up. put() and get() live in the header to be
// inlined.
#include "quillmere/bin_engine.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace quillmere::arans {
namespace {

#if defined(__linux__)
// Queues of megabytes are the norm (two bytes per coded bit). The C
// allocator maps blocks that large afresh on every call and unmaps them on
// release, so each call faulted its queue in 4 KiB at a time, which took
// about a quarter of the encoding time. Asking for transparent huge pages
// cuts the faults 512-fold where the system grants them (it may not; the
// request is only advice).
constexpr std::size_t kHugePage = std::size_t{2} << 20;
constexpr std::size_t kHugeFrom = 2 * kHugePage;
#endif

std::uint16_t* allocate_symbols(std::size_t n) {
  if (n > SIZE_MAX / 4) throw std::bad_alloc();
  std::size_t bytes = std::max<std::size_t>(2 * n, 2);
  void* p = nullptr;
#if defined(__linux__)
  if (bytes >= kHugeFrom) {
    bytes = (bytes + kHugePage - 1) & ~(kHugePage - 1);
    p = std::aligned_alloc(kHugePage, bytes);
    if (p != nullptr) madvise(p, bytes, MADV_HUGEPAGE);
  } else {
    p = std::malloc(bytes);
  }
#else
  p = std::malloc(bytes);
#endif
  if (p == nullptr) throw std::bad_alloc();
  return static_cast<std::uint16_t*>(p);
}

// Room for n symbols: at most one word each plus the 4-byte state. The
// buffer is filled from its end; for a large run the pages it never
// reaches are never touched, so the slack costs address space only.
std::unique_ptr<std::uint8_t[]> output_buffer(std::size_t n) {
  return std::make_unique_for_overwrite<std::uint8_t[]>(2 * n + 4);
}

void flush(Coder& c, const std::uint8_t* end, std::vector<std::uint8_t>& out) {
  c.head -= 4;
  store_le32(c.head, c.x);
  out.insert(out.end(), static_cast<const std::uint8_t*>(c.head), end);
}

}  // namespace

void SymbolQueue::Free::operator()(std::uint16_t* p) const noexcept { std::free(p); }

void SymbolQueue::reserve(std::size_t n) {
  if (n <= capacity_) return;
  std::unique_ptr<std::uint16_t[], Free> bigger(allocate_symbols(n));
  if (size_ > 0) std::memcpy(bigger.get(), data_.get(), size_ * sizeof(std::uint16_t));
  data_ = std::move(bigger);
  capacity_ = n;
}

BackwardCoder::BackwardCoder(std::size_t max_symbols)
    : buffer_(output_buffer(max_symbols)),
      end_(buffer_.get() + 2 * max_symbols + 4),
      head_(end_) {}

void BackwardCoder::code_backwards(std::span<const std::uint16_t> run) noexcept {
  // A local coder, so that state and head stay in registers for the run.
  Coder c{.x = x_, .head = head_};
  const std::uint16_t* const symbols = run.data();
  for (std::size_t i = run.size(); i-- > 0;) c.code(symbols[i]);
  x_ = c.x;
  head_ = c.head;
}

void BackwardCoder::finish_into(std::vector<std::uint8_t>& out) {
  Coder c{.x = x_, .head = head_};
  flush(c, end_, out);
  head_ = c.head;
}

void BinEnc::finish_into(std::vector<std::uint8_t>& out) const {
  BackwardCoder coder(pending_.size());
  coder.code_backwards({pending_.data(), pending_.size()});
  coder.finish_into(out);
}

std::vector<std::uint8_t> BinEnc::finish() const {
  std::vector<std::uint8_t> out;
  finish_into(out);
  return out;
}


std::expected<BinDec, AransError> BinDec::create(std::size_t contexts,
                                                 std::span<const std::uint8_t> coded) {
  if (coded.size() < 4) return std::unexpected(AransError::Truncated);
  return BinDec(std::vector<std::uint16_t>(contexts ? contexts : 1, kProbInit), coded);
}

BinDec::BinDec(std::vector<std::uint16_t> probs, std::span<const std::uint8_t> coded)
    : probs_(std::move(probs)),
      x_(load_le32(coded.data())),
      pos_(coded.data() + 4),
      end_(coded.data() + coded.size()) {}

}  // namespace quillmere::arans
