// Two threads on the node lock, tile reference counts and the background
// queue with folder-tile events.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "kzm/main_context.h"
#include "kzm/pi_folder.h"
#include "kzm/pi_image.h"

namespace kzm {
namespace {

PixelRGBA Px(uint16_t r, uint16_t g, uint16_t b, uint16_t a) { return PixelRGBA{r, g, b, a}; }

TEST(Threads, NodeLockSerialisesStructuralChanges) {
  auto root = PiFolder::CreateRoot();
  Plane::Impl* f = root->impl();
  long counter = 0;  // guarded by the node lock only
  constexpr int kRounds = 2000;
  auto work = [&](int id) {
    for (int i = 0; i < kRounds; ++i) {
      if (i % 2) {
        while (!f->TryLock()) std::this_thread::yield();
      } else {
        f->Lock();
      }
      f->Lock();  // recursive
      ++counter;
      f->Unlock();
      f->Unlock();
      Plane* c = f->AppendChild(PiImage::Create());
      c->impl()->SetOpacity(uint16_t(id));
      if (i % 3 == 0) f->DeleteChild(c);
    }
  };
  std::thread t1(work, 1), t2(work, 2);
  t1.join();
  t2.join();
  EXPECT_EQ(counter, 2L * kRounds);
  const size_t deleted = 2 * ((kRounds + 2) / 3);
  EXPECT_EQ(f->ChildCount(), size_t(2 * kRounds) - deleted);
}

TEST(Threads, TileReferenceCountsFromTwoThreads) {
  Tile* t = Tile::CreateFilled(TileLocate(), Px(1, 1, 1, 1));
  auto work = [t] {
    for (int i = 0; i < 20000; ++i) {
      TileRef r = TileRef::Share(t);
      TileRef copy = r;
      (void)copy;
    }
  };
  std::thread a(work), b(work);
  a.join();
  b.join();
  EXPECT_EQ(t->AddRef(), 2);
  EXPECT_EQ(t->Release(), 1);
  EXPECT_EQ(t->Release(), 0);
}

struct LocateObserver : IPlaneObserver {
  std::vector<uint32_t> locs;
  int plain = 0;
  void OnPlaneChanged(Plane*, const TileLocate* t) override {
    if (t)
      locs.push_back(t->key);
    else
      ++plain;
  }
};

TEST(Threads, QueueRunsFolderTileEventsOnWorker) {
  MainContext::CreateInstance();
  BGThread queue;
  std::atomic<int> ran{0};
  std::thread worker([&] {
    while (BGThread::IEvent* e = queue.Take(true)) {
      e->Run();
      delete e;
      ++ran;
    }
  });
  LocateObserver obs;
  {
    auto root = PiFolder::CreateRoot();
    PiFolder* f = root->folder();
    Plane* img = f->AppendChild(PiImage::Create());
    for (int c = 0; c < 8; ++c) img->impl()->SetPixel(c * 128, 0, Px(1, 1, 1, 1), nullptr);
    f->AttachWorker(&queue);
    f->AddObserver(&obs);
    for (int c = 0; c < 8; ++c) {
      Tile* t = f->FindTile(TileLocate::FromColRow(c, 0), true);
      ASSERT_TRUE(t->HasCells());
    }
    // Wait for the worker, then deliver the notices on this (main) thread.
    while (ran.load() < 8) std::this_thread::yield();
    while (f->PendingEvents() != 0) std::this_thread::yield();
    EXPECT_EQ(MainContext::Instance()->DrainMain(), 8u);
    std::set<uint32_t> got(obs.locs.begin(), obs.locs.end());
    EXPECT_EQ(got.size(), 8u);
    for (int c = 0; c < 8; ++c) {
      Tile* t = f->LookupTile(TileLocate::FromColRow(c, 0));
      std::lock_guard<std::mutex> lock(t->ContentMutex());
      EXPECT_EQ(t->genComputed, t->genRequested);
      EXPECT_EQ(t->genInProgress, -1);
    }
    // More requests, then destroy the folder while they may still be queued:
    // destruction waits for them and later notices are cancelled.
    f->ChildChanged(nullptr);
    for (int c = 0; c < 8; ++c) f->FindTile(TileLocate::FromColRow(c, 0), true);
  }
  queue.Stop();
  worker.join();
  const size_t late = MainContext::Instance()->DrainMain();
  EXPECT_LE(late, 8u);
  EXPECT_EQ(obs.locs.size(), 8u) << "a closed folder reports nothing more";
  MainContext::DestroyInstance();
}

TEST(Threads, OffMainThreadRequestWithoutWorkerLeavesTileUncomputed) {
  MainContext::CreateInstance();
  auto root = PiFolder::CreateRoot();
  PiFolder* f = root->folder();
  f->AppendChild(PiImage::Create())->impl()->SetPixel(3, 3, Px(1, 1, 1, 1), nullptr);
  Tile* fromOther = nullptr;
  std::thread([&] { fromOther = f->FindTile(TileLocate(), true); }).join();
  ASSERT_NE(fromOther, nullptr);
  EXPECT_TRUE(fromOther->HasCells());
  EXPECT_EQ(fromOther->genComputed, 0u);
  Tile* fromMain = f->FindTile(TileLocate(), true);
  EXPECT_EQ(fromMain, fromOther);
  EXPECT_EQ(fromMain->genComputed, fromMain->genRequested);
  root.reset();
  MainContext::DestroyInstance();
}

TEST(Threads, DroppedEventsDoNotBlockFolderDestruction) {
  auto root = PiFolder::CreateRoot();
  PiFolder* f = root->folder();
  f->AppendChild(PiImage::Create())->impl()->SetPixel(3, 3, Px(1, 1, 1, 1), nullptr);
  {
    BGThread queue;  // never drained
    f->AttachWorker(&queue);
    f->FindTile(TileLocate(), true);
    EXPECT_EQ(queue.Pending(), 1u);
    EXPECT_EQ(f->PendingEvents(), 1u);
  }
  EXPECT_EQ(f->PendingEvents(), 0u);
  f->AttachWorker(nullptr);
  root.reset();  // returns without waiting
}

}  // namespace
}  // namespace kzm
