#include "kzm/doc_load.h"

#include <cstdio>
#include <string>
#include <vector>

#include "chunk/chunk_reader.h"
#include "chunk/chunk_values.h"
#include "kzm/bgptn.h"
#include "kzm/image_context.h"
#include "kzm/pi_folder.h"
#include "kzm/pi_image.h"
#include "kzm/record_layer.h"

namespace kzm {

namespace {

std::string PlaneName(uint64_t index) {
  char name[32];
  std::snprintf(name, sizeof name, "Plane%04llx", static_cast<unsigned long long>(index));
  return name;
}

void Report(const ProgressFunc& progress, uint64_t step, uint64_t steps, uint64_t done, uint64_t total) {
  if (progress) progress(step, steps, done, total);
}

void LoadRootRecord(Plane& root, const chunk::IChunkBase& file) {
  if (std::shared_ptr<const chunk::IChunkBase> r = file.findChild("Root"))
    LoadLayerRecord(root, *r, LoadOptions());
  else
    root.folder()->ClearFixedBounds();
}

}  // namespace

int LoadDocument(int32_t geo0, int32_t geo1, const chunk::IChunkBase* root, const ProgressFunc& progress,
                 std::shared_ptr<ImageContext>& out) {
  out.reset();
  if (!root) return 1;
  uint32_t version = 0;
  if (!chunk::ReadU32(*root, "version", version) || version == 0) return 1;
  if (version < kNativeVersion) return -2;
  std::string tool;
  if (!chunk::ReadString(*root, "tooltype", tool)) return 1;
  const bool paint = tool == "VORLET_PAINT";
  if (!paint && tool != "VORLET_MEMO") return -2;

  const ImageGeometry geometry{geo0, geo1, 0, 0};
  const LoadOptions options;
  std::shared_ptr<Plane> folder = PiFolder::CreateRoot();
  std::vector<std::unique_ptr<Plane>> layers;
  uint8_t twoLayer = 0;

  std::shared_ptr<const chunk::IChunkBase> edit = root->findChild("Edit");
  if (!paint || edit) {
    twoLayer = 1;
    std::unique_ptr<Plane> e = PiImage::Create(geometry);
    std::unique_ptr<Plane> i = PiImage::Create(geometry);
    LoadRootRecord(*folder, *root);
    Report(progress, 1, 2, 0, 2);
    if (edit) LoadLayerRecord(*e, *edit, options);
    Report(progress, 1, 2, 1, 2);
    if (std::shared_ptr<const chunk::IChunkBase> image = root->findChild("Image"))
      LoadLayerRecord(*i, *image, options);
    layers.push_back(std::move(i));
    layers.push_back(std::move(e));
  } else {
    const uint64_t n = root->childNames().size();
    uint64_t m = 0;
    while (m < n && root->findChild(PlaneName(m).c_str())) ++m;
    for (uint64_t i = 0; i < m; ++i) {
      std::shared_ptr<const chunk::IChunkBase> plane = root->findChild(PlaneName(i).c_str());
      Report(progress, 1, 2, i, m);
      std::unique_ptr<Plane> layer = PiImage::Create(geometry);
      LoadLayerRecord(*layer, *plane, options);
      layers.push_back(std::move(layer));
    }
    LoadRootRecord(*folder, *root);
    if (layers.empty()) layers.push_back(PiImage::Create(geometry));
  }

  std::shared_ptr<ImageContextImpl> ctx = ImageContextImpl::Create(folder);
  if (!ctx) return 1;
  ctx->SetFlags(1, twoLayer);
  for (auto& layer : layers) folder->impl()->AppendChild(std::move(layer));

  if (std::shared_ptr<const chunk::IChunkBase> bg = root->findChild("Bg")) {
    auto ptn = std::make_shared<BGPtnInfo>();
    if (LoadBGPtnInfo(*ptn, *bg) == 0) ctx->SetPatternInfo(ptn);
  }
  out = ctx;
  return 0;
}

}  // namespace kzm
