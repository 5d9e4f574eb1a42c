#include "kzm/main_context.h"

#include <atomic>
#include <mutex>

namespace kzm {

namespace {
std::atomic<MainContext*> g_main{nullptr};
std::mutex g_mainSetup;
}  // namespace

MainContext::MainContext() : mainThread_(std::this_thread::get_id()) {}

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
  return !mc || mc->mainThread_ == std::this_thread::get_id();
}

}  // namespace kzm
