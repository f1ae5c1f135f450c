#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "SampleMessages.h"
#include "kit/protocol/FNV1a.h"
#include "kit/protocol/WireCodec.h"

namespace brindlet {
namespace {

using testing::sampleAudioPacket;
using testing::sampleMessages;
using testing::sampleVideoFrame;

struct Golden {
  const char* name;
  std::size_t size;
  std::uint64_t hash;  // fnv1aHash of the whole frame
};

void expectFrame(const Bytes& frame, const Golden& golden) {
  EXPECT_EQ(frame.size(), golden.size) << golden.name;
  EXPECT_EQ(fnv1aHash(frame), golden.hash) << golden.name << " now encodes as " << toHex(frame);
}

// The exact frame of every sample message, in the order of sampleMessages(). A round trip
// cannot see a writer and a reader that change together (a field moved, a width changed):
// these sizes and hashes pin every byte of every case.
TEST(WireBytes, EverySampleMessageKeepsItsExactFrame) {
  const std::vector<Golden> goldens = {
      {"hello", 63, 0x2462d52d0e177b6cull},
      {"helloAck", 32, 0x1bbd6f86990228d5ull},
      {"helloReject", 43, 0x5961871e6a0f56a4ull},
      {"displayList", 108, 0x8de58469d13b88b3ull},
      {"selectDisplay", 9, 0x410cc2766e349952ull},
      {"viewport", 33, 0xe5ccc97a0fb7d839ull},
      {"setThumbnails", 6, 0xc67a3dfa1fb93f7bull},
      {"thumbnail", 313, 0x2db9e6da1a6503a3ull},
      {"feedback", 18, 0x00047994865e36a4ull},
      {"clipboardText", 19, 0x5bc5ba9032d5a6c2ull},
      {"key", 9, 0xa8d0c4fd7b01733bull},
      {"pointer", 18, 0xb4ff5657acd3ad0eull},
      {"pointer", 22, 0x0d8ccc7c4e7f1d65ull},
      {"pointer", 13, 0x7d76100674123978ull},
      {"pointer", 19, 0x260540242d8db0d4ull},
      {"ping", 13, 0x87a3e5a78d24dad5ull},
      {"pong", 13, 0xd5d438b36fc6470cull},
      {"streamInfo", 34, 0xeeb341362a42a4d4ull},
      {"cursorState", 26, 0x9cf3a2df16b7f391ull},
      {"authChallenge", 41, 0x7f85ed6f441ee2b5ull},
      {"authResponse", 158, 0x4fab6315087d2378ull},
      {"authResult", 6, 0xc6be35fa1ff2feafull},
      {"pairRequest", 56, 0x795b741b721c965eull},
      {"pairNonce", 41, 0xd4d38eb3dfb5c6e9ull},
      {"pairReveal", 41, 0xc28d4611c8480960ull},
      {"pairResult", 6, 0xc6b0a0fa1fe77724ull},
      {"hostStatus", 32, 0x62d374b9dcb56678ull},
      {"hostStatus", 7, 0xc7a9f5fb3e1ac848ull},
      {"appList", 196, 0xcc742ff307002df0ull},
      {"setAppListUpdates", 6, 0xc6a669fa1fdec52aull},
      {"activateApp", 15, 0xeb6c6f2fedeea896ull},
      {"activateApp", 11, 0x37e779f09c40de96ull},
      {"focus", 15, 0xae438045730173f4ull},
      {"unfocus", 5, 0xe4b906d92529376dull},
      {"windowThumbnails", 20, 0x2bb3145911544b82ull},
      {"windowThumbnail", 513, 0x5d85631355d21ddfull},
      {"streamMode", 77, 0x4b4e559d23b70c3dull},
      {"streamMode", 25, 0xba67af7b257d4122ull},
      {"cursorShape", 145, 0x26dbf56adfbed7d8ull},
      {"requestCursorShape", 9, 0xf3d9ca4f28e62d33ull},
      {"setVideoEnabled", 6, 0xc6f495fa2021313full},
      {"text", 9, 0xcc5a6f6c554cc803ull},
      {"setAudio", 6, 0xc6ea61fa2018845eull},
      {"audioConfig", 21, 0x491d629b43c9d2b3ull},
      {"audioStatus", 37, 0xc4347e2d8b17b338ull},
      {"audioStatus", 7, 0x678203fc29a8f825ull},
      {"relayConfig", 218, 0x3b3fccfcf7c71801ull},
      {"focusBack", 5, 0xe4b90fd9252946b8ull},
      {"requestInstalledApps", 5, 0xe4b910d92529486bull},
      {"installedApps", 75, 0x8aaa36aca7a824caull},
      {"requestAppIcons", 44, 0x5ab63a1edbddce5eull},
      {"appIcon", 119, 0x55ff5e2d45725ccdull},
      {"launchApp", 24, 0x5564a30f3998ca4full},
      {"launchStatus", 43, 0x8475e49eb7e3a843ull},
      {"launchControl", 24, 0x3175a0ad9618594bull},
      {"quitApp", 9, 0x009ef81f74a4d574ull},
      {"recentApps", 19, 0x92383747c99c9b7eull},
      {"fileOffer", 83, 0x5ef2d5fc3348baedull},
      {"fileChunk", 1023, 0xb0a8967a503266b0ull},
      {"fileEnd", 9, 0xea30a9451016e5a5ull},
      {"fileCancel", 9, 0xf6df8d6f8d6651bbull},
      {"fileStatus", 29, 0x61730f5b127eb7dfull},
      {"watchActions", 6, 0xc71691fa203e10d9ull},
      {"appActions", 123, 0x288d514b9d94f6d3ull},
      {"performAction", 34, 0x231aec7541a12e56ull},
      {"actionResult", 40, 0x7cc8743e07731e3aull},
      {"textFocus", 28, 0xb24fa1163ff11328ull},
      {"sessionReplaced", 21, 0x16080b1689763602ull},
  };
  const std::vector<Message> messages = sampleMessages();
  ASSERT_EQ(messages.size(), goldens.size());
  for (std::size_t i = 0; i < messages.size(); ++i) {
    ASSERT_EQ(messages[i].name(), goldens[i].name) << "sample " << i;
    expectFrame(WireCodec::encode(messages[i]), goldens[i]);
  }
}

TEST(WireBytes, MediaRecordsKeepTheirExactFrames) {
  expectFrame(WireCodec::encodeVideoFrame(sampleVideoFrame()), Golden{"videoFrame", 1112, 0x3aee7fce1e3edfcfull});
  expectFrame(WireCodec::encodeAudioPacket(sampleAudioPacket()), Golden{"audioPacket", 204, 0x5d4aabd9ad7559e9ull});
}

}  // namespace
}  // namespace brindlet
