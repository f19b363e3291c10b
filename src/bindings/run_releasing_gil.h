#pragma once

// Long native work, run with the interpreter lock released and stopped by Ctrl-C.
//
// Python runs its signal handlers only between bytecodes, on the main thread, so a native
// call that holds the calling thread for seconds would leave a pending KeyboardInterrupt
// unseen until it returns. run_releasing_gil runs the work on a native thread of its own
// while the calling thread waits with the lock released, waking every kSignalSlice to take
// the lock and run the pending handlers (PyErr_CheckSignals). When one raises, the work's
// cancellation flag is set (core/cancellation.h), the work stops at its next poll, the
// thread is joined and the handler's exception (KeyboardInterrupt) is raised in Python.
// The exception of work that fails on its own is rethrown on the calling thread.
//
// Work small enough to end within a slice runs on the calling thread: a thread of its own
// would cost more than the wait it saves.

#include <pybind11/pybind11.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>

#include "core/cancellation.h"

namespace corvane::bindings {

// How long a pending signal may wait to be seen.
inline constexpr std::chrono::milliseconds kSignalSlice{20};
// Work below this many bytes of text ends well within a slice and runs on the calling thread.
inline constexpr std::size_t kWaitInSlicesBytes = std::size_t{256} << 10;

// Runs work() with the interpreter lock released; `bytes` is the size of the text it
// covers. Must be called with the lock held; work() must not touch Python objects.
template <class Work>
void run_releasing_gil(std::size_t bytes, Work&& work) {
  namespace py = pybind11;
  if (bytes < kWaitInSlicesBytes) {
    const py::gil_scoped_release unlocked;
    work();
    return;
  }

  Cancellation::Flag cancel{false};
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
  std::exception_ptr error;
  bool interrupted = false;
  {
    const py::gil_scoped_release unlocked;
    std::thread worker;
    try {
      worker = std::thread([&]() noexcept {
        {
          const Cancellation::Scope scope(&cancel);
          try {
            work();
          } catch (const Cancelled&) {
            // Asked to stop: the caller raises the interrupt.
          } catch (...) {
            error = std::current_exception();
          }
        }
        const std::lock_guard<std::mutex> lock(mutex);
        done = true;
        finished.notify_one();
      });
    } catch (const std::system_error&) {
      // No thread to be had: do the work here, as a short call would.
      work();
      return;
    }
    std::unique_lock<std::mutex> lock(mutex);
    while (!finished.wait_for(lock, kSignalSlice, [&] { return done; })) {
      lock.unlock();
      {
        const py::gil_scoped_acquire locked;
        // Runs the handlers on the main thread (elsewhere it returns 0 at once). The
        // exception a handler raises stays set on this thread until raised below.
        interrupted = PyErr_CheckSignals() != 0;
      }
      lock.lock();
      if (interrupted) {
        cancel.store(true, std::memory_order_relaxed);
        break;
      }
    }
    lock.unlock();
    worker.join();
  }
  if (interrupted) throw py::error_already_set();
  if (error) std::rethrow_exception(error);
}

}  // namespace corvane::bindings
