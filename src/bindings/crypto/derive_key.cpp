// derive_key(passphrase, salt, options=None): copies its inputs at call time and returns an
// asyncio future that a worker completes with a new Key.
#include "bindings/bridge/into_awaitable.hpp"
#include "bindings/call/call_guard.hpp"
#include "bindings/call/conversions.hpp"
#include "bindings/call/parameter_spec.hpp"
#include "bindings/crypto/classes.hpp"
#include "bindings/crypto/module_functions.hpp"
#include "bindings/registration.hpp"
#include "vesk-crypto/domain/key_derivation.hpp"

namespace veltrano::bindings {
namespace {

constexpr std::string_view kParameters[] = {"passphrase", "salt", "options"};
const ParameterSpec kSpec{"", "derive_key", kParameters, 0, 2};

// Everything the background task needs; no reference to any Python object.
struct DeriveKeyTask {
  vesk::SecretBuffer passphrase;
  vesk::SaltBytes salt;
  vesk::KdfAlgorithm algorithm;
};

// Only texts of exactly six bytes can name one of the two other algorithms.
vesk::KdfAlgorithm algorithm_named(std::span<const std::uint8_t> text) {
  auto is = [&](const char (&name)[7]) {
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

Expected<PyRef> derive_key_entry_body(PyObject* args, PyObject* kwargs) {
  Slots<3> slots{};
  if (Status bound = bind_arguments(kSpec, args, kwargs, slots); !bound.ok()) {
    return std::move(bound).error();
  }
  auto passphrase = extract_text(slots[0], "passphrase");
  if (!passphrase.ok()) {
    return std::move(passphrase).error();
  }
  auto salt = extract_class_ref<vesk::SaltBytes>(slots[1], salt_cell(), "salt");
  if (!salt.ok()) {
    return std::move(salt).error();
  }
  vesk::KdfAlgorithm algorithm = vesk::KdfAlgorithm::Argon2id;
  {
    auto options = extract_optional_class_ref<DeriveKeyOptionsValue>(
        slots[2], derive_key_options_cell(), "options");
    if (!options.ok()) {
      return std::move(options).error();
    }
    if (options.value()) {
      const std::string& text = options.value()->value().algorithm;
      algorithm = algorithm_named(std::span<const std::uint8_t>(
          reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
    }
  }  // the options borrow and reference go here, before the future exists
  DeriveKeyTask task{std::move(passphrase).value(), salt.value().value(), algorithm};
  return bridge::into_awaitable(derive_key_body(std::move(task)),
                                [](vesk::KeyBytes key) { return new_key(std::move(key)); });
}

PyObject* derive_key_entry(PyObject*, PyObject* args, PyObject* kwargs) {
  return call_guard([=] { return derive_key_entry_body(args, kwargs); });
}

}  // namespace

const PyMethodDef derive_key_definition = {
    "derive_key", as_py_cfunction(derive_key_entry), METH_VARARGS | METH_KEYWORDS,
    "derive_key(passphrase, salt, options=None)\n--\n\n"};

}  // namespace veltrano::bindings
