// The scalar slots of a record field: every number a helper value is stored into, sub-records
// flattened in layout order and sub-arrays in C order, resolved once per call. A nested helper
// value (tuples, lists, NumPy arrays, numbers) is stored into them in order with NumPy's
// conversions, without walking the layout for every number. A decoder that reads only some of
// the slots back can have only those converted.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "errors.hpp"
#include "records.hpp"

namespace dravel {
namespace py = pybind11;

// Slots first to last - 1 of a field.
struct SlotRange {
  std::size_t first = 0, last = 0;
};

class FieldSlots {
 public:
  FieldSlots() = default;
  explicit FieldSlots(const Field& field) : path_(field.path) {
    collect(field, 0);
    find_spans();
  }

  std::size_t size() const { return slots_.size(); }
  const std::string& path() const { return path_; }

  // Fails unless `n` values are to be written.
  void expect(std::size_t n) const {
    if (slots_.size() != n) {
      fail(PyExc_ValueError, format("field '{0}' holds {1} values, {2} are written to it", path_, slots_.size(), n));
    }
  }

  // Element 0 of the slots when they are n consecutive host-order values of type T (a plain
  // array field), for straight copies; null otherwise.
  template <class T>
  char* packed(char* rec, std::size_t n) const {
    if (slots_.size() != n || n == 0 || span_[0] < n || slots_[0].elem != elem_of<T>()) return nullptr;
    return rec + slots_[0].offset;
  }

  // Slot k of the record at `rec` (k below size()).
  void store(char* rec, std::size_t k, const Value& v) const {
    const Slot& s = slots_[k];
    store_elem(rec + s.offset, s.elem, s.swap, v);
  }
  Value load(const char* rec, std::size_t k) const {
    const Slot& s = slots_[k];
    return load_elem(rec + s.offset, s.elem, s.swap);
  }

  // Copies the bytes of every slot from record `src` to record `dst` (same layout).
  void copy(char* dst, const char* src) const {
    if (!slots_.empty() && span_[0] == slots_.size()) {  // one run of integers
      std::memcpy(dst + slots_[0].offset, src + slots_[0].offset, slots_.size() * elem_size(slots_[0].elem));
      return;
    }
    for (const Slot& s : slots_) std::memcpy(dst + s.offset, src + s.offset, elem_size(s.elem));
  }

  // The index of the slot where numeric field `leaf` (a part of this field) starts.
  std::size_t index_of(const Field& leaf) const {
    for (std::size_t k = 0; k < slots_.size(); ++k) {
      if (slots_[k].offset == leaf.offset) return k;
    }
    fail(PyExc_KeyError, format("field '{0}' is not a part of '{1}'", leaf.path, path_));
  }

  // Stores a (nested) helper value into the record at `rec`.
  void store(char* rec, py::handle value) const {
    const SlotRange all{0, slots_.size()};
    store(rec, value, std::span<const SlotRange>(&all, 1));
  }

  // Stores a (nested) helper value of which only the slots in `used` (ascending, disjoint
  // ranges) are read back. The value is walked and checked as store() walks it, with the same
  // errors; only the conversions into the other slots that cannot fail are left out (small plain
  // integers, integer arrays), and those slots keep what they held.
  void store(char* rec, py::handle value, std::span<const SlotRange> used) const {
    std::size_t k = 0;
    put(rec, value, k, Used{used, slots_.size()});
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

  // The slots a store converts.
  struct Used {
    std::span<const SlotRange> ranges;
    std::size_t size;
    // The first used slot from k on (size when none).
    std::size_t next(std::size_t k) const {
      for (const SlotRange& r : ranges) {
        if (k < r.last && r.first < r.last) return std::min(std::max(k, r.first), size);
      }
      return size;
    }
    // The end of the used range slot k is in (k used).
    std::size_t end(std::size_t k) const {
      for (const SlotRange& r : ranges) {
        if (k >= r.first && k < r.last) return std::min(r.last, size);
      }
      return k;
    }
  };

  // A plain integer the interpreter holds in one digit (below 2^30 in size): storing it cannot
  // fail, whatever the slot.
  static bool one_digit_int(PyObject* o) {
    if (!PyLong_CheckExact(o)) return false;
#if PY_VERSION_HEX >= 0x030C0000
    return PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(o));
#else
    return Py_SIZE(o) >= -1 && Py_SIZE(o) <= 1;
#endif
  }

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
        case Elem::U1:
        case Elem::I1: {
          auto x = static_cast<std::uint8_t>(v);
          std::memcpy(dst, &x, 1);
          return;
        }
        case Elem::U2:
        case Elem::I2: {
          auto x = static_cast<std::uint16_t>(v);
          std::memcpy(dst, &x, 2);
          return;
        }
        case Elem::U4:
        case Elem::I4: {
          auto x = static_cast<std::uint32_t>(v);
          std::memcpy(dst, &x, 4);
          return;
        }
        case Elem::U8:
        case Elem::I8: {
          auto x = static_cast<std::uint64_t>(v);
          std::memcpy(dst, &x, 8);
          return;
        }
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

