// What the THR decoders share: a packet's data words become the bytes of a reader handed to the
// receiver helpers, helper results (nested tuples) are stored into intermediate records with
// NumPy's conversions, and a packet that fails is reported and skipped.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "errors.hpp"
#include "outside.hpp"
#include "packet_group.hpp"
#include "records.hpp"
#include "report.hpp"

namespace dravel::thr {
namespace py = pybind11;

// Packet bytes: the first `count` words of a row, each written most significant byte first.
inline py::bytes packet_bytes(const std::uint16_t* words, std::size_t count) {
  py::bytes out(nullptr, static_cast<py::ssize_t>(2 * count));
  char* dst = PyBytes_AS_STRING(out.ptr());
  for (std::size_t k = 0; k < count; ++k) {
    dst[2 * k] = static_cast<char>(words[k] >> 8);
    dst[2 * k + 1] = static_cast<char>(words[k] & 0xFF);
  }
  return out;
}

// The packet reader over the words of row `packet` of `data` (at most `count` words: a row
// shorter than the announced count gives the reader only the words it has).
inline py::object packet_reader(const py::object& Data, const Column<std::uint16_t>& data, std::size_t packet,
                                std::uint64_t count) {
  const std::size_t words = static_cast<std::size_t>(std::min<std::uint64_t>(count, data.cols()));
  py::bytes raw = packet_bytes(data.row(packet), words);
  return Data(raw, 2 * words);
}

// A parameter read once per call whose absence or malformation is a failure of each packet
// (reported per packet) rather than of the call.
template <class T>
class PacketColumn {
 public:
  PacketColumn(py::handle group, const std::string& name, int ndim) {
    try {
      column_.emplace(group, name, ndim);
    } catch (const Failure& f) {
      type_ = f.type();
      message_ = f.what();
    } catch (py::error_already_set& e) {
      type_ = reinterpret_cast<PyObject*>(Py_TYPE(e.value().ptr()));
      keep_type_ = py::reinterpret_borrow<py::object>(type_);
      message_ = std::string(py::str(e.value()));
    }
  }
  // Whether the parameter could be read.
  bool ok() const { return column_.has_value(); }
  // The column, or the failure it had, raised again for this packet.
  const Column<T>& get() const {
    if (!column_) throw Failure(type_, message_);
    return *column_;
  }

 private:
  std::optional<Column<T>> column_;
  PyObject* type_ = PyExc_Exception;
  py::object keep_type_;
  std::string message_;
};

// Runs body(i) for every packet; a packet whose body fails is reported (print_exception while
// the failure is handled, then task.exception) and the walk goes on with the next one.
// Interrupts and exits (exceptions that are not errors) are not caught.
template <class Body>
void for_each_packet(std::size_t npackets, const py::object& print_exception, py::handle task, Body&& body) {
  for (std::size_t i = 0; i < npackets; ++i) {
    try {
      body(i);
    } catch (...) {
      py::object exc = current_exception_object();
      if (!PyObject_IsInstance(exc.ptr(), PyExc_Exception)) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr())), exc.ptr());
        throw py::error_already_set();
      }
      report_unit(print_exception, task, exc);
    }
  }
}

// A helper result that must be a tuple; `what` names the helper in errors.
inline py::tuple as_tuple(const py::object& result, const char* what) {
  if (!py::isinstance<py::tuple>(result)) {
    fail(PyExc_TypeError, format("{0} returned {1}, not a tuple", what, std::string(py::str(py::type::handle_of(result).attr("__name__")))));
  }
  return py::reinterpret_borrow<py::tuple>(result);
}

// Item k of a helper tuple.
inline py::object item(const py::tuple& t, std::size_t k, const char* what) {
  if (k >= t.size()) {
    fail(PyExc_IndexError, format("{0} returned {1} items, item {2} is needed", what, t.size(), k));
  }
  return t[k];
}

// A pair (value, offset) returned by a band extractor.
inline std::pair<py::object, py::object> as_pair(const py::object& result, const char* what) {
  if (!py::isinstance<py::tuple>(result) && !py::isinstance<py::list>(result)) {
    fail(PyExc_ValueError, format("{0} must return a pair (value, bit offset)", what));
  }
  py::sequence s = result;
  if (s.size() != 2) fail(PyExc_ValueError, format("{0} returned {1} items, expected a pair", what, s.size()));
  return {s[0], s[1]};
}

// An integer helper result that must fit the unsigned type U (an overflow error otherwise).
template <class U>
U unsigned_value(const py::object& obj, const char* what) {
  Value v = Value::from_python(obj, what);
  bool ok = (v.kind == Value::Kind::Int && v.i >= 0 && static_cast<std::uint64_t>(v.i) <= std::numeric_limits<U>::max()) ||
            (v.kind == Value::Kind::UInt && v.u <= std::numeric_limits<U>::max());
  if (!ok) {
    fail(PyExc_OverflowError, format("{0}: {1} does not fit {2} unsigned bits", what, std::string(py::str(obj)),
                                     8 * sizeof(U)));
  }
  return v.kind == Value::Kind::Int ? static_cast<U>(v.i) : static_cast<U>(v.u);
}

