#include "host/control/FileReceiver.h"

#include <chrono>
#include <system_error>
#include <utility>

#include "host/HostLog.h"
#include "platform/storage/AtomicFile.h"
#include "platform/storage/FileWriter.h"

namespace brindlet::host {

namespace {

constexpr const char* saveFailed = "Couldn't save files on the Mac";
constexpr const char* writeFailed = "Couldn't write the file on the Mac";
// Transfer folders older than this are removed after a completed transfer.
constexpr double inboxMaxAge = 86'400;
// How many folders a reused transfer ID may have beside its first.
constexpr int maxFolderAttempts = 1000;

}  // namespace

FileReceiver::FileReceiver(HostInbox inbox, std::shared_ptr<Clock> clock, Reply reply, Finish finish)
    : inbox_(std::move(inbox)), clock_(std::move(clock)), reply_(std::move(reply)), finish_(std::move(finish)) {}

FileReceiver::~FileReceiver() = default;

void FileReceiver::handleOffer(std::uint32_t transferID, const std::vector<FileMeta>& files, FileTransferKind kind) {
  if (active_) return reject(transferID, "Another transfer is in progress");
  if (auto refusal = FileTransferLimits::validateOffer(files)) return reject(transferID, std::move(*refusal));
  auto folder = makeTransferFolder(transferID);
  if (!folder) return reject(transferID, saveFailed);

  std::vector<std::string> offered;
  std::uint64_t bytes = 0;
  for (const FileMeta& file : files) {
    offered.push_back(file.name);
    bytes += file.size;  // within the limits: no overflow
  }
  Active active;
  active.id = transferID;
  active.files = files;
  active.folder = *folder;
  for (const std::string& name : uniqueFileNames(offered)) {
    active.urls.push_back(*folder / name);
    if (platform::FileWriter::createEmpty(active.urls.back()) != 0) {
      std::error_code ignored;
      std::filesystem::remove_all(*folder, ignored);
      return reject(transferID, saveFailed);
    }
  }
  active.received.assign(files.size(), 0);
  active.lastProgress = clock_->uptimeNow();
  active_ = std::move(active);
  sessionLog().info("file offer %u files=%ld bytes=%llu kind=%hhu", transferID, static_cast<long>(files.size()),
                    static_cast<unsigned long long>(bytes), static_cast<unsigned char>(kind));
  reply_(msg::FileStatus{transferID, FileTransferState::accepted, 0, ""});
}

void FileReceiver::handleChunk(std::uint32_t transferID, std::uint16_t fileIndex, std::uint64_t offset, ByteView data) {
  if (!active_ || active_->id != transferID) return;
  Active& a = *active_;
  // Files are written strictly in order: the one expected is the first that still lacks bytes
  // (an empty file is complete from the start).
  std::size_t expected = 0;
  while (expected < a.files.size() && a.received[expected] >= a.files[expected].size) ++expected;
  if (expected == a.files.size() || fileIndex != expected || offset != a.received[expected]) {
    return fail("Chunk out of order");
  }
  if (data.empty() || data.size() > FileTransferLimits::chunkSize) return fail("Bad chunk size");
  if (data.size() > a.files[expected].size - offset) return fail("Chunk past the declared size");

  if (a.handleIndex != expected) {
    if (a.handle) {
      const int closed = a.handle->close();
      a.handle.reset();
      a.handleIndex.reset();
      if (closed != 0) return fail(writeFailed);
    }
    int error = 0;
    a.handle = platform::FileWriter::open(a.urls[expected], error);
    if (!a.handle) return fail(writeFailed);
    a.handleIndex = expected;
  }
  if (a.handle->write(data) != 0) return fail(writeFailed);
  a.received[expected] += data.size();
  a.total += data.size();

  const Clock::Duration at = clock_->uptimeNow();
  if (at - a.lastProgress >= Clock::seconds(progressInterval)) {
    a.lastProgress = at;
    reply_(msg::FileStatus{transferID, FileTransferState::progress, a.total, ""});
  }
}

void FileReceiver::handleEnd(std::uint32_t transferID) {
  if (!active_ || active_->id != transferID) return;
  Active& a = *active_;
  if (a.handle) {
    // A file whose last bytes may not have reached the disk is no complete file.
    const int closed = a.handle->close();
    a.handle.reset();
    a.handleIndex.reset();
    if (closed != 0) return fail(writeFailed);
  }
  for (std::size_t i = 0; i < a.files.size(); ++i) {
    if (a.received[i] != a.files[i].size) return fail("Size mismatch");
  }
  std::vector<PasteboardFile> items;
  for (std::size_t i = 0; i < a.files.size(); ++i) items.push_back(PasteboardFile::make(a.urls[i], a.files[i].typeID));
  if (!finish_ || !finish_(std::move(items))) return fail("Couldn't set the Mac clipboard");

  const std::uint64_t total = a.total;
  active_.reset();
  reply_(msg::FileStatus{transferID, FileTransferState::done, total, ""});
  sessionLog().info("file transfer %u done", transferID);
  inbox_.prune(inboxMaxAge, clock_->wallNow(), {transferID});
}

void FileReceiver::handleCancel(std::uint32_t transferID) {
  if (active_ && active_->id == transferID) cancel();
}

void FileReceiver::cancel() {
  if (!active_) return;
  if (active_->handle) active_->handle->close();  // the folder goes anyway
  std::error_code ignored;
  std::filesystem::remove_all(active_->folder, ignored);
  active_.reset();
}

void FileReceiver::reject(std::uint32_t transferID, std::string detail) {
  reply_(msg::FileStatus{transferID, FileTransferState::rejected, 0, std::move(detail)});
}

void FileReceiver::fail(std::string detail) {
  if (!active_) return;
  sessionLog().info("file transfer %u failed: %s", active_->id, detail.c_str());
  reply_(msg::FileStatus{active_->id, FileTransferState::failed, active_->total, std::move(detail)});
  cancel();
}

std::optional<std::filesystem::path> FileReceiver::makeTransferFolder(std::uint32_t transferID) const {
  // Received files are the user's own: no other user of this computer reads them.
  if (platform::AtomicFile::makeFolder(inbox_.root, 0700) != 0) return std::nullopt;
  std::error_code error;
  // A device may use an ID again: the earlier transfer's files may still be on the clipboard,
  // so they are never replaced; the new transfer gets a folder of its own beside them.
  const std::string name = std::to_string(transferID);
  for (int attempt = 1; attempt <= maxFolderAttempts; ++attempt) {
    std::filesystem::path folder = inbox_.root / (attempt == 1 ? name : name + "-" + std::to_string(attempt));
    if (std::filesystem::create_directory(folder, error)) {
      // Empty until its mode is set.
      std::filesystem::permissions(folder, std::filesystem::perms::owner_all, error);
      if (!error) return folder;
      std::filesystem::remove(folder, error);
      return std::nullopt;
    }
    if (error && error != std::errc::file_exists) return std::nullopt;
  }
  return std::nullopt;
}

}  // namespace brindlet::host
