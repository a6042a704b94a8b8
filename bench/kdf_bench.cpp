// Key derivation at the fixed costs: median wall and CPU time of one run_kdf per algorithm, the
// PBKDF2 core against libcrypto's PKCS5_PBKDF2_HMAC at the same 600,000 iterations, and scrypt
// (libsodium) against libcrypto's EVP_PBE_scrypt at the same costs.
// Usage: kdf_bench [--runs N] [--json]   (--json adds one JSON object per row on stdout)
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
#include <optional>
#include <string>
#include <vector>

#include "bench_options.hpp"
#include "vesk-crypto/domain/key_derivation.hpp"
#include "vesk-crypto/domain/pbkdf2.hpp"
#include "vesk-crypto/domain/scrypt.hpp"

namespace {

struct Timing {
  double wall_ms;
  double cpu_ms;
};

double thread_cpu_ms() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t mid = values.size() / 2;
  return values.size() % 2 == 1 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

// Median wall and CPU time of `runs` calls of `body`, after one warm-up call.
Timing measure(int runs, const std::function<void()>& body) {
  body();
  std::vector<double> wall;
  std::vector<double> cpu;
  for (int i = 0; i < runs; ++i) {
    const double cpu_start = thread_cpu_ms();
    const auto wall_start = std::chrono::steady_clock::now();
    body();
    const auto wall_end = std::chrono::steady_clock::now();
    cpu.push_back(thread_cpu_ms() - cpu_start);
    wall.push_back(std::chrono::duration<double, std::milli>(wall_end - wall_start).count());
  }
  return {median(wall), median(cpu)};
}

}  // namespace

int main(int argc, char** argv) {
  const std::optional<BenchOptions> options = parse_bench_options(argc, argv, "--runs", 5, 1);
  if (!options) {
    return 2;
  }
  const int runs = static_cast<int>(options->number);
  const bool json = options->json;

  const std::string passphrase = "correct horse battery staple";
  const std::span<const std::uint8_t> passphrase_bytes(
      reinterpret_cast<const std::uint8_t*>(passphrase.data()), passphrase.size());
  vesk::SaltBytes salt{};
  for (std::size_t i = 0; i < salt.size(); ++i) {
    salt[i] = static_cast<std::uint8_t>(i);
  }

  struct Row {
    std::string name;
    Timing timing;
  };
  std::vector<Row> rows;
  const std::array<std::pair<const char*, vesk::KdfAlgorithm>, 3> algorithms = {{
      {"argon2id (m=64 MiB, t=3, p=4, 1 thread)", vesk::KdfAlgorithm::Argon2id},
      {"pbkdf2-hmac-sha256 (c=600000)", vesk::KdfAlgorithm::Pbkdf2},
      {"scrypt (N=32768, r=8, p=1)", vesk::KdfAlgorithm::Scrypt},
  }};
  for (const auto& [name, algorithm] : algorithms) {
    bool failed = false;
    const Timing timing = measure(runs, [&, algorithm = algorithm] {
      auto key = vesk::run_kdf(vesk::KdfJob{vesk::SecretBuffer(passphrase_bytes), salt, algorithm});
      failed = failed || !key.ok();
    });
    if (failed) {
      std::fprintf(stderr, "run_kdf failed for %s\n", name);
      return 1;
    }
    rows.push_back({std::string("run_kdf ") + name, timing});
  }

  std::array<std::uint8_t, 32> out{};
  const Timing fast = measure(runs, [&] {
    vesk::pbkdf2_hmac_sha256(passphrase_bytes, salt, vesk::kPbkdf2Iterations, out);
  });
  const Timing library = measure(runs, [&] {
    PKCS5_PBKDF2_HMAC(passphrase.data(), static_cast<int>(passphrase.size()), salt.data(),
                      static_cast<int>(salt.size()), static_cast<int>(vesk::kPbkdf2Iterations),
                      EVP_sha256(), static_cast<int>(out.size()), out.data());
  });
  rows.push_back({"pbkdf2_hmac_sha256 (two compressions per iteration)", fast});
  rows.push_back({"PKCS5_PBKDF2_HMAC (libcrypto)", library});

  // libcrypto's scrypt needs its memory bound raised above the 32 MiB default for these costs.
  std::array<std::uint8_t, 32> ours{};
  std::array<std::uint8_t, 32> theirs{};
  bool scrypt_failed = false;
  const Timing sodium = measure(runs, [&] {
    scrypt_failed |= !vesk::scrypt(passphrase_bytes, salt, vesk::kScryptCostN,
                                   vesk::kScryptBlockSizeR, vesk::kScryptParallelismP, ours)
                          .ok();
  });
  const Timing evp = measure(runs, [&] {
    scrypt_failed |=
        EVP_PBE_scrypt(passphrase.data(), passphrase.size(), salt.data(), salt.size(),
                       vesk::kScryptCostN, vesk::kScryptBlockSizeR, vesk::kScryptParallelismP,
                       std::uint64_t{64} << 20, theirs.data(), theirs.size()) != 1;
  });
  if (scrypt_failed || ours != theirs) {
    std::fprintf(stderr, "scrypt: libsodium and libcrypto disagree or failed\n");
    return 1;
  }
  rows.push_back({"scrypt (libsodium crypto_pwhash_scryptsalsa208sha256_ll)", sodium});
  rows.push_back({"EVP_PBE_scrypt (libcrypto)", evp});

  std::printf("| derivation | median wall (ms) | median CPU (ms) |\n|---|---:|---:|\n");
  for (const Row& row : rows) {
    std::printf("| %s | %.1f | %.1f |\n", row.name.c_str(), row.timing.wall_ms, row.timing.cpu_ms);
  }
  std::printf("\nPBKDF2 speed-up over PKCS5_PBKDF2_HMAC: %.2fx (%d runs each)\n",
              library.wall_ms / fast.wall_ms, runs);
  std::printf("scrypt CPU time over EVP_PBE_scrypt's: %.2f\n", sodium.cpu_ms / evp.cpu_ms);
  if (json) {
    for (const Row& row : rows) {
      std::printf("{\"bench\": \"kdf\", \"name\": \"%s\", \"wall_ms\": %.3f, \"cpu_ms\": %.3f}\n",
                  row.name.c_str(), row.timing.wall_ms, row.timing.cpu_ms);
    }
  }
  return 0;
}
