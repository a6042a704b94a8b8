// Tests of the random source: the ChaCha core against published vectors and OpenSSL, the
// generator's seeding, word use and fork rules, the per-thread fill, and the kernel seed paths.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <openssl/evp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "random/chacha.hpp"
#include "random/fill.hpp"
#include "random/fork_counter.hpp"
#include "random/generator.hpp"
#include "random/kernel_seed.hpp"

namespace veltrano::random {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes hex(std::string_view text) {
  Bytes out;
  for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
    const std::string pair(text.substr(i, 2));
    out.push_back(static_cast<std::uint8_t>(std::stoul(pair, nullptr, 16)));
  }
  return out;
}

// Words as their little-endian bytes, the order in which the generator hands them out.
Bytes le_bytes(std::span<const std::uint32_t> words) {
  Bytes out;
  for (std::uint32_t word : words) {
    for (int i = 0; i < 4; ++i) {
      out.push_back(static_cast<std::uint8_t>(word >> (8 * i)));
    }
  }
  return out;
}

ChaChaKey key_of(const std::uint8_t* bytes) {
  ChaChaKey key;
  for (std::size_t i = 0; i < key.size(); ++i) {
    key[i] = bytes[4 * i] | bytes[4 * i + 1] << 8 | bytes[4 * i + 2] << 16 |
             static_cast<std::uint32_t>(bytes[4 * i + 3]) << 24;
  }
  return key;
}

const Bytes kRfcKeyBytes = hex("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f");
const ChaChaKey kRfcKey = key_of(kRfcKeyBytes.data());

Bytes block_bytes(const ChaChaKey& key, const ChaChaTail& tail, int double_rounds) {
  ChaChaBlock block;
  chacha_block(key, tail, double_rounds, block);
  return le_bytes(block);
}

ChaChaTail tail_of(std::uint64_t counter, std::uint64_t stream) {
  return {static_cast<std::uint32_t>(counter), static_cast<std::uint32_t>(counter >> 32),
          static_cast<std::uint32_t>(stream), static_cast<std::uint32_t>(stream >> 32)};
}

// RFC 8439 section 2.3.2: key 00..1f, nonce 000000090000004a00000000, block counter 1.
TEST(ChaChaCore, Rfc8439BlockFunction) {
  EXPECT_EQ(block_bytes(kRfcKey, {1, 0x09000000, 0x4a000000, 0}, 10),
            hex("10f1e7e4d13b5915500fdd1fa32071c4c7d1f4c733c068030422aa9ac3d46c4e"
                "d2826446079faa0914c2d705d98b02a2b5129cd1de164eb9cbd083e8a2503c4e"));
}

// RFC 8439 section 2.4.2: the keystream from block counter 1 on, nonce 000000000000004a00000000.
TEST(ChaChaCore, Rfc8439Keystream) {
  const std::string plaintext =
      "Ladies and Gentlemen of the class of '99: If I could offer you only one tip for the "
      "future, sunscreen would be it.";
  const Bytes expected =
      hex("6e2e359a2568f98041ba0728dd0d6981e97e7aec1d4360c20a27afccfd9fae0bf91b65c5524733ab8f593dab"
          "cd62b3571639d624e65152ab8f530c359f0861d807ca0dbf500d6a6156a38e088a22b65e52bc514d16ccf806"
          "818ce91ab77937365af90bbf74a35be6b40b8eedf2785e42874d");
  Bytes ciphertext;
  for (std::uint32_t counter = 1; ciphertext.size() < plaintext.size(); ++counter) {
    for (std::uint8_t byte : block_bytes(kRfcKey, {counter, 0, 0x4a000000, 0}, 10)) {
      if (ciphertext.size() < plaintext.size()) {
        ciphertext.push_back(static_cast<std::uint8_t>(plaintext[ciphertext.size()] ^ byte));
      }
    }
  }
  EXPECT_EQ(ciphertext, expected);
}

