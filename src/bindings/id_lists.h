#pragma once

// Lists of token ids handed to Python.

#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace corvane::bindings {

// Converts ids to a new list of int. Token ids repeat constantly, so the int objects of
// the ids below kCachedIds are created once and shared by every class (ints are
// immutable); the table is only touched with the interpreter lock held.
inline pybind11::list ids_to_list(const int32_t* ids, std::size_t n) {
  namespace py = pybind11;
  constexpr int32_t kCachedIds = 1 << 18;
  static PyObject** cache = new PyObject*[kCachedIds]();  // never freed: lives with the process
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(n));
  if (!list) throw py::error_already_set();
  for (std::size_t i = 0; i < n; ++i) {
    const int32_t id = ids[i];
    PyObject* obj;
    if (id >= 0 && id < kCachedIds) {
      obj = cache[id];
      if (!obj) {
        obj = PyLong_FromLong(id);
        if (!obj) {
          Py_DECREF(list);
          throw py::error_already_set();
        }
        cache[id] = obj;
      }
      Py_INCREF(obj);
    } else {
      obj = PyLong_FromLong(id);
      if (!obj) {
        Py_DECREF(list);
        throw py::error_already_set();
      }
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), obj);
  }
  return py::reinterpret_steal<py::list>(list);
}

inline pybind11::list ids_to_list(const std::vector<int32_t>& ids) { return ids_to_list(ids.data(), ids.size()); }

// A new list of int from counts.
inline pybind11::list counts_to_list(const std::vector<std::size_t>& counts) {
  namespace py = pybind11;
  py::list out(counts.size());
  for (std::size_t i = 0; i < counts.size(); ++i) {
    PyObject* c = PyLong_FromSize_t(counts[i]);
    if (!c) throw py::error_already_set();
    PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(i), c);
  }
  return out;
}

}  // namespace corvane::bindings
