// Record arrays: allocated once at their final size from a NumPy layout, fields resolved once
// by name (nested paths such as "data.a.ch1.agc"), values stored with NumPy's conversions.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

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

  static Value of(std::int64_t v) { Value x; x.kind = Kind::Int; x.i = v; return x; }
  static Value of(std::uint64_t v) { Value x; x.kind = Kind::UInt; x.u = v; return x; }
  static Value of(double v) { Value x; x.kind = Kind::Float; x.f = v; return x; }

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
      case 'b': case 'h': case 'i': case 'l': case 'q': return read_kind('i', size, p, out);
      case 'B': case 'H': case 'I': case 'L': case 'Q': return read_kind('u', size, p, out);
      case 'f': case 'd': return read_kind('f', size, p, out);
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
      default:
        fail(PyExc_TypeError, format("{0}: {1} is not a number", what, std::string(py::repr(obj))));
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
      case 1: out = of(static_cast<Wide>(bits_at<std::conditional_t<Signed, std::int8_t, std::uint8_t>>(p))); return true;
      case 2: out = of(static_cast<Wide>(bits_at<std::conditional_t<Signed, std::int16_t, std::uint16_t>>(p))); return true;
      case 4: out = of(static_cast<Wide>(bits_at<std::conditional_t<Signed, std::int32_t, std::uint32_t>>(p))); return true;
      case 8: out = of(bits_at<Wide>(p)); return true;
      default: return false;
    }
  }
};

// Element types a field may hold.
enum class Elem : std::uint8_t { I1, I2, I4, I8, U1, U2, U4, U8, F4, F8, B1 };

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
      if constexpr (std::is_same_v<T, bool>) return v.i != 0; else return static_cast<T>(v.i);
    case Value::Kind::UInt:
      if constexpr (std::is_same_v<T, bool>) return v.u != 0; else return static_cast<T>(v.u);
    case Value::Kind::Float:
      return from_double<T>(v.f);
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

inline std::size_t elem_size(Elem e) {
  switch (e) {
    case Elem::I1: case Elem::U1: case Elem::B1: return 1;
    case Elem::I2: case Elem::U2: return 2;
    case Elem::I4: case Elem::U4: case Elem::F4: return 4;
    default: return 8;
  }
}

// Stores `v` at `dst`, converted to element type `e` (byte-swapped when `swap`).
inline void store_elem(char* dst, Elem e, bool swap, const Value& v) {
  switch (e) {
    case Elem::I1: convert::put(dst, convert::from<std::int8_t>(v), swap); break;
    case Elem::I2: convert::put(dst, convert::from<std::int16_t>(v), swap); break;
    case Elem::I4: convert::put(dst, convert::from<std::int32_t>(v), swap); break;
    case Elem::I8: convert::put(dst, convert::from<std::int64_t>(v), swap); break;
    case Elem::U1: convert::put(dst, convert::from<std::uint8_t>(v), swap); break;
    case Elem::U2: convert::put(dst, convert::from<std::uint16_t>(v), swap); break;
    case Elem::U4: convert::put(dst, convert::from<std::uint32_t>(v), swap); break;
    case Elem::U8: convert::put(dst, convert::from<std::uint64_t>(v), swap); break;
    case Elem::F4: convert::put(dst, convert::from<float>(v), swap); break;
    case Elem::F8: convert::put(dst, convert::from<double>(v), swap); break;
    case Elem::B1: convert::put(dst, static_cast<std::uint8_t>(convert::from<bool>(v)), swap); break;
  }
}

inline Value load_elem(const char* src, Elem e, bool swap) {
  switch (e) {
    case Elem::I1: return Value::of(static_cast<std::int64_t>(convert::get<std::int8_t>(src, swap)));
    case Elem::I2: return Value::of(static_cast<std::int64_t>(convert::get<std::int16_t>(src, swap)));
    case Elem::I4: return Value::of(static_cast<std::int64_t>(convert::get<std::int32_t>(src, swap)));
    case Elem::I8: return Value::of(convert::get<std::int64_t>(src, swap));
    case Elem::U1: return Value::of(static_cast<std::uint64_t>(convert::get<std::uint8_t>(src, swap)));
    case Elem::U2: return Value::of(static_cast<std::uint64_t>(convert::get<std::uint16_t>(src, swap)));
    case Elem::U4: return Value::of(static_cast<std::uint64_t>(convert::get<std::uint32_t>(src, swap)));
    case Elem::U8: return Value::of(convert::get<std::uint64_t>(src, swap));
    case Elem::F4: return Value::of(static_cast<double>(convert::get<float>(src, swap)));
    case Elem::F8: return Value::of(convert::get<double>(src, swap));
    case Elem::B1: return Value::of(static_cast<std::int64_t>(convert::get<std::uint8_t>(src, swap) != 0));
  }
  return Value{};
}

