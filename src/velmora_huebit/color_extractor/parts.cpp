// Helper threads for in_parts.
//
// A photo of 256 x 256 pixels takes the matching kernel about half a
// millisecond; starting and joining a thread costs some 25 microseconds
// each time. So the helpers are started once, on first use, and wait on a
// condition variable between calls.
//
// - One call shares out at a time; a call that finds the helpers busy runs
//   its parts itself (callers give the same result either way).
// - A forked child has none of its parent's threads, and possibly a lock its
//   parent held at the fork: it starts a pool of its own, and leaves the
//   inherited one alone.
// - The pool is never destroyed: helpers wait for work for as long as the
//   process lives, and the process's end takes them with it.
#include "parts.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace huebit {
namespace {

constexpr int kMostHelpers = 3;

// Waking a sleeping thread takes tens of microseconds on a virtual machine,
// as long as a small image's whole step: so helpers poll for work for a
// while after their last part before they sleep, and a caller polls for
// its helpers to end before it sleeps.
constexpr auto kHelperPolls = std::chrono::microseconds(300);
constexpr auto kCallerPolls = std::chrono::milliseconds(5);

template <class Ready, class Duration>
bool poll(Ready ready, Duration limit) {
  const auto until = std::chrono::steady_clock::now() + limit;
  for (int i = 1;; ++i) {
    if (ready()) return true;
    if (i % 64 == 0 && std::chrono::steady_clock::now() > until) return false;
#if defined(__x86_64__)
    __builtin_ia32_pause();
#endif
  }
}

struct Pool {
  pid_t pid = getpid();
  std::mutex sharing;  // held by the call that shares out
  std::mutex lock;     // guards what follows
  std::condition_variable work, finished;
  const std::function<void(int)>* job = nullptr;
  std::vector<std::exception_ptr>* failures = nullptr;
  int parts = 0, next = 0, unfinished = 0;
  unsigned long round = 0, warm = 0;
  int helpers = 0;
  // round and unfinished, for polling without the lock
  std::atomic<unsigned long> published_round{0};
  std::atomic<int> published_unfinished{0};

  // Runs parts of the current job until none is left; called with `lock` held.
  void take_parts(std::unique_lock<std::mutex>& held) {
    while (next < parts) {
      const int part = next++;
      const std::function<void(int)>& f = *job;
      std::vector<std::exception_ptr>& failed = *failures;
      held.unlock();
      try {
        f(part);
      } catch (...) {
        failed[part] = std::current_exception();
      }
      held.lock();
      published_unfinished.store(--unfinished);
      if (unfinished == 0) finished.notify_all();
    }
  }

  // `seen`: the round when the helper was started, which it leaves to
  // those already there.
  void help(unsigned long seen) {
    unsigned long seen_warm = 0;
    for (;;) {
      poll([&] { return published_round.load() != seen; }, kHelperPolls);
      std::unique_lock<std::mutex> held(lock);
      work.wait(held, [&] { return round != seen || warm != seen_warm; });
      seen_warm = warm;
      if (round == seen) continue;  // woken ahead of work: poll for it
      seen = round;
      take_parts(held);
    }
  }

  // Starts helpers up to `wanted`; returns how many there are. Called by
  // the call sharing out, before its round begins.
  int start_helpers(int wanted) {
    std::lock_guard<std::mutex> held(lock);
    while (helpers < wanted) {
      try {
        // (it waits for `lock` before it looks at `round`)
        std::thread(&Pool::help, this, round).detach();
      } catch (const std::system_error&) {
        break;
      }
      ++helpers;
    }
    return helpers;
  }

  void share(int parts_now, const std::function<void(int)>& f,
             std::vector<std::exception_ptr>& failed) {
    std::unique_lock<std::mutex> held(lock);
    job = &f;
    failures = &failed;
    parts = parts_now;
    next = 0;
    unfinished = parts_now;
    published_unfinished.store(parts_now);
    published_round.store(++round);
    work.notify_all();
    take_parts(held);
    held.unlock();
    if (!poll([&] { return published_unfinished.load() == 0; }, kCallerPolls)) {
      held.lock();
      finished.wait(held, [&] { return unfinished == 0; });
      held.unlock();
    }
    held.lock();
    job = nullptr;
    failures = nullptr;
  }
};

// No lock guards the pointer: a fork while another thread held one would
// leave the child waiting on it for ever.
std::atomic<Pool*> pool{nullptr};

Pool& current_pool() {
  Pool* p = pool.load();
  while (!p || p->pid != getpid()) {
    Pool* fresh = new Pool;  // an inherited pool is left as it is
    if (pool.compare_exchange_strong(p, fresh)) return *fresh;
    delete fresh;  // another thread was first; p is now its pool
  }
  return *p;
}

}  // namespace

void in_parts(int parts, int threads, const std::function<void(int)>& f) {
  std::vector<std::exception_ptr> failures(parts > 0 ? parts : 0);
  const int helpers_wanted = std::min({parts, threads, kMostHelpers + 1}) - 1;
  Pool* p = helpers_wanted > 0 ? &current_pool() : nullptr;
  std::unique_lock<std::mutex> sharing;
  if (p) sharing = std::unique_lock<std::mutex>(p->sharing, std::try_to_lock);
  if (p && sharing.owns_lock() && p->start_helpers(helpers_wanted) > 0) {
    p->share(parts, f, failures);
  } else {
    for (int part = 0; part < parts; ++part) {
      try {
        f(part);
      } catch (...) {
        failures[part] = std::current_exception();
      }
    }
  }
  for (const std::exception_ptr& failure : failures)
    if (failure) std::rethrow_exception(failure);
}

void expect_parts() {
  Pool* p = pool.load();
  if (!p || p->pid != getpid()) return;
  {
    std::lock_guard<std::mutex> held(p->lock);
    if (!p->helpers) return;
    ++p->warm;
  }
  p->work.notify_all();
}

}  // namespace huebit