namespace detail {
inline void flatten_into(const Field& field, char* rec, py::handle value, std::size_t& k, std::size_t total) {
  if (py::isinstance<py::tuple>(value) || py::isinstance<py::list>(value)) {
    py::sequence seq = py::reinterpret_borrow<py::sequence>(value);
    for (py::handle v : seq) flatten_into(field, rec, v, k, total);
    return;
  }
  if (py::isinstance<py::array>(value) && py::reinterpret_borrow<py::array>(value).ndim() > 0) {
    py::array arr = py::reinterpret_borrow<py::array>(value);
    py::object flat = arr.attr("ravel")();
    py::list items = flat.attr("tolist")();
    for (py::handle v : items) flatten_into(field, rec, v, k, total);
    return;
  }
  if (value.is_none()) fail(PyExc_TypeError, format("field '{0}': a value is None", field.path));
  if (k >= total) fail(PyExc_ValueError, format("field '{0}' holds {1} values, the helper gave more", field.path, total));
  field.store_slot(rec, k++, Value::from_python(value, "field '" + field.path + "'"));
}
}  // namespace detail

// Stores a (nested) helper value into a field of the record at `rec`, values taken in order
// into the field's scalar slots (sub-record fields in layout order, sub-arrays in C order).
inline void store_value(const Field& field, char* rec, py::handle value) {
  std::size_t k = 0;
  const std::size_t total = field.slots();
  detail::flatten_into(field, rec, value, k, total);
  if (k != total) {
    fail(PyExc_ValueError, format("field '{0}' holds {1} values, the helper gave {2}", field.path, total, k));
  }
}

// The scalar slots of a field (sub-records flattened in layout order, sub-arrays in C order),
// resolved once per call. Storing a helper value through them takes the same values in the same
// order as store_value, with the same conversions and errors, without walking the layout for
// every number: large helper values (whole spectra, calibration sweeps) go in at C speed.
class FieldSlots {
 public:
  FieldSlots() = default;
  explicit FieldSlots(const Field& field) : path_(field.path) {
    collect(field, 0);
    find_spans();
  }

  std::size_t size() const { return slots_.size(); }
  const std::string& path() const { return path_; }

  // Stores a (nested) helper value into the record at `rec`.
  void store(char* rec, py::handle value) const {
    std::size_t k = 0;
    put(rec, value, k);
    if (k != slots_.size()) {
      fail(PyExc_ValueError, format("field '{0}' holds {1} values, the helper gave {2}", path_, slots_.size(), k));
    }
  }

 private:
  struct Slot {
    std::size_t offset;
    Elem elem;
    bool swap;
  };

  void collect(const Field& f, std::size_t base) {
    if (!f.is_record()) {
      for (std::size_t k = 0; k < f.count; ++k) push({base + f.offset + k * f.stride, f.elem, f.swap});
      return;
    }
    for (std::size_t copy = 0; copy < f.count; ++copy) {
      for (const Field& c : f.children) collect(c, base + copy * f.stride);  // children: offsets from the record
    }
  }

  static bool is_integer(Elem e) { return e != Elem::F4 && e != Elem::F8 && e != Elem::B1; }

  void push(const Slot& s) { slots_.push_back(s); }

  // For every slot, how many slots from it on are integers of its type, in host order, one right
  // after the other in the record: a span a run of equal values can be filled into at once.
  void find_spans() {
    span_.assign(slots_.size(), 0);
    for (std::size_t k = slots_.size(); k-- > 0;) {
      const Slot& a = slots_[k];
      if (a.swap || !is_integer(a.elem)) continue;
      span_[k] = 1;
      if (k + 1 < slots_.size() && span_[k + 1] > 0 && slots_[k + 1].elem == a.elem &&
          slots_[k + 1].offset == a.offset + elem_size(a.elem)) {
        span_[k] += span_[k + 1];
      }
    }
  }

  void put_number(char* rec, std::size_t& k, const Value& v) const {
    if (k >= slots_.size()) {
      fail(PyExc_ValueError, format("field '{0}' holds {1} values, the helper gave more", path_, slots_.size()));
    }
    const Slot& s = slots_[k++];
    store_elem(rec + s.offset, s.elem, s.swap, v);
  }

