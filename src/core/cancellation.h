#pragma once

#include <atomic>
#include <cstddef>

namespace corvane {

// Stopping long native work early, from another thread.
//
// Whoever starts the work owns an atomic flag and makes it the current flag of each thread
// that runs the work (a Scope). The work polls the flag now and then, every few dozen
// kilobytes of text or few thousand merge steps, through a Poller (which reads the
// thread's flag once); once the flag is set, the next poll throws Cancelled, which unwinds
// the work and is caught where it was started. A thread without a flag (every call made
// directly from Python) never stops, and its polls cost one predictable branch.
//
// Cancelled is deliberately not a std::exception: nothing that handles the engine's own
// errors takes it for one of them.
struct Cancelled {};

class Cancellation {
 public:
  using Flag = std::atomic<bool>;

  // Bytes of text (or merge steps) between two looks at the flag.
  static constexpr std::size_t kInterval = std::size_t{1} << 16;

  // The flag of the work running on this thread, or nullptr.
  static const Flag* current() noexcept { return flag_; }

  // Throws Cancelled when `flag` is set.
  static void check(const Flag* flag) {
    if (flag != nullptr && flag->load(std::memory_order_relaxed)) throw Cancelled{};
  }

  // Makes `flag` this thread's flag for the life of the scope.
  class Scope {
   public:
    explicit Scope(const Flag* flag) noexcept : saved_(flag_) { flag_ = flag; }
    ~Scope() { flag_ = saved_; }
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

   private:
    const Flag* saved_;
  };

  // Counts work done and looks at the flag once per kInterval units.
  class Poller {
   public:
    Poller() noexcept : flag_(Cancellation::current()) {}
    void tick(std::size_t units = 1) {
      if (flag_ == nullptr) return;
      done_ += units;
      if (done_ >= kInterval) {
        done_ = 0;
        check(flag_);
      }
    }

   private:
    const Flag* flag_;
    std::size_t done_ = 0;
  };

 private:
  static inline thread_local const Flag* flag_ = nullptr;
};

}  // namespace corvane
