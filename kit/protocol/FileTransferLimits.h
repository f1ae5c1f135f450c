#pragma once

// Records of a file transfer and the limits both ends share.

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "kit/protocol/RawEnum.h"

namespace brindlet {

struct FileMeta {
  std::string name;
  std::string typeID;
  std::uint64_t size = 0;

  bool operator==(const FileMeta&) const = default;
};

// What the device wants done with the files it sends.
enum class FileTransferKind : std::uint8_t { attach = 1, paste = 2 };
template <>
struct RawRange<FileTransferKind> {
  static constexpr std::uint8_t first = 1, last = 2;
};

enum class FileTransferState : std::uint8_t { accepted = 1, progress = 2, done = 3, failed = 4, rejected = 5 };
template <>
struct RawRange<FileTransferState> {
  static constexpr std::uint8_t first = 1, last = 5;
};

struct FileTransferLimits {
  FileTransferLimits() = delete;

  // Largest data length of one file chunk (a chunk of exactly this size is allowed).
  static constexpr std::uint64_t chunkSize = 65536;
  // Most files in one offer.
  static constexpr std::uint64_t maxFiles = 10;
  // Largest sum of the file sizes of one offer (100 MB).
  static constexpr std::uint64_t maxTotalBytes = 104857600;

  // Nothing when the offer can be taken, else the reason to refuse it.
  static std::optional<std::string> validateOffer(std::span<const FileMeta> files);
  static std::optional<std::string> validateOffer(std::span<const std::uint64_t> sizes);

  // A short text in KB or MB, as in "1.5 MB" or "2 KB".
  static std::string formatBytes(std::uint64_t bytes);
};

}  // namespace brindlet
