#include "kzm/main_context.h"

#include <atomic>
#include <stdexcept>

namespace kzm {

namespace {
std::atomic<MainContext*> g_main{nullptr};
std::mutex g_mainSetup;
}  // namespace

MainContext::MainContext() : impl_(new Impl{this, std::this_thread::get_id()}) {}

MainContext::~MainContext() {
  // Notices never delivered are dropped as if the program were aborting.
  DrainMain(true);
}

MainContext* MainContext::Instance() { return g_main.load(std::memory_order_acquire); }

void MainContext::CreateInstance() {
  std::lock_guard<std::mutex> lock(g_mainSetup);
  if (!g_main.load(std::memory_order_acquire)) g_main.store(new MainContext(), std::memory_order_release);
}

void MainContext::DestroyInstance() {
  std::lock_guard<std::mutex> lock(g_mainSetup);
  delete g_main.exchange(nullptr, std::memory_order_acq_rel);
}

bool MainContext::IsMainThread() {
  MainContext* mc = Instance();
  return !mc || mc->impl_->mainThread == std::this_thread::get_id();
}

void MainContext::PostToMain(IHandler* h) {
  std::unique_ptr<IHandler> owned(h);
  std::lock_guard<std::mutex> lock(mainMutex_);
  mainQueue_.push_back(h);
  owned.release();
}

size_t MainContext::DrainMain(bool aborting) {
  size_t n = 0;
  for (;;) {
    IHandler* h;
    {
      std::lock_guard<std::mutex> lock(mainMutex_);
      if (mainQueue_.empty()) break;
      h = mainQueue_.front();
      mainQueue_.pop_front();
    }
    std::unique_ptr<IHandler> owned(h);
    h->Handle(aborting);
    ++n;
  }
  return n;
}

size_t MainContext::PendingForMain() const {
  std::lock_guard<std::mutex> lock(mainMutex_);
  return mainQueue_.size();
}

// ---- BGThread ----

BGThread::~BGThread() {
  std::deque<IEvent*> events;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    events.swap(events_);
  }
  for (IEvent* e : events) delete e;
}

void BGThread::Post(IEvent* e) {
  std::unique_ptr<IEvent> owned(e);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (events_.size() >= events_.max_size()) throw std::length_error("list<T> too long");
    posting_ = true;
    hasWork_ = true;
    events_.push_back(e);
    owned.release();
    posting_ = false;
  }
  cond_.notify_one();
}

BGThread::IEvent* BGThread::Take(bool wait) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (wait) cond_.wait(lock, [this] { return !events_.empty() || stopped_; });
  if (events_.empty()) {
    hasWork_ = false;
    return nullptr;
  }
  IEvent* e = events_.front();
  events_.pop_front();
  hasWork_ = !events_.empty();
  return e;
}

size_t BGThread::RunAll() {
  size_t n = 0;
  while (IEvent* e = Take(false)) {
    std::unique_ptr<IEvent> owned(e);
    e->Run();
    ++n;
  }
  return n;
}

void BGThread::Signal() { cond_.notify_all(); }

void BGThread::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopped_ = true;
  }
  cond_.notify_all();
}

size_t BGThread::Pending() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return events_.size();
}
bool BGThread::Posting() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return posting_;
}
bool BGThread::HasWork() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return hasWork_;
}

}  // namespace kzm