// draft-strombergson-chacha-test-vectors, TC1 at 12 rounds: zero key, zero IV, first block.
TEST(ChaChaCore, TwelveRoundsZeroKey) {
  EXPECT_EQ(block_bytes(ChaChaKey{}, {0, 0, 0, 0}, kGeneratorDoubleRounds),
            hex("9bf49a6a0755f953811fce125f2683d50429c3bb49e074147e0089a52eae155f"
                "0564f879d27ae3c02ce82834acfa8c793a629f2ca0de6919610be82f411326be"));
}

// Both refill variants equal four single blocks, with the 64-bit counter carrying into word 13,
// and equal OpenSSL's ChaCha20 keystream, whose 16-byte IV is state words 12..15.
TEST(ChaChaCore, RefillVariantsAgreeAcrossCounterCarry) {
  const std::uint64_t counter = 0x5fffffffeULL;
  const std::uint64_t stream = 0x0123456789abcdefULL;
  for (int double_rounds : {kGeneratorDoubleRounds, 10}) {
    Bytes blocks;
    for (std::uint64_t i = 0; i < kChaChaRefillBlocks; ++i) {
      const Bytes block = block_bytes(kRfcKey, tail_of(counter + i, stream), double_rounds);
      blocks.insert(blocks.end(), block.begin(), block.end());
    }
    for (auto* refill : {&chacha_refill, &chacha_refill_plain}) {
      std::array<std::uint32_t, kChaChaRefillWords> words;
      refill(kRfcKey, counter, stream, double_rounds, words);
      EXPECT_EQ(le_bytes(words), blocks) << "double rounds " << double_rounds;
    }
  }
  // OpenSSL's ChaCha20 (10 double rounds) takes state words 12..15 as its 16-byte IV.
  const Bytes iv = le_bytes(tail_of(counter, stream));
  std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(),
                                                                      &EVP_CIPHER_CTX_free);
  ASSERT_TRUE(ctx);
  ASSERT_EQ(EVP_EncryptInit_ex(ctx.get(), EVP_chacha20(), nullptr, kRfcKeyBytes.data(), iv.data()),
            1);
  const Bytes zeros(4 * kChaChaRefillWords, 0);
  Bytes keystream(zeros.size());
  int written = 0;
  ASSERT_EQ(EVP_EncryptUpdate(ctx.get(), keystream.data(), &written, zeros.data(),
                              static_cast<int>(zeros.size())),
            1);
  std::array<std::uint32_t, kChaChaRefillWords> words;
  chacha_refill(kRfcKey, counter, stream, 10, words);
  EXPECT_EQ(le_bytes(words), keystream);
}

// A seed source that counts its reads, hands out seed i on read i, and can be told to fail.
struct ScriptedSeeds {
  int reads = 0;
  int fail_from = INT_MAX;          // reads with this index or later fail with EIO
  bool kernel_after_first = false;  // reads after the first come from the kernel

  static std::array<std::uint8_t, kSeedBytes> seed(int index) {
    std::array<std::uint8_t, kSeedBytes> bytes;
    for (std::size_t j = 0; j < bytes.size(); ++j) {
      bytes[j] = static_cast<std::uint8_t>(index * 101 + static_cast<int>(j) * 7 + 1);
    }
    return bytes;
  }

  Generator::SeedSource source() {
    return [this](SeedSpan out) -> std::error_code {
      const int index = reads++;
      if (index >= fail_from) {
        return {EIO, std::system_category()};
      }
      if (index > 0 && kernel_after_first) {
        return read_kernel_seed(out);
      }
      const auto bytes = seed(index);
      std::copy(bytes.begin(), bytes.end(), out.begin());
      return {};
    };
  }
};

// ChaCha12 output under seed `index`, stream 0, from block `first_block`.
Bytes stream_of(int index, std::uint64_t first_block, std::size_t size) {
  const ChaChaKey key = key_of(ScriptedSeeds::seed(index).data());
  Bytes out;
  for (std::uint64_t c = first_block; out.size() < size; ++c) {
    const Bytes block = block_bytes(key, tail_of(c, 0), kGeneratorDoubleRounds);
    out.insert(out.end(), block.begin(), block.end());
  }
  out.resize(size);
  return out;
}