  // An integer into slot k, modulo 2^N for integer slots (as put_number with an Int value).
  void put_int(char* rec, std::size_t& k, std::int64_t v) const {
    if (k >= slots_.size()) {
      fail(PyExc_ValueError, format("field '{0}' holds {1} values, the helper gave more", path_, slots_.size()));
    }
    const Slot& s = slots_[k++];
    char* dst = rec + s.offset;
    if (!s.swap) {
      switch (s.elem) {
        case Elem::U1: case Elem::I1: { auto x = static_cast<std::uint8_t>(v); std::memcpy(dst, &x, 1); return; }
        case Elem::U2: case Elem::I2: { auto x = static_cast<std::uint16_t>(v); std::memcpy(dst, &x, 2); return; }
        case Elem::U4: case Elem::I4: { auto x = static_cast<std::uint32_t>(v); std::memcpy(dst, &x, 4); return; }
        case Elem::U8: case Elem::I8: { auto x = static_cast<std::uint64_t>(v); std::memcpy(dst, &x, 8); return; }
        default: break;
      }
    }
    store_elem(dst, s.elem, s.swap, Value::of(v));
  }

  // `count` copies of an integer into the slots from k on.
  void put_run(char* rec, std::size_t& k, std::int64_t v, std::size_t count) const {
    if (count > slots_.size() - std::min(k, slots_.size())) {
      fail(PyExc_ValueError, format("field '{0}' holds {1} values, the helper gave more", path_, slots_.size()));
    }
    const std::size_t end = k + count;
    while (k < end) {
      const std::size_t span = std::min<std::size_t>(span_[k], end - k);
      if (span == 0) {
        put_int(rec, k, v);
        continue;
      }
      char* dst = rec + slots_[k].offset;
      const std::size_t size = elem_size(slots_[k].elem);
      std::size_t one = k;
      put_int(rec, one, v);  // the first element, converted; the others are copies of it
      if (v == 0) {
        std::memset(dst + size, 0, (span - 1) * size);
      } else {
        for (std::size_t n = 1; n < span; ++n) std::memcpy(dst + n * size, dst, size);
      }
      k += span;
    }
  }

  // The items of a tuple or list. Integers are immutable and the sequence keeps its items alive
  // while they are stored, so an item that is the same object as the previous one (padding such
  // as (0,) * 512) reuses its conversion.
  template <bool IsTuple>
  void put_items(char* rec, PyObject* seq, std::size_t& k) const {
    PyObject* last = nullptr;
    std::int64_t last_value = 0;
    for (Py_ssize_t j = 0; j < (IsTuple ? PyTuple_GET_SIZE(seq) : PyList_GET_SIZE(seq)); ++j) {
      PyObject* o = IsTuple ? PyTuple_GET_ITEM(seq, j) : PyList_GET_ITEM(seq, j);
      if (o == last) {
        Py_ssize_t run = 1;  // the same object again and again: one conversion, one tight loop
        const Py_ssize_t n = IsTuple ? PyTuple_GET_SIZE(seq) : PyList_GET_SIZE(seq);
        while (j + run < n && (IsTuple ? PyTuple_GET_ITEM(seq, j + run) : PyList_GET_ITEM(seq, j + run)) == o) ++run;
        put_run(rec, k, last_value, static_cast<std::size_t>(run));
        j += run - 1;
        continue;
      }
      if (PyLong_CheckExact(o)) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
        if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
        if (overflow == 0) {
          last = o;
          last_value = static_cast<std::int64_t>(v);
          put_int(rec, k, last_value);
          continue;
        }
      }
      last = nullptr;  // the general path may run Python code
      py::object item = py::reinterpret_borrow<py::object>(o);  // kept while stored
      put(rec, item, k);
    }
  }

  void put(char* rec, py::handle value, std::size_t& k) const {
    PyObject* o = value.ptr();
    if (PyLong_CheckExact(o)) {
      int overflow = 0;
      long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
      if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
      if (overflow == 0) {
        put_int(rec, k, static_cast<std::int64_t>(v));
        return;
      }
    } else if (PyTuple_Check(o)) {
      put_items<true>(rec, o, k);
      return;
    } else if (PyList_Check(o)) {
      put_items<false>(rec, o, k);
      return;
    } else if (py::isinstance<py::array>(value) && py::reinterpret_borrow<py::array>(value).ndim() > 0) {
      py::list items = value.attr("ravel")().attr("tolist")();
      for (py::handle v : items) put(rec, v, k);
      return;
    } else if (value.is_none()) {
      fail(PyExc_TypeError, format("field '{0}': a value is None", path_));
    }
    if (k >= slots_.size()) {
      fail(PyExc_ValueError, format("field '{0}' holds {1} values, the helper gave more", path_, slots_.size()));
    }
    put_number(rec, k, Value::from_python(value, "field '" + path_ + "'"));
  }

  std::string path_;
  std::vector<Slot> slots_;
  std::vector<std::uint32_t> span_;
};

}  // namespace dravel::thr
