// A number coming from Python (a helper result, a time conversion, a NumPy scalar or array
// element) and the conversions that store it into a record field as NumPy casts it.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <type_traits>

#include "errors.hpp"
#include "outside.hpp"

namespace dravel {
namespace py = pybind11;

// A number coming from Python (a helper result, a time conversion) before it is stored.
struct Value {
  enum class Kind : std::uint8_t { Int, UInt, Float };
  Kind kind = Kind::Int;
  std::int64_t i = 0;
  std::uint64_t u = 0;
  double f = 0.0;

  static Value of(std::int64_t v) {
    Value x;
    x.kind = Kind::Int;
    x.i = v;
    return x;
  }
  static Value of(std::uint64_t v) {
    Value x;
    x.kind = Kind::UInt;
    x.u = v;
    return x;
  }
  static Value of(double v) {
    Value x;
    x.kind = Kind::Float;
    x.f = v;
    return x;
  }

  bool equals_one() const {
    switch (kind) {
      case Kind::Int: return i == 1;
      case Kind::UInt: return u == 1;
      case Kind::Float: return f == 1.0;
    }
    return false;
  }
  double as_double() const {
    switch (kind) {
      case Kind::Int: return static_cast<double>(i);
      case Kind::UInt: return static_cast<double>(u);
      case Kind::Float: return f;
    }
    return 0.0;
  }
  // Wraps as a 64-bit integer cast does; floating-point values as NumPy casts them.
  std::int64_t as_int64() const;
  py::object to_python() const {
    switch (kind) {
      case Kind::Int: return py_int(i);
      case Kind::UInt: return py::int_(u);
      case Kind::Float: return py::float_(f);
    }
    return py::none();
  }

  // The one number of a one-element NumPy array or a NumPy scalar of a plain host-order number
  // type (bool, integers, float32, float64), read in place; false for anything else.
  static bool from_numpy(py::handle obj, Value& out) {
    if (py::isinstance<py::array>(obj)) {
      const auto arr = py::reinterpret_borrow<py::array>(obj);
      const py::dtype dt = arr.dtype();
      return arr.size() == 1 && is_native(dt) &&
             read_kind(dt.kind(), static_cast<std::size_t>(dt.itemsize()), static_cast<const char*>(arr.data()), out);
    }
    return is_numpy(obj) && from_buffer(obj, out);
  }

  // The one number held by the buffer of `obj` (see from_numpy).
  static bool from_buffer(py::handle obj, Value& out) {
    Py_buffer view;
    if (PyObject_GetBuffer(obj.ptr(), &view, PyBUF_FORMAT | PyBUF_ND) != 0) {
      PyErr_Clear();
      return false;
    }
    const bool one = view.len == view.itemsize;
    const char* p = static_cast<const char*>(view.buf);
    const bool ok = one && read(view.format, static_cast<std::size_t>(view.itemsize), p, out);
    PyBuffer_Release(&view);
    return ok;
  }

  // The number at `p` of buffer format `format` (one plain host-order element of `size` bytes).
  static bool read(const char* format, std::size_t size, const char* p, Value& out) {
    if (format == nullptr) return false;
    if (*format == '@' || *format == '=' || (*format == '<' && std::endian::native == std::endian::little)) ++format;
    if (format[0] == '\0' || format[1] != '\0') return false;
    switch (format[0]) {
      case '?': return read_kind('b', size, p, out);
      case 'b':
      case 'h':
      case 'i':
      case 'l':
      case 'q': return read_kind('i', size, p, out);
      case 'B':
      case 'H':
      case 'I':
      case 'L':
      case 'Q': return read_kind('u', size, p, out);
      case 'f':
      case 'd': return read_kind('f', size, p, out);
      default: return false;
    }
  }

  // The number at `p` of NumPy kind `kind` ('b', 'i', 'u', 'f') and `size` bytes, host order.
  static bool read_kind(char kind, std::size_t size, const char* p, Value& out) {
    switch (kind) {
      case 'b': out = of(static_cast<std::int64_t>(*p != 0)); return size == 1;
      case 'i': return integer_at<true>(p, size, out);
      case 'u': return integer_at<false>(p, size, out);
      case 'f':
        if (size == sizeof(float)) {
          out = of(static_cast<double>(bits_at<float>(p)));
          return true;
        }
        if (size == sizeof(double)) {
          out = of(bits_at<double>(p));
          return true;
        }
        return false;
      default: return false;
    }
  }

