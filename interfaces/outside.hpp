// Outside components, bound by module path when a decoder module is loaded.
//
// A module imports every component it uses at load time (a missing module or attribute makes
// the decoder module fail to load). The component itself is looked up on its module once per
// decoder call, so whatever the pipeline (or a test) has put under that name is what is called;
// nothing a component supplies is copied into the decoder.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <bit>
#include <cstdint>
#include <string>
#include <utility>

#include "errors.hpp"

namespace dravel {
namespace py = pybind11;

class Binding {
 public:
  Binding() = default;
  Binding(const char* module_path, const char* name) : name_(name), path_(module_path) {
    module_ = py::module_::import(module_path);
    if (!py::hasattr(module_, name)) {
      throw py::import_error(std::string("cannot import name '") + name + "' from '" + module_path + "'");
    }
  }
  // The component as the module holds it now.
  py::object get() const { return module_.attr(name_); }
  const char* name() const { return name_; }
  const char* path() const { return path_; }

 private:
  py::object module_;
  const char* name_ = "";
  const char* path_ = "";
};

// Bindings live for the whole process: they are made once when the module loads and are never
// destroyed (destroying Python objects after interpreter shutdown would be unsafe).
template <class Components>
Components& bindings() {
  static Components* components = new Components();
  return *components;
}

// The components every decoder calls: the time service and the fill-value library.
struct RecordComponents {
  Binding Time{"quorel.time", "Time"};
  Binding fill_records{"tesmo.converters.cdf_fill", "fill_records"};
};

// NumPy entry points used by the interfaces (bound once, like the components).
struct NumPy {
  py::object asarray, require, zeros, empty, dtype, unique, generic;
  NumPy() {
    py::module_ np = py::module_::import("numpy");
    asarray = np.attr("asarray");
    require = np.attr("require");
    zeros = np.attr("zeros");
    empty = np.attr("empty");
    dtype = np.attr("dtype");
    unique = np.attr("unique");
    generic = np.attr("generic");
  }
};

inline NumPy& numpy() { return bindings<NumPy>(); }

// Whether `obj` is a NumPy array or a NumPy scalar (objects whose buffer holds their numbers).
inline bool is_numpy(py::handle obj) {
  return py::isinstance<py::array>(obj) ||
         PyObject_TypeCheck(obj.ptr(), reinterpret_cast<PyTypeObject*>(numpy().generic.ptr()));
}

// Whether an array element type is stored in host byte order.
inline bool is_native(const py::dtype& dt) {
  const char order = dt.byteorder();
  return order == '=' || order == '|' || (order == '<') == (std::endian::native == std::endian::little);
}

// fn(args...) through the vector call protocol: no argument tuple is built per call (the
// arguments stay alive for the call).
template <class... Args>
py::object vcall(py::handle fn, const Args&... args) {
  PyObject* argv[] = {py::handle(args).ptr()...};
  PyObject* result = PyObject_Vectorcall(fn.ptr(), argv, sizeof...(Args), nullptr);
  if (result == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(result);
}

// self.name(args..., keywords...) through the vector call protocol; `kwnames` names the last
// arguments (a tuple of texts), or is null.
template <class... Args>
py::object vcall_method(const py::str& name, py::handle self, PyObject* kwnames, const Args&... args) {
  PyObject* argv[] = {self.ptr(), py::handle(args).ptr()...};
  const std::size_t keywords = kwnames ? static_cast<std::size_t>(PyTuple_GET_SIZE(kwnames)) : 0;
  PyObject* result = PyObject_VectorcallMethod(name.ptr(), argv, sizeof...(Args) + 1 - keywords, kwnames);
  if (result == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(result);
}

// A Python int.
inline py::int_ py_int(std::int64_t v) {
  PyObject* o = PyLong_FromLongLong(v);
  if (o == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::int_>(o);
}

// The two items of a component's pair result (a tuple or list); `what` names the component and
// `pair` the items in errors, which are of type `error`.
inline std::pair<py::object, py::object> pair_result(const py::object& result, const char* what, const char* pair,
                                                     PyObject* error = PyExc_TypeError) {
  if (!py::isinstance<py::tuple>(result) && !py::isinstance<py::list>(result)) {
    fail(error, format("{0} returned {1}, not a pair {2}", what,
                       std::string(py::str(py::type::handle_of(result).attr("__name__"))), pair));
  }
  py::sequence items = result;
  if (items.size() != 2) fail(error, format("{0} returned {1} items, not a pair {2}", what, items.size(), pair));
  return {items[0], items[1]};
}

// Mapping access with errors that say what was looked up where.
inline py::object member(py::handle container, const std::string& key, const std::string& where) {
  try {
    return container[py::str(key)];
  } catch (py::error_already_set& e) {
    if (e.matches(PyExc_KeyError) || e.matches(PyExc_IndexError)) {
      fail(PyExc_KeyError, format("'{0}' is missing from {1}", key, where));
    }
    if (e.matches(PyExc_TypeError) || e.matches(PyExc_AttributeError)) {
      fail(PyExc_TypeError,
           format("{0} is not a mapping (looking up '{1}': {2})", where, key, std::string(py::str(e.value()))));
    }
    throw;
  }
}

// Whether mapping `container` holds `key`. Only a mapping (an object with keys(), such as a dict
// or an HDF5 group) can answer: a text, a list or an array would answer `in` with a substring
// or element test and make a broken store look like one without the key.
inline bool has_member(py::handle container, const std::string& key, const std::string& where) {
  PyObject* obj = container.ptr();
  if (PyUnicode_Check(obj) || PyBytes_Check(obj) || PyByteArray_Check(obj) || !PyObject_HasAttrString(obj, "keys")) {
    fail(PyExc_TypeError,
         format("{0} is not a mapping (testing for '{1}': got {2})", where, key, Py_TYPE(obj)->tp_name));
  }
  int found = PySequence_Contains(container.ptr(), py::str(key).ptr());
  if (found < 0) {
    py::error_already_set e;
    if (e.matches(PyExc_TypeError)) {
      fail(PyExc_TypeError, format("{0} is not a mapping (testing for '{1}')", where, key));
    }
    throw e;
  }
  return found == 1;
}

}  // namespace dravel
