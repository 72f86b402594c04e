// What the two halves of the archive component share: the directory of the
// archive last written, where cloning failed, and small helpers. Internal to the archive component.
#pragma once

#include <algorithm>
#include <climits>
#include <cstdint>
#include <string>
#include <vector>

#include "component/zip/archive.h"
#include "component/zip/zip_reader.h"

namespace bk {

namespace archive_detail {

inline constexpr size_t kTailLength = zip::kEnd64Size + zip::kLocator64Size + zip::kEndSize;

inline int32_t Saturate(uint64_t v) { return v > INT32_MAX ? INT32_MAX : static_cast<int32_t>(v); }

}  // namespace archive_detail

// The directory of the archive last written, kept while the archive's size
// and last bytes stay as this object last left them: its central records
// and their count only, no decoded entry, so that an archive of a million
// entries costs its records' bytes (readers read the entries from the
// archive, zip::ReadDirectory). `pending` tells that the
// archive on disk lacks the directory `dir` describes: entries were added
// since it was last written, or it was rebuilt by the recovery scan.
struct ArchiveComponent::State {
  std::string path;
  uint64_t size = 0;
  std::string tail;
  zip::Directory dir;
  bool valid = false;
  bool pending = false;
  // Of the archive at `clone_path`: the devices whose files it could not
  // share blocks with, so that their later files do not pay the failed
  // attempt, and whether it holds entries that share blocks.
  std::string clone_path;
  std::vector<uint64_t> clone_refused;
  bool cloned = false;

  bool MayClone(const std::string& archive_path, uint64_t device) const {
    return clone_path != archive_path ||
           std::find(clone_refused.begin(), clone_refused.end(), device) == clone_refused.end();
  }
  void Cloned(bool done, uint64_t device) {
    if (clone_path != path) {
      clone_path = path;
      clone_refused.clear();
      cloned = false;
    }
    if (done) {
      cloned = true;
    } else {
      clone_refused.push_back(device);
    }
  }

  zip::Directory& Load(File& f, const std::string& archive_path) {
    const uint64_t now = f.Size();
    if (valid && path == archive_path && size == now && Tail(f, now) == tail) return dir;
    valid = false;
    dir = zip::ReadDirectory(f, zip::Keep::kRecords);
    pending = dir.recovered;
    Remember(f, archive_path);
    return dir;
  }

  void Remember(File& f, const std::string& archive_path) {
    path = archive_path;
    size = f.Size();
    tail = Tail(f, size);
    valid = true;
  }

  static std::string Tail(File& f, uint64_t size) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(size, archive_detail::kTailLength));
    return zip::ReadBytes(f, size - n, n);
  }
};

}  // namespace bk
