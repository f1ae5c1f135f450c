#pragma once

#include <sys/types.h>

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
  // Reads the whole file into `content`. ENOENT when it does not exist.
  static int read(const std::filesystem::path& file, Bytes& content);
  // Creates the folder and its missing parents; the folder itself gets `mode` (also
  // when it already existed), parents are created owner-only.
  static int makeFolder(const std::filesystem::path& folder, mode_t mode);
};

}  // namespace brindlet::platform
