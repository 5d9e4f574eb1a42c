// Image context: root, walking, AddPlane; main context identity.
#include <gtest/gtest.h>

#include <thread>

#include "kzm/image_context.h"
#include "kzm/main_context.h"
#include "kzm/pi_folder.h"
#include "kzm/pi_image.h"

struct BGPtnInfo {
  int id = 0;
  bool* destroyed = nullptr;
  ~BGPtnInfo() {
    if (destroyed) *destroyed = true;
  }
};

namespace kzm {
namespace {

TEST(ImageContext, RootMustBeFolder) {
  EXPECT_EQ(ImageContextImpl::Create(nullptr), nullptr);
  EXPECT_EQ(ImageContextImpl::Create(std::shared_ptr<Plane>(PiImage::Create().release())), nullptr);
  auto ctx = ImageContextImpl::Create(PiFolder::CreateRoot());
  ASSERT_TRUE(ctx);
  EXPECT_EQ(ctx->Root()->Kind(), 3);
  EXPECT_EQ(ctx->PatternInfo(), nullptr) << "no pattern until one is set";
  EXPECT_EQ(ctx->Flag1(), 0);
  EXPECT_EQ(ctx->Flag2(), 0);
  ctx->SetFlags(1, 0);
  EXPECT_EQ(ctx->Flag1(), 1);
}

TEST(ImageContext, AddPlaneDissolvesFolderIntoRootInOrder) {
  auto ctx = ImageContextImpl::Create(PiFolder::CreateRoot());
  ctx->AddPlane(PiImage::Create());
  ctx->Root()->impl()->ChildAt(0)->impl()->SetName("first");
  auto f = PiFolder::Create();
  for (const char* n : {"a", "b", "c"}) f->impl()->AppendChild(PiImage::Create())->impl()->SetName(n);
  EXPECT_EQ(ctx->AddPlane(std::move(f)), 3u);
  std::shared_ptr<ImageContext> doc = ctx;
  ASSERT_EQ(doc->ChildCount(doc->Root()), 4u);
  const char* want[] = {"first", "a", "b", "c"};
  for (int i = 0; i < 4; ++i) {
    Plane* c = doc->ChildAt(doc->Root(), i);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->Kind(), 1) << "no extra folder level";
    EXPECT_EQ(c->impl()->Name(), want[i]);
    EXPECT_EQ(c->impl()->Parent(), doc->Root());
  }
  EXPECT_EQ(doc->ChildAt(doc->Root(), 4), nullptr);
  EXPECT_EQ(doc->ChildCount(doc->ChildAt(doc->Root(), 0)), 0u);
}

TEST(ImageContext, ReleasesPatternAndTree) {
  bool destroyed = false;
  {
    auto ctx = ImageContextImpl::Create(PiFolder::CreateRoot());
    auto pat = std::make_shared<BGPtnInfo>();
    pat->destroyed = &destroyed;
    ctx->SetPatternInfo(pat);
    pat.reset();
    EXPECT_NE(ctx->PatternInfo(), nullptr);
  }
  EXPECT_TRUE(destroyed);
}

TEST(MainContext, RecordsCreatingThread) {
  ASSERT_EQ(MainContext::Instance(), nullptr) << "this binary never starts the runtime globally";
  EXPECT_TRUE(MainContext::IsMainThread()) << "no main thread recorded: everyone computes";
  MainContext::CreateInstance();
  ASSERT_NE(MainContext::Instance(), nullptr);
  EXPECT_TRUE(MainContext::IsMainThread());
  bool other = true;
  std::thread([&] { other = MainContext::IsMainThread(); }).join();
  EXPECT_FALSE(other);
  MainContext::DestroyInstance();
  EXPECT_EQ(MainContext::Instance(), nullptr);
}

}  // namespace
}  // namespace kzm
