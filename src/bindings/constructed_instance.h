#pragma once

// The engine classes as `self` of a method: only an instance whose native object exists
// matches. An instance made by `cls.__new__(cls)` alone (or by unpickling a stream that
// never sets its state) has none, and a method called on it raises TypeError instead of
// reading memory that holds no object. A class opts in with
//   template <> struct type_caster<T> : constructed_instance_caster<T> {};

#include <pybind11/pybind11.h>

#include <string>
#include <typeinfo>

namespace pybind11::detail {

template <class T>
struct constructed_instance_caster : type_caster_base<T> {
  bool load(handle src, bool convert) {
    if (!type_caster_base<T>::load(src, convert)) return false;
    if (isinstance(src, type::of<T>())) {
      auto* inst = reinterpret_cast<instance*>(src.ptr());
      if (!inst->get_value_and_holder(get_type_info(typeid(T))).holder_constructed()) {
        throw type_error(std::string(get_fully_qualified_tp_name(Py_TYPE(src.ptr()))) +
                         " object is not initialized: its __init__ never ran");
      }
    }
    return true;
  }
};

}  // namespace pybind11::detail