  // Items [j, n) of `items` while they are integers that fit 64 bits, into the span of
  // integer slots of `size` bytes from slot k on (modulo 2^N, as put_int); returns where it
  // stopped. No Python code runs, so the items stay as they are.
  template <class U>
  Py_ssize_t put_span(char* rec, PyObject* const* items, Py_ssize_t j, Py_ssize_t n, std::size_t& k) const {
    char* dst = rec + slots_[k].offset;
    const Py_ssize_t first = j;
    for (; j < n; ++j) {
      PyObject* o = items[j];
      if (!PyLong_CheckExact(o)) break;
      int overflow = 0;
      const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
      if (overflow != 0 || (v == -1 && PyErr_Occurred())) {
        PyErr_Clear();
        break;
      }
      const auto x = static_cast<U>(v);
      std::memcpy(dst + static_cast<std::size_t>(j - first) * sizeof(U), &x, sizeof(U));
    }
    k += static_cast<std::size_t>(j - first);
    return j;
  }

  // Items [j, n) of `items` while they are one-digit integers, counted from slot k on; returns
  // where it stopped. An item that is the same object as the one before (padding such as
  // (0,) * 512) is not looked into again: only the pointers are compared, eight at a time.
  static Py_ssize_t count_plain(PyObject* const* items, Py_ssize_t j, Py_ssize_t n, std::size_t& k) {
    const Py_ssize_t first = j;
    while (j < n && one_digit_int(items[j])) {
      const auto o = reinterpret_cast<std::uintptr_t>(items[j++]);
      for (; j + 8 <= n; j += 8) {
        std::uintptr_t other = 0;
        for (Py_ssize_t t = 0; t < 8; ++t) other |= reinterpret_cast<std::uintptr_t>(items[j + t]) ^ o;
        if (other != 0) break;
      }
      while (j < n && reinterpret_cast<std::uintptr_t>(items[j]) == o) ++j;
    }
    k += static_cast<std::size_t>(j - first);
    return j;
  }

  // The items of a tuple or list. Items bound for unused slots that cannot fail are counted;
  // integers bound for a span of same-type integer slots go in at once; any other item goes on
  // its own. Integers are immutable and the sequence keeps its items alive while they are
  // stored, so an item that is the same object as the previous one reuses its conversion.
  template <bool IsTuple>
  void put_items(char* rec, PyObject* seq, std::size_t& k, const Used& used) const {
    PyObject* last = nullptr;
    std::int64_t last_value = 0;
    // The sequence is looked at afresh after each item that may have run Python code.
    for (Py_ssize_t j = 0; j < (IsTuple ? PyTuple_GET_SIZE(seq) : PyList_GET_SIZE(seq));) {
      const Py_ssize_t n = IsTuple ? PyTuple_GET_SIZE(seq) : PyList_GET_SIZE(seq);
      PyObject* const* items = PySequence_Fast_ITEMS(seq);
      if (k < slots_.size()) {
        const Py_ssize_t from = j;
        const std::size_t left = static_cast<std::size_t>(n - j);
        const std::size_t unused = used.next(k) - k;
        if (unused > 0) {
          j = count_plain(items, j, j + static_cast<Py_ssize_t>(std::min(unused, left)), k);
        } else if (span_[k] > 0) {
          const std::size_t room = std::min({left, static_cast<std::size_t>(span_[k]), used.end(k) - k});
          const Py_ssize_t stop = j + static_cast<Py_ssize_t>(room);
          switch (elem_size(slots_[k].elem)) {
            case 1: j = put_span<std::uint8_t>(rec, items, j, stop, k); break;
            case 2: j = put_span<std::uint16_t>(rec, items, j, stop, k); break;
            case 4: j = put_span<std::uint32_t>(rec, items, j, stop, k); break;
            default: j = put_span<std::uint64_t>(rec, items, j, stop, k); break;
          }
        }
        if (j > from) {
          last = nullptr;
          continue;
        }
      }
      PyObject* o = items[j];
      if (o == last) {
        Py_ssize_t run = 1;  // the same object again and again: one conversion, one tight loop
        while (j + run < n && items[j + run] == o) ++run;
        put_run(rec, k, last_value, static_cast<std::size_t>(run));
        j += run;
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
          ++j;
          continue;
        }
      }
      last = nullptr;                                           // the general path may run Python code
      py::object item = py::reinterpret_borrow<py::object>(o);  // kept while stored
      put(rec, item, k, used);
      ++j;
    }
  }

