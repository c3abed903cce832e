// What every decoder module does when it loads, in one place: failures raised by the decoders
// reach Python as their own exception types, the outside components are bound (a missing one
// makes the load fail), and every name the module exports is listed in `__all__`. Docstrings
// are the descriptions alone (the signatures are in the module's type stub).
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <utility>
#include <vector>

#include "errors.hpp"
#include "outside.hpp"

namespace dravel {
namespace py = pybind11;

class ModuleDef {
 public:
  // `Components`: the module's bindings, made now.
  template <class Components>
  static ModuleDef with(py::module_& m, const char* doc) {
    register_failure_translator();
    bindings<Components>();
    return ModuleDef(m, doc);
  }

  ModuleDef(const ModuleDef&) = delete;
  ModuleDef& operator=(const ModuleDef&) = delete;
  ~ModuleDef() { m_.attr("__all__") = all_; }

  // An exported function with its description.
  template <class F, class... Extra>
  ModuleDef& def(const char* name, F&& f, const char* doc, const Extra&... extra) {
    m_.def(name, std::forward<F>(f), extra..., doc);
    all_.append(name);
    return *this;
  }

  // An exported constant.
  ModuleDef& attr(const char* name, py::object value) {
    m_.attr(name) = std::move(value);
    all_.append(name);
    return *this;
  }

  // An exported error class derived directly from Exception, with its description as docstring.
  // The class lives as long as the module (and the process).
  PyObject* error_class(const char* name, const char* doc) {
    const std::string qualified = std::string(py::str(m_.attr("__name__"))) + "." + name;
    PyObject* cls = PyErr_NewExceptionWithDoc(qualified.c_str(), doc, PyExc_Exception, nullptr);
    if (cls == nullptr) throw py::error_already_set();
    attr(name, py::reinterpret_borrow<py::object>(cls));  // the module keeps its own reference
    return cls;
  }

  // Component names shown as module attributes (not exported): each is looked up on its module
  // when read, so it is always the component the decoder calls.
  ModuleDef& show_components(std::vector<std::pair<const char*, const Binding*>> names) {
    py::object module_getattr = py::cpp_function(
        [names, module_name = std::string(py::str(m_.attr("__name__")))](const std::string& name) -> py::object {
          for (const auto& [shown, binding] : names) {
            if (name == shown) return binding->get();
          }
          throw py::attribute_error(format("module '{0}' has no attribute '{1}'", module_name, name));
        },
        py::arg("name"));
    m_.attr("__getattr__") = module_getattr;
    return *this;
  }

 private:
  ModuleDef(py::module_& m, const char* doc) : m_(m) {
    options_.disable_function_signatures();
    m_.doc() = doc;
  }

  py::module_& m_;
  py::options options_;
  py::list all_;
};

}  // namespace dravel
