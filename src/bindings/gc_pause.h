#pragma once

#include <Python.h>

namespace corvane::bindings {

// Keeps the cyclic garbage collector off for a scope, then restores its state.
//
// Thousands of new lists would each count toward the collector's next pass, which would
// walk the growing result again and again; lists of ints hold no cycles, so the collector
// waits until they are built.
class GcPause {
 public:
  GcPause() : was_enabled_(PyGC_Disable()) {}
  ~GcPause() {
    if (was_enabled_) PyGC_Enable();
  }
  GcPause(const GcPause&) = delete;
  GcPause& operator=(const GcPause&) = delete;

 private:
  int was_enabled_;
};

}  // namespace corvane::bindings
