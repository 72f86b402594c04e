// Creating a new archive exclusively, with an optional first entry taken from
// memory (the drive marker of a drive archive).
#include <algorithm>
#include <chrono>
#include <cstring>

#include "component/error.h"
#include "component/zip/archive.h"
#include "component/zip/zip_writer.h"

namespace bk {
namespace {

zip::Entry MemoryEntry(std::string_view name, bool windows) {
  zip::Entry e;
  e.name = std::string(name);
  for (const char c : name) {
    if (static_cast<unsigned char>(c) >= 0x80) e.flags = zip::kFlagUtf8;
  }
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  e.unix_mtime = std::chrono::duration_cast<std::chrono::seconds>(now).count();
  zip::ToDosTime(*e.unix_mtime, &e.dos_time, &e.dos_date);
  constexpr uint32_t kArchiveAttribute = 0x20;
  constexpr uint32_t kOwnerReadWrite = 0600;
  const uint8_t host = windows ? zip::kHostDos : zip::kHostUnix;
  e.made_by = static_cast<uint16_t>((host << 8) | zip::kVersionZip64);
  e.external_attributes = windows ? kArchiveAttribute : (zip::kUnixRegular | kOwnerReadWrite) << 16;
  return e;
}

}  // namespace

void ArchiveComponent::CreateNew(std::string_view entry_name, std::string_view entry_bytes) {
  const std::string archive_path = ArchivePath();
  std::unique_ptr<File> archive = fs_->Open(archive_path, OpenMode::kCreatePrivate);
  try {
    std::string central;
    uint64_t end = 0;
    if (!entry_name.empty()) {
      zip::Entry entry = MemoryEntry(entry_name, fs_->paths().Separator() == '\\');
      const zip::SourceReader read = [&](uint64_t offset, void* buffer, size_t n) -> size_t {
        if (offset >= entry_bytes.size()) return 0;
        const size_t count = std::min<uint64_t>(n, entry_bytes.size() - offset);
        std::memcpy(buffer, entry_bytes.data() + offset, count);
        return count;
      };
      end = zip::WriteEntry(*archive, 0, read, entry_bytes.size(), &entry).end;
      central = zip::EncodeCentralRecord(entry);
    }
    zip::WriteDirectory(*archive, end, central, central.empty() ? 0 : 1);
    archive->Sync();
    archive->Close();
  } catch (...) {
    archive.reset();
    try {
      fs_->RemoveFile(archive_path, true);
    } catch (const Error&) {
      // The original failure is the one to report.
    }
    throw;
  }
  fs_->SyncFolder(fs_->GetParentFolderName(archive_path));
}

}  // namespace bk
