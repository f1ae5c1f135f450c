#pragma once

#include <vector>

#include "kit/protocol/Message.h"

namespace brindlet::testing {

// One message of every case, with payloads that use every field (non-zero numbers, texts with
// non-ASCII characters, present optionals and nested lists).
std::vector<Message> sampleMessages();

VideoFrame sampleVideoFrame();
AudioPacket sampleAudioPacket();

}  // namespace brindlet::testing