template <class T>
constexpr Elem elem_of() {
  if constexpr (std::is_same_v<T, bool>) return Elem::B1;
  else if constexpr (std::is_same_v<T, float>) return Elem::F4;
  else if constexpr (std::is_same_v<T, double>) return Elem::F8;
  else if constexpr (std::is_signed_v<T>) {
    return sizeof(T) == 1 ? Elem::I1 : sizeof(T) == 2 ? Elem::I2 : sizeof(T) == 4 ? Elem::I4 : Elem::I8;
  } else {
    return sizeof(T) == 1 ? Elem::U1 : sizeof(T) == 2 ? Elem::U2 : sizeof(T) == 4 ? Elem::U4 : Elem::U8;
  }
}

// One field of a record layout, resolved once: where it sits in a record and what it holds.
// A field is either numeric (`count` elements of one type, a sub-array in C order) or a
// sub-record (`children`, in layout order; `count` copies of it for a sub-array of records).
class Field {
 public:
  std::string path;
  std::size_t offset = 0;  // from the start of the record
  std::size_t count = 1;   // elements (product of the sub-array shape)
  std::vector<std::size_t> shape;
  // numeric fields
  Elem elem = Elem::U1;
  bool swap = false;
  // sub-record fields
  std::vector<Field> children;
  std::size_t stride = 0;  // bytes per element (per sub-record for record fields)

  bool is_record() const { return !children.empty(); }

  static Field resolve(const py::dtype& layout, const std::string& path) {
    Field f;
    f.path = path;
    py::object dt = layout;
    std::size_t offset = 0;
    std::size_t start = 0;
    while (true) {
      std::size_t dot = path.find('.', start);
      std::string name = path.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
      py::object fields = dt.attr("fields");
      if (fields.is_none() || !fields.contains(py::str(name))) {
        fail(PyExc_KeyError, format("record layout has no field '{0}' (looking for '{1}')", name, path));
      }
      py::tuple entry = fields[py::str(name)];
      py::object sub = entry[0];
      offset += entry[1].cast<std::size_t>();
      if (dot == std::string::npos) {
        f.offset = offset;
        f.describe(sub);
        return f;
      }
      py::tuple subshape = sub.attr("shape");
      if (subshape.size() != 0) {
        fail(PyExc_KeyError, format("record layout field '{0}' is an array, not a sub-record (looking for '{1}')",
                                    name, path));
      }
      dt = sub;
      start = dot + 1;
    }
  }

  // Stores `v` into element `k` of a numeric field of the record at `rec`.
  void store(char* rec, const Value& v, std::size_t k = 0) const {
    check_numeric();
    if (k >= count) {
      fail(PyExc_IndexError, format("field '{0}': element {1} is beyond its {2} elements", path, k, count));
    }
    store_elem(rec + offset + k * stride, elem, swap, v);
  }
  template <class T>
  void store(char* rec, T v, std::size_t k = 0) const {
    if constexpr (std::is_floating_point_v<T>) store(rec, Value::of(static_cast<double>(v)), k);
    else if constexpr (std::is_signed_v<T>) store(rec, Value::of(static_cast<std::int64_t>(v)), k);
    else store(rec, Value::of(static_cast<std::uint64_t>(v)), k);
  }

  Value load(const char* rec, std::size_t k = 0) const {
    check_numeric();
    if (k >= count) {
      fail(PyExc_IndexError, format("field '{0}': element {1} is beyond its {2} elements", path, k, count));
    }
    return load_elem(rec + offset + k * stride, elem, swap);
  }

  // Raw pointer to element 0 when the field holds exactly type T in host order (hot loops).
  template <class T>
  bool holds() const {
    return !is_record() && elem == elem_of<T>() && !swap;
  }

 private:
  void check_numeric() const {
    if (is_record()) fail(PyExc_TypeError, format("field '{0}' is a sub-record, not a number", path));
  }

