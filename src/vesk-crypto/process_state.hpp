// The crypto libraries' process-wide state, made ready before threads or forks can split it.
// Thread-safe; meant to run once, early, on the thread that loads the module.
#pragma once

namespace vesk {

// Runs the C++ library's one-time initialisations, initialises libcrypto, fetches the
// AES-256-GCM cipher, initialises libsodium and fills libcrypto's digest caches. Each of these is
// otherwise done on first use, on whichever thread comes first, under a once-only guard or a
// library lock: a fork while another thread is inside one leaves the child waiting for ever on a
// guard or lock that no thread of its own will release. Once this has run, those first uses find
// everything ready. (The random source registers its fork hooks when the library loads.) Failures
// are not reported here: the first real call reports them as it always does.
void prepare_process_state() noexcept;

}  // namespace vesk