Bytes slice(const Bytes& bytes, std::size_t from, std::size_t size) {
  return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from),
               bytes.begin() + static_cast<std::ptrdiff_t>(from + size));
}

Bytes draw(Generator& generator, std::size_t n) {
  Bytes out(n);
  generator.fill(out.data(), n);
  return out;
}

TEST(Generator, RequestsUseWholeWords) {
  ScriptedSeeds seeds;
  ForkCounter forks{0};
  Generator generator = Generator::create(seeds.source(), forks).value();
  const Bytes expected = stream_of(0, 0, 1024);
  std::size_t offset = 0;
  // 12 bytes take 3 words, 32 take 8; a request ending inside a word loses the rest of it,
  // and one larger than what is left spans a refill.
  for (std::size_t n : {12, 32, 5, 1, 3, 250, 7, 12}) {
    EXPECT_EQ(draw(generator, n), slice(expected, offset, n)) << "request of " << n;
    offset += 4 * ((n + 3) / 4);
  }
  EXPECT_EQ(seeds.reads, 1);
}

TEST(Generator, ReseedsAfter64KiB) {
  ScriptedSeeds seeds;
  ForkCounter forks{0};
  Generator generator = Generator::create(seeds.source(), forks).value();
  EXPECT_EQ(seeds.reads, 1);
  EXPECT_EQ(draw(generator, kReseedThreshold), stream_of(0, 0, kReseedThreshold));
  EXPECT_EQ(seeds.reads, 1);
  EXPECT_EQ(draw(generator, 32), stream_of(1, 0, 32));
  EXPECT_EQ(seeds.reads, 2);
}

TEST(Generator, FailedReseedKeepsStateSilently) {
  ScriptedSeeds seeds;
  seeds.fail_from = 1;
  ForkCounter forks{0};
  Generator generator = Generator::create(seeds.source(), forks).value();
  const Bytes expected = stream_of(0, 0, 2 * kReseedThreshold + 4);
  EXPECT_EQ(draw(generator, kReseedThreshold + 4), slice(expected, 0, kReseedThreshold + 4));
  EXPECT_EQ(seeds.reads, 2);
  // The next attempt comes another 64 KiB later.
  EXPECT_EQ(draw(generator, kReseedThreshold - 4),
            slice(expected, kReseedThreshold + 4, kReseedThreshold - 4));
  EXPECT_EQ(seeds.reads, 2);
  EXPECT_EQ(draw(generator, 4), slice(expected, 2 * kReseedThreshold, 4));
  EXPECT_EQ(seeds.reads, 3);
}

TEST(Generator, CreationFailureNamesTheError) {
  ScriptedSeeds seeds;
  seeds.fail_from = 0;
  ForkCounter forks{0};
  RandomResult<Generator> created = Generator::create(seeds.source(), forks);
  ASSERT_FALSE(created.ok());
  EXPECT_EQ(created.error().text(),
            "could not initialize thread random source: Input/output error");
}

TEST(Generator, ForkDropsBufferedOutputAndReseedsOnce) {
  ScriptedSeeds seeds;
  ForkCounter forks{0};
  Generator generator = Generator::create(seeds.source(), forks).value();
  draw(generator, 4);
  forks += 2;
  EXPECT_EQ(draw(generator, 64), stream_of(1, 0, 64));
  EXPECT_EQ(seeds.reads, 2);
}

// A new generator's mark is 0: in a process that has forked before, its first request reseeds.
TEST(Generator, FirstRequestAfterEarlierForksReseeds) {
  ScriptedSeeds seeds;
  ForkCounter forks{6};
  Generator generator = Generator::create(seeds.source(), forks).value();
  EXPECT_EQ(draw(generator, 32), stream_of(1, 0, 32));
  EXPECT_EQ(seeds.reads, 2);
}

