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
  void debug(const std::string& text) const { logger_.attr("debug")(text); }
  void warning(const std::string& text) const { logger_.attr("warning")(text); }

 private:
  py::object logger_;
};

}  // namespace dravel
