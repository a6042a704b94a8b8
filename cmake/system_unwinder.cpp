// Static release builds: the unwinder entry points the C++ runtime calls, forwarded to the
// system's libgcc_s. Thread-safe: the entry points are looked up once, while the module loads.
//
// glibc ends a thread (pthread_exit, which the interpreter calls at exit on threads that want the
// lock back) with a forced unwind that it drives through libgcc_s, and that calls our frames'
// personality routine with libgcc_s's unwind contexts. Those can only be read and changed through
// libgcc_s itself, so the module uses no unwinder of its own (a statically linked one, LLVM's or
// GCC's, would misread them). glibc loads libgcc_s the same way, on demand, rather than needing it.
// Without libgcc_s nothing may throw: the failure is recorded here, and the module's init
// functions turn it into ImportError before running any other code.
#include <dlfcn.h>
#include <unwind.h>

#include <cstdint>
#include <cstdio>

namespace {

struct SystemUnwinder {
  decltype(&_Unwind_Resume_or_Rethrow) resume_or_rethrow;
  decltype(&_Unwind_Resume) resume;
  decltype(&_Unwind_DeleteException) delete_exception;
  decltype(&_Unwind_GetIP) get_ip;
  decltype(&_Unwind_SetIP) set_ip;
  decltype(&_Unwind_SetGR) set_gr;
  decltype(&_Unwind_GetLanguageSpecificData) get_language_specific_data;
  decltype(&_Unwind_GetRegionStart) get_region_start;
};

SystemUnwinder unwinder;

// Why the unwinder could not be loaded; empty when it was. Written only by the constructor below,
// before the interpreter can call into the module.
char load_error[512];

// Records what is missing, with the loader's own reason.
void record_missing_unwinder(const char* what) {
  const char* reason = dlerror();
  std::snprintf(load_error, sizeof load_error, "veltrano needs libgcc_s.so.1 to unwind, and %s: %s",
                what, reason != nullptr ? reason : "no reason given");
}

// Keeps the first failure: later look-ups would overwrite dlerror's text with their own.
template <typename Function>
void look_up(void* library, const char* name, Function& function) {
  function = reinterpret_cast<Function>(dlsym(library, name));
  if (function == nullptr && load_error[0] == '\0') {
    char what[128];
    std::snprintf(what, sizeof what, "it has no %s", name);
    record_missing_unwinder(what);
  }
}

// Runs when the module is loaded, before any of its code can throw.
__attribute__((constructor)) void load_system_unwinder() {
  void* library = dlopen("libgcc_s.so.1", RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
  if (library == nullptr) {
    record_missing_unwinder("it could not be loaded");
    return;
  }
  look_up(library, "_Unwind_Resume_or_Rethrow", unwinder.resume_or_rethrow);
  look_up(library, "_Unwind_Resume", unwinder.resume);
  look_up(library, "_Unwind_DeleteException", unwinder.delete_exception);
  look_up(library, "_Unwind_GetIP", unwinder.get_ip);
  look_up(library, "_Unwind_SetIP", unwinder.set_ip);
  look_up(library, "_Unwind_SetGR", unwinder.set_gr);
  look_up(library, "_Unwind_GetLanguageSpecificData", unwinder.get_language_specific_data);
  look_up(library, "_Unwind_GetRegionStart", unwinder.get_region_start);
}

}  // namespace

extern "C" {

// Declared weak in src/bindings/module.cpp, whose init functions raise ImportError with this text
// instead of running: null when the unwinder is loaded.
const char* veltrano_unwinder_load_error() noexcept {
  return load_error[0] != '\0' ? load_error : nullptr;
}

// libc++abi raises through here both a new exception (private_1 is zero, so this is a plain raise)
// and a rethrown one. A rethrown forced unwind (a catch-all that passes it on) must go on as a
// forced unwind, which is what libgcc's _Unwind_Resume_or_Rethrow does and libstdc++ calls.
_Unwind_Reason_Code _Unwind_RaiseException(_Unwind_Exception* exception) {
  return unwinder.resume_or_rethrow(exception);
}

void _Unwind_Resume(_Unwind_Exception* exception) { unwinder.resume(exception); }

void _Unwind_DeleteException(_Unwind_Exception* exception) { unwinder.delete_exception(exception); }

uintptr_t _Unwind_GetIP(_Unwind_Context* context) { return unwinder.get_ip(context); }

void _Unwind_SetIP(_Unwind_Context* context, uintptr_t ip) { unwinder.set_ip(context, ip); }

void _Unwind_SetGR(_Unwind_Context* context, int index, uintptr_t value) {
  unwinder.set_gr(context, index, value);
}

void* _Unwind_GetLanguageSpecificData(_Unwind_Context* context) {
  return unwinder.get_language_specific_data(context);
}

uintptr_t _Unwind_GetRegionStart(_Unwind_Context* context) {
  return unwinder.get_region_start(context);
}

}  // extern "C"