TEST(Generator, ForkWithFailedReseedStillChangesState) {
  ScriptedSeeds seeds;
  seeds.fail_from = 1;
  ForkCounter forks{0};
  Generator generator = Generator::create(seeds.source(), forks).value();
  draw(generator, 4);
  forks += 2;
  const Bytes after = draw(generator, 32);
  EXPECT_EQ(seeds.reads, 2);
  const Bytes kept = stream_of(0, 0, 512);
  EXPECT_NE(after, slice(kept, 4, 32));    // the buffered remainder
  EXPECT_NE(after, slice(kept, 256, 32));  // the next refill of the unchanged state
}

// Runs `body` in a forked child and returns what it produced; the child never returns.
Bytes in_child(const std::function<Bytes()>& body) {
  int fds[2];
  if (::pipe(fds) != 0) {
    ADD_FAILURE() << "pipe failed";
    return {};
  }
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    const Bytes out = body();
    const bool sent = ::write(fds[1], out.data(), out.size()) == static_cast<ssize_t>(out.size());
    ::_exit(sent ? 0 : 1);
  }
  ::close(fds[1]);
  Bytes received;
  std::uint8_t chunk[256];
  ssize_t got;
  while ((got = ::read(fds[0], chunk, sizeof(chunk))) > 0 || (got < 0 && errno == EINTR)) {
    received.insert(received.end(), chunk, chunk + std::max<ssize_t>(got, 0));
  }
  ::close(fds[0]);
  int status = 0;
  EXPECT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
  return received;
}

// Parameter: whether the seed source still works after the first seed.
class GeneratorAcrossFork : public ::testing::TestWithParam<bool> {};

TEST_P(GeneratorAcrossFork, NeitherSideRepeatsBufferedBytes) {
  ASSERT_TRUE(install_fork_hooks().ok());
  ScriptedSeeds seeds;
  seeds.kernel_after_first = true;
  seeds.fail_from = GetParam() ? INT_MAX : 1;
  Generator generator = Generator::create(seeds.source(), fork_counter()).value();
  draw(generator, 4);
  const Bytes buffered = slice(stream_of(0, 0, 256), 4, 32);
  const Bytes child = in_child([&] { return draw(generator, 32); });
  const Bytes parent = draw(generator, 32);
  EXPECT_NE(parent, buffered);
  EXPECT_NE(child, buffered);
  EXPECT_NE(parent, child);
}

INSTANTIATE_TEST_SUITE_P(Reseed, GeneratorAcrossFork, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Works" : "Fails"; });

Bytes fill_bytes(std::size_t n) {
  Bytes out(n);
  fill(out.data(), n).value();
  return out;
}

TEST(Fill, ForkAddsTwoOnEachSideAndOutputsDiverge) {
  fill_bytes(4);
  const std::uint64_t before = fork_counter().load();
  const Bytes child = in_child([&] {
    Bytes out = fill_bytes(32);
    out.push_back(static_cast<std::uint8_t>(fork_counter().load() - before));
    return out;
  });
  Bytes parent = fill_bytes(32);
  parent.push_back(static_cast<std::uint8_t>(fork_counter().load() - before));
  ASSERT_EQ(child.size(), 33u);
  EXPECT_EQ(parent.back(), 2);
  EXPECT_EQ(child.back(), 2);
  EXPECT_NE(slice(parent, 0, 32), slice(child, 0, 32));
}

TEST(Fill, ThreadsDrawDifferentBytes) {
  Bytes first, second;
  std::thread a([&] { first = fill_bytes(32); });
  std::thread b([&] { second = fill_bytes(32); });
  a.join();
  b.join();
  const Bytes own = fill_bytes(32);
  EXPECT_NE(first, second);
  EXPECT_NE(first, own);
  EXPECT_NE(second, own);
  EXPECT_NE(own, fill_bytes(32));
}

// 0: not run, 1: the late request failed with the teardown error, 2: it returned bytes,
// 3: it failed otherwise.
std::atomic<int> late_request_outcome{0};

// Constructed before the thread's generator, so destroyed after it.
struct LateRequester {
  ~LateRequester() {
    Bytes out(4);
    RandomResult<void> filled = fill(out.data(), out.size());
    if (filled.ok()) {
      late_request_outcome = 2;
    } else {
      late_request_outcome =
          filled.error().text() == "thread random source requested after it was destroyed" ? 1 : 3;
    }
  }
  volatile int touched = 0;
};
thread_local LateRequester late_requester;

TEST(Fill, RequestAfterThreadGeneratorIsDestroyedFails) {
  std::thread([] {
    late_requester.touched = 1;
    fill_bytes(4);
  }).join();
  EXPECT_EQ(late_request_outcome.load(), 1);
}

// Descriptors of this process that are open on "/dev/urandom".
std::set<int> urandom_descriptors() {
  std::set<int> fds;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code error;
    if (std::filesystem::read_symlink(entry.path(), error) == "/dev/urandom") {
      fds.insert(std::stoi(entry.path().filename().string()));
    }
  }
  return fds;
}

