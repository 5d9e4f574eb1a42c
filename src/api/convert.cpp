// The simple door: one call converts a file, bytes or a caller's source.
#include <cctype>
#include <cstdio>
#include <cstring>

#include "api/internal.h"
#include "base/data_src.h"
#include "base/output_file.h"
#include "convert/memory_output.h"
#include "convert/safe_output.h"
#include "kzm/runtime.h"

namespace api {

namespace {

// The caller's callbacks as the conversion's events.
ConversionEvents EventsOf(const yvn2psd_options& o) {
  ConversionEvents e;
  if (o.progress) {
    const yvn2psd_progress_fn fn = o.progress;
    void* user = o.progress_user;
    e.progress = [fn, user](Stage stage, uint64_t percent, uint64_t phase, uint64_t phases) {
      yvn2psd_progress p{};
      p.stage = stage == Stage::Read ? YVN2PSD_STAGE_READ : YVN2PSD_STAGE_WRITE;
      p.phase = uint32_t(phase);
      p.phases = uint32_t(phases);
      p.percent = uint32_t(percent);
      return fn(user, &p) == 0;
    };
    e.stageEnd = [fn, user](Stage stage, uint64_t phase, uint64_t phases, int32_t status) {
      yvn2psd_progress p{};
      p.stage = stage == Stage::Read ? YVN2PSD_STAGE_READ : YVN2PSD_STAGE_WRITE;
      p.phase = uint32_t(phase);
      p.phases = uint32_t(phases);
      p.percent = 100;
      p.finished = 1;
      p.status = status;
      fn(user, &p);
    };
  }
  if (o.temporary) {
    const yvn2psd_temporary_fn fn = o.temporary;
    void* user = o.temporary_user;
    e.temporary = [fn, user](const std::string& path, bool exists) { fn(user, path.c_str(), exists ? 1 : 0); };
  }
  return e;
}

// The source format of a path: its extension, else its leading bytes.
bool NativePath(const std::string& path, int format) {
  if (format != YVN2PSD_FORMAT_AUTO) return format == YVN2PSD_FORMAT_YVN;
  if (NativeByExtension(path)) return true;
  std::string e = path.size() >= 4 ? path.substr(path.size() - 4) : std::string();
  for (char& c : e) c = char(std::toupper(uint8_t(c)));
  if (e == ".PSD" || e == ".PSB") return false;
  uint8_t head[4] = {};
  size_t n = 0;
  if (std::FILE* f = base::OpenFile(path.c_str(), "rb")) {
    n = std::fread(head, 1, sizeof head, f);
    std::fclose(f);
  }
  return NativeByBytes(head, n);
}

int ConvertBytes(DataSrcBase& src, void** output, size_t* outputSize, const yvn2psd_options* options) {
  if (!output) return Fail(kErrInvalidArgument, "no output pointer");
  *output = nullptr;
  if (outputSize) *outputSize = 0;
  const yvn2psd_options o = OptionsOf(options);
  if (const int code = CheckOptions(o)) return code;
  bool native = o.source_format == YVN2PSD_FORMAT_YVN;
  if (o.source_format == YVN2PSD_FORMAT_AUTO) {
    uint8_t head[4] = {};
    const size_t n = size_t(src.size() < 4 ? src.size() : 4);
    src.rewind();
    if (n && !src.readTo(head, n)) return Fail(kErrSourceOpen);
    src.rewind();
    native = NativeByBytes(head, n);
  }
  kzm::Runtime runtime;
  MemoryOutput memory;
  SourceRef source;
  source.bytes = &src;
  TargetRef target;
  target.memory = &memory;
  std::string detail;
  const int32_t code = Convert(source, native, target, SettingsOf(o), EventsOf(o), &detail);
  if (code != 0) return Fail(code, detail);
  *output = memory.Release(outputSize);
  return 0;
}

}  // namespace

}  // namespace api

extern "C" {

int yvn2psd_check_destination(const char* source, const char* destination) {
  return api::Guard([&] {
    if (!source || !destination) return api::Fail(kErrInvalidArgument, "no path");
    // Links followed: a link, a hard link or another spelling of the source
    // must not have the source's own bytes replaced while they are read.
    if (SameFile(source, destination)) return api::Fail(kErrSameFile);
    if (ClassifyDestination(destination) == DestinationKind::Unusable) return api::Fail(kErrDestinationCreate);
    return 0;
  });
}

int yvn2psd_convert_file(const char* source, const char* destination, const yvn2psd_options* options) {
  return api::Guard([&] {
    if (!source || !destination || !*source || !*destination) return api::Fail(kErrInvalidArgument, "no path");
    const yvn2psd_options o = api::OptionsOf(options);
    if (const int code = api::CheckOptions(o)) return code;
    if (const int code = yvn2psd_check_destination(source, destination)) return code;
    if (!o.overwrite && ClassifyDestination(destination) == DestinationKind::File)
      return api::Fail(kErrExists, destination);
    kzm::Runtime runtime;
    SourceRef src;
    src.path = source;
    TargetRef target;
    target.path = destination;
    std::string detail;
    const int32_t code = Convert(src, api::NativePath(source, o.source_format), target, api::SettingsOf(o),
                                 api::EventsOf(o), &detail);
    return code ? api::Fail(code, detail) : 0;
  });
}

int yvn2psd_convert_memory(const void* source, size_t sourceSize, void** output, size_t* outputSize,
                           const yvn2psd_options* options) {
  return api::Guard([&] {
    if (!source && sourceSize) return api::Fail(kErrInvalidArgument, "no source");
    DataSrcMemory src(static_cast<const uint8_t*>(source), sourceSize);
    return api::ConvertBytes(src, output, outputSize, options);
  });
}

int yvn2psd_convert_source(const yvn2psd_source* source, void** output, size_t* outputSize,
                           const yvn2psd_options* options) {
  return api::Guard([&] {
    if (!source || !source->read) return api::Fail(kErrInvalidArgument, "no source");
    const auto read = source->read;
    void* user = source->user;
    DataSrcFunction src([read, user](uint64_t offset, void* dst, size_t n) { return read(user, offset, dst, n); },
                        source->size);
    return api::ConvertBytes(src, output, outputSize, options);
  });
}

}  // extern "C"
