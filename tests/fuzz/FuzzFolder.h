#pragma once
// A folder of the fuzzing process's own in the temporary folder, emptied before each input, for the
// decoders that read a file.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

namespace brindlet::fuzz {

inline const std::filesystem::path& fuzzFolder() {
  static const std::filesystem::path folder =
      std::filesystem::temp_directory_path() / ("brindlet-fuzz-" + std::to_string(::getpid()));
  return folder;
}

// Empties the folder and writes the input as the file `name` in it; its path.
inline std::filesystem::path writeInput(const char* name, const std::uint8_t* data, std::size_t size) {
  std::filesystem::remove_all(fuzzFolder());
  std::filesystem::create_directories(fuzzFolder());
  std::filesystem::path file = fuzzFolder() / name;
  std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  return file;
}

}  // namespace brindlet::fuzz
