// ChaCha block function with a chosen number of double rounds, one block or a generator refill.
// Pure functions over caller-owned arrays: safe to call from any thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace veltrano::random {

inline constexpr std::size_t kChaChaKeyWords = 8;
inline constexpr std::size_t kChaChaBlockWords = 16;
// A refill produces this many consecutive blocks.
inline constexpr std::size_t kChaChaRefillBlocks = 4;
inline constexpr std::size_t kChaChaRefillWords = kChaChaRefillBlocks * kChaChaBlockWords;

using ChaChaKey = std::array<std::uint32_t, kChaChaKeyWords>;
// State words 12..15, taken as they are so that any counter/nonce layout can be expressed:
// a 32-bit counter with a 96-bit nonce, or a 64-bit counter with a 64-bit stream number.
using ChaChaTail = std::array<std::uint32_t, 4>;
using ChaChaBlock = std::array<std::uint32_t, kChaChaBlockWords>;

// Writes one block: the state after `double_rounds` double rounds plus the input state.
void chacha_block(const ChaChaKey& key, const ChaChaTail& tail, int double_rounds,
                  ChaChaBlock& out) noexcept;

// Writes kChaChaRefillBlocks blocks, block i (at words 16*i) with the 64-bit block counter
// `counter + i` in words 12..13 and `stream` in words 14..15 (low word first). The counter
// carries from word 12 into word 13. Uses the fastest variant this build has.
void chacha_refill(const ChaChaKey& key, std::uint64_t counter, std::uint64_t stream,
                   int double_rounds, std::span<std::uint32_t, kChaChaRefillWords> out) noexcept;

// The portable variant of chacha_refill; every variant writes the same words.
void chacha_refill_plain(const ChaChaKey& key, std::uint64_t counter, std::uint64_t stream,
                         int double_rounds,
                         std::span<std::uint32_t, kChaChaRefillWords> out) noexcept;

}  // namespace veltrano::random
