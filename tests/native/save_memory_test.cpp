// What the native save holds on to: the merged tiles it composes for the
// thumbnail are let go once sampled (tiles that were there before stay),
// and the thumbnail is the same either way.
#include <gtest/gtest.h>

#include "chunk/chunk_values.h"
#include "kzm/cell.h"
#include "kzm/doc_save.h"
#include "kzm/image_context.h"
#include "kzm/pi_folder.h"
#include "kzm/pi_image.h"
#include "kzm/tile.h"
#include "native/native_test_util.h"

namespace {

std::shared_ptr<kzm::ImageContextImpl> PaintedDoc() {
  auto doc = kzm::ImageContextImpl::Create(kzm::PiFolder::CreateRoot());
  kzm::PiFolder* root = doc->Root()->folder();
  root->SetFixedBounds(kzm::Rect{0, 0, 2000, 900});
  for (uint32_t k = 0; k < 3; ++k) {
    auto layer = kzm::PiImage::Create();
    for (int x = int(k) * 7; x < 2000; x += 13)
      for (int y = 0; y < 900; y += 11) layer->impl()->SetPixel(x, y, nt::SeedPixel(uint32_t(x * 31 + y + k)), nullptr);
    root->AppendChild(std::move(layer));
  }
  return doc;
}

nt::Bytes Thumb(kzm::ImageContext& doc) {
  const nt::Bytes file = nt::WriteFile([&](chunk::ChunkWriter& root) { kzm::SaveDocument(doc, true, ProgressFunc(), root); });
  auto tree = nt::Parse(file);
  auto thumb = tree->findChild("MergedThumb");
  chunk::ValueRange r;
  EXPECT_NE(thumb->findValue("Image", r), chunk::kNoValue);
  return nt::Bytes(r.begin, r.end);
}

}  // namespace

TEST(SaveMemory, ThumbnailTilesAreLetGo) {
  auto doc = PaintedDoc();
  kzm::PiFolder* root = doc->Root()->folder();
  ASSERT_EQ(root->TileCount(), 0u);
  const nt::Bytes first = Thumb(*doc);
  EXPECT_EQ(root->TileCount(), 0u);

  // The same thumbnail from a root whose tiles are all composed already;
  // those tiles stay.
  root->Compose(ProgressFunc());
  const size_t composed = root->TileCount();
  ASSERT_GT(composed, 0u);
  EXPECT_EQ(Thumb(*doc), first);
  EXPECT_EQ(root->TileCount(), composed);
}
