// Concurrent calls: the coders, the drivers and a shared transform executor
// keep no hidden state between calls, so calls from several threads at once
// must give exactly what the same calls give one after another. The
// sanitizer build (scripts/sanitize.sh) runs this under ASan and UBSan; a
// shared buffer or table written by two calls shows up there or as a
// mismatch here.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <random>
#include <span>
#include <thread>
#include <vector>

#include "arans.hpp"
#include "cmodel.hpp"
#include "quillmere/compressor.hpp"
#include "quillmere/decompressor.hpp"
#include "wavelet_choice.hpp"

namespace quillmere {
namespace {

constexpr int kThreads = 4;
constexpr int kRounds = 3;

// A noisy chirp: long enough for several runs of both coders' modelling
// and for eight transform levels, different in every thread.
std::vector<float> signal(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> noise(0.0f, 0.05f);
  std::vector<float> x(n);
  for (std::size_t i = 0; i < n; ++i) {
    const float t = static_cast<float>(i) / static_cast<float>(n);
    x[i] = std::sin(40.0f * t * t * static_cast<float>(seed + 1)) + noise(rng);
  }
  return x;
}

// Runs work(thread index) on kThreads threads at once, all released
// together so that their calls overlap, kRounds times over.
void run_together(const std::function<void(int)>& work) {
  for (int round = 0; round < kRounds; ++round) {
    std::atomic<int> waiting{kThreads};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        waiting.fetch_sub(1);
        while (waiting.load() > 0) std::this_thread::yield();
        work(t);
      });
    }
    for (auto& thread : threads) thread.join();
  }
}

std::span<const std::uint8_t> as_bytes(const std::vector<std::int16_t>& v) {
  return {reinterpret_cast<const std::uint8_t*>(v.data()), 2 * v.size()};
}

std::vector<std::int16_t> quantised(const std::vector<float>& x) {
  std::vector<std::int16_t> q(x.size());
  for (std::size_t i = 0; i < x.size(); ++i) q[i] = static_cast<std::int16_t>(std::lround(x[i] * 900.0f));
  return q;
}

TEST(Threads, ByteCoderGivesTheSameStreams) {
  std::vector<std::vector<std::int16_t>> inputs;
  std::vector<std::vector<std::uint8_t>> want;
  for (int t = 0; t < kThreads; ++t) {
    // Over 16 KiB, so the wide contexts and several modelling runs are used.
    inputs.push_back(quantised(signal(150000 + 977 * t, t)));
    want.push_back(arans::encode_stream(as_bytes(inputs.back())));
  }
  std::vector<int> failures(kThreads, 0);
  run_together([&](int t) {
    const auto coded = arans::encode_stream(as_bytes(inputs[t]));
    const auto decoded = arans::decode_stream(coded);
    const auto original = as_bytes(inputs[t]);
    const bool same = coded == want[t] && decoded &&
                      std::equal(decoded->begin(), decoded->end(), original.begin(), original.end());
    failures[t] += !same;
  });
  EXPECT_EQ(failures, std::vector<int>(kThreads, 0));
}

TEST(Threads, CoefficientModelGivesTheSameStreams) {
  std::vector<std::vector<std::int16_t>> inputs;
  std::vector<std::vector<std::uint8_t>> want;
  // Two bands per input, cut unevenly, so the state runs across a boundary.
  const auto bands_of = [](const std::vector<std::int16_t>& v) {
    const std::span<const std::int16_t> all(v);
    return std::vector<std::span<const std::int16_t>>{all.first(v.size() / 3),
                                                      all.subspan(v.size() / 3)};
  };
  for (int t = 0; t < kThreads; ++t) {
    inputs.push_back(quantised(signal(120000 + 131 * t, 10 + t)));
    want.push_back(cmodel::encode_coeffs(bands_of(inputs.back())));
  }
  std::vector<int> failures(kThreads, 0);
  run_together([&](int t) {
    const auto bands = bands_of(inputs[t]);
    const auto coded = cmodel::encode_coeffs(bands);
    const std::size_t lengths[] = {bands[0].size(), bands[1].size()};
    std::vector<std::int16_t> decoded(inputs[t].size());
    const auto done = cmodel::decode_coeffs_into(coded, lengths, decoded);
    failures[t] += !(coded == want[t] && done && decoded == inputs[t]);
  });
  EXPECT_EQ(failures, std::vector<int>(kThreads, 0));
}

// Every method and coder at once: each thread takes its own combination.
TEST(Threads, CompressAndDecompressGiveTheSameBytes) {
  struct Job {
    std::vector<float> input;
    CodecOptions options;
    std::vector<std::uint8_t> container;
    std::vector<float> decoded;
  };
  const Method methods[] = {Method::Cdf53, Method::Cdf97, Method::Db4, Method::Sym4};
  const Coder coders[] = {Coder::Deflate, Coder::Arans, Coder::CModel, Coder::Auto};
  std::vector<Job> jobs;
  for (int t = 0; t < kThreads; ++t) {
    Job job;
    job.input = signal(70000 + 313 * t, 20 + t);
    job.options.method = methods[t % 4];
    job.options.coder = coders[(t + 1) % 4];
    job.container = compress(job.input, job.options).value();
    job.decoded = decompress(job.container).value();
    jobs.push_back(std::move(job));
  }
  std::vector<int> failures(kThreads, 0);
  run_together([&](int t) {
    const Job& job = jobs[t];
    const auto container = compress(job.input, job.options);
    const auto decoded = decompress(job.container);
    const bool same = container && *container == job.container && decoded &&
                      decoded->size() == job.decoded.size() &&
                      std::memcmp(decoded->data(), job.decoded.data(), 4 * job.decoded.size()) == 0;
    failures[t] += !same;
  });
  EXPECT_EQ(failures, std::vector<int>(kThreads, 0));
}

// One executor object shared by every thread, as a caller holding one per
// method would share it.
TEST(Threads, SharedExecutorTransformsAlike) {
  for (const Method method : {Method::Cdf53, Method::Cdf97, Method::Db4, Method::Sym4}) {
    SCOPED_TRACE(static_cast<int>(method));
    const auto executor = make_executor(method);
    std::vector<std::vector<float>> inputs, approx, details, inverse;
    for (int t = 0; t < kThreads; ++t) {
      inputs.push_back(signal(40000 + 2 * t, 30 + t));
      const auto size = executor->dwt_size(inputs.back().size());
      approx.emplace_back(size.approximation);
      details.emplace_back(size.details);
      ASSERT_TRUE(executor->execute_forward(inputs.back(), approx.back(), details.back()));
      const std::vector<std::span<const float>> one_level = {details.back()};
      inverse.push_back(executor->multi_idwt(one_level, approx.back()).value());
    }
    std::vector<int> failures(kThreads, 0);
    run_together([&](int t) {
      std::vector<float> a(approx[t].size()), d(details[t].size());
      const bool ran = executor->execute_forward(inputs[t], a, d).has_value();
      const std::vector<std::span<const float>> one_level = {d};
      const auto back = executor->multi_idwt(one_level, a);
      const bool same = ran && std::memcmp(a.data(), approx[t].data(), 4 * a.size()) == 0 &&
                        std::memcmp(d.data(), details[t].data(), 4 * d.size()) == 0 && back &&
                        *back == inverse[t];
      failures[t] += !same;
    });
    EXPECT_EQ(failures, std::vector<int>(kThreads, 0));
  }
}

}  // namespace
}  // namespace quillmere
