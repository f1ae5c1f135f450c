#pragma once

// The host's side of a file transfer from the device, one transfer at a time: it takes or
// refuses an offer, writes the chunks straight into a fresh folder of the inbox, checks their
// order and sizes, reports progress, and at the end puts the files on the clipboard.
//
//   FileReceiver receiver(inbox, clock, [&](const Message& m) { connection->send(m); },
//                         [&](std::vector<PasteboardFile> files) { return pasteboard->writeFiles(std::move(files)); });
//   receiver.handleOffer(7, files, FileTransferKind::attach);   // fileStatus accepted, or rejected
//   receiver.handleChunk(7, 0, 0, data);                        // progress at most every 0.25 s
//   receiver.handleEnd(7);                                      // done, or failed
//
// Every reply is a fileStatus message given to `reply`. Chunks, ends and cancels of a transfer
// that is not the active one are ignored without a reply. A failed or cancelled transfer
// leaves nothing behind in the inbox; a completed one stays, in a folder no later transfer
// reuses. Not thread-safe: the session calls it from its strand only.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/Bytes.h"
#include "base/Clock.h"
#include "host/control/HostInbox.h"
#include "host/control/PasteboardProviding.h"
#include "kit/protocol/FileTransferLimits.h"
#include "kit/protocol/Message.h"

namespace brindlet::platform {
class FileWriter;
}

namespace brindlet::host {

class FileReceiver {
 public:
  using Reply = std::function<void(const Message&)>;
  // Places the received files on the clipboard; false when they could not be placed.
  using Finish = std::function<bool(std::vector<PasteboardFile>)>;

  // Least time between two progress reports, in seconds.
  static constexpr double progressInterval = 0.25;

  FileReceiver(HostInbox inbox, std::shared_ptr<Clock> clock, Reply reply, Finish finish);
  ~FileReceiver();
  FileReceiver(const FileReceiver&) = delete;
  FileReceiver& operator=(const FileReceiver&) = delete;

  void handleOffer(std::uint32_t transferID, const std::vector<FileMeta>& files, FileTransferKind kind);
  void handleChunk(std::uint32_t transferID, std::uint16_t fileIndex, std::uint64_t offset, ByteView data);
  void handleEnd(std::uint32_t transferID);
  void handleCancel(std::uint32_t transferID);
  // Drops the active transfer without a reply: its file is closed and its folder removed.
  // Nothing when idle. The session calls it when it ends.
  void cancel();

  bool isReceiving() const { return active_.has_value(); }

 private:
  struct Active {
    std::uint32_t id = 0;
    std::vector<FileMeta> files;
    std::filesystem::path folder;
    std::vector<std::filesystem::path> urls;
    std::vector<std::uint64_t> received;
    std::unique_ptr<platform::FileWriter> handle;
    std::optional<std::size_t> handleIndex;
    std::uint64_t total = 0;
    Clock::Duration lastProgress{};  // uptime
  };

  void reject(std::uint32_t transferID, std::string detail);
  void fail(std::string detail);
  // A folder of the inbox that no earlier transfer used, made now; nothing when none could be.
  std::optional<std::filesystem::path> makeTransferFolder(std::uint32_t transferID) const;

  HostInbox inbox_;
  std::shared_ptr<Clock> clock_;
  Reply reply_;
  Finish finish_;
  std::optional<Active> active_;
};

}  // namespace brindlet::host
