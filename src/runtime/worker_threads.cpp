#include "runtime/worker_threads.hpp"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "runtime/fault.hpp"

namespace veltrano::runtime {

namespace {

std::string quoted_variable() { return std::string("\"") + kWorkerThreadsVariable + "\""; }

// Offset of the first byte that is not part of well-formed UTF-8, or npos.
std::size_t first_invalid_utf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto b0 = static_cast<unsigned char>(text[i]);
    std::size_t length = 0;
    if (b0 < 0x80) {
      ++i;
      continue;
    } else if (b0 >= 0xC2 && b0 <= 0xDF) {
      length = 2;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
      length = 3;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
      length = 4;
    } else {
      return i;
    }
    if (i + length > text.size()) {
      return i;
    }
    const auto b1 = static_cast<unsigned char>(text[i + 1]);
    // Second-byte ranges exclude overlong forms, surrogates and values above U+10FFFF.
    const bool b1_ok = (b0 == 0xE0)   ? (b1 >= 0xA0 && b1 <= 0xBF)
                       : (b0 == 0xED) ? (b1 >= 0x80 && b1 <= 0x9F)
                       : (b0 == 0xF0) ? (b1 >= 0x90 && b1 <= 0xBF)
                       : (b0 == 0xF4) ? (b1 >= 0x80 && b1 <= 0x8F)
                                      : (b1 >= 0x80 && b1 <= 0xBF);
    if (!b1_ok) {
      return i;
    }
    for (std::size_t k = 2; k < length; ++k) {
      if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) {
        return i;
      }
    }
    i += length;
  }
  return std::string_view::npos;
}

// Unsigned decimal with an optional "+"; on failure `error` holds the reason.
std::optional<std::size_t> parse_unsigned(std::string_view text, std::string& error) {
  if (text.empty()) {
    error = "cannot parse integer from empty string";
    return std::nullopt;
  }
  std::string_view digits = text;
  if (digits.front() == '+') {
    digits.remove_prefix(1);
    if (digits.empty()) {
      error = "invalid digit found in string";
      return std::nullopt;
    }
  }
  std::size_t value = 0;
  bool overflow = false;
  for (const char c : digits) {
    if (c < '0' || c > '9') {
      error = "invalid digit found in string";
      return std::nullopt;
    }
    const auto digit = static_cast<std::size_t>(c - '0');
    if (value > (std::numeric_limits<std::size_t>::max() - digit) / 10) {
      overflow = true;  // keep scanning: a bad digit later is reported instead
    } else if (!overflow) {
      value = value * 10 + digit;
    }
  }
  if (overflow) {
    error = "number too large to fit in target type";
    return std::nullopt;
  }
  return value;
}

std::optional<std::string> read_file(const std::filesystem::path& path) {
  std::ifstream in(path);
  if (!in) {
    return std::nullopt;
  }
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

std::vector<std::string> split(std::string_view text, char separator) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (true) {
    const std::size_t end = text.find(separator, start);
    parts.emplace_back(text.substr(start, end == std::string_view::npos ? end : end - start));
    if (end == std::string_view::npos) {
      return parts;
    }
    start = end + 1;
  }
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines = split(text, '\n');
  if (!lines.empty() && lines.back().empty()) {
    lines.pop_back();
  }
  return lines;
}

bool contains_item(std::string_view comma_list, std::string_view item) {
  for (const std::string& part : split(comma_list, ',')) {
    if (part == item) {
      return true;
    }
  }
  return false;
}

// mountinfo writes space, tab, newline and backslash in paths as \ooo octal escapes.
std::string unescape_octal(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 3 < text.size() &&
        std::all_of(text.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                    text.begin() + static_cast<std::ptrdiff_t>(i) + 4,
                    [](char c) { return c >= '0' && c <= '7'; })) {
      out += static_cast<char>((text[i + 1] - '0') * 64 + (text[i + 2] - '0') * 8 +
                               (text[i + 3] - '0'));
      i += 3;
    } else {
      out += text[i];
    }
  }
  return out;
}

