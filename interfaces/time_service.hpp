// The time service: on-board times [coarse, fine] to TT2000 epochs and to spacecraft elapsed
// time. `obt_to_utc` is called on a new instance of the service class with `to_tt2000=True`;
// `cuc_to_scet` on the class itself. Both take an (n, 2) array of unsigned 32-bit pairs.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>

#include "errors.hpp"
#include "outside.hpp"
#include "records.hpp"

namespace dravel {
namespace py = pybind11;

class TimeService {
 public:
  // `time_class` is the service class as bound for this call.
  explicit TimeService(py::object time_class) : cls_(std::move(time_class)) {}

  static py::array_t<std::uint32_t> pair(std::uint32_t coarse, std::uint32_t fine) {
    py::array_t<std::uint32_t> t({py::ssize_t{1}, py::ssize_t{2}});
    std::uint32_t* p = t.mutable_data();
    p[0] = coarse;
    p[1] = fine;
    return t;
  }

  // Whole results, for many pairs at once (calls through the vector call protocol).
  py::object epochs(const py::array& pairs) const {
    PyObject* service = PyObject_CallNoArgs(cls_.ptr());
    if (service == nullptr) throw py::error_already_set();
    const py::object instance = py::reinterpret_steal<py::object>(service);
    return vcall_method(names().obt_to_utc, instance, names().to_tt2000.ptr(), pairs, py::handle(Py_True));
  }
  py::object scets(const py::array& pairs) const { return vcall_method(names().cuc_to_scet, cls_, nullptr, pairs); }

  // A pair array that no conversion may change: it can be handed to every conversion of the
  // records of one on-board time.
  static py::array shared_pair(std::uint32_t coarse, std::uint32_t fine) {
    py::array t = pair(coarse, fine);
    py::detail::array_proxy(t.ptr())->flags &= ~py::detail::npy_api::NPY_ARRAY_WRITEABLE_;
    return t;
  }

  // One pair (an array of shape 1 x 2).
  Value epoch(const py::array& pair) const { return one(epochs(pair), "obt_to_utc"); }
  Value scet(const py::array& pair) const { return one(scets(pair), "cuc_to_scet"); }

  // The one number a conversion of one pair returns. A NumPy result of a plain number type is
  // read through its buffer; anything else goes through the general conversion.
  static Value one(const py::object& result, const char* what) {
    if (Value v; Value::from_numpy(result, v)) return v;
    py::array arr = numbers(result, what, 1);
    return Value::from_python(arr[py::int_(0)], std::string("the time service's ") + what);
  }

  // The i-th number of a conversion result (an array or sequence of numbers).
  static py::array numbers(py::object result, const char* what, std::size_t expected) {
    py::array arr;
    try {
      arr = numpy().asarray(result);
    } catch (py::error_already_set&) {
      fail(PyExc_TypeError,
           format("the time service's {0} returned {1}, not numbers", what, std::string(py::repr(result))));
    }
    char kind = arr.dtype().kind();
    if (kind != 'i' && kind != 'u' && kind != 'f' && kind != 'b') {
      fail(PyExc_TypeError,
           format("the time service's {0} returned {1}, not numbers", what, std::string(py::str(arr.dtype()))));
    }
    if (static_cast<std::size_t>(arr.size()) != expected) {
      fail(PyExc_ValueError,
           format("the time service's {0} returned {1} values for {2} times", what, arr.size(), expected));
    }
    return arr.attr("reshape")(-1);
  }

 private:
  struct Names {
    py::str obt_to_utc{"obt_to_utc"}, cuc_to_scet{"cuc_to_scet"};
    py::tuple to_tt2000 = py::make_tuple("to_tt2000");
  };
  static const Names& names() { return bindings<Names>(); }

  py::object cls_;
};

}  // namespace dravel
