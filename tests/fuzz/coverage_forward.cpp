// coverage_forward: a preload library that hands the coverage callbacks to atheris's libFuzzer.
// Thread-safe: the one lookup is an idempotent atomic publication; calls only forward.
//
// GCC's ASan and UBSan runtimes define no-op versions of the coverage callbacks. Preloaded for the
// sanitizers, they come first in symbol lookup and swallow the callbacks that atheris makes to
// report Python coverage, so the fuzzer runs blind. Preloaded ahead of them, this library defines
// the same names and forwards each call to the definition inside atheris's own libFuzzer build
// (core_with_libfuzzer), found among the loaded objects on first use. Forwarding is a tail call,
// so the callee still sees its real caller's return address.
#include <dlfcn.h>
#include <link.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace {

constexpr const char* kFuzzerLibrary = "core_with_libfuzzer";

int find_fuzzer_library(dl_phdr_info* info, std::size_t, void* found) {
  if (info->dlpi_name != nullptr && std::strstr(info->dlpi_name, kFuzzerLibrary) != nullptr) {
    *static_cast<const char**>(found) = info->dlpi_name;
    return 1;
  }
  return 0;
}

std::atomic<void*> fuzzer_handle{nullptr};

// The libFuzzer build once it is loaded; null before (callbacks made then are dropped). Only the
// coverage callbacks search for it: atheris makes them after loading it, whereas the comparison
// hooks run inside every intercepted memcmp from start-up on and must stay cheap.
void* fuzzer_library(bool may_search) {
  void* loaded = fuzzer_handle.load(std::memory_order_acquire);
  if (loaded != nullptr || !may_search) {
    return loaded;
  }
  const char* path = nullptr;
  dl_iterate_phdr(find_fuzzer_library, &path);
  if (path == nullptr) {
    return nullptr;
  }
  // RTLD_NOLOAD: only a reference to the already loaded object; dlsym on it searches it first.
  loaded = dlopen(path, RTLD_NOW | RTLD_NOLOAD);
  fuzzer_handle.store(loaded, std::memory_order_release);
  return loaded;
}

template <typename Function>
Function resolve(std::atomic<Function>& cell, const char* name, bool may_search) {
  Function function = cell.load(std::memory_order_acquire);
  if (function == nullptr) {
    if (void* library = fuzzer_library(may_search)) {
      function = reinterpret_cast<Function>(dlsym(library, name));
      cell.store(function, std::memory_order_release);
    }
  }
  return function;
}

}  // namespace

#define VELTRANO_FORWARD_IF(may_search, name, parameters, arguments) \
  extern "C" void name parameters {                                  \
    using Function = void(*) parameters;                             \
    static std::atomic<Function> cell{nullptr};                      \
    if (Function function = resolve(cell, #name, may_search)) {      \
      function arguments;                                            \
    }                                                                \
  }
#define VELTRANO_FORWARD(name, parameters, arguments) \
  VELTRANO_FORWARD_IF(true, name, parameters, arguments)
#define VELTRANO_FORWARD_HOOK(name, parameters, arguments) \
  VELTRANO_FORWARD_IF(false, name, parameters, arguments)

VELTRANO_FORWARD(__sanitizer_cov_8bit_counters_init, (std::uint8_t* begin, std::uint8_t* end),
                 (begin, end))
VELTRANO_FORWARD(__sanitizer_cov_pcs_init, (const std::uintptr_t* begin, const std::uintptr_t* end),
                 (begin, end))
VELTRANO_FORWARD(__sanitizer_cov_trace_cmp1, (std::uint8_t a, std::uint8_t b), (a, b))
VELTRANO_FORWARD(__sanitizer_cov_trace_cmp2, (std::uint16_t a, std::uint16_t b), (a, b))
VELTRANO_FORWARD(__sanitizer_cov_trace_cmp4, (std::uint32_t a, std::uint32_t b), (a, b))
VELTRANO_FORWARD(__sanitizer_cov_trace_cmp8, (std::uint64_t a, std::uint64_t b), (a, b))
VELTRANO_FORWARD(__sanitizer_cov_trace_const_cmp1, (std::uint8_t a, std::uint8_t b), (a, b))
VELTRANO_FORWARD(__sanitizer_cov_trace_const_cmp2, (std::uint16_t a, std::uint16_t b), (a, b))
VELTRANO_FORWARD(__sanitizer_cov_trace_const_cmp4, (std::uint32_t a, std::uint32_t b), (a, b))
VELTRANO_FORWARD(__sanitizer_cov_trace_const_cmp8, (std::uint64_t a, std::uint64_t b), (a, b))
VELTRANO_FORWARD(__sanitizer_cov_trace_div4, (std::uint32_t value), (value))
VELTRANO_FORWARD(__sanitizer_cov_trace_div8, (std::uint64_t value), (value))
VELTRANO_FORWARD(__sanitizer_cov_trace_gep, (std::uintptr_t index), (index))
VELTRANO_FORWARD(__sanitizer_cov_trace_switch, (std::uint64_t value, std::uint64_t* cases),
                 (value, cases))
VELTRANO_FORWARD(__sanitizer_cov_trace_pc_indir, (std::uintptr_t callee), (callee))
VELTRANO_FORWARD(__sanitizer_cov_trace_pc_guard, (std::uint32_t* guard), (guard))
VELTRANO_FORWARD(__sanitizer_cov_trace_pc_guard_init, (std::uint32_t* begin, std::uint32_t* end),
                 (begin, end))
VELTRANO_FORWARD_HOOK(__sanitizer_weak_hook_memcmp,
                      (void* pc, const void* s1, const void* s2, std::size_t n, int result),
                      (pc, s1, s2, n, result))
VELTRANO_FORWARD_HOOK(__sanitizer_weak_hook_strncmp,
                      (void* pc, const char* s1, const char* s2, std::size_t n, int result),
                      (pc, s1, s2, n, result))
VELTRANO_FORWARD_HOOK(__sanitizer_weak_hook_strncasecmp,
                      (void* pc, const char* s1, const char* s2, std::size_t n, int result),
                      (pc, s1, s2, n, result))
VELTRANO_FORWARD_HOOK(__sanitizer_weak_hook_strcmp,
                      (void* pc, const char* s1, const char* s2, int result), (pc, s1, s2, result))
VELTRANO_FORWARD_HOOK(__sanitizer_weak_hook_strcasecmp,
                      (void* pc, const char* s1, const char* s2, int result), (pc, s1, s2, result))
VELTRANO_FORWARD_HOOK(__sanitizer_weak_hook_strstr,
                      (void* pc, const char* s1, const char* s2, char* result),
                      (pc, s1, s2, result))
VELTRANO_FORWARD_HOOK(__sanitizer_weak_hook_strcasestr,
                      (void* pc, const char* s1, const char* s2, char* result),
                      (pc, s1, s2, result))
VELTRANO_FORWARD_HOOK(__sanitizer_weak_hook_memmem,
                      (void* pc, const void* s1, std::size_t n1, const void* s2, std::size_t n2,
                       void* result),
                      (pc, s1, n1, s2, n2, result))
