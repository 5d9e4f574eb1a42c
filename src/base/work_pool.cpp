#include "base/work_pool.h"

#include <algorithm>
#include <deque>
#include <exception>
#include <new>
#include <thread>
#include <vector>

#if defined(__linux__)
#include <sched.h>
#endif

namespace base {

namespace {
thread_local int t_inWork = 0;  // depth of parallel work running on this thread
}  // namespace

struct Task::State {
  explicit State(std::function<void()> f) : fn(std::move(f)) {}
  std::function<void()> fn;
  std::atomic<int> phase{0};  // 0 queued, 1 running, 2 done
  std::exception_ptr error;
  std::mutex m;
  std::condition_variable cv;

  bool Claim() {
    int expected = 0;
    return phase.compare_exchange_strong(expected, 1);
  }
  void Run() {
    ++t_inWork;
    try {
      fn();
    } catch (...) {
      error = std::current_exception();
    }
    --t_inWork;
    fn = nullptr;
    {
      std::lock_guard<std::mutex> lock(m);
      phase.store(2);
    }
    cv.notify_all();
  }
};

namespace {


unsigned AvailableCores() {
#if defined(__linux__)
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int n = CPU_COUNT(&set);
    if (n > 0) return unsigned(n);
  }
#endif
  const unsigned n = std::thread::hardware_concurrency();
  return n ? n : 1;
}

class Pool {
 public:
  static Pool& Get() {
    static Pool pool;
    return pool;
  }

  unsigned Threads() {
    std::lock_guard<std::mutex> lock(m_);
    return Active();
  }

  // Threads exist only while the pool is retained: the last release stops
  // and joins them, so that a host process keeps no threads of ours once it
  // holds nothing of ours.
  void Retain() {
    std::lock_guard<std::mutex> lock(m_);
    ++retained_;
  }
  void Release() {
    std::vector<std::thread> threads;
    {
      std::lock_guard<std::mutex> lock(m_);
      if (retained_ == 0 || --retained_ > 0) return;
      stop_ = true;
      threads.swap(threads_);
    }
    cv_.notify_all();
    for (std::thread& t : threads) t.join();
    std::lock_guard<std::mutex> lock(m_);
    stop_ = false;
  }

  void SetLimit(unsigned n) {
    {
      std::lock_guard<std::mutex> lock(m_);
      limit_ = n;
    }
    cv_.notify_all();  // workers the new limit lets in
  }

  // Queues the state unless no worker could take it; true when queued.
  bool Submit(const std::shared_ptr<Task::State>& s) {
    bool wake;
    {
      std::lock_guard<std::mutex> lock(m_);
#ifdef YVN_NO_THREADS
      // Built without threads: every task runs where it is waited for.
      return false;
#endif
      const unsigned workers = Active() - 1;
      if (workers == 0 || stop_) return false;
      while (threads_.size() < workers) {
        const unsigned index = unsigned(threads_.size());
        try {
          threads_.emplace_back([this, index] { Work(index); });
        } catch (...) {
          // No thread to be had (a memory limit): the waiting callers run the work.
          if (threads_.empty()) return false;
          break;
        }
      }
      queue_.push_back(s);
      queued_.store(queue_.size(), std::memory_order_release);
      wake = sleepers_ > 0;
    }
    // A worker that is still looking for work finds it without a wake-up.
    if (wake) cv_.notify_one();
    return true;
  }

  ~Pool() {
    {
      std::lock_guard<std::mutex> lock(m_);
      stop_ = true;
    }
    cv_.notify_all();
    for (std::thread& t : threads_) t.join();
  }

 private:
  Pool() : cores_(std::min(AvailableCores(), 64u)) {}

  // Caller plus workers, under m_.
  unsigned Active() const {
#ifdef YVN_NO_THREADS
    return 1;
#else
    return std::max(1u, limit_ ? std::min(limit_, cores_) : cores_);
#endif
  }

