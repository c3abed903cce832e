// What the THR decoders share: the packet walk (a packet's data words become the bytes of a
// reader handed to the receiver helpers, its time words are read, the size it consumed is
// checked, and a packet that fails is reported and skipped) and the checks of helper results.
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
#include "slots.hpp"

namespace dravel::thr {
namespace py = pybind11;

// The components every THR decoder calls.
struct Components : RecordComponents {
  Binding Data{"quorel.packet_structure.data", "Data"};
  Binding print_exception{"vantor.core.tools.exceptions", "print_exception"};
  Binding input_setup{"kesta.dravel.tasks.thr.science_tools", "input_setup"};
  Binding do_analysis{"kesta.dravel.tasks.thr.science_tools", "do_analysis"};
  Binding input_setup_dtype{"kesta.dravel.tasks.thr.science_tools", "input_setup_dtype"};
  Binding do_analysis_dtype{"kesta.dravel.tasks.thr.science_tools", "do_analysis_dtype"};
};

// The command fields of an intermediate record that the L1 THR records copy: the front end and
// sensors of the input setup, and the channel flags of the analysis command.
struct CommandFields {
  Field fe, sensor_1, sensor_2, ch1, ch2;

  explicit CommandFields(const py::dtype& layout)
      : fe(Field::resolve(layout, "input_setup.fe")),
        sensor_1(Field::resolve(layout, "input_setup.sensor_tnr_1")),
        sensor_2(Field::resolve(layout, "input_setup.sensor_tnr_2")),
        ch1(Field::resolve(layout, "do_analysis.ch1")),
        ch2(Field::resolve(layout, "do_analysis.ch2")) {}
};

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
    fail(PyExc_TypeError, format("{0} returned {1}, not a tuple", what,
                                 std::string(py::str(py::type::handle_of(result).attr("__name__")))));
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
  return pair_result(result, what, "(value, bit offset)", PyExc_ValueError);
}

// An integer helper result that must fit the unsigned type U (an overflow error otherwise).
template <class U>
U unsigned_value(const py::object& obj, const char* what) {
  Value v = Value::from_python(obj, what);
  bool ok =
      (v.kind == Value::Kind::Int && v.i >= 0 && static_cast<std::uint64_t>(v.i) <= std::numeric_limits<U>::max()) ||
      (v.kind == Value::Kind::UInt && v.u <= std::numeric_limits<U>::max());
  if (!ok) {
    fail(PyExc_OverflowError,
         format("{0}: {1} does not fit {2} unsigned bits", what, std::string(py::str(obj)), 8 * sizeof(U)));
  }
  return v.kind == Value::Kind::Int ? static_cast<U>(v.i) : static_cast<U>(v.u);
}

// Decimal text of an unsigned 128-bit number (twice a 64-bit word count).
inline std::string decimal(unsigned __int128 v) {
  if (v == 0) return "0";
  std::string s;
  while (v > 0) {
    s.insert(s.begin(), static_cast<char>('0' + static_cast<int>(v % 10)));
    v /= 10;
  }
  return s;
}

// The walk over the packets of a THR packet group. The count parameter (one number per packet)
// gives the packet count and ends the call when it cannot be read; the data words and the
// acquisition times are read once, but a failure to read them is a failure of each packet.
class PacketWalk {
 public:
  PacketWalk(py::handle group, const char* count_param, const char* data_param, py::object Data,
             py::object print_exception, py::handle task)
      : counts_(group, count_param, 1),
        words_(group, data_param, 2),
        times_(group, "PA_THR_ACQUISITION_TIME", 2),
        Data_(std::move(Data)),
        print_exception_(std::move(print_exception)),
        task_(task) {}

  std::size_t size() const { return counts_.rows(); }
  const Column<std::int64_t>& counts() const { return counts_; }
  const PacketColumn<std::uint16_t>& words() const { return words_; }

  // The reader over the first `count` data words of packet i.
  py::object reader(std::size_t i, std::uint64_t count) const { return packet_reader(Data_, words_.get(), i, count); }

  // The acquisition time words of packet i: coarse, fine, synchronisation flag.
  const std::uint32_t* time(std::size_t i) const {
    const Column<std::uint32_t>& t = times_.get();
    t.expect_cols(3);
    return t.row(i);
  }

  // Fails with `error` and the text `pattern` ({0}: the bytes expected, {1}: those consumed)
  // unless the packet's decoding consumed twice its word count in bytes.
  static void check_size(std::uint64_t words, std::uint64_t consumed, PyObject* error, const char* pattern) {
    const unsigned __int128 expected = static_cast<unsigned __int128>(words) * 2;
    if (static_cast<unsigned __int128>(consumed) != expected) fail(error, format(pattern, decimal(expected), consumed));
  }

  // body(i) for every packet; a packet whose body fails is reported and the walk goes on.
  template <class Body>
  void run(Body&& body) const {
    for_each_packet(size(), print_exception_, task_, std::forward<Body>(body));
  }

 private:
  Column<std::int64_t> counts_;
  PacketColumn<std::uint16_t> words_;
  PacketColumn<std::uint32_t> times_;
  py::object Data_, print_exception_;
  py::handle task_;
};

}  // namespace dravel::thr
