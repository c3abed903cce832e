// Typed, bounds-checked access to the parameters of a packet group.
//
// A packet group maps parameter names to per-packet arrays (first axis: packet index). A
// Column reads one parameter once per call: the value is turned into a C-contiguous array of
// the element type the algorithm needs, with NumPy's casting, and kept alive while it is used.
// Every error names the parameter (and the packet, for per-packet reads).
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>

#include "errors.hpp"
#include "outside.hpp"

namespace dravel {
namespace py = pybind11;

namespace detail {
// Same-size integers of either signedness are bit-identical under NumPy's casting, so such an
// array can be viewed in place instead of converted.
template <class T>
bool same_bits(const py::dtype& dt) {
  if constexpr (std::is_integral_v<T> && !std::is_same_v<T, bool>) {
    char kind = dt.kind();
    return (kind == 'i' || kind == 'u') && dt.itemsize() == static_cast<py::ssize_t>(sizeof(T)) && is_native(dt);
  } else {
    return dt.is(py::dtype::of<T>());
  }
}
}  // namespace detail

template <class T>
class Column {
 public:
  Column() = default;

  // Reads parameter `name` of `group`; `ndim` is the number of axes it must have (1: one value
  // per packet, 2: one row per packet).
  Column(py::handle group, const std::string& name, int ndim, const std::string& where = "the packet group")
      : name_(name), where_(where == "the packet group" ? std::string() : " (" + where + ")") {
    py::object raw = member(group, name, where);
    py::array arr;
    try {
      arr = numpy().asarray(raw);
    } catch (py::error_already_set& e) {
      fail(PyExc_TypeError,
           format("parameter {0} cannot be read as an array: {1}{2}", name, std::string(py::str(e.value())), where_));
    }
    if (arr.ndim() != ndim) {
      fail(PyExc_ValueError,
           format("parameter {0} must have {1} axis(es) (one {2} per packet), got shape {3}{4}", name, ndim,
                  ndim == 1 ? "value" : "row", std::string(py::str(py::object(arr.attr("shape")))), where_));
    }
    py::dtype dt = arr.dtype();
    char kind = dt.kind();
    if (kind != 'b' && kind != 'i' && kind != 'u' && kind != 'f') {
      fail(PyExc_TypeError,
           format("parameter {0} has element type {1}, not a number{2}", name, std::string(py::str(dt)), where_));
    }
    if (kind == 'f') {
      py::object finite = py::module_::import("numpy").attr("isfinite")(arr).attr("all")();
      if (!finite.cast<bool>()) {
        fail(PyExc_ValueError, format("parameter {0} holds values that are not finite numbers{1}", name, where_));
      }
    }
    if (!detail::same_bits<T>(dt)) {
      arr = arr.attr("astype")(py::dtype::of<T>());
    }
    array_ = numpy().require(arr, py::none(), "CA");  // C-contiguous and aligned
    data_ = static_cast<const T*>(array_.data());
    rows_ = static_cast<std::size_t>(array_.shape(0));
    cols_ = ndim > 1 ? static_cast<std::size_t>(array_.shape(1)) : 1;
  }

  const std::string& name() const { return name_; }
  std::size_t rows() const { return rows_; }
  std::size_t cols() const { return cols_; }
  const T* data() const { return data_; }
  // The converted array (element type T, C-contiguous), e.g. to pass on as a sort key.
  const py::array& array() const { return array_; }

  // Fails unless the parameter has `n` packets.
  void expect_rows(std::size_t n) const {
    if (rows_ != n) {
      fail(PyExc_ValueError, format("parameter {0} has {1} packets, expected {2}{3}", name_, rows_, n, where_));
    }
  }
  // Fails unless every row holds at least `n` values.
  void expect_cols(std::size_t n) const {
    if (cols_ < n) {
      fail(PyExc_ValueError,
           format("parameter {0} has {1} values per packet, expected at least {2}{3}", name_, cols_, n, where_));
    }
  }

  T at(std::size_t packet) const {
    check_row(packet);
    return data_[packet * cols_];
  }
  T at(std::size_t packet, std::size_t j) const {
    check_row(packet);
    if (j >= cols_) {
      fail(PyExc_IndexError, format("parameter {0}: index {1} is beyond the {2} values of packet {3}{4}", name_, j,
                                    cols_, packet, where_));
    }
    return data_[packet * cols_ + j];
  }
  // Row `packet`, `cols()` values long.
  const T* row(std::size_t packet) const {
    check_row(packet);
    return data_ + packet * cols_;
  }

 private:
  void check_row(std::size_t packet) const {
    if (packet >= rows_) {
      fail(PyExc_IndexError,
           format("parameter {0}: packet {1} is beyond its {2} packets{3}", name_, packet, rows_, where_));
    }
  }

  std::string name_;
  std::string where_;  // " (packet type ...)" appended to errors, empty for a bare packet group
  py::array array_;
  const T* data_ = nullptr;
  std::size_t rows_ = 0;
  std::size_t cols_ = 0;
};

// Parameter `name` of `group` (see Column), which must have `rows` packets.
template <class T>
Column<T> column(py::handle group, const std::string& name, int ndim, std::size_t rows,
                 const std::string& where = "the packet group") {
  Column<T> c(group, name, ndim, where);
  c.expect_rows(rows);
  return c;
}

// A column of a value already at hand (a component's result, an array read once), named `name`.
template <class T>
Column<T> column_of(py::handle value, const char* name, int ndim, std::size_t rows, const std::string& where) {
  py::dict holder;
  holder[py::str(name)] = value;
  return column<T>(holder, name, ndim, rows, where);
}

}  // namespace dravel
