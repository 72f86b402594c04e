// Archive entries from and to memory: a new archive created exclusively with
// an optional first entry (the drive marker of a drive archive), and one
// entry read back (the marker, when an archive is restored).
#include <algorithm>
#include <chrono>
#include <cstring>

#include "component/error.h"
#include "component/zip/archive.h"
#include "component/text.h"
#include "component/zip/zip_reader.h"
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
      zip::Entry entry = MemoryEntry(entry_name, !fs_->paths().HasPosixModes());
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

std::string ArchiveComponent::ReadEntry(std::string_view entry_name, uint64_t max_size) {
  const std::string archive_path = ArchivePath();
  std::unique_ptr<File> archive = fs_->Open(archive_path, OpenMode::kReadRegular);
  const zip::Directory dir = zip::ReadDirectory(*archive);
  std::string wanted(entry_name);
  std::replace(wanted.begin(), wanted.end(), '\\', '/');
  for (const zip::Entry& e : dir.entries) {
    if (e.IsFolder() || !text::EqualsIgnoreCase(e.name, wanted)) continue;
    std::string bytes;
    // The reader never hands out more than the entry's declared size.
    const bool intact = e.size <= max_size && zip::ExtractEntry(*archive, archive->Size(), e, [&](const char* data,
                                                                                                  size_t n) {
      bytes.append(data, n);
    });
    if (!intact) throw Error(errnum::kArchiveError, kLibrarySource, "The entry is damaged or too large", e.name);
    return bytes;
  }
  throw Error::Standard(errnum::kFileNotFound, std::string(entry_name));
}

}  // namespace bk