struct Mount {
  std::string root;
  std::string mount_point;
  std::string fs_type;
  std::string super_options;
};

std::vector<Mount> read_mounts(const std::filesystem::path& root) {
  std::vector<Mount> mounts;
  const auto text = read_file(root / "proc/self/mountinfo");
  if (!text) {
    return mounts;
  }
  for (const std::string& line : lines_of(*text)) {
    const std::vector<std::string> fields = split(line, ' ');
    const auto separator = std::find(fields.begin(), fields.end(), "-");
    const auto before = separator - fields.begin();
    if (separator == fields.end() || before < 6 || fields.end() - separator < 4) {
      continue;
    }
    mounts.push_back(
        Mount{unescape_octal(fields[3]), unescape_octal(fields[4]), separator[1], separator[3]});
  }
  return mounts;
}

// The directory of the group at `group_path` inside the hierarchy mounted at `mount`, under `root`.
std::filesystem::path group_directory(const std::filesystem::path& root, const Mount& mount,
                                      std::string_view group_path) {
  std::string_view relative = group_path;
  if (mount.root != "/") {
    if (group_path.substr(0, mount.root.size()) == mount.root &&
        (group_path.size() == mount.root.size() || group_path[mount.root.size()] == '/')) {
      relative.remove_prefix(mount.root.size());
    } else {
      relative = "";  // the group is outside this mount's view; use the mount's own group
    }
  }
  std::filesystem::path dir = root / std::filesystem::path(mount.mount_point).relative_path();
  const std::filesystem::path rel = std::filesystem::path(relative).relative_path();
  return rel.empty() ? dir : dir / rel;
}

std::optional<long long> to_integer(std::string_view text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
    text.remove_suffix(1);
  }
  long long value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) {
    return std::nullopt;
  }
  return value;
}

std::optional<std::size_t> processors_of(long long quota, long long period) {
  if (quota <= 0 || period <= 0) {
    return std::nullopt;
  }
  return std::max<std::size_t>(1, static_cast<std::size_t>(quota / period));
}

// cpu.max holds "max <period>" or "<quota> <period>".
std::optional<std::size_t> v2_level(const std::filesystem::path& dir) {
  const auto text = read_file(dir / "cpu.max");
  if (!text) {
    return std::nullopt;
  }
  const std::vector<std::string> lines = lines_of(*text);
  const std::vector<std::string> parts = split(lines.empty() ? "" : lines[0], ' ');
  if (parts.size() != 2 || parts[0] == "max") {
    return std::nullopt;
  }
  const auto quota = to_integer(parts[0]);
  const auto period = to_integer(parts[1]);
  if (!quota || !period) {
    return std::nullopt;
  }
  return processors_of(*quota, *period);
}

// cpu.cfs_quota_us is -1 when unlimited.
std::optional<std::size_t> v1_level(const std::filesystem::path& dir) {
  const auto quota_text = read_file(dir / "cpu.cfs_quota_us");
  const auto period_text = read_file(dir / "cpu.cfs_period_us");
  if (!quota_text || !period_text) {
    return std::nullopt;
  }
  const auto quota = to_integer(*quota_text);
  const auto period = to_integer(*period_text);
  if (!quota || !period) {
    return std::nullopt;
  }
  return processors_of(*quota, *period);
}

// The lowest quota from the group's directory up to the hierarchy's mount point.
template <typename ReadLevel>
std::optional<std::size_t> lowest_on_path(const std::filesystem::path& root, const Mount& mount,
                                          std::string_view group_path, ReadLevel read_level) {
  const std::filesystem::path top = group_directory(root, mount, "").lexically_normal();
  std::filesystem::path dir = group_directory(root, mount, group_path).lexically_normal();
  std::optional<std::size_t> lowest;
  while (true) {
    if (const auto level = read_level(dir)) {
      lowest = lowest ? std::min(*lowest, *level) : *level;
    }
    if (dir == top || dir.parent_path() == dir) {
      return lowest;
    }
    dir = dir.parent_path();
  }
}

}  // namespace

