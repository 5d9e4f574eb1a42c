// The main thread's identity and the background-work queue.
//
// MainContext is process-wide: the runtime start-up (kzm/runtime.h) creates it
// on the calling thread, which becomes the main thread. Without a started
// runtime no main thread is recorded and IsMainThread() is true on every
// thread, so folder tiles are then computed synchronously by whoever asks.
//
// BGThread is a worker's event queue. This program attaches no worker to any
// folder; a worker (or a test) drains the queue with Take() and runs events.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

namespace kzm {

class MainContext {
 public:
  // Notice handed to the main thread.
  class IHandler {
   public:
    virtual ~IHandler() = default;
    virtual void Handle(bool aborting) = 0;
  };
  struct Impl {
    MainContext* self;
    std::thread::id mainThread;
  };

  MainContext();  // records the calling thread
  ~MainContext();

  static MainContext* Instance();  // null before start-up / after shut-down
  // Creates the process-wide instance on this thread unless one exists.
  static void CreateInstance();
  static void DestroyInstance();
  // True on the recorded main thread, and on every thread when none exists.
  static bool IsMainThread();

  std::thread::id MainThreadId() const { return impl_->mainThread; }

  // Notices for the main thread: PostToMain queues (taking ownership);
  // DrainMain runs Handle(aborting) on each in posting order and destroys it.
  void PostToMain(IHandler* h);
  size_t DrainMain(bool aborting = false);
  size_t PendingForMain() const;

 private:
  std::unique_ptr<Impl> impl_;
  mutable std::mutex mainMutex_;
  std::deque<IHandler*> mainQueue_;
};

class BGThread {
 public:
  class IEvent {
   public:
    virtual ~IEvent() = default;
    virtual void Run() = 0;
  };

  BGThread() = default;
  ~BGThread();  // destroys events never taken

  // Appends the event (taking ownership) and wakes the worker.
  void Post(IEvent* e);
  // Worker side: the oldest event or null; with `wait`, blocks until one
  // arrives or Stop() is called.
  IEvent* Take(bool wait);
  // Runs and destroys every queued event on the calling thread; returns how many.
  size_t RunAll();
  // Wakes a waiting worker without posting.
  void Signal();
  // Makes waiting Take() calls return null from now on.
  void Stop();
  size_t Pending() const;
  bool Posting() const;
  bool HasWork() const;

 private:
  mutable std::mutex mutex_;
  std::condition_variable cond_;
  std::deque<IEvent*> events_;
  bool posting_ = false;
  bool hasWork_ = false;
  bool stopped_ = false;
};

}  // namespace kzm
