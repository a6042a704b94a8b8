// AES-256-GCM throughput: raw libcrypto EVP (one context per call, as a one-shot caller does)
// against vesk::seal / vesk::open, encrypt and decrypt, from 0 B to 16 MiB.
// Usage: aead_bench [--batch-ms N] [--json]   (--json adds one JSON object per row on stdout)
#include <openssl/evp.h>
#include <time.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bench_options.hpp"
#include "vesk-crypto/aead.hpp"

namespace {

struct CtxFree {
  void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
using CtxPtr = std::unique_ptr<EVP_CIPHER_CTX, CtxFree>;

EVP_CIPHER* gcm() {
  static EVP_CIPHER* cipher = EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr);
  return cipher;
}

// The shortest sequence a one-shot EVP caller needs: new context, key + IV, update, final, tag.
bool evp_encrypt(const std::uint8_t* key, const std::uint8_t* iv, const std::uint8_t* in,
                 std::size_t n, std::uint8_t* out, std::uint8_t* tag) {
  CtxPtr ctx(EVP_CIPHER_CTX_new());
  int len = 0;
  return ctx && EVP_EncryptInit_ex2(ctx.get(), gcm(), key, iv, nullptr) == 1 &&
         EVP_EncryptUpdate(ctx.get(), out, &len, in, static_cast<int>(n)) == 1 &&
         EVP_EncryptFinal_ex(ctx.get(), out + n, &len) == 1 &&
         EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_GET_TAG, 16, tag) == 1;
}

bool evp_decrypt(const std::uint8_t* key, const std::uint8_t* iv, const std::uint8_t* in,
                 std::size_t n, std::uint8_t* out, const std::uint8_t* tag) {
  CtxPtr ctx(EVP_CIPHER_CTX_new());
  int len = 0;
  return ctx && EVP_DecryptInit_ex2(ctx.get(), gcm(), key, iv, nullptr) == 1 &&
         EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_SET_TAG, 16,
                             const_cast<std::uint8_t*>(tag)) == 1 &&
         EVP_DecryptUpdate(ctx.get(), out, &len, in, static_cast<int>(n)) == 1 &&
         EVP_DecryptFinal_ex(ctx.get(), out + n, &len) == 1;
}

using Clock = std::chrono::steady_clock;

double thread_cpu_ns() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1e9 + static_cast<double>(ts.tv_nsec);
}

struct PerCall {
  double wall_ns;
  double cpu_ns;
};

PerCall per_call(const std::function<bool()>& call, std::size_t iterations) {
  const double cpu_start = thread_cpu_ns();
  const auto start = Clock::now();
  for (std::size_t i = 0; i < iterations; ++i) {
    if (!call()) {
      std::fprintf(stderr, "a benchmarked call failed\n");
      std::exit(1);
    }
  }
  const double wall = std::chrono::duration<double, std::nano>(Clock::now() - start).count();
  const double cpu = thread_cpu_ns() - cpu_start;
  return {wall / static_cast<double>(iterations), cpu / static_cast<double>(iterations)};
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// Median wall and CPU ns per call of `a` and of `b`, measured in alternating batches of about
// batch_ms each so that frequency and cache drift hit both alike. On a shared machine the CPU
// time is the steadier figure: it leaves out the time the thread was not running.
std::pair<PerCall, PerCall> compare(const std::function<bool()>& a, const std::function<bool()>& b,
                                    double batch_ms) {
  const double estimate = std::max(per_call(a, 3).wall_ns, 1.0);
  const auto iterations = static_cast<std::size_t>(std::max(1.0, batch_ms * 1e6 / estimate));
  std::array<std::vector<double>, 4> samples;
  for (int batch = 0; batch < 9; ++batch) {
    const PerCall pa = per_call(a, iterations);
    const PerCall pb = per_call(b, iterations);
    samples[0].push_back(pa.wall_ns);
    samples[1].push_back(pa.cpu_ns);
    samples[2].push_back(pb.wall_ns);
    samples[3].push_back(pb.cpu_ns);
  }
  return {{median(samples[0]), median(samples[1])}, {median(samples[2]), median(samples[3])}};
}

std::string size_label(std::size_t n) {
  if (n >= (1u << 20)) {
    return std::to_string(n >> 20) + " MiB";
  }
  if (n >= 1024) {
    return std::to_string(n >> 10) + " KiB";
  }
  return std::to_string(n) + " B";
}

double mib_per_s(std::size_t n, double ns) {
  return static_cast<double>(n) / (1 << 20) / (ns * 1e-9);
}

}  // namespace