TEST(KernelSeed, DeviceFallbackKeepsOneCloseOnExecDescriptor) {
  KernelSeedReader reader;
  const std::set<int> before = urandom_descriptors();
  std::array<std::uint8_t, kSeedBytes> first, second;
  ASSERT_FALSE(reader.read_device(first));
  ASSERT_FALSE(reader.read_device(second));
  EXPECT_NE(first, second);
  std::vector<int> opened;
  for (int fd : urandom_descriptors()) {
    if (!before.contains(fd)) {
      opened.push_back(fd);
    }
  }
  ASSERT_EQ(opened.size(), 1u);
  EXPECT_TRUE(::fcntl(opened[0], F_GETFD) & FD_CLOEXEC);
  ::close(opened[0]);
}

// The descriptor among `now` that is not among `before`, or -1 unless there is exactly one.
int only_new_descriptor(const std::set<int>& now, const std::set<int>& before) {
  std::vector<int> added;
  std::ranges::set_difference(now, before, std::back_inserter(added));
  return added.size() == 1 ? added[0] : -1;
}

// A file of zeros opened read-only, as the number `wanted` (which must be free).
int open_zeros_as(int wanted) {
  char path[] = "/tmp/veltrano-random-test-XXXXXX";
  const int writer = ::mkstemp(path);
  if (writer < 0) {
    return -1;
  }
  const Bytes zeros(4096, 0);
  const bool written = ::write(writer, zeros.data(), zeros.size()) == 4096;
  ::close(writer);
  std::vector<int> spare;
  int fd = written ? ::open(path, O_RDONLY | O_CLOEXEC) : -1;
  while (fd >= 0 && fd != wanted && spare.size() < 1000) {
    spare.push_back(fd);
    fd = ::open(path, O_RDONLY | O_CLOEXEC);
  }
  for (int other : spare) {
    ::close(other);
  }
  ::unlink(path);
  return fd;
}

// What takes the kept descriptor's number after the program closes it: nothing, a file of zeros
// or another character device that yields only zeros.
enum class Replacement { kNothing, kFileOfZeros, kDevZero };

class KeptDeviceClosedByTheProgram : public ::testing::TestWithParam<Replacement> {};

