// PSD writer: version 1, 8-bit RGB with transparency, one record per layer,
// then the merged image. Each layer channel is stored PackBits-compressed or
// plain, whichever is smaller; so is the merged image, all four channels
// alike. The merged image's colour is stored matted on white, as PSD readers
// expect of it; layer pixels are stored as they are (transparent ones as
// four zero bytes).
//
// Calling order: Begin; for each layer of the list, BeginLayer, WriteRows
// for its rows top to bottom, EndLayer; then WriteRows for every canvas row
// of the merged image; then Finish. Any step out of this order or a short or
// long row count makes that call and every later one return false, with the
// reason in LastError. A layer's channel data goes to the stream while the
// next layer is encoded, so a stream that fails there shows at the next
// EndLayer or at Finish, and from then on every call returns false.
#pragma once
#include <array>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "base/work_pool.h"
#include "iio/image_io.h"

namespace iio {

enum PsdOutError : int32_t {
  kPsdOutOk = 0,
  kPsdOutStream = 1,    // the stream did not take the bytes
  kPsdOutOrder = 2,     // calls out of order, wrong row counts, bad canvas or bounds
  kPsdOutTooLarge = 3,  // a size that the format cannot hold
};

class PsdOut : public ImageOutputBase32 {
 public:
  // The stream is not owned and must outlive the writer.
  explicit PsdOut(ImageDestBase& stream);
  ~PsdOut() override;

  bool Begin(uint32_t width, uint32_t height, const std::vector<layer_param_t>& layers) override;
  bool Finish() override;
  bool BeginLayer(const layer_param_t& layer) override;
  bool EndLayer() override;
  // Rows of (right - left) pixels of the current rectangle, back to back.
  bool WriteRows(const PixelRGBA* pixels, uint32_t rows) override;
  int32_t LastError() const override { return error_; }

  // Reads rows [i, i + count) of the current rectangle (0 = its top row),
  // right - left pixels each, back to back into out; count is at most 8.
  // Called on the work pool, for different rows at once.
  using RowSource = std::function<void(uint32_t i, uint32_t count, PixelRGBA* out)>;
  // Like WriteRows for the next `rows` rows, but the rows are read by the
  // encoding work itself, so reading them is spread over the pool too. The
  // source (a copy) may be called until EndLayer / Finish.
  bool WriteRowsFrom(uint32_t rows, const RowSource& source);

  // Memory taken for encoded channel data (kept until the writer goes).
  size_t EncodedBufferBytes() const;

  // The 8-bit form of one premultiplied pixel as the writer stores it.
  static void ToBytes(const PixelRGBA& p, uint8_t out[4]);

  class LengthField;
  class Emitter;

 private:
  enum class Phase { kIdle, kLayers, kInLayer, kMerged, kDone };
  // A channel's encoded rows, in pieces of the same size, so that it grows
  // without reallocating and the pieces a finished write gives back serve
  // the next layer.
  struct Channel {
    std::vector<std::unique_ptr<uint8_t[]>> pieces;
    size_t size = 0;  // bytes
    std::vector<uint16_t> counts;
  };

  bool Fail(int32_t code);
  void Put(const void* bytes, size_t n);
  void Put8(uint8_t v) { Put(&v, 1); }
  void Put16(uint16_t v);
  void Put32(uint32_t v);
  void Patch32(uint64_t at, uint32_t value);
  void WriteRecord(const layer_param_t& layer, std::array<uint64_t, 4>& lengthFields);
  // matte: rows are those of the merged image.
  void ResetRect(int32_t left, int32_t top, int32_t right, int32_t bottom, bool matte);
  bool EncodeRows(const PixelRGBA* pixels, uint32_t rows);
  bool FlushRows();
  void Append(Channel& ch, const uint8_t* bytes, size_t n);
  std::unique_ptr<uint8_t[]> TakePiece();
  void Clear(Channel& ch);
  // Writes a channel's encoded rows and gives its pieces back.
  void WriteChannel(Emitter& e, Channel& ch);
  // Writes a channel's rows decoded (width bytes each), giving its pieces
  // back as they are used up.
  void WriteChannelRaw(Emitter& e, Channel& ch, size_t width);
  void GiveBack(std::unique_ptr<uint8_t[]> piece);
  // Bytes of a channel's data with its compression field, PackBits or plain.
  static uint64_t PackedLength(const Channel& ch) { return 2 + 2 * uint64_t(ch.counts.size()) + ch.size; }
  static uint64_t RawLength(const Channel& ch, size_t width) { return 2 + uint64_t(ch.counts.size()) * width; }
  static void WriteCounts(Emitter& e, const Channel& ch);
  // The end of the layer section, after the last layer's channel data.
  void CloseLayerSection(Emitter& e);
  // Waits for the layer data being written; false (and the error kept)
  // when the stream failed.
  bool WaitWrite();

  ImageDestBase& out_;
  int32_t error_ = kPsdOutOk;
  Phase phase_ = Phase::kIdle;
  uint32_t width_ = 0, height_ = 0;
  uint32_t layerCount_ = 0, current_ = 0;
  uint64_t lmiField_ = 0, layerInfoField_ = 0;
  std::vector<std::array<uint64_t, 4>> channelFields_;
  std::vector<std::array<int32_t, 4>> bounds_;  // left, top, right, bottom per layer
  int32_t left_ = 0, top_ = 0, right_ = 0, bottom_ = 0;
  bool matte_ = false;  // rows of the merged image: colour matted on white
  uint32_t rows_ = 0;
  std::array<Channel, 4> channels_;
  // The previous layer's channels while a pool task writes them; the only
  // user of the stream until it is waited for.
  std::array<Channel, 4> writing_;
  base::Task write_;
  int32_t writeError_ = kPsdOutOk;
  // Pieces to reuse. While a write runs, the next layer takes at most a few
  // pieces more than the write holds and then waits for the ones it gives
  // back, so a slow disk never makes the writer hold two layers.
  mutable std::mutex spareLock_;
  std::condition_variable spareBack_;
  std::vector<std::unique_ptr<uint8_t[]>> spare_;
  size_t pieces_ = 0;  // pieces allocated
  size_t pieceLimit_ = 0;
  bool writeRunning_ = false;
  std::vector<uint8_t> planes_;  // one converted row, channel after channel
  std::vector<uint8_t> encoded_;  // one encoded row
  // Rows waiting to be encoded together on the work pool. Rows are gathered
  // only where no row can fail (its PackBits form always fits the 16-bit
  // row count), so a failure shows at the row that causes it as before.
  // Two batches: one being filled while the other is encoded.
  struct Batch {
    std::vector<PixelRGBA> px;
    uint32_t rows = 0;
    // When set, the rows are read by the encoding tasks, from row `first`
    // of the rectangle on, instead of taken from px.
    RowSource source;
    uint32_t first = 0;
    // Encoded rows: the slot of row y, channel c starts at (y * 4 + c) *
    // slot bytes, its length is lengths[y * 4 + c].
    std::unique_ptr<uint8_t[]> encoded;
    size_t encodedCap = 0;
    std::vector<uint32_t> lengths;
    std::vector<base::Task> tasks;             // last: waited for first
  };
  bool SubmitBatch();
  bool TakeBatch();
  Batch batches_[2];
  int filling_ = 0;
  bool inFlight_ = false;        // batches_[1 - filling_] is being encoded
  uint32_t waitingRows_ = 0;     // rows in both batches
  uint32_t batchRows_ = 0;       // 0: rows are encoded as they come
};

}  // namespace iio
