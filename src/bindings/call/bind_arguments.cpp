#include <vector>

#include "bindings/call/parameter_spec.hpp"
#include "bindings/py_ref.hpp"
#include "bindings/text.hpp"

namespace veltrano::bindings {
namespace {

// The UTF-8 bytes of a keyword name, compared with the parameter names; nullopt if not a str
// or not encodable.
std::optional<std::string> keyword_utf8(PyObject* key) {
  if (!PyUnicode_Check(key)) {
    return std::nullopt;
  }
  return utf8_of(key);
}

std::string str_of(PyObject* object) {
  if (auto text = lossy_str(object)) {
    return *text;
  }
  return "<unprintable>";
}

}  // namespace

std::string ParameterSpec::display_name() const {
  std::string name;
  if (!owner.empty()) {
    name.append(owner).append(".");
  }
  name.append(function).append("()");
  return name;
}

std::string quoted_name_list(std::span<const std::string_view> names) {
  std::string list;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() == 2) {
        list += " and ";
      } else if (i + 1 == names.size()) {
        list += ", and ";
      } else {
        list += ", ";
      }
    }
    list.append("'").append(names[i]).append("'");
  }
  return list;
}

// Every TypeError text below, "takes 1 positional arguments" included, is matched on by
// callers: keep them as they are (docs/design.md).
Status bind_arguments(const ParameterSpec& spec, PyObject* args, PyObject* kwargs,
                      std::span<PyObject*> slots) {
  const std::size_t positional_count = spec.positional.size();
  const std::size_t given = static_cast<std::size_t>(PyTuple_Size(args));
  const std::size_t copied = given < positional_count ? given : positional_count;
  for (std::size_t i = 0; i < copied; ++i) {
    slots[i] = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));
  }

  if (given > positional_count) {
    const char* verb = given == 1 ? "was" : "were";
    if (positional_count == spec.required_positional) {
      return ErrorValue::type_error(
          spec.display_name() + " takes " + std::to_string(positional_count) +
          " positional arguments but " + std::to_string(given) + " " + verb + " given");
    }
    return ErrorValue::type_error(spec.display_name() + " takes from " +
                                  std::to_string(spec.required_positional) + " to " +
                                  std::to_string(positional_count) + " positional arguments but " +
                                  std::to_string(given) + " " + verb + " given");
  }

  std::vector<std::string_view> positional_only_passed;
  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &position, &key, &value)) {
      std::optional<std::string> name = keyword_utf8(key);
      if (!name) {
        return ErrorValue::type_error(spec.display_name() +
                                      " got an unexpected keyword argument '" + str_of(key) + "'");
      }
      std::optional<std::size_t> index;
      for (std::size_t k = 0; k < spec.keyword_only.size(); ++k) {
        if (spec.keyword_only[k].name == *name) {
          index = positional_count + k;
          break;
        }
      }
      if (!index) {
        for (std::size_t p = 0; p < positional_count; ++p) {
          if (spec.positional[p] == *name) {
            if (p < spec.positional_only) {
              positional_only_passed.push_back(spec.positional[p]);
              index = slots.size();  // remembered, not bound
            } else {
              index = p;
            }
            break;
          }
        }
      }
      if (index && *index == slots.size()) {
        continue;
      }
      if (!index) {
        return ErrorValue::type_error(spec.display_name() +
                                      " got an unexpected keyword argument '" + *name + "'");
      }
      if (slots[*index] != nullptr) {
        return ErrorValue::type_error(spec.display_name() + " got multiple values for argument '" +
                                      *name + "'");
      }
      slots[*index] = value;
    }
  }

  if (!positional_only_passed.empty()) {
    return ErrorValue::type_error(
        spec.display_name() + " got some positional-only arguments passed as keyword arguments: " +
        quoted_name_list(positional_only_passed));
  }

  if (given < spec.required_positional) {
    std::vector<std::string_view> missing;
    for (std::size_t p = given; p < spec.required_positional; ++p) {
      if (slots[p] == nullptr) {
        missing.push_back(spec.positional[p]);
      }
    }
    if (!missing.empty()) {
      return ErrorValue::type_error(spec.display_name() + " missing " +
                                    std::to_string(missing.size()) + " required positional " +
                                    (missing.size() == 1 ? "argument" : "arguments") + ": " +
                                    quoted_name_list(missing));
    }
  }

  std::vector<std::string_view> missing_keywords;
  for (std::size_t k = 0; k < spec.keyword_only.size(); ++k) {
    if (spec.keyword_only[k].required && slots[positional_count + k] == nullptr) {
      missing_keywords.push_back(spec.keyword_only[k].name);
    }
  }
  if (!missing_keywords.empty()) {
    return ErrorValue::type_error(spec.display_name() + " missing " +
                                  std::to_string(missing_keywords.size()) + " required keyword " +
                                  (missing_keywords.size() == 1 ? "argument" : "arguments") + ": " +
                                  quoted_name_list(missing_keywords));
  }
  return ok_status();
}

}  // namespace veltrano::bindings