TEST_P(KeptDeviceClosedByTheProgram, NextReadReopensTheDevice) {
  KernelSeedReader reader;
  const std::set<int> before = urandom_descriptors();
  std::array<std::uint8_t, kSeedBytes> first, second, third;
  ASSERT_FALSE(reader.read_device(first));
  const int kept = only_new_descriptor(urandom_descriptors(), before);
  ASSERT_GE(kept, 0);
  ASSERT_EQ(::close(kept), 0);
  int other = -1;
  if (GetParam() == Replacement::kFileOfZeros) {
    other = open_zeros_as(kept);
  } else if (GetParam() == Replacement::kDevZero) {
    other = ::open("/dev/zero", O_RDONLY | O_CLOEXEC);
  }
  if (GetParam() != Replacement::kNothing) {
    ASSERT_EQ(other, kept) << "the number was not handed out again";
  }

  ASSERT_FALSE(reader.read_device(second));
  const std::array<std::uint8_t, kSeedBytes> zeros{};
  EXPECT_NE(second, zeros);
  EXPECT_NE(second, first);
  // The reader holds "/dev/urandom" again, and keeps it: the next read opens nothing more.
  const int reopened = only_new_descriptor(urandom_descriptors(), before);
  EXPECT_GE(reopened, 0);
  EXPECT_TRUE(::fcntl(reopened, F_GETFD) & FD_CLOEXEC);
  ASSERT_FALSE(reader.read_device(third));
  EXPECT_NE(third, second);
  EXPECT_EQ(only_new_descriptor(urandom_descriptors(), before), reopened);
  if (other >= 0) {
    // The program's descriptor is left alone: still open, never read from.
    EXPECT_EQ(::fcntl(other, F_GETFD), FD_CLOEXEC);
    EXPECT_EQ(::lseek(other, 0, SEEK_CUR), 0);
    ::close(other);
  }
  ::close(reopened);
}

INSTANTIATE_TEST_SUITE_P(Replacements, KeptDeviceClosedByTheProgram,
                         ::testing::Values(Replacement::kNothing, Replacement::kFileOfZeros,
                                           Replacement::kDevZero),
                         [](const auto& info) {
                           switch (info.param) {
                             case Replacement::kNothing:
                               return "NotReused";
                             case Replacement::kFileOfZeros:
                               return "ReusedForAFile";
                             case Replacement::kDevZero:
                               return "ReusedForDevZero";
                           }
                           return "Unknown";
                         });

TEST(KernelSeed, SuccessiveSeedsDiffer) {
  std::array<std::uint8_t, kSeedBytes> first, second;
  ASSERT_FALSE(read_kernel_seed(first));
  ASSERT_FALSE(read_kernel_seed(second));
  EXPECT_NE(first, second);
}