  // Work comes in quick succession (a task per batch of rows or segment);
  // sleeping and being woken for each costs far more than the wait, so an
  // idle worker looks for new work for a short while before it sleeps.
  void Work(unsigned index) {
    std::unique_lock<std::mutex> lock(m_);
    for (;;) {
      auto ready = [&] { return stop_ || (!queue_.empty() && index + 1 < Active()); };
      if (!ready()) {
        lock.unlock();
        for (int i = 0; i < kSpins && queued_.load(std::memory_order_acquire) == 0; ++i) Pause();
        lock.lock();
        ++sleepers_;
        cv_.wait(lock, ready);
        --sleepers_;
      }
      if (stop_) return;
      std::shared_ptr<Task::State> s = std::move(queue_.front());
      queue_.pop_front();
      queued_.store(queue_.size(), std::memory_order_release);
      lock.unlock();
      if (s->Claim()) s->Run();
      s.reset();
      lock.lock();
    }
  }

  static constexpr int kSpins = 4000;  // a few tens of microseconds
  static void Pause() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#else
    std::this_thread::yield();
#endif
  }

  const unsigned cores_;
  unsigned limit_ = 0;
  std::mutex m_;
  std::condition_variable cv_;
  std::deque<std::shared_ptr<Task::State>> queue_;
  std::atomic<size_t> queued_{0};  // queue_.size(), readable without the lock
  unsigned sleepers_ = 0;          // workers waiting on cv_, under m_
  std::vector<std::thread> threads_;
  bool stop_ = false;
  unsigned retained_ = 0;
};

}  // namespace

unsigned WorkThreads() { return Pool::Get().Threads(); }

bool InParallelWork() { return t_inWork > 0; }

void SetWorkThreadLimit(unsigned n) { Pool::Get().SetLimit(n); }

void RetainWorkPool() { Pool::Get().Retain(); }

void ReleaseWorkPool() { Pool::Get().Release(); }

Task::Task(std::function<void()> fn) : state_(std::make_shared<State>(std::move(fn))) {
  Pool::Get().Submit(state_);
}

Task& Task::operator=(Task&& o) noexcept {
  if (this != &o) {
    if (state_) {
      try {
        wait();
      } catch (...) {
      }
    }
    state_ = std::move(o.state_);
  }
  return *this;
}

Task::~Task() {
  if (!state_) return;
  try {
    wait();
  } catch (...) {
  }
}

void Task::wait() {
  if (!state_) return;
  std::shared_ptr<State> s = std::move(state_);
  if (s->Claim()) {
    s->Run();
  } else {
    std::unique_lock<std::mutex> lock(s->m);
    s->cv.wait(lock, [&] { return s->phase.load() == 2; });
  }
  if (s->error) std::rethrow_exception(s->error);
}

bool Task::queued() const { return state_ && state_->phase.load() == 0; }

bool Task::runIfQueued() {
  if (!state_ || !state_->Claim()) return false;
  state_->Run();
  return true;
}

void ParallelFor(size_t n, const std::function<void(size_t)>& fn) {
  const unsigned threads = WorkThreads();
  if (n == 0) return;
  if (threads <= 1 || n == 1) {
    for (size_t i = 0; i < n; ++i) fn(i);
    return;
  }
  std::atomic<size_t> next{0};
  std::atomic<bool> failed{false};
  auto loop = [&] {
    ++t_inWork;
    struct Leave {
      ~Leave() { --t_inWork; }
    } leave;
    for (size_t i; !failed.load(std::memory_order_relaxed) && (i = next.fetch_add(1)) < n;) {
      try {
        fn(i);
      } catch (...) {
        failed = true;
        throw;
      }
    }
  };
  std::vector<Task> helpers;
  try {
    const size_t count = std::min<size_t>(threads - 1, n - 1);
    helpers.reserve(count);
    for (size_t k = 0; k < count; ++k) helpers.emplace_back(loop);
  } catch (const std::bad_alloc&) {
    // Helpers that cannot be had leave their share to the caller: work that
    // only gives memory back (a destructor's) must not fail for want of it.
  }
  std::exception_ptr error;
  try {
    loop();
  } catch (...) {
    error = std::current_exception();
  }
  for (Task& t : helpers) {
    try {
      t.wait();
    } catch (...) {
      if (!error) error = std::current_exception();
    }
  }
  if (error) std::rethrow_exception(error);
}

}  // namespace base