int main(int argc, char** argv) {
  const std::optional<BenchOptions> options = parse_bench_options(argc, argv, "--batch-ms", 40, 1);
  if (!options) {
    return 2;
  }
  const double batch_ms = options->number;
  const bool json = options->json;
  if (gcm() == nullptr) {
    std::fprintf(stderr, "AES-256-GCM is not available\n");
    return 1;
  }

  vesk::KeyBytes key;
  for (std::size_t i = 0; i < key.size(); ++i) {
    key.data()[i] = static_cast<std::uint8_t>(i * 7 + 1);
  }
  const vesk::NonceBytes nonce = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  const std::array<std::size_t, 6> sizes = {0, 64, 1024, 16 * 1024, 1 << 20, 16 << 20};

  struct Row {
    std::string op;
    std::size_t size;
    PerCall evp;
    PerCall vesk;
  };
  std::vector<Row> rows;
  for (std::size_t size : sizes) {
    // One spare byte so that no pointer is null at 0 B, like a real buffer.
    std::vector<std::uint8_t> plaintext(size + 1, 0x5a);
    std::vector<std::uint8_t> ciphertext(size + 1, 0);
    std::vector<std::uint8_t> opened(size + 1, 0);
    const std::span<const std::uint8_t> in(plaintext.data(), size);
    const std::span<std::uint8_t> sealed_out(ciphertext.data(), size);
    const std::span<std::uint8_t> opened_out(opened.data(), size);
    auto tag = vesk::seal_with_nonce(in, key.span(), nonce, sealed_out);
    if (!tag.ok()) {
      std::fprintf(stderr, "seal failed: %s\n", tag.error().message().c_str());
      return 1;
    }
    std::array<std::uint8_t, 16> scratch_tag{};

    const auto [evp_enc, vesk_enc] = compare(
        [&] {
          return evp_encrypt(key.data(), nonce.data(), plaintext.data(), size, ciphertext.data(),
                             scratch_tag.data());
        },
        [&] { return vesk::seal(in, key.span(), sealed_out).ok(); }, batch_ms);
    // seal() above overwrote the ciphertext under fresh nonces; restore the one that opens.
    (void)vesk::seal_with_nonce(in, key.span(), nonce, sealed_out);
    const auto [evp_dec, vesk_dec] = compare(
        [&] {
          return evp_decrypt(key.data(), nonce.data(), ciphertext.data(), size, opened.data(),
                             tag.value().data());
        },
        [&] { return vesk::open(sealed_out, key.span(), nonce, tag.value(), opened_out).ok(); },
        batch_ms);
    rows.push_back({"encrypt", size, evp_enc, vesk_enc});
    rows.push_back({"decrypt", size, evp_dec, vesk_dec});
  }

  std::printf("Median CPU time per call (wall time in the JSON lines).\n\n");
  std::printf(
      "| op | size | raw EVP ns/call | vesk ns/call | raw EVP MiB/s | vesk MiB/s | vesk/raw "
      "throughput |\n|---|---:|---:|---:|---:|---:|---:|\n");
  for (const Row& row : rows) {
    const std::string op = row.op == "encrypt" ? "encrypt (seal)" : "decrypt (open)";
    const double evp = row.evp.cpu_ns;
    const double ours = row.vesk.cpu_ns;
    if (row.size == 0) {
      std::printf("| %s | %s | %.0f | %.0f | - | - | %.3f |\n", op.c_str(),
                  size_label(row.size).c_str(), evp, ours, evp / ours);
    } else {
      std::printf("| %s | %s | %.0f | %.0f | %.0f | %.0f | %.3f |\n", op.c_str(),
                  size_label(row.size).c_str(), evp, ours, mib_per_s(row.size, evp),
                  mib_per_s(row.size, ours), evp / ours);
    }
  }
  if (json) {
    for (const Row& row : rows) {
      for (const auto& [impl, t] : {std::pair<const char*, PerCall>{"evp", row.evp},
                                    std::pair<const char*, PerCall>{"vesk", row.vesk}}) {
        std::printf(
            "{\"bench\": \"aead\", \"op\": \"%s\", \"impl\": \"%s\", \"size\": %zu, "
            "\"wall_ns_per_call\": %.1f, \"cpu_ns_per_call\": %.1f, \"wall_mib_per_s\": %.1f}\n",
            row.op.c_str(), impl, row.size, t.wall_ns, t.cpu_ns,
            row.size == 0 ? 0.0 : mib_per_s(row.size, t.wall_ns));
      }
    }
  }
  return 0;
}
