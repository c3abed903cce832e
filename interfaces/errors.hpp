// Errors raised by the decoders and the message formatting they share.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <exception>
#include <new>
#include <sstream>
#include <string>
#include <string_view>
#include <type_traits>

namespace dravel {
namespace py = pybind11;

namespace detail {
template <class T>
std::string to_text(const T& value) {
  if constexpr (std::is_same_v<T, bool>) {
    return value ? "True" : "False";
  } else if constexpr (std::is_same_v<T, std::uint8_t> || std::is_same_v<T, std::int8_t>) {
    return std::to_string(static_cast<int>(value));
  } else if constexpr (std::is_integral_v<T>) {
    return std::to_string(value);
  } else if constexpr (std::is_convertible_v<T, std::string_view>) {
    return std::string(std::string_view(value));
  } else {
    std::ostringstream out;
    out.precision(17);
    out << value;
    return out.str();
  }
}
}  // namespace detail

// Positional formatting: "{0}", "{1}", ... are replaced by the decimal text of the arguments.
template <class... Args>
std::string format(std::string_view pattern, const Args&... args) {
  const std::string texts[] = {std::string(), detail::to_text(args)...};
  constexpr std::size_t count = sizeof...(Args);
  std::string out;
  out.reserve(pattern.size() + 16 * count);
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] == '{') {
      std::size_t close = pattern.find('}', i);
      if (close != std::string_view::npos && close > i + 1) {
        std::size_t index = 0;
        bool digits = true;
        for (std::size_t k = i + 1; k < close; ++k) {
          if (pattern[k] < '0' || pattern[k] > '9') {
            digits = false;
            break;
          }
          index = index * 10 + static_cast<std::size_t>(pattern[k] - '0');
        }
        if (digits && index < count) {
          out += texts[index + 1];
          i = close;
          continue;
        }
      }
    }
    out += pattern[i];
  }
  return out;
}

// A failure to be raised as a Python exception of a given type (a builtin such as
// PyExc_ValueError, or an error class a decoder module defines; the type must outlive the
// failure, which module-level classes and builtins do).
class Failure : public std::exception {
 public:
  Failure(PyObject* type, std::string message) : type_(type), message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  PyObject* type() const noexcept { return type_; }
  void set_error() const { PyErr_SetString(type_, message_.c_str()); }

 private:
  PyObject* type_;
  std::string message_;
};

[[noreturn]] inline void fail(PyObject* type, std::string message) { throw Failure(type, std::move(message)); }

// The Python exception object for the C++ exception being handled (call inside a catch block).
inline py::object current_exception_object() {
  try {
    throw;
  } catch (py::error_already_set& e) {
    return e.value();
  } catch (const Failure& e) {
    e.set_error();
  } catch (py::builtin_exception& e) {
    e.set_error();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  }
  py::error_already_set fetched;
  return fetched.value();
}

// Lets a Failure escaping an entry point reach Python as its own exception type.
inline void register_failure_translator() {
  py::register_local_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const Failure& e) {
      e.set_error();
    }
  });
}

}  // namespace dravel
