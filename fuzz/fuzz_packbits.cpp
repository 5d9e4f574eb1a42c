// PackBits: decoding arbitrary bytes into a row of a chosen length never
// touches memory outside either buffer (both are exact heap blocks), and any
// row encodes within the bound and decodes back to itself.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz_util.h"
#include "iio/packbits.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const size_t rowLen = size_t(data[0]) | size_t(data[1] & 0x7F) << 8;
  const size_t n = size - 2;
  std::unique_ptr<uint8_t[]> src(new uint8_t[n ? n : 1]);
  if (n) std::memcpy(src.get(), data + 2, n);
  std::unique_ptr<uint8_t[]> dst(new uint8_t[rowLen ? rowLen : 1]);
  const bool ok = iio::PackBitsDecode(dst.get(), dst.get() + rowLen, src.get(), src.get() + n);

  // A row that decoded re-encodes to a stream that decodes to it again.
  const uint8_t* row = ok ? dst.get() : src.get();
  const size_t len = ok ? rowLen : n;
  std::vector<uint8_t> packed;
  iio::PackBitsEncode(row, len, packed);
  FUZZ_CHECK(packed.size() <= iio::PackBitsBound(len));
  std::unique_ptr<uint8_t[]> back(new uint8_t[len ? len : 1]);
  std::unique_ptr<uint8_t[]> enc(new uint8_t[packed.size() ? packed.size() : 1]);
  if (!packed.empty()) std::memcpy(enc.get(), packed.data(), packed.size());
  FUZZ_CHECK(iio::PackBitsDecode(back.get(), back.get() + len, enc.get(), enc.get() + packed.size()));
  FUZZ_CHECK(len == 0 || std::memcmp(back.get(), row, len) == 0);
  return 0;
}