  void describe(py::object sub) {
    py::tuple subshape = sub.attr("shape");
    count = 1;
    shape.clear();
    for (py::handle s : subshape) {
      shape.push_back(s.cast<std::size_t>());
      count *= shape.back();
    }
    py::object base = sub.attr("base");
    stride = base.attr("itemsize").cast<std::size_t>();
    py::object names = base.attr("names");
    if (!names.is_none()) {
      py::dict fields = base.attr("fields");
      for (py::handle name : names) {
        py::tuple entry = fields[name];
        Field c;
        c.path = path + "." + std::string(py::str(name));
        c.offset = offset + entry[1].cast<std::size_t>();
        c.describe(entry[0]);
        children.push_back(std::move(c));
      }
      if (children.empty()) fail(PyExc_TypeError, format("field '{0}' is an empty sub-record", path));
      return;
    }
    char kind = base.attr("kind").cast<std::string>()[0];
    std::size_t size = stride;
    swap = !is_native(py::reinterpret_borrow<py::dtype>(base));
    if (kind == 'b' && size == 1) elem = Elem::B1;
    else if (kind == 'i' && size == 1) elem = Elem::I1;
    else if (kind == 'i' && size == 2) elem = Elem::I2;
    else if (kind == 'i' && size == 4) elem = Elem::I4;
    else if (kind == 'i' && size == 8) elem = Elem::I8;
    else if (kind == 'u' && size == 1) elem = Elem::U1;
    else if (kind == 'u' && size == 2) elem = Elem::U2;
    else if (kind == 'u' && size == 4) elem = Elem::U4;
    else if (kind == 'u' && size == 8) elem = Elem::U8;
    else if (kind == 'f' && size == 4) elem = Elem::F4;
    else if (kind == 'f' && size == 8) elem = Elem::F8;
    else fail(PyExc_TypeError, format("field '{0}' has an element type ({1}) records cannot hold", path,
                                      std::string(py::str(base))));
  }
};

// An array of records, allocated once at its final size.
class RecordArray {
 public:
  RecordArray() = default;

  static RecordArray zeros(py::handle layout, std::size_t n) { return RecordArray(numpy().zeros(n, layout)); }
  static RecordArray uninitialised(py::handle layout, std::size_t n) { return RecordArray(numpy().empty(n, layout)); }

  explicit RecordArray(py::array array) : array_(std::move(array)) {
    if (!(array_.flags() & py::array::c_style) || array_.ndim() != 1) {
      fail(PyExc_ValueError, "record arrays must be one-dimensional and contiguous");
    }
    layout_ = array_.dtype();
    itemsize_ = static_cast<std::size_t>(layout_.itemsize());
    size_ = static_cast<std::size_t>(array_.shape(0));
  }

  std::size_t size() const { return size_; }
  std::size_t itemsize() const { return itemsize_; }
  const py::dtype& layout() const { return layout_; }
  py::array& array() { return array_; }

  Field field(const std::string& path) const { return Field::resolve(layout_, path); }

  // Record i (checked).
  char* record(std::size_t i) {
    if (i >= size_) fail(PyExc_IndexError, format("record {0} is beyond the {1} records of the array", i, size_));
    return static_cast<char*>(array_.mutable_data()) + i * itemsize_;
  }
  const char* record(std::size_t i) const {
    if (i >= size_) fail(PyExc_IndexError, format("record {0} is beyond the {1} records of the array", i, size_));
    return static_cast<const char*>(array_.data()) + i * itemsize_;
  }

 private:
  py::array array_;
  py::dtype layout_;
  std::size_t itemsize_ = 0;
  std::size_t size_ = 0;
};

// Record layouts are written as lists of entries: (name, type), (name, sub-layout) and
// (name, type, shape).
inline py::tuple entry(const char* name, const char* type) { return py::make_tuple(name, type); }
inline py::tuple entry(const char* name, py::object layout) { return py::make_tuple(name, std::move(layout)); }
template <class... Dims>
py::tuple entry(const char* name, const char* type, Dims... dims) {
  return py::make_tuple(name, type, py::make_tuple(dims...));
}

// A layout of scalar fields: (name, type) entries in order.
inline py::list scalar_entries(std::initializer_list<std::pair<const char*, const char*>> fields) {
  py::list l;
  for (const auto& [name, type] : fields) l.append(entry(name, type));
  return l;
}

// A NumPy record layout from a Python expression of it (a list of (name, type[, shape]) entries).
inline py::dtype make_layout(py::handle description) { return py::dtype::from_args(py::reinterpret_borrow<py::object>(description)); }

}  // namespace dravel
