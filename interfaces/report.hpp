// The pipeline framework: its logger, its exception report and the calling task.
//
// A unit (a packet, a snapshot) that fails without ending the call is reported this way: the
// failure becomes a Python exception object, made the exception being handled (what
// `sys.exc_info()` sees) while the framework's `print_exception()` runs, and the report text it
// returns goes to `task.exception`.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

#include "errors.hpp"
#include "outside.hpp"

namespace dravel {
namespace py = pybind11;

namespace detail {
// Makes `exc` the handled exception for the lifetime of the guard, then restores the previous one.
class HandledException {
 public:
  explicit HandledException(py::handle exc) {
#if PY_VERSION_HEX >= 0x030C0000
    saved_ = PyErr_GetHandledException();
    PyErr_SetHandledException(exc.ptr());
#else
    PyErr_GetExcInfo(&type_, &value_, &traceback_);
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr()));
    PyObject* tb = PyException_GetTraceback(exc.ptr());  // new reference or NULL
    Py_INCREF(type);
    Py_INCREF(exc.ptr());
    PyErr_SetExcInfo(type, exc.ptr(), tb);  // steals the three references
#endif
  }
  ~HandledException() {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetHandledException(saved_);
    Py_XDECREF(saved_);
#else
    PyErr_SetExcInfo(type_, value_, traceback_);
#endif
  }
  HandledException(const HandledException&) = delete;
  HandledException& operator=(const HandledException&) = delete;

 private:
#if PY_VERSION_HEX >= 0x030C0000
  PyObject* saved_ = nullptr;
#else
  PyObject* type_ = nullptr;
  PyObject* value_ = nullptr;
  PyObject* traceback_ = nullptr;
#endif
};
}  // namespace detail

// Reports one failed unit: print_exception() while `exc` is handled, then task.exception(report).
inline void report_unit(const py::object& print_exception, py::handle task, py::handle exc) {
  py::object message;
  {
    detail::HandledException handled(exc);
    message = print_exception();
  }
  task.attr("exception")(message);
}

// Reports a unit that failed with a new exception of type `type` and text `text`.
inline void report_unit(const py::object& print_exception, py::handle task, PyObject* type, const std::string& text) {
  py::object exc = py::reinterpret_borrow<py::object>(type)(text);
  report_unit(print_exception, task, exc);
}

// The framework's logger; texts are formatted before they are logged.
class Logger {
 public:
  explicit Logger(py::object logger) : logger_(std::move(logger)) {}
  void debug(const std::string& text) const { log(names().debug, text); }
  void warning(const std::string& text) const { log(names().warning, text); }

  // Whether debug texts reach the logger: false only when it has the standard `isEnabledFor`
  // and that says debug records are dropped (asked once per logger).
  bool debug_enabled() const {
    if (!debug_asked_) {
      debug_asked_ = true;
      debug_enabled_ = true;
      if (PyObject_HasAttr(logger_.ptr(), names().is_enabled_for.ptr())) {
        const py::int_ level = py_int(10);  // the standard DEBUG level
        const int answer = PyObject_IsTrue(vcall_method(names().is_enabled_for, logger_, nullptr, level).ptr());
        if (answer < 0) throw py::error_already_set();
        debug_enabled_ = answer != 0;
      }
    }
    return debug_enabled_;
  }

 private:
  struct Names {
    py::str debug{"debug"}, warning{"warning"}, is_enabled_for{"isEnabledFor"};
  };
  static const Names& names() { return bindings<Names>(); }

  void log(const py::str& method, const std::string& text) const {
    PyObject* s = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    if (s == nullptr) throw py::error_already_set();
    const py::object message = py::reinterpret_steal<py::object>(s);
    vcall_method(method, logger_, nullptr, message);
  }

  py::object logger_;
  mutable bool debug_asked_ = false;
  mutable bool debug_enabled_ = true;
};

}  // namespace dravel
