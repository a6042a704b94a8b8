#include "random/chacha.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace veltrano::random {
namespace {

// "expand 32-byte k" as four little-endian words.
constexpr std::array<std::uint32_t, 4> kSigma = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};

constexpr std::uint32_t rotl(std::uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

inline void quarter_round(std::uint32_t& a, std::uint32_t& b, std::uint32_t& c, std::uint32_t& d) {
  a += b;
  d = rotl(d ^ a, 16);
  c += d;
  b = rotl(b ^ c, 12);
  a += b;
  d = rotl(d ^ a, 8);
  c += d;
  b = rotl(b ^ c, 7);
}

ChaChaTail tail_for(std::uint64_t counter, std::uint64_t stream) {
  return {static_cast<std::uint32_t>(counter), static_cast<std::uint32_t>(counter >> 32),
          static_cast<std::uint32_t>(stream), static_cast<std::uint32_t>(stream >> 32)};
}

#if defined(__SSE2__)
// Four blocks at once, one block per 32-bit lane: register i holds state word i of all four.
template <int N>
inline __m128i rotl4(__m128i x) {
  return _mm_or_si128(_mm_slli_epi32(x, N), _mm_srli_epi32(x, 32 - N));
}

inline void quarter_round4(__m128i& a, __m128i& b, __m128i& c, __m128i& d) {
  a = _mm_add_epi32(a, b);
  d = rotl4<16>(_mm_xor_si128(d, a));
  c = _mm_add_epi32(c, d);
  b = rotl4<12>(_mm_xor_si128(b, c));
  a = _mm_add_epi32(a, b);
  d = rotl4<8>(_mm_xor_si128(d, a));
  c = _mm_add_epi32(c, d);
  b = rotl4<7>(_mm_xor_si128(b, c));
}

void chacha_refill_sse2(const ChaChaKey& key, std::uint64_t counter, std::uint64_t stream,
                        int double_rounds, std::span<std::uint32_t, kChaChaRefillWords> out) {
  __m128i input[16];
  for (int i = 0; i < 4; ++i) {
    input[i] = _mm_set1_epi32(static_cast<int>(kSigma[i]));
  }
  for (int i = 0; i < 8; ++i) {
    input[4 + i] = _mm_set1_epi32(static_cast<int>(key[i]));
  }
  std::uint32_t low[4];
  std::uint32_t high[4];
  for (int lane = 0; lane < 4; ++lane) {
    const std::uint64_t block_counter = counter + static_cast<std::uint64_t>(lane);
    low[lane] = static_cast<std::uint32_t>(block_counter);
    high[lane] = static_cast<std::uint32_t>(block_counter >> 32);
  }
  input[12] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(low));
  input[13] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(high));
  input[14] = _mm_set1_epi32(static_cast<int>(static_cast<std::uint32_t>(stream)));
  input[15] = _mm_set1_epi32(static_cast<int>(static_cast<std::uint32_t>(stream >> 32)));

  __m128i x[16];
  for (int i = 0; i < 16; ++i) {
    x[i] = input[i];
  }
  for (int round = 0; round < double_rounds; ++round) {
    quarter_round4(x[0], x[4], x[8], x[12]);
    quarter_round4(x[1], x[5], x[9], x[13]);
    quarter_round4(x[2], x[6], x[10], x[14]);
    quarter_round4(x[3], x[7], x[11], x[15]);
    quarter_round4(x[0], x[5], x[10], x[15]);
    quarter_round4(x[1], x[6], x[11], x[12]);
    quarter_round4(x[2], x[7], x[8], x[13]);
    quarter_round4(x[3], x[4], x[9], x[14]);
  }
  // Transpose each group of four words back into the four blocks.
  for (int i = 0; i < 16; i += 4) {
    const __m128i a = _mm_add_epi32(x[i], input[i]);
    const __m128i b = _mm_add_epi32(x[i + 1], input[i + 1]);
    const __m128i c = _mm_add_epi32(x[i + 2], input[i + 2]);
    const __m128i d = _mm_add_epi32(x[i + 3], input[i + 3]);
    const __m128i ab_lo = _mm_unpacklo_epi32(a, b);
    const __m128i ab_hi = _mm_unpackhi_epi32(a, b);
    const __m128i cd_lo = _mm_unpacklo_epi32(c, d);
    const __m128i cd_hi = _mm_unpackhi_epi32(c, d);
    const __m128i lanes[4] = {_mm_unpacklo_epi64(ab_lo, cd_lo), _mm_unpackhi_epi64(ab_lo, cd_lo),
                              _mm_unpacklo_epi64(ab_hi, cd_hi), _mm_unpackhi_epi64(ab_hi, cd_hi)};
    for (int block = 0; block < 4; ++block) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out.data() + 16 * block + i), lanes[block]);
    }
  }
}
#endif

}  // namespace

void chacha_block(const ChaChaKey& key, const ChaChaTail& tail, int double_rounds,
                  ChaChaBlock& out) noexcept {
  ChaChaBlock input;
  for (std::size_t i = 0; i < 4; ++i) {
    input[i] = kSigma[i];
    input[12 + i] = tail[i];
  }
  for (std::size_t i = 0; i < kChaChaKeyWords; ++i) {
    input[4 + i] = key[i];
  }
  ChaChaBlock x = input;
  for (int round = 0; round < double_rounds; ++round) {
    quarter_round(x[0], x[4], x[8], x[12]);
    quarter_round(x[1], x[5], x[9], x[13]);
    quarter_round(x[2], x[6], x[10], x[14]);
    quarter_round(x[3], x[7], x[11], x[15]);
    quarter_round(x[0], x[5], x[10], x[15]);
    quarter_round(x[1], x[6], x[11], x[12]);
    quarter_round(x[2], x[7], x[8], x[13]);
    quarter_round(x[3], x[4], x[9], x[14]);
  }
  for (std::size_t i = 0; i < kChaChaBlockWords; ++i) {
    out[i] = x[i] + input[i];
  }
}

void chacha_refill_plain(const ChaChaKey& key, std::uint64_t counter, std::uint64_t stream,
                         int double_rounds,
                         std::span<std::uint32_t, kChaChaRefillWords> out) noexcept {
  ChaChaBlock block;
  for (std::size_t i = 0; i < kChaChaRefillBlocks; ++i) {
    chacha_block(key, tail_for(counter + i, stream), double_rounds, block);
    for (std::size_t w = 0; w < kChaChaBlockWords; ++w) {
      out[kChaChaBlockWords * i + w] = block[w];
    }
  }
}

void chacha_refill(const ChaChaKey& key, std::uint64_t counter, std::uint64_t stream,
                   int double_rounds, std::span<std::uint32_t, kChaChaRefillWords> out) noexcept {
#if defined(__SSE2__)
  chacha_refill_sse2(key, counter, stream, double_rounds, out);
#else
  chacha_refill_plain(key, counter, stream, double_rounds, out);
#endif
}

}  // namespace veltrano::random
