// A process-wide pool of worker threads for the converter's bulk work
// (deflating, PackBits, pixel conversion), sized to the cores the process may
// run on. Work is cut into pieces by the caller at positions that depend on
// the data only, never on the number of threads, so results are the same
// whatever the pool's size.
//
//   base::ParallelFor(rows, [&](size_t i) { EncodeRow(i); });
//
//   base::Task t([&] { out = Compress(in); });   // queued at once
//   ...                                            // other work meanwhile
//   t.wait();                                      // runs it here if no worker took it
//
// A waiting caller never just sleeps on work nobody has started: it runs
// that work itself. So a pool without workers (one core, or a limit of 1)
// runs everything on the calling thread, in order.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>

namespace base {

// Threads that take part in parallel work: the workers plus the caller.
unsigned WorkThreads();
// Limits the threads used from now on (1: everything on the calling thread;
// 0: back to one per available core). For tests and measurements.
void SetWorkThreadLimit(unsigned n);

// The pool's threads live while it is retained (or, unretained, until the
// process ends): the release that balances the last retain stops and joins
// them, and work queued later starts them again. Never called from pool
// work. A build with YVN_NO_THREADS defined has no threads at all: every
// task runs on the thread that waits for it.
void RetainWorkPool();
void ReleaseWorkPool();

// Whether the calling thread is running a piece of parallel work: a task
// (on a worker, or on the thread that waits for it) or a share of a
// ParallelFor.
bool InParallelWork();

// One piece of work queued to the pool.
class Task {
 public:
  Task() = default;
  explicit Task(std::function<void()> fn);
  ~Task();  // waits
  Task(Task&& o) noexcept = default;
  Task& operator=(Task&& o) noexcept;
  Task(const Task&) = delete;
  Task& operator=(const Task&) = delete;

  // Returns once the work has run (here, when no worker had started it).
  void wait();
  // Runs the work here when no worker has started it yet; true if it ran.
  // An error it throws is kept for wait().
  bool runIfQueued();
  // Whether the work is still waiting for a thread.
  bool queued() const;
  bool valid() const { return state_ != nullptr; }

  struct State;

 private:
  std::shared_ptr<State> state_;
};

// fn(0) ... fn(n - 1), spread over the pool and the calling thread; returns
// when all have run. Calls may run in any order and at the same time. Throws
// only what fn throws: without memory for helpers, the caller runs them all.
void ParallelFor(size_t n, const std::function<void(size_t)>& fn);

}  // namespace base
