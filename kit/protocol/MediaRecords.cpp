#include "kit/protocol/MediaRecords.h"

namespace brindlet {

std::string_view caseName(CodecProfile profile) {
  switch (profile) {
    case CodecProfile::hevcMain:
      return "hevcMain";
    case CodecProfile::hevcMain10:
      return "hevcMain10";
    case CodecProfile::hevcMain444:
      return "hevcMain444";
    case CodecProfile::hevcMain44410:
      return "hevcMain44410";
  }
  return "unknown";
}

std::string_view displayName(CodecProfile profile) {
  switch (profile) {
    case CodecProfile::hevcMain:
      return "HEVC 4:2:0";
    case CodecProfile::hevcMain10:
      return "HEVC 4:2:0 10-bit";
    case CodecProfile::hevcMain444:
      return "HEVC 4:4:4";
    case CodecProfile::hevcMain44410:
      return "HEVC 4:4:4 10-bit";
  }
  return "unknown";
}

}  // namespace brindlet