std::optional<std::size_t> parse_worker_threads(std::optional<std::string_view> raw) {
  if (!raw) {
    return std::nullopt;
  }
  if (const std::size_t bad = first_invalid_utf8(*raw); bad != std::string_view::npos) {
    throw Fault(quoted_variable() +
                " must be valid unicode, error: invalid utf-8 sequence at byte " +
                std::to_string(bad));
  }
  std::string error;
  const std::optional<std::size_t> value = parse_unsigned(*raw, error);
  if (!value) {
    throw Fault(quoted_variable() + " must be usize, error: " + error +
                ", value: " + std::string(*raw));
  }
  if (*value == 0) {
    throw Fault(quoted_variable() + " cannot be set to 0");
  }
  return value;
}

std::optional<std::size_t> cpu_quota_processors(const std::filesystem::path& root) {
  const auto cgroup_text = read_file(root / "proc/self/cgroup");
  if (!cgroup_text) {
    return std::nullopt;
  }
  std::optional<std::string> v2_path;
  std::optional<std::string> v1_path;
  for (const std::string& line : lines_of(*cgroup_text)) {
    // hierarchy-id:controller-list:path; the path may itself contain ':'.
    const std::size_t first = line.find(':');
    const std::size_t second = first == std::string::npos ? first : line.find(':', first + 1);
    if (second == std::string::npos) {
      continue;
    }
    const std::string_view id(line.data(), first);
    const std::string_view controllers(line.data() + first + 1, second - first - 1);
    const std::string path = line.substr(second + 1);
    if (id == "0" && controllers.empty()) {
      v2_path = path;
    } else if (contains_item(controllers, "cpu")) {
      v1_path = path;
    }
  }
  const std::vector<Mount> mounts = read_mounts(root);
  if (v2_path) {
    for (const Mount& mount : mounts) {
      if (mount.fs_type == "cgroup2") {
        if (const auto found = lowest_on_path(root, mount, *v2_path, v2_level)) {
          return found;
        }
        break;
      }
    }
  }
  if (v1_path) {
    for (const Mount& mount : mounts) {
      if (mount.fs_type == "cgroup" && contains_item(mount.super_options, "cpu")) {
        return lowest_on_path(root, mount, *v1_path, v1_level);
      }
    }
  }
  return std::nullopt;
}

std::size_t available_processors(const std::filesystem::path& root) {
  std::size_t count = 0;
  for (std::size_t cpus = 1024; cpus <= (std::size_t{1} << 20) && count == 0; cpus *= 2) {
    cpu_set_t* set = CPU_ALLOC(cpus);
    if (set == nullptr) {
      break;
    }
    const std::size_t size = CPU_ALLOC_SIZE(cpus);
    CPU_ZERO_S(size, set);
    if (sched_getaffinity(0, size, set) == 0) {
      count = static_cast<std::size_t>(CPU_COUNT_S(size, set));
      CPU_FREE(set);
      break;
    }
    const int error = errno;
    CPU_FREE(set);
    if (error != EINVAL) {
      break;
    }
  }
  if (count == 0) {
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    count = online > 0 ? static_cast<std::size_t>(online) : 1;
  }
  if (const auto quota = cpu_quota_processors(root)) {
    count = std::min(count, *quota);
  }
  return std::max<std::size_t>(count, 1);
}

std::size_t worker_thread_count() {
  const char* raw = std::getenv(kWorkerThreadsVariable);
  const auto parsed =
      parse_worker_threads(raw ? std::optional<std::string_view>(raw) : std::nullopt);
  return parsed ? *parsed : available_processors();
}

}  // namespace veltrano::runtime
