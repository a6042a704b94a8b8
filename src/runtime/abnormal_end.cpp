#include "runtime/abnormal_end.hpp"

#include "base/fault.hpp"
#include "runtime/quote_escaped.hpp"

namespace veltrano::runtime {

// "task 5 panicked with message ..." and the others reach Python inside "Key derivation
// failed: ..." and are matched on: keep them (docs/design.md).
std::string AbnormalEnd::text() const {
  std::string out = "task " + std::to_string(task_id);
  if (kind == Kind::Cancelled) {
    return out + " was cancelled";
  }
  if (message) {
    return out + " panicked with message " + quote_escaped(*message);
  }
  return out + " panicked";
}

AbnormalEnd AbnormalEnd::from_exception(std::uint64_t task_id, std::exception_ptr error) {
  try {
    std::rethrow_exception(std::move(error));
  } catch (const Fault& fault) {
    return AbnormalEnd{Kind::Panicked, task_id, fault.message()};
  } catch (const std::exception& e) {
    return AbnormalEnd{Kind::Panicked, task_id, std::string(e.what())};
  } catch (...) {
    return AbnormalEnd{Kind::Panicked, task_id, std::nullopt};
  }
}

}  // namespace veltrano::runtime
