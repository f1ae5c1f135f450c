#pragma once

#include <filesystem>
#include <memory>

#include "base/Bytes.h"

namespace brindlet::platform {

// A file written from its start, one piece after another, through one open descriptor.
// Nothing is followed through a symbolic link. Results are 0 or an errno value.
class FileWriter {
 public:
  // Creates an empty file that only its owner reads and writes; EEXIST when anything (a file,
  // a folder, a link) is there already.
  static int createEmpty(const std::filesystem::path& file);
  // Opens an existing file for writing at its start; nothing and `error` set on failure.
  static std::unique_ptr<FileWriter> open(const std::filesystem::path& file, int& error);

  ~FileWriter();
  FileWriter(const FileWriter&) = delete;
  FileWriter& operator=(const FileWriter&) = delete;

  // Appends all of `bytes` (a full disk or a file-size limit is an error, never a short write).
  int write(ByteView bytes);
  // Closes the descriptor; an error here can mean data never reached the disk.
  int close();

 private:
  explicit FileWriter(int fd) : fd_(fd) {}
  int fd_;
};

}  // namespace brindlet::platform
