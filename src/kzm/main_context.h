// The main thread's identity.
//
// MainContext is process-wide: the runtime start-up (kzm/runtime.h) creates it
// on the calling thread, which becomes the main thread. Without a started
// runtime no main thread is recorded and IsMainThread() is true on every
// thread, so folder tiles are then computed synchronously by whoever asks.
#pragma once
#include <thread>

namespace kzm {

class MainContext {
 public:
  MainContext();  // records the calling thread

  static MainContext* Instance();  // null before start-up / after shut-down
  // Creates the process-wide instance on this thread unless one exists.
  static void CreateInstance();
  static void DestroyInstance();
  // True on the recorded main thread, and on every thread when none exists.
  static bool IsMainThread();

 private:
  std::thread::id mainThread_;
};

}  // namespace kzm
