// The "SafeFile" elements of a log this process writes, kept in the log file
// itself rather than in memory, so that a log of millions of files costs a
// few bytes of memory per file.
//
// The log's document then holds everything else (the skeleton: its dates,
// paths and "ZipFile" elements, each without children). Saving prints the
// skeleton and streams each archive's lines into it: those already in the
// file are copied from the file last written, those appended since follow.
// The text is the one the whole document would print, byte for byte.
//
// Only a document printed one element per line, indented by tabs, lines
// ending in a line feed, can be kept this way (Fits: pugixml's print, not
// MSXML's, which ends lines in CR LF); any other stays whole in its
// document. The file last written is kept open and read through that
// handle, so that nothing is read from a file put in its place and a log
// whose file was removed still reads its files.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "component/fs/file_system.h"

namespace bk {

class ListedFiles {
 public:
  // True when `skeleton`, a log's document printed as UTF-8, has the layout
  // whose "ZipFile" elements this class can fill.
  static bool Fits(std::string_view skeleton);

  // The lines of archive `zip` (from 0, in the order of the "ZipFile"
  // elements): how many there are, and appending UTF-8 text of whole lines,
  // each one element printed at its depth and ending in a line feed.
  size_t Count(size_t zip) const;
  void Append(size_t zip, std::string_view lines);
  // The UTF-16 bytes of every archive's lines together.
  uint64_t Bytes() const;

  // The UTF-8 text of lines [first, first + n) of archive `zip`.
  std::string Lines(size_t zip, size_t first, size_t n);

  // Writes the log into `out` from offset 0: `skeleton` (UTF-8, one
  // "ZipFile" element per archive in order, each closed on its own line)
  // with every archive's lines inside its element, as UTF-16 LE after a
  // byte-order mark. Fails with 51 when the skeleton does not have that
  // layout.
  void Write(File& out, std::string_view skeleton);
  // `file`, into which Write last wrote, now holds the log's name: the lines
  // appended so far are in it, and it is where they are read from.
  void Saved(std::unique_ptr<File> file);

 private:
  struct Zip {
    std::vector<uint64_t> ends;  // each line's end, in UTF-16 bytes from the first line's start
    size_t saved = 0;            // lines in the file last written
    uint64_t offset = 0;         // where the first of them starts in that file
    uint64_t written_at = 0;     // where Write put them in the file it wrote
    std::string pending;         // UTF-16 LE bytes of the lines appended since
    uint64_t SavedBytes() const { return saved == 0 ? 0 : ends[saved - 1]; }
  };
  Zip& At(size_t zip);
  // Appends `n` bytes of the file last written, from `offset`, to `out`.
  void ReadSaved(uint64_t offset, uint64_t n, std::string& out);

  std::vector<Zip> zips_;
  std::unique_ptr<File> file_;
};

}  // namespace bk