  // A Python int, bool, float or NumPy scalar / 0-d array. `what` names it in errors.
  static Value from_python(py::handle obj, const std::string& what) {
    if (PyBool_Check(obj.ptr())) return of(static_cast<std::int64_t>(obj.ptr() == Py_True));
    if (PyLong_Check(obj.ptr())) {
      int overflow = 0;
      long long v = PyLong_AsLongLongAndOverflow(obj.ptr(), &overflow);
      if (overflow == 0) {
        if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
        return of(static_cast<std::int64_t>(v));
      }
      unsigned long long u = PyLong_AsUnsignedLongLong(obj.ptr());
      if (u == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        PyErr_Clear();
        fail(PyExc_OverflowError, format("{0}: value {1} does not fit 64 bits", what, std::string(py::str(obj))));
      }
      return of(static_cast<std::uint64_t>(u));
    }
    if (PyFloat_Check(obj.ptr())) return of(PyFloat_AsDouble(obj.ptr()));
    if (Value v; from_numpy(obj, v)) return v;
    py::array arr;
    try {
      arr = numpy().asarray(obj);
    } catch (py::error_already_set&) {
      fail(PyExc_TypeError, format("{0}: {1} is not a number", what, std::string(py::repr(obj))));
    }
    if (arr.size() != 1) {
      fail(PyExc_TypeError, format("{0}: expected one number, got {1} values", what, arr.size()));
    }
    py::dtype dt = arr.dtype();
    switch (dt.kind()) {
      case 'b': return of(static_cast<std::int64_t>(arr.attr("item")().cast<bool>()));
      case 'i': return of(arr.attr("astype")("int64").attr("item")().cast<std::int64_t>());
      case 'u': return of(arr.attr("astype")("uint64").attr("item")().cast<std::uint64_t>());
      case 'f': return of(arr.attr("astype")("float64").attr("item")().cast<double>());
      default: fail(PyExc_TypeError, format("{0}: {1} is not a number", what, std::string(py::repr(obj))));
    }
  }

 private:
  template <class T>
  static T bits_at(const char* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
  }
  // The integer of `size` bytes at `p`, signed or not; false for a size no integer has.
  template <bool Signed>
  static bool integer_at(const char* p, std::size_t size, Value& out) {
    using Wide = std::conditional_t<Signed, std::int64_t, std::uint64_t>;
    switch (size) {
      case 1:
        out = of(static_cast<Wide>(bits_at<std::conditional_t<Signed, std::int8_t, std::uint8_t>>(p)));
        return true;
      case 2:
        out = of(static_cast<Wide>(bits_at<std::conditional_t<Signed, std::int16_t, std::uint16_t>>(p)));
        return true;
      case 4:
        out = of(static_cast<Wide>(bits_at<std::conditional_t<Signed, std::int32_t, std::uint32_t>>(p)));
        return true;
      case 8: out = of(bits_at<Wide>(p)); return true;
      default: return false;
    }
  }
};

namespace convert {
// Integer targets take integers modulo 2^N (as NumPy does). Floating-point values reach an
// integer target through a signed 64-bit intermediate, deliberately: in-range values truncate
// toward zero, values in [2^63, 2^64) still reach uint64 exactly, and NaN or out-of-range values
// become the bit pattern 0x8000000000000000 before the narrowing, as NumPy's cast gives on
// x86-64. No out-of-range float-to-integer conversion is ever executed.
template <class T>
T from_double(double v) {
  if constexpr (std::is_floating_point_v<T>) {
    if constexpr (std::is_same_v<T, float>) {
      if (std::isfinite(v) && std::fabs(v) > static_cast<double>(std::numeric_limits<float>::max())) {
        return v > 0 ? std::numeric_limits<float>::infinity() : -std::numeric_limits<float>::infinity();
      }
    }
    return static_cast<T>(v);
  } else if constexpr (std::is_same_v<T, bool>) {
    return v != 0.0;
  } else {
    constexpr double two63 = 9223372036854775808.0;
    if (v > -two63 && v < two63) return static_cast<T>(static_cast<std::int64_t>(v));
    if constexpr (std::is_same_v<T, std::uint64_t>) {
      if (v >= two63 && v < 2.0 * two63) return static_cast<T>(v);
    }
    return static_cast<T>(std::numeric_limits<std::int64_t>::min());
  }
}

template <class T>
T from(const Value& v) {
  switch (v.kind) {
    case Value::Kind::Int:
      if constexpr (std::is_same_v<T, bool>) return v.i != 0;
      else return static_cast<T>(v.i);
    case Value::Kind::UInt:
      if constexpr (std::is_same_v<T, bool>) return v.u != 0;
      else return static_cast<T>(v.u);
    case Value::Kind::Float: return from_double<T>(v.f);
  }
  return T{};
}

template <class T>
void put(char* dst, T value, bool swap) {
  if (swap) {
    unsigned char bytes[sizeof(T)];
    std::memcpy(bytes, &value, sizeof(T));
    for (std::size_t k = 0; k < sizeof(T) / 2; ++k) std::swap(bytes[k], bytes[sizeof(T) - 1 - k]);
    std::memcpy(dst, bytes, sizeof(T));
  } else {
    std::memcpy(dst, &value, sizeof(T));
  }
}

template <class T>
T get(const char* src, bool swap) {
  unsigned char bytes[sizeof(T)];
  std::memcpy(bytes, src, sizeof(T));
  if (swap) {
    for (std::size_t k = 0; k < sizeof(T) / 2; ++k) std::swap(bytes[k], bytes[sizeof(T) - 1 - k]);
  }
  T value;
  std::memcpy(&value, bytes, sizeof(T));
  return value;
}
}  // namespace convert

inline std::int64_t Value::as_int64() const {
  switch (kind) {
    case Kind::Int: return i;
    case Kind::UInt: return static_cast<std::int64_t>(u);
    case Kind::Float: return convert::from_double<std::int64_t>(f);
  }
  return 0;
}

}  // namespace dravel
