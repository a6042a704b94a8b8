// _veltrano_testing: a test-only extension that links the module's machinery and exposes what
// Python cannot reach: faults, deferred releases, borrows held across calls, Key construction and
// an allocator hook that shows what a freed object's memory held. Built against the full API.
#include <Python.h>

#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "base/fault.hpp"
#include "bindings/api/classes.hpp"
#include "bindings/bridge/into_awaitable.hpp"
#include "bindings/call/call_guard.hpp"
#include "bindings/call/conversions.hpp"
#include "bindings/call/parameter_spec.hpp"
#include "bindings/class_type.hpp"
#include "bindings/errors/panic_exception.hpp"
#include "bindings/py_ref.hpp"
#include "vesk-crypto/domain/key_derivation.hpp"

namespace veltrano::testing {
namespace {

using bindings::call_guard;
using bindings::ErrorValue;
using bindings::Expected;
using bindings::PyRef;

Expected<PyRef> veltrano_attribute(const char* name) {
  PyRef module = PyRef::steal(PyImport_ImportModule("veltrano"));
  if (!module) {
    return ErrorValue::fetch();
  }
  return bindings::checked(PyObject_GetAttrString(module.get(), name));
}

// make_key(data): a veltrano.Key holding 32 given bytes.
PyObject* make_key(PyObject*, PyObject* data) {
  return call_guard([data]() -> Expected<PyRef> {
    auto bytes = bindings::extract_bytes(data, "data");
    if (!bytes.ok()) {
      return std::move(bytes).error();
    }
    if (bytes.value().size() != vesk::kKeySize) {
      return ErrorValue::value_error("a key has 32 bytes");
    }
    auto type = veltrano_attribute("Key");
    if (!type.ok()) {
      return std::move(type).error();
    }
    vesk::KeyBytes key(bytes.value().first<vesk::kKeySize>());
    return bindings::create_instance(reinterpret_cast<PyTypeObject*>(type.value().get()),
                                     std::move(key));
  });
}

// fault(message=None): an entry whose body faults.
PyObject* fault(PyObject*, PyObject* args) {
  const char* message = nullptr;
  if (!PyArg_ParseTuple(args, "|z", &message)) {
    return nullptr;
  }
  return call_guard([message]() -> Expected<PyRef> {
    if (message == nullptr) {
      throw Fault();
    }
    throw Fault(message);
  });
}

// fault_with_exception(message): a body that fails with a standard C++ exception.
PyObject* fault_with_exception(PyObject*, PyObject* args) {
  const char* message = nullptr;
  if (!PyArg_ParseTuple(args, "s", &message)) {
    return nullptr;
  }
  return call_guard([message]() -> Expected<PyRef> { throw std::runtime_error(message); });
}

PyObject* type_that_faults() { throw Fault("second fault while raising the first"); }

// double_fault(): the error being raised faults again; the process must abort.
PyObject* double_fault(PyObject*, PyObject*) {
  return call_guard(
      []() -> Expected<PyRef> { return ErrorValue::lazy(type_that_faults, "first"); });
}

// call(f): calls f inside an entry; a PanicException that f raises resumes the fault.
PyObject* call(PyObject*, PyObject* function) {
  return call_guard([function]() -> Expected<PyRef> {
    return bindings::checked(PyObject_CallObject(function, nullptr));
  });
}

// release_without_lock(obj): drops one reference to obj from a thread that does not hold the lock.
PyObject* release_without_lock(PyObject*, PyObject* object) {
  return call_guard([object]() -> Expected<PyRef> {
    PyRef reference = PyRef::borrow(object);
    std::thread([reference = std::move(reference)]() mutable { reference.reset(); }).join();
    return PyRef::borrow(Py_None);
  });
}

Py_ssize_t count_thread_states() {
  Py_ssize_t count = 0;
  for (PyThreadState* state = PyInterpreterState_ThreadHead(PyInterpreterState_Get());
       state != nullptr; state = PyThreadState_Next(state)) {
    ++count;
  }
  return count;
}

// sections_on_a_new_thread(n): runs n lock sections on a new native thread; returns the id of the
// interpreter thread state each ran under, and the number of thread states before the thread
// started and after it ended.
PyObject* sections_on_a_new_thread(PyObject*, PyObject* count) {
  return call_guard([count]() -> Expected<PyRef> {
    const long sections = PyLong_AsLong(count);
    const Py_ssize_t before = count_thread_states();
    std::vector<unsigned long long> ids;
    bindings::without_lock([&] {
      std::thread([&] {
        for (long i = 0; i < sections; ++i) {
          bindings::with_lock([&] { ids.push_back(PyThreadState_GetID(PyThreadState_Get())); });
        }
      }).join();
    });
    PyRef list = PyRef::steal(PyList_New(0));
    for (unsigned long long id : ids) {
      PyRef item = PyRef::steal(PyLong_FromUnsignedLongLong(id));
      PyList_Append(list.get(), item.get());
    }
    return bindings::checked(Py_BuildValue("(Onn)", list.get(), before, count_thread_states()));
  });
}

// pending_release_drained(): a no-op entry; entering it drains deferred releases.
PyObject* enter(PyObject*, PyObject*) {
  return call_guard([]() -> Expected<PyRef> { return PyRef::borrow(Py_None); });
}

// with_borrow(obj, exclusive, f): holds a borrow of a veltrano instance while f runs.
PyObject* with_borrow(PyObject*, PyObject* args) {
  PyObject* object = nullptr;
  int exclusive = 0;
  PyObject* function = nullptr;
  if (!PyArg_ParseTuple(args, "OpO", &object, &exclusive, &function)) {
    return nullptr;
  }
  return call_guard([=]() -> Expected<PyRef> {
    // Every instance ends with its borrow flag; the options' layout is the one with a string.
    Py_ssize_t& flag = bindings::instance_of<bindings::DeriveKeyOptionsValue>(object)->borrow_flag;
    if (exclusive) {
      auto borrow = bindings::ExclusiveBorrow::take(flag);
      if (!borrow.ok()) {
        return std::move(borrow).error();
      }
      return bindings::checked(PyObject_CallObject(function, nullptr));
    }
    auto borrow = bindings::SharedBorrow::take(flag);
    if (!borrow.ok()) {
      return std::move(borrow).error();
    }
    return bindings::checked(PyObject_CallObject(function, nullptr));
  });
}

// FaultyDealloc(): an object whose deallocation faults.
struct Empty {};
void faulty_dealloc(PyObject* self) {
  bindings::call_guard_dealloc([self] {
    bindings::free_instance(self);
    throw Fault("fault while deallocating");
  });
}
PyObject* faulty_new(PyTypeObject* type, PyObject*, PyObject*) {
  return call_guard(
      [type]() -> Expected<PyRef> { return bindings::create_instance(type, Empty{}); });
}
const bindings::ClassSpec faulty_spec{
    "FaultyDealloc", "()",    faulty_new, nullptr,
    faulty_dealloc,  nullptr, nullptr,    static_cast<int>(sizeof(bindings::Instance<Empty>))};
bindings::ClassTypeCell faulty_cell(faulty_spec);

// watch_free(obj, offset, size) / watched_bytes(): records `size` bytes at `offset` of obj's
// memory at the moment the object allocator frees it.
struct FreeWatch {
  std::mutex mutex;
  void* address = nullptr;           // GUARDED_BY(mutex)
  std::size_t offset = 0, size = 0;  // GUARDED_BY(mutex)
  std::string seen;                  // GUARDED_BY(mutex)
  bool freed = false;                // GUARDED_BY(mutex)
  PyMemAllocatorEx original{};
  bool installed = false;
} watch;

void watched_free(void* context, void* pointer) {
  {
    std::lock_guard<std::mutex> lock(watch.mutex);
    if (pointer != nullptr && pointer == watch.address) {
      watch.seen.assign(static_cast<const char*>(pointer) + watch.offset, watch.size);
      watch.freed = true;
      watch.address = nullptr;
    }
  }
  (void)context;
  watch.original.free(watch.original.ctx, pointer);
}

PyObject* watch_free(PyObject*, PyObject* args) {
  PyObject* object = nullptr;
  Py_ssize_t offset = 0, size = 0;
  if (!PyArg_ParseTuple(args, "Onn", &object, &offset, &size)) {
    return nullptr;
  }
  if (!watch.installed) {
    PyMem_GetAllocator(PYMEM_DOMAIN_OBJ, &watch.original);
    PyMemAllocatorEx hooked = watch.original;
    hooked.free = watched_free;
    PyMem_SetAllocator(PYMEM_DOMAIN_OBJ, &hooked);
    watch.installed = true;
  }
  std::lock_guard<std::mutex> lock(watch.mutex);
  watch.address = object;
  watch.offset = static_cast<std::size_t>(offset);
  watch.size = static_cast<std::size_t>(size);
  watch.freed = false;
  watch.seen.clear();
  Py_RETURN_NONE;
}

PyObject* watched_bytes(PyObject*, PyObject*) {
  std::lock_guard<std::mutex> lock(watch.mutex);
  if (!watch.freed) {
    Py_RETURN_NONE;
  }
  return PyBytes_FromStringAndSize(watch.seen.data(), static_cast<Py_ssize_t>(watch.seen.size()));
}

// key_value_offset(): where a value's bytes start inside an instance.
PyObject* value_offset(PyObject*, PyObject*) {
  return PyLong_FromSize_t(offsetof(bindings::Instance<vesk::KeyBytes>, value));
}

// run_in_subinterpreter(code): runs code in a new sub-interpreter; returns 0 on success, -1 if
// it raised (the exception is printed by the sub-interpreter).
PyObject* run_in_subinterpreter(PyObject*, PyObject* args) {
  const char* code = nullptr;
  if (!PyArg_ParseTuple(args, "s", &code)) {
    return nullptr;
  }
  PyThreadState* main_state = PyThreadState_Get();
  PyThreadState* sub_state = Py_NewInterpreter();
  if (sub_state == nullptr) {
    PyThreadState_Swap(main_state);
    PyErr_SetString(PyExc_RuntimeError, "could not create a sub-interpreter");
    return nullptr;
  }
  int status = PyRun_SimpleString(code);
  Py_EndInterpreter(sub_state);
  PyThreadState_Swap(main_state);
  return PyLong_FromLong(status);
}

// A PBKDF2 derivation through this module's own bridge and runtime, with one part replaced by a
// fault: the job itself ("job"), or the conversion of the key into a Python object ("conversion").
runtime::Task<Expected<vesk::KeyBytes>> derivation(std::string passphrase, bool fault_in_job) {
  vesk::SaltBytes salt{};
  vesk::KdfRunner runner = vesk::run_kdf;
  if (fault_in_job) {
    runner = [](vesk::KdfJob) -> vesk::Result<vesk::KeyBytes> { throw Fault("injected fault"); };
  }
  auto bytes = std::span<const std::uint8_t>(
      reinterpret_cast<const std::uint8_t*>(passphrase.data()), passphrase.size());
  vesk::Result<vesk::KeyBytes> key =
      co_await vesk::derive_key_material(bytes, salt, vesk::KdfAlgorithm::Pbkdf2, runner);
  if (!key.ok()) {
    co_return ErrorValue::from_crypto_error(key.error());
  }
  co_return std::move(key).value();
}

PyObject* derive_with_fault(PyObject*, PyObject* args) {
  const char* where = nullptr;
  if (!PyArg_ParseTuple(args, "s", &where)) {
    return nullptr;
  }
  std::string part = where;
  return call_guard([part]() -> Expected<PyRef> {
    bool in_job = part == "job";
    return bindings::bridge::into_awaitable(derivation("pw", in_job),
                                            [in_job](vesk::KeyBytes) -> PyRef {
                                              if (!in_job) {
                                                throw Fault("injected fault");
                                              }
                                              return PyRef::borrow(Py_None);
                                            });
  });
}

PyMethodDef methods[] = {
    {"derive_with_fault", derive_with_fault, METH_VARARGS, nullptr},
    {"make_key", make_key, METH_O, nullptr},
    {"fault", fault, METH_VARARGS, nullptr},
    {"fault_with_exception", fault_with_exception, METH_VARARGS, nullptr},
    {"double_fault", double_fault, METH_NOARGS, nullptr},
    {"call", call, METH_O, nullptr},
    {"release_without_lock", release_without_lock, METH_O, nullptr},
    {"enter", enter, METH_NOARGS, nullptr},
    {"sections_on_a_new_thread", sections_on_a_new_thread, METH_O, nullptr},
    {"with_borrow", with_borrow, METH_VARARGS, nullptr},
    {"watch_free", watch_free, METH_VARARGS, nullptr},
    {"watched_bytes", watched_bytes, METH_NOARGS, nullptr},
    {"value_offset", value_offset, METH_NOARGS, nullptr},
    {"run_in_subinterpreter", run_in_subinterpreter, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef definition = {PyModuleDef_HEAD_INIT,
                          "_veltrano_testing",
                          nullptr,
                          -1,
                          methods,
                          nullptr,
                          nullptr,
                          nullptr,
                          nullptr};

}  // namespace
}  // namespace veltrano::testing

PyMODINIT_FUNC PyInit__veltrano_testing(void) {
  using namespace veltrano::testing;
  using veltrano::bindings::PyRef;
  // Module initialisation runs with the lock held: references taken here are released at once.
  veltrano::bindings::LockDepthGuard depth;
  PyRef module = PyRef::steal(PyModule_Create(&definition));
  if (!module) {
    return nullptr;
  }
  // This extension links its own copy of the bridge: its background faults raise the module's
  // class.
  PyRef veltrano_module = PyRef::steal(PyImport_ImportModule("veltrano"));
  PyRef async_module =
      veltrano_module ? PyRef::steal(PyImport_ImportModule("veltrano_async")) : PyRef();
  PyRef task_panic = async_module
                         ? PyRef::steal(PyObject_GetAttrString(async_module.get(), "TaskPanic"))
                         : PyRef();
  if (!task_panic) {
    return nullptr;
  }
  veltrano::bindings::bridge::share_task_panic_type(task_panic.get());
  auto type = faulty_cell.get();
  if (!type.ok()) {
    std::move(type).error().restore();
    return nullptr;
  }
  // PyModule_AddObject takes the reference only when it succeeds.
  PyRef type_ref = PyRef::borrow(reinterpret_cast<PyObject*>(type.value()));
  if (PyModule_AddObject(module.get(), "FaultyDealloc", type_ref.get()) != 0) {
    return nullptr;
  }
  type_ref.release();
  return module.release();
}
