#pragma once

namespace brindlet {

// The five classes of traffic; each travels on a stream of its own.
enum class Channel { control, input, video, audio, transfer };

}  // namespace brindlet
