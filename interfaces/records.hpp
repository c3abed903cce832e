// Record arrays: allocated once at their final size from a NumPy layout, fields resolved once
// by name (nested paths such as "data.a.ch1.agc"), values stored with NumPy's conversions
// (value.hpp).
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
#include "value.hpp"

namespace dravel {
namespace py = pybind11;

// Element types a field may hold.
enum class Elem : std::uint8_t { I1, I2, I4, I8, U1, U2, U4, U8, F4, F8, B1 };

inline std::size_t elem_size(Elem e) {
  switch (e) {
    case Elem::I1:
    case Elem::U1:
    case Elem::B1: return 1;
    case Elem::I2:
    case Elem::U2: return 2;
    case Elem::I4:
    case Elem::U4:
    case Elem::F4: return 4;
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
        fail(PyExc_KeyError,
             format("record layout field '{0}' is an array, not a sub-record (looking for '{1}')", name, path));
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
    else
      fail(PyExc_TypeError,
           format("field '{0}' has an element type ({1}) records cannot hold", path, std::string(py::str(base))));
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
inline py::dtype make_layout(py::handle description) {
  return py::dtype::from_args(py::reinterpret_borrow<py::object>(description));
}

}  // namespace dravel