// Makes the system call `number` fail with `error` in this process and its children, or only
// those calls of it whose third argument is `third_argument`. False if seccomp filters are
// unavailable. The filter is written for x86-64.
bool refuse_system_call(std::uint32_t number, std::optional<std::uint32_t> third_argument,
                        int error) {
  constexpr std::uint32_t kLoad = BPF_LD | BPF_W | BPF_ABS;
  constexpr std::uint32_t kJumpIfEqual = BPF_JMP | BPF_JEQ | BPF_K;
  const auto refuse = SECCOMP_RET_ERRNO | static_cast<std::uint32_t>(error);
  // The third argument's low half: all an int parameter such as madvise's advice carries.
  constexpr std::uint32_t kThirdArgument = offsetof(seccomp_data, args) + 2 * sizeof(std::uint64_t);
  std::vector<sock_filter> filter = {
      BPF_STMT(kLoad, offsetof(seccomp_data, arch)),
      BPF_JUMP(kJumpIfEqual, AUDIT_ARCH_X86_64, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(kLoad, offsetof(seccomp_data, nr)),
  };
  if (third_argument) {
    filter.push_back(BPF_JUMP(kJumpIfEqual, number, 0, 3));
    filter.push_back(BPF_STMT(kLoad, kThirdArgument));
    filter.push_back(BPF_JUMP(kJumpIfEqual, *third_argument, 0, 1));
  } else {
    filter.push_back(BPF_JUMP(kJumpIfEqual, number, 0, 1));
  }
  filter.push_back(BPF_STMT(BPF_RET | BPF_K, refuse));
  filter.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
  sock_fprog program{static_cast<unsigned short>(filter.size()), filter.data()};
  return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

class KernelSeedWithoutGetrandom : public ::testing::TestWithParam<int> {};

TEST_P(KernelSeedWithoutGetrandom, FallsBackToTheDevice) {
#if !defined(__x86_64__)
  GTEST_SKIP() << "the seccomp filter here is written for x86-64";
#endif
  const int error = GetParam();
  // Byte 0: 1 if the filter is in place; byte 1: getrandom judged usable; then two seeds.
  const Bytes report = in_child([error] {
    Bytes out(2 + 2 * kSeedBytes, 0);
    if (!refuse_system_call(SYS_getrandom, std::nullopt, error)) {
      return out;
    }
    out[0] = 1;
    KernelSeedReader reader;
    out[1] = reader.getrandom_usable();
    SeedSpan first(out.data() + 2, kSeedBytes), second(out.data() + 2 + kSeedBytes, kSeedBytes);
    if (reader.read(first) || reader.read(second)) {
      ::_exit(3);
    }
    return out;
  });
  ASSERT_EQ(report.size(), 2 + 2 * kSeedBytes);
  if (report[0] == 0) {
    GTEST_SKIP() << "seccomp filters are not available to force the fallback";
  }
  EXPECT_EQ(report[1], 0);
  EXPECT_NE(slice(report, 2, kSeedBytes), slice(report, 2 + kSeedBytes, kSeedBytes));
}

INSTANTIATE_TEST_SUITE_P(Errors, KernelSeedWithoutGetrandom, ::testing::Values(ENOSYS, EPERM),
                         [](const auto& info) {
                           return info.param == ENOSYS ? "Enosys" : "Eperm";
                         });

// Where the kernel refuses MADV_WIPEONFORK, a fork system call that runs no fork handlers is
// noticed by the process id. The mark is armed when the library loads, so the refusal has to be
// in place before that: the test binary runs itself again under a seccomp filter, and the copy
// runs the trials below before main and reports them on its standard output.
constexpr char kRawForkChild[] = "VELTRANO_RANDOM_TEST_RAW_FORK_CHILD";
constexpr int kRawForkTrials = 100;
constexpr std::uint32_t kWipeOnFork = 18;  // MADV_WIPEONFORK, missing from older headers

// Draws `lead` bytes, forks by the system call, and draws 32 bytes on either side: true if the
// two sides handed out the same bytes.
bool repeats_across_raw_fork(std::size_t lead) {
  Bytes before(lead);
  (void)fill(before.data(), lead);
  int fds[2];
  if (::pipe(fds) != 0) {
    return true;
  }
  const long pid = ::syscall(SYS_fork);
  Bytes drawn(32);
  (void)fill(drawn.data(), drawn.size());
  if (pid == 0) {
    _exit(::write(fds[1], drawn.data(), drawn.size()) == 32 ? 0 : 1);
  }
  ::close(fds[1]);
  Bytes child(32);
  const bool received = ::read(fds[0], child.data(), child.size()) == 32;
  ::close(fds[0]);
  ::waitpid(static_cast<pid_t>(pid), nullptr, 0);
  return !received || slice(child, 0, 4) == slice(drawn, 0, 4) || child == drawn;
}

[[noreturn]] void run_raw_fork_trials() {
  std::string report =
      install_fork_hooks().ok() ? "hooks installed\n" : "hooks could not be installed\n";
  if (detail::wipe_on_fork_mark.load() != nullptr) {
    report += "MADV_WIPEONFORK was not refused\n";
  }
  // On a new thread, whose generator starts with an empty buffer: each fork finds some output
  // buffered, or the buffer used up to its last word (the next fill refills it).
  std::thread([&report] {
    int buffered = 0;
    int used_up = 0;
    std::size_t words = 0;  // taken from the parent's generator since it was created
    for (int trial = 0; trial < kRawForkTrials; ++trial) {
      buffered += repeats_across_raw_fork(4);
      words += 1 + 8;
      const std::size_t to_end = (64 - words % 64) % 64;
      used_up += repeats_across_raw_fork(4 * to_end);
      words += to_end + 8;
    }
    report += "buffered: repeated " + std::to_string(buffered) + " of " +
              std::to_string(kRawForkTrials) + "\n";
    report += "used up: repeated " + std::to_string(used_up) + " of " +
              std::to_string(kRawForkTrials) + "\n";
  }).join();
  const bool written =
      ::write(STDOUT_FILENO, report.data(), report.size()) == static_cast<ssize_t>(report.size());
  _exit(written ? 0 : 1);
}

[[maybe_unused]] const bool raw_fork_child = [] {
  if (std::getenv(kRawForkChild) != nullptr) {
    run_raw_fork_trials();
  }
  return false;
}();

TEST(RawForkWithoutWipeOnFork, ParentAndChildDrawDifferentBytes) {
#if !defined(__x86_64__)
  GTEST_SKIP() << "the seccomp filter and the fork system call number here are x86-64's";
#endif
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer's runtime is not set up for a child of a raw fork system call";
#endif
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(fds[1], STDOUT_FILENO);
    if (!refuse_system_call(SYS_madvise, kWipeOnFork, EINVAL)) {
      _exit(77);
    }
    ::setenv(kRawForkChild, "1", 1);
    char self[] = "/proc/self/exe";
    char* const argv[] = {self, nullptr};
    ::execv(self, argv);
    _exit(78);
  }
  ::close(fds[1]);
  std::string report;
  char chunk[256];
  ssize_t got;
  while ((got = ::read(fds[0], chunk, sizeof(chunk))) > 0 || (got < 0 && errno == EINTR)) {
    report.append(chunk, static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
  }
  ::close(fds[0]);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 77) {
    GTEST_SKIP() << "seccomp filters are not available to refuse MADV_WIPEONFORK";
  }
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  EXPECT_EQ(report, "hooks installed\nbuffered: repeated 0 of 100\nused up: repeated 0 of 100\n");
}

// A fork may come while another thread is inside the random source. The child has only the
// forking thread, so a lock that any other thread held at that moment would stay held there for
// ever. Here other threads call what every new generator calls first (install_fork_hooks) in a
// tight loop while this one forks, and each child does the same under an alarm. A registration
// behind a mutex taken on every call hung 67 to 88 of the 200 children in each of three runs.
TEST(Fill, ForkWhileOtherThreadsStartGeneratorsLeavesTheChildUsable) {
  std::atomic<bool> stop{false};
  std::vector<std::thread> busy;
  for (int i = 0; i < 2; ++i) {
    busy.emplace_back([&stop] {
      while (!stop.load(std::memory_order_relaxed)) {
        (void)install_fork_hooks();
      }
    });
  }
  constexpr int kForks = 200;
  int stuck = 0;
  for (int i = 0; i < kForks; ++i) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::alarm(2);  // a child that waits for a lock nobody will release dies of SIGALRM
      _exit(install_fork_hooks().ok() && !fill_bytes(32).empty() ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    stuck += !(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  stop = true;
  for (std::thread& thread : busy) {
    thread.join();
  }
  EXPECT_EQ(stuck, 0) << "children that could not draw, of " << kForks;
}

// A fork that starts while another thread is inside the device mutex waits for it: the child
// must not inherit the mutex held by a thread it does not have. The other thread holds it for
// 100 ms, so the fork starts while it is held unless this thread is delayed that long.
TEST(KernelSeed, ForkWaitsForTheDeviceMutex) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer reports the parent's thread as leaked in the forked child";
#endif
  KernelSeedReader& reader = kernel_seed_reader();
  std::atomic<bool> held{false};
  std::thread holder([&] {
    reader.lock_for_fork();
    held = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    reader.unlock_after_fork();
  });
  while (!held) {
    std::this_thread::yield();
  }
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::alarm(2);
    std::array<std::uint8_t, kSeedBytes> seed;
    _exit(reader.read_device(seed) ? 1 : 0);
  }
  holder.join();
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
}

}  // namespace
}  // namespace veltrano::random
