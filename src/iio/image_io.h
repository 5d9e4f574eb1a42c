// Interfaces of image readers and writers and of the byte sink they write to.
#pragma once
#include <cstdint>
#include <functional>
#include <vector>

#include "blend/pixel.h"
#include "iio/layer_param.h"

namespace iio {

// (step, steps, done, total) -> false to stop; empty means no progress wanted.
using ProgressFunc = std::function<bool(uint64_t, uint64_t, uint64_t, uint64_t)>;

class ImageInputBase {
 public:
  ImageInputBase() = default;
  virtual ~ImageInputBase() = default;
  ImageInputBase(const ImageInputBase&) = delete;
  ImageInputBase& operator=(const ImageInputBase&) = delete;

  // Number of images (layers, then the merged image), 0 on failure.
  virtual uint32_t Open() = 0;
  // Sets the failed flag when the error code is non-zero.
  virtual void CheckFailed() = 0;
  virtual uint32_t Width() const = 0;
  virtual uint32_t Height() const = 0;
  // Makes up to count further rows of the current image available; returns
  // how many, 0 on failure or at the end.
  virtual uint32_t ReadRows(uint32_t count) = 0;
  virtual int32_t ErrorCode() const = 0;
  // Loads the next image and copies its record to out.
  virtual bool NextImage(layer_param_t& out) = 0;

  void SetProgress(ProgressFunc progress) { progress_ = std::move(progress); }

 protected:
  bool Report(uint64_t step, uint64_t steps, uint64_t done, uint64_t total) {
    return !progress_ || progress_(step, steps, done, total);
  }
  ProgressFunc progress_;
};

// Readers that hand out rows of 32-bit pixels: byte 0 red, 1 green, 2 blue,
// 3 transparency.
class ImageInputBase32 : public ImageInputBase {
 public:
  // Canvas row y of the current image when it lies in the current row
  // window, else null. Valid until the next ReadRows or NextImage.
  virtual const uint32_t* RowPointer(int32_t y) const = 0;
};

// A seekable byte sink.
class ImageDestBase {
 public:
  ImageDestBase() = default;
  virtual ~ImageDestBase() = default;
  ImageDestBase(const ImageDestBase&) = delete;
  ImageDestBase& operator=(const ImageDestBase&) = delete;

  // Returns the count written; 0 when nothing is open.
  virtual size_t Write(const void* bytes, size_t count) = 0;
  virtual uint64_t Size() const = 0;  // largest position reached
  virtual uint64_t Tell() const = 0;
  virtual bool Seek(uint64_t position) = 0;
  virtual bool Close() = 0;
  virtual void Discard() = 0;
};

}  // namespace iio
