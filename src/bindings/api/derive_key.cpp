// derive_key(passphrase, salt, options=None): copies its inputs at call time and returns an
// asyncio future that a worker completes with a new Key.
#include "bindings/api/classes.hpp"
#include "bindings/api/functions.hpp"
#include "bindings/api/module_lifecycle.hpp"
#include "bindings/bridge/into_awaitable.hpp"
#include "bindings/call/define_function.hpp"
#include "vesk-crypto/domain/key_derivation.hpp"

namespace veltrano::bindings {
namespace {

// Everything the background task needs; no reference to any Python object.
struct DeriveKeyTask {
  vesk::SecretBuffer passphrase;
  vesk::SaltBytes salt;
  vesk::KdfAlgorithm algorithm;
};

// Only texts of exactly six bytes can name one of the two other algorithms.
vesk::KdfAlgorithm algorithm_named(std::span<const std::uint8_t> text) {
  auto is = [&](const char(&name)[7]) {
    return text.size() == 6 && std::equal(text.begin(), text.end(), name);
  };
  if (is("pbkdf2")) {
    return vesk::KdfAlgorithm::Pbkdf2;
  }
  if (is("scrypt")) {
    return vesk::KdfAlgorithm::Scrypt;
  }
  return vesk::KdfAlgorithm::Argon2id;
}

runtime::Task<Expected<vesk::KeyBytes>> derive_key_body(DeriveKeyTask task) {
  vesk::Result<vesk::KeyBytes> derived =
      co_await vesk::derive_key_material(task.passphrase.span(), task.salt, task.algorithm);
  task.passphrase.wipe();
  if (!derived.ok()) {
    co_return ErrorValue::from_crypto_error(derived.error());
  }
  co_return std::move(derived).value();
}

Expected<PyRef> derive_key(Utf8Text passphrase, ClassRef<vesk::SaltBytes> salt,
                           std::optional<ClassRef<DeriveKeyOptionsValue>> options) {
  vesk::KdfAlgorithm algorithm = vesk::KdfAlgorithm::Argon2id;
  if (options) {
    const std::string& text = options->value().algorithm;
    algorithm = algorithm_named(std::span<const std::uint8_t>(
        reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
  }
  options.reset();  // the options borrow and reference go here, before the future exists
  if (Status hooked = ensure_exit_hook(); !hooked.ok()) {
    return std::move(hooked).error();
  }
  DeriveKeyTask task{std::move(passphrase), salt.value(), algorithm};
  return bridge::into_awaitable(derive_key_body(std::move(task)),
                                [](vesk::KeyBytes key) { return new_instance(std::move(key)); });
}

}  // namespace

const PyMethodDef derive_key_definition =
    define_function<&derive_key>("derive_key", {"passphrase", "salt", "options"});

}  // namespace veltrano::bindings
