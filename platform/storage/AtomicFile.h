#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>

#include "base/Bytes.h"

namespace brindlet::platform {

// Whole-file reads and atomic whole-file writes. A write goes to a new file beside the
// target (created with the given mode), is flushed to disk and then renamed over the
// target, so a reader sees either the old or the new content, never a part of either.
// Results are 0 or an errno value.
class AtomicFile {
 public:
  // Replaces (or creates) the file. With `exclusive`, fails with EEXIST when the file
  // is already there instead of replacing it.
  static int write(const std::filesystem::path& file, ByteView content, mode_t mode, bool exclusive = false);
  // Reads the whole file into `content`. ENOENT when it does not exist; EFBIG, with nothing
  // read, when it holds more than `limit` bytes.
  static int read(const std::filesystem::path& file, Bytes& content, std::size_t limit = SIZE_MAX);
  // Creates the folder and its missing parents; the folder itself gets `mode` (also
  // when it already existed), parents are created owner-only.
  static int makeFolder(const std::filesystem::path& folder, mode_t mode);
  // Renames a file that could not be read to "<file>.unreadable-<UTC date of `when`>" (as
  // "20261210T124643Z"), adding "-1", "-2"... when that name is taken: an earlier copy is
  // never replaced. 0 with the new path in `aside`; ENOENT when the file is gone.
  static int keepAside(const std::filesystem::path& file, std::chrono::system_clock::time_point when,
                       std::filesystem::path& aside);
};

}  // namespace brindlet::platform
