#include "runtime/cgroup_quota.hpp"

#include <algorithm>
#include <charconv>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace veltrano::runtime {

namespace {

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

}  // namespace veltrano::runtime