  // The numbers of an array read straight from its buffer, in C order, when its elements are
  // plain host-order numbers; false (nothing stored) otherwise.
  bool put_buffer(char* rec, py::handle array, std::size_t& k, const Used& used) const {
    Py_buffer view;
    if (PyObject_GetBuffer(array.ptr(), &view, PyBUF_FORMAT | PyBUF_STRIDES) != 0) {
      PyErr_Clear();
      return false;
    }
    struct Release {
      Py_buffer* v;
      ~Release() { PyBuffer_Release(v); }
    } release{&view};
    const std::size_t size = static_cast<std::size_t>(view.itemsize);
    Value probe;
    const char zero[sizeof(std::uint64_t)] = {};  // no number Value reads is wider
    if (size > sizeof zero || !Value::read(view.format, size, zero, probe)) return false;
    const std::size_t ndim = static_cast<std::size_t>(view.ndim);
    std::size_t total = 1;
    for (std::size_t d = 0; d < ndim; ++d) total *= static_cast<std::size_t>(view.shape[d]);
    if (total > slots_.size() - std::min(k, slots_.size())) {
      fail(PyExc_ValueError, format("field '{0}' holds {1} values, the helper gave more", path_, slots_.size()));
    }
    if (put_integers(rec, view, total, k, used)) return true;
    std::vector<Py_ssize_t> index(ndim, 0);
    const char* base = static_cast<const char*>(view.buf);
    for (std::size_t n = 0; n < total; ++n) {
      const char* p = base;
      for (std::size_t d = 0; d < ndim; ++d) p += index[d] * view.strides[d];
      Value v;
      Value::read(view.format, size, p, v);
      if (v.kind == Value::Kind::Int) put_int(rec, k, v.i);
      else put_number(rec, k, v);
      for (std::size_t d = ndim; d-- > 0;) {
        if (++index[d] < view.shape[d]) break;
        index[d] = 0;
      }
    }
    return true;
  }

  // A C-contiguous buffer of `total` host-order integers bound for one span of same-type
  // integer slots from slot k on: the used ones converted in one loop per used range, modulo
  // 2^N (as put_int); false, with nothing stored, when the buffer or the slots are not of that
  // kind. Integers cannot fail, so the others are not looked at.
  bool put_integers(char* rec, const Py_buffer& view, std::size_t total, std::size_t& k, const Used& used) const {
    if (total == 0 || k >= span_.size() || span_[k] < total || !PyBuffer_IsContiguous(&view, 'C')) return false;
    const char* f = view.format;
    if (*f == '@' || *f == '=' || (*f == '<' && std::endian::native == std::endian::little)) ++f;
    if (f[0] == '\0' || f[1] != '\0') return false;
    const std::string_view signed_codes = "bhilq", unsigned_codes = "BHILQ";
    const bool is_signed = signed_codes.find(f[0]) != std::string_view::npos;
    if (!is_signed && unsigned_codes.find(f[0]) == std::string_view::npos) return false;
    const auto from = static_cast<std::size_t>(view.itemsize);
    if (from != 1 && from != 2 && from != 4 && from != 8) return false;
    const std::size_t to = elem_size(slots_[k].elem);
    for (const SlotRange& r : used.ranges) {
      const std::size_t first = std::max(r.first, k), last = std::min(r.last, k + total);
      if (first >= last) continue;
      char* dst = rec + slots_[first].offset;
      const char* src = static_cast<const char*>(view.buf) + (first - k) * from;
      const std::size_t n = last - first;
      switch (from) {
        case 1: is_signed ? narrow_all<std::int8_t>(dst, to, src, n) : narrow_all<std::uint8_t>(dst, to, src, n); break;
        case 2:
          is_signed ? narrow_all<std::int16_t>(dst, to, src, n) : narrow_all<std::uint16_t>(dst, to, src, n);
          break;
        case 4:
          is_signed ? narrow_all<std::int32_t>(dst, to, src, n) : narrow_all<std::uint32_t>(dst, to, src, n);
          break;
        default:
          is_signed ? narrow_all<std::int64_t>(dst, to, src, n) : narrow_all<std::uint64_t>(dst, to, src, n);
          break;
      }
    }
    k += total;
    return true;
  }
  template <class S>
  static void narrow_all(char* dst, std::size_t to, const char* src, std::size_t n) {
    switch (to) {
      case 1: narrow<S, std::uint8_t>(dst, src, n); break;
      case 2: narrow<S, std::uint16_t>(dst, src, n); break;
      case 4: narrow<S, std::uint32_t>(dst, src, n); break;
      default: narrow<S, std::uint64_t>(dst, src, n); break;
    }
  }
  template <class S, class D>
  static void narrow(char* dst, const char* src, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
      S v;
      std::memcpy(&v, src + i * sizeof(S), sizeof(S));
      const auto d = static_cast<D>(v);
      std::memcpy(dst + i * sizeof(D), &d, sizeof(D));
    }
  }

  void put(char* rec, py::handle value, std::size_t& k, const Used& used) const {
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
      put_items<true>(rec, o, k, used);
      return;
    } else if (PyList_Check(o)) {
      put_items<false>(rec, o, k, used);
      return;
    } else if (py::isinstance<py::array>(value) && py::reinterpret_borrow<py::array>(value).ndim() > 0) {
      if (put_buffer(rec, value, k, used)) return;
      py::list items = value.attr("ravel")().attr("tolist")();
      for (py::handle v : items) put(rec, v, k, used);
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

}  // namespace dravel
