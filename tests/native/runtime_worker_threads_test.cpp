// The "VELTRANO_WORKER_THREADS" texts and the CPU quota read from fake control-group trees.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "base/fault.hpp"
#include "runtime/worker_threads.hpp"

namespace veltrano::runtime {
namespace {

std::string refusal(std::string_view raw) {
  try {
    parse_worker_threads(raw);
  } catch (const Fault& fault) {
    return fault.message().value_or("<no message>");
  }
  return "<accepted>";
}

TEST(ParseWorkerThreads, AcceptsDigitsWithOptionalPlus) {
  EXPECT_EQ(parse_worker_threads(std::nullopt), std::nullopt);
  EXPECT_EQ(parse_worker_threads("2"), 2u);
  EXPECT_EQ(parse_worker_threads("+7"), 7u);
  EXPECT_EQ(parse_worker_threads("0012"), 12u);
}

TEST(ParseWorkerThreads, RefusesAValueThePoolLimitCannotHold) {
  // The blocking pool's limit is 512 plus the value: the largest accepted value leaves it at the
  // top of size_t, one more would wrap it.
  EXPECT_EQ(parse_worker_threads("18446744073709551103"), 18446744073709551103u);
  EXPECT_EQ(parse_worker_threads("+18446744073709551103"), 18446744073709551103u);
  const std::string prefix =
      "\"VELTRANO_WORKER_THREADS\" is too large: 512 plus it must fit in usize, value: ";
  EXPECT_EQ(refusal("18446744073709551104"), prefix + "18446744073709551104");
  EXPECT_EQ(refusal("+18446744073709551615"), prefix + "+18446744073709551615");
}

TEST(ParseWorkerThreads, RefusesZero) {
  EXPECT_EQ(refusal("0"), "\"VELTRANO_WORKER_THREADS\" cannot be set to 0");
  EXPECT_EQ(refusal("+000"), "\"VELTRANO_WORKER_THREADS\" cannot be set to 0");
}

TEST(ParseWorkerThreads, RefusesTextThatDoesNotParse) {
  const std::string prefix = "\"VELTRANO_WORKER_THREADS\" must be usize, error: ";
  EXPECT_EQ(refusal("abc"), prefix + "invalid digit found in string, value: abc");
  EXPECT_EQ(refusal(""), prefix + "cannot parse integer from empty string, value: ");
  EXPECT_EQ(refusal("+"), prefix + "invalid digit found in string, value: +");
  EXPECT_EQ(refusal("-1"), prefix + "invalid digit found in string, value: -1");
  EXPECT_EQ(refusal("++1"), prefix + "invalid digit found in string, value: ++1");
  EXPECT_EQ(refusal(" 2"), prefix + "invalid digit found in string, value:  2");
  EXPECT_EQ(refusal("2 "), prefix + "invalid digit found in string, value: 2 ");
  EXPECT_EQ(refusal("1.5"), prefix + "invalid digit found in string, value: 1.5");
  EXPECT_EQ(refusal("18446744073709551616"),
            prefix + "number too large to fit in target type, value: 18446744073709551616");
  // A bad digit after an overflowing prefix is reported as the bad digit.
  EXPECT_EQ(refusal("99999999999999999999x"),
            prefix + "invalid digit found in string, value: 99999999999999999999x");
}

TEST(ParseWorkerThreads, RefusesMalformedUtf8) {
  const std::string prefix = "\"VELTRANO_WORKER_THREADS\" must be valid unicode, error: ";
  EXPECT_EQ(refusal("\xff"), prefix + "invalid utf-8 sequence at byte 0");
  EXPECT_EQ(refusal("12\xc3"), prefix + "invalid utf-8 sequence at byte 2");
  EXPECT_EQ(refusal("4\xed\xa0\x80"), prefix + "invalid utf-8 sequence at byte 1");  // surrogate
  // Well-formed non-ASCII text is Unicode, so it fails as a number instead.
  EXPECT_EQ(refusal("\xc3\xa9"),
            "\"VELTRANO_WORKER_THREADS\" must be usize, error: invalid digit found in string, "
            "value: \xc3\xa9");
}

// A throwaway root directory holding proc/self/{cgroup,mountinfo} and cgroup files.
class FakeRoot {
 public:
  FakeRoot() {
    std::string pattern = (std::filesystem::temp_directory_path() / "veltrano-cgroup-XXXXXX");
    if (mkdtemp(pattern.data()) == nullptr) {
      throw std::runtime_error("mkdtemp failed");
    }
    root_ = pattern;
  }
  FakeRoot(const FakeRoot&) = delete;
  FakeRoot& operator=(const FakeRoot&) = delete;
  ~FakeRoot() { std::filesystem::remove_all(root_); }

  const std::filesystem::path& path() const { return root_; }
  void write(const std::string& relative, const std::string& content) const {
    const std::filesystem::path file = root_ / relative;
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file) << content;
  }
  // Writes one file, then reads the quota the whole tree now gives.
  std::optional<std::size_t> quota_after(const std::string& relative,
                                         const std::string& content) const {
    write(relative, content);
    return cpu_quota_processors(root_);
  }
  void v2(const std::string& group) const {
    write("proc/self/cgroup", "0::" + group + "\n");
    write("proc/self/mountinfo",
          "22 28 0:21 / /proc rw,nosuid - proc proc rw\n"
          "30 24 0:26 / /sys/fs/cgroup rw,nosuid,nodev,noexec shared:4 - cgroup2 cgroup2 "
          "rw,nsdelegate\n");
  }
  void v1(const std::string& group) const {
    write("proc/self/cgroup",
          "12:memory:/other\n"
          "4:cpu,cpuacct:" +
              group +
              "\n"
              "1:name=systemd:/init.scope\n");
    write("proc/self/mountinfo",
          "25 24 0:22 / /sys/fs/cgroup/memory rw,nosuid shared:9 - cgroup cgroup rw,memory\n"
          "26 24 0:23 / /sys/fs/cgroup/cpu,cpuacct rw,nosuid shared:10 - cgroup cgroup "
          "rw,cpu,cpuacct\n");
  }

