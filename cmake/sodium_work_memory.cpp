// Builds with the pinned libsodium: the mmap that libsodium's partial link calls instead of the C
// library's (pinned_deps.cmake renames it). Thread-safe: no state.
//
// libsodium maps the Argon2 block array (64 MiB) and scrypt's V (32 MiB) with one anonymous mmap
// each, in 4 KiB pages. Both are read at data-dependent places, so most reads miss the TLB: mapped
// in 2 MiB-aligned transparent huge pages instead, Argon2id takes about two thirds of the time.
// The region returned is exactly what stays mapped, so libsodium's munmap(base, size) is right.
#include <sys/mman.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

namespace {

constexpr std::size_t kHugePageSize = std::size_t{2} << 20;

}  // namespace

extern "C" void* veltrano_sodium_mmap(void* address, std::size_t length, int protection, int flags,
                                      int fd, off_t offset) {
  const bool anonymous = (flags & MAP_ANONYMOUS) != 0 && address == nullptr;
  const std::size_t reserve = length + kHugePageSize;
  if (!anonymous || length < kHugePageSize || reserve < length) {
    return mmap(address, length, protection, flags, fd, offset);
  }
  // Populating now would fault in small pages before the advice below could take effect.
  void* mapped = mmap(nullptr, reserve, protection, flags & ~MAP_POPULATE, -1, 0);
  if (mapped == MAP_FAILED) {
    return mapped;
  }
  // Keep the 2 MiB-aligned part and return the slack on both sides; the tail starts at the page
  // after the region's end (scrypt's length is no whole number of pages).
  const auto start = reinterpret_cast<std::uintptr_t>(mapped);
  const std::uintptr_t aligned = (start + kHugePageSize - 1) & ~std::uintptr_t{kHugePageSize - 1};
  const std::size_t head = aligned - start;
  const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  const std::size_t used = (length + page - 1) / page * page;
  if (head != 0) {
    munmap(mapped, head);
  }
  munmap(reinterpret_cast<void*>(aligned + used), kHugePageSize - head);
  madvise(reinterpret_cast<void*>(aligned), length, MADV_HUGEPAGE);  // advisory
  return reinterpret_cast<void*>(aligned);
}
