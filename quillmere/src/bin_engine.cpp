// The cold half of the bit engine: the backward coding pass and decoder
// set-up. put(), code() and decode() live in the headers to be inlined.
#include "bin_engine.hpp"

#include <memory>
#include <utility>

namespace quillmere::bin_engine {
namespace {

// Room for n symbols: at most one word each plus the 4-byte state. The
// buffer is filled from its end; for a large run the pages it never
// reaches are never touched, so the slack costs address space only.
std::unique_ptr<std::uint8_t[]> output_buffer(std::size_t n) {
  return std::make_unique_for_overwrite<std::uint8_t[]>(2 * n + 4);
}

void flush(RansState& c, const std::uint8_t* end, std::vector<std::uint8_t>& out) {
  c.head -= 4;
  store_le32(c.head, c.x);
  out.insert(out.end(), static_cast<const std::uint8_t*>(c.head), end);
}

}  // namespace

BackwardCoder::BackwardCoder(std::size_t max_symbols)
    : buffer_(output_buffer(max_symbols)),
      end_(buffer_.get() + 2 * max_symbols + 4),
      head_(end_) {}

void BackwardCoder::code_backwards(std::span<const std::uint16_t> run) noexcept {
  // A local coder, so that state and head stay in registers for the run.
  RansState c{.x = x_, .head = head_};
  const std::uint16_t* const symbols = run.data();
  for (std::size_t i = run.size(); i-- > 0;) c.code(symbols[i]);
  x_ = c.x;
  head_ = c.head;
}

void BackwardCoder::finish_into(std::vector<std::uint8_t>& out) {
  RansState c{.x = x_, .head = head_};
  flush(c, end_, out);
  head_ = c.head;
}

void BinEnc::finish_into(std::vector<std::uint8_t>& out) const {
  BackwardCoder coder(pending_.size());
  coder.code_backwards({pending_.data(), pending_.size()});
  coder.finish_into(out);
}

std::expected<BinDec, EngineError> BinDec::create(std::size_t contexts,
                                                  std::span<const std::uint8_t> coded) {
  if (coded.size() < 4) return std::unexpected(EngineError::Truncated);
  return BinDec(std::vector<std::uint16_t>(contexts ? contexts : 1, kProbInit), coded);
}

BinDec::BinDec(std::vector<std::uint16_t> probs, std::span<const std::uint8_t> coded)
    : probs_(std::move(probs)),
      x_(load_le32(coded.data())),
      pos_(coded.data() + 4),
      end_(coded.data() + coded.size()) {}

}  // namespace quillmere::bin_engine