 private:
  std::filesystem::path root_;
};

// Writes each content in turn to `file` and expects the quota beside it.
void expect_quotas(
    const FakeRoot& root, const std::string& file,
    std::initializer_list<std::pair<std::string, std::optional<std::size_t>>> cases) {
  for (const auto& [content, processors] : cases) {
    EXPECT_EQ(root.quota_after(file, content), processors) << file << ": " << content;
  }
}

TEST(CpuQuota, Version2QuotaRoundsDownToAtLeastOne) {
  FakeRoot root;
  root.v2("/app.slice/job");
  expect_quotas(root, "sys/fs/cgroup/app.slice/job/cpu.max",
                {{"200000 100000\n", 2},
                 {"150000 100000\n", 1},
                 {"50000 100000\n", 1},
                 {"max 100000\n", std::nullopt}});
}

TEST(CpuQuota, Version2TakesTheLowestQuotaOnTheWayUp) {
  FakeRoot root;
  root.v2("/outer/inner");
  root.write("sys/fs/cgroup/outer/inner/cpu.max", "max 100000\n");
  EXPECT_EQ(root.quota_after("sys/fs/cgroup/outer/cpu.max", "300000 100000\n"), 3u);
  EXPECT_EQ(root.quota_after("sys/fs/cgroup/outer/inner/cpu.max", "400000 100000\n"), 3u);
  EXPECT_EQ(root.quota_after("sys/fs/cgroup/outer/inner/cpu.max", "100000 100000\n"), 1u);
}

TEST(CpuQuota, Version1QuotaAndUnlimited) {
  FakeRoot root;
  root.v1("/docker/abc");
  root.write("sys/fs/cgroup/cpu,cpuacct/docker/abc/cpu.cfs_period_us", "100000\n");
  expect_quotas(root, "sys/fs/cgroup/cpu,cpuacct/docker/abc/cpu.cfs_quota_us",
                {{"200000\n", 2}, {"150000\n", 1}, {"50000\n", 1}, {"-1\n", std::nullopt}});
}

TEST(CpuQuota, Version1MountWithANonRootBindPrefix) {
  // A container sees its own group as the mount's root: "/docker/abc" mounted from /docker/abc.
  FakeRoot root;
  root.write("proc/self/cgroup", "3:cpu:/docker/abc\n");
  root.write("proc/self/mountinfo",
             "40 30 0:23 /docker/abc /sys/fs/cgroup/cpu ro,nosuid - cgroup cgroup rw,cpu\n");
  root.write("sys/fs/cgroup/cpu/cpu.cfs_period_us", "100000\n");
  EXPECT_EQ(root.quota_after("sys/fs/cgroup/cpu/cpu.cfs_quota_us", "250000\n"), 2u);
}

TEST(CpuQuota, MountPointWithEscapedSpace) {
  FakeRoot root;
  root.write("proc/self/cgroup", "0::/g\n");
  root.write("proc/self/mountinfo", "30 24 0:26 / /cg\\040root rw - cgroup2 cgroup2 rw\n");
  EXPECT_EQ(root.quota_after("cg root/g/cpu.max", "300000 100000\n"), 3u);
}

TEST(CpuQuota, NothingReadableMeansNoQuota) {
  FakeRoot root;
  EXPECT_EQ(cpu_quota_processors(root.path()), std::nullopt);
  root.v2("/g");  // no cpu.max anywhere: the controller is not enabled
  EXPECT_EQ(cpu_quota_processors(root.path()), std::nullopt);
  EXPECT_EQ(root.quota_after("sys/fs/cgroup/g/cpu.max", "garbage\n"), std::nullopt);
}

TEST(CpuQuota, HybridHierarchyFallsBackToVersion1) {
  FakeRoot root;
  root.write("proc/self/cgroup", "4:cpu,cpuacct:/svc\n0::/svc\n");
  root.write("proc/self/mountinfo",
             "26 24 0:23 / /sys/fs/cgroup/cpu rw - cgroup cgroup rw,cpuacct,cpu\n"
             "27 24 0:24 / /sys/fs/cgroup/unified rw - cgroup2 cgroup2 rw\n");
  root.write("sys/fs/cgroup/cpu/svc/cpu.cfs_period_us", "100000\n");
  EXPECT_EQ(root.quota_after("sys/fs/cgroup/cpu/svc/cpu.cfs_quota_us", "400000\n"), 4u);
}

TEST(AvailableProcessors, LoweredToTheQuotaAndAtLeastOne) {
  FakeRoot root;
  const std::size_t unlimited = available_processors(root.path());
  EXPECT_GE(unlimited, 1u);
  root.v2("/g");
  root.write("sys/fs/cgroup/g/cpu.max", "50000 100000\n");
  EXPECT_EQ(available_processors(root.path()), 1u);
  root.write("sys/fs/cgroup/g/cpu.max", "100000000 100000\n");  // 1000 processors
  EXPECT_EQ(available_processors(root.path()), unlimited);
}

}  // namespace
}  // namespace veltrano::runtime
