// The file-system layer. Every file and folder operation of the component goes
// through FileSystem, so that tests can substitute a wrapper that injects
// faults or simulates a power cut. Implementations: POSIX, Windows (wide
// Win32 calls, UTF-8 at this interface), and the fault-injecting wrapper.
//
// Failures throw bk::Error with the standard numbers: 53 file not found,
// 76 path not found, 70 permission denied (also a file another program holds
// open where the open mode refuses that), 58 already exists, 61 disk full,
// 75 any other access error; the path and the native code travel apart from
// the description.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "component/fs/path_rules.h"

namespace bk {

class Error;

// What an access control list (Windows: the entry's owner and DACL) grants
// parties other than this process's user and the machine's administrators
// (SYSTEM, Administrators), for the trust rules (log/trust.h).
enum class ListedAccess : uint8_t {
  kNotRead,      // no list was read: POSIX, where owner, group and mode bits
                 // tell it, and entries stat'ed through a Folder
  kOwnAndAdmin,  // only this process's user and the administrators own the
                 // entry or may change it
  kOtherOwner,   // another party owns it
  kOtherWriter,  // another party may write it, add entries to it, delete it or
                 // change its permissions or owner; also a list that cannot
                 // be read, or none at all (everyone may do anything)
};

// Times are nanoseconds since 1970-01-01 UTC.
struct FileStat {
  uint64_t size = 0;
  int64_t modified_ns = 0;
  // POSIX: st_mode. Windows: FILE_ATTRIBUTE_* bits.
  uint32_t attributes = 0;
  bool is_folder = false;
  bool is_symlink = false;
  bool read_only = false;
  // POSIX: the owner's user id and the group id. -1 where files have no such
  // owner (Windows).
  int64_t owner = -1;
  int64_t group = -1;
  // Which file this is: POSIX st_dev and st_ino; Windows the volume serial
  // number and the 128-bit file ID (the 64-bit file index where the file
  // system has no such ID), read from a handle of the entry itself, never
  // through a reparse point; 0 and 0 when unknown (an entry that cannot be
  // opened).
  uint64_t device = 0;
  uint64_t file_id = 0;
  // When the file was born (POSIX statx birth time, Windows creation time,
  // where the file system keeps one), so that a reused file number is not
  // taken for the same file; 0 when unknown (Windows also when the creation
  // time equals the last write, as where it only repeats it).
  int64_t birth_ns = 0;
  // The upper half of a 128-bit file ID (Windows file systems that have one);
  // 0 elsewhere.
  uint64_t file_id_high = 0;
  // When the file's content or metadata last changed (POSIX ctime, Windows
  // ChangeTime): no call sets it back, so an unchanged value says that
  // nothing of the file was changed since. 0 when unknown.
  int64_t changed_ns = 0;
  // Windows: read by File::Stat and FileSystem::Stat.
  ListedAccess listed_access = ListedAccess::kNotRead;
};

// True when the two describe the same entry: the same kind (folder, link or
// other), device and file number, and birth time where both have one. Valid
// within one boot of the machine only: device numbers are given anew at
// every boot.
bool SameEntry(const FileStat& a, const FileStat& b);

// The error of an operation that found another entry than the one its caller
// expected at a name (SameEntry): 70 "Permission denied: the entry changed
// since it was looked at".
Error EntryChanged(std::string_view path);

// True when the error says that the file is in use in a way that refuses
// writers (POSIX: a running program, "text file busy"; Windows: a sharing
// violation or a file mapped into memory): such a file is left to whoever
// uses it and replaced by a new file renamed over it.
bool IsBusyFile(const Error& e);

// One extended attribute: its whole name ("user.origin", "security.selinux",
// "system.posix_acl_access") and its value.
struct ExtendedAttribute {
  std::string name;
  std::string value;
  bool operator==(const ExtendedAttribute&) const = default;
};

// True when the attribute's name lies in one of the namespaces (name
// prefixes such as "user.").
bool InNamespaces(std::string_view name, const std::vector<std::string>& namespaces);

// What turns the attributes a file has (`now`) back into those it had
// (`wanted`), within `namespaces`: the names to remove (in the namespaces,
// not wanted) and the attributes to set (wanted, not so now), in `wanted`'s
// order.
struct AttributeChanges {
  std::vector<std::string> remove;
  std::vector<ExtendedAttribute> set;
};
AttributeChanges ChangesBetween(const std::vector<ExtendedAttribute>& now, const std::vector<ExtendedAttribute>& wanted,
                                const std::vector<std::string>& namespaces);

// An entry of a folder with its metadata (a link's own, never followed).
struct FolderItem {
  std::string name;
  FileStat stat;
};

// Advisory locks on a whole open file (File::TryLock).
enum class LockKind { kShared, kExclusive };

struct FolderEntry {
  std::string name;  // file name without folder
  std::string path;  // full path: BuildPath(folder, name)
};

enum class OpenMode {
  kRead,              // existing file, read only; others may write
  kReadDenyWriters,   // existing file, read only; fails (70) when another
                      // program holds it open for writing (Windows) or holds a
                      // write lock on it (POSIX; the writable modes below take
                      // such a lock when it is free)
  kReadWrite,         // existing file, read and write
  kCreate,            // create or truncate, read and write
  kCreateNew,         // create, failing with 58 when any entry of that name
                      // exists (a symbolic link or reparse point too, never
                      // followed)
  kCreatePrivate,     // as kCreateNew, readable and writable by the owner
                      // only (POSIX 0600; Windows: as kCreateNew)
  // For files in a folder others may write (the temporary folder, a file a
  // log names): an existing regular file, opened without following a link
  // (or reparse point) and without waiting. A link, folder, pipe or device
  // fails at once with 75 "Not a regular file"; a read-only file opened for
  // writing with 70.
  kReadRegular,
  kReadWriteRegular,
};

// An open file with positional I/O. Not thread-safe. The destructor closes
// the handle and never throws; Close() reports errors.
class File {
 public:
  virtual ~File() = default;
  // Reads up to n bytes at offset; returns the count, 0 at or past the end.
  virtual size_t ReadAt(uint64_t offset, void* buffer, size_t n) = 0;
  // Writes all n bytes at offset, extending the file as needed.
  virtual void WriteAt(uint64_t offset, const void* data, size_t n) = 0;
  virtual uint64_t Size() = 0;
  virtual void Truncate(uint64_t size) = 0;
  // Makes `n` bytes at `offset` (within the file) read as zeros, releasing
  // their blocks where the file system can (POSIX: a hole punched, the size
  // kept). By default the zeros are written.
  virtual void ZeroRange(uint64_t offset, uint64_t n);
  // Flushes the file's data and metadata to stable storage.
  virtual void Sync() = 0;
  virtual FileStat Stat() = 0;
  virtual void Close() = 0;
  virtual const std::string& path() const = 0;
  // Takes an advisory lock on the whole file without waiting; false when a
  // lock held through another open of the file conflicts. A shared lock may
  // be changed into an exclusive one and back. The lock lasts until the file
  // is closed: on POSIX (flock) until every descriptor of this open file is
  // closed, also in child processes that inherited one, so the kernel drops
  // it when its last holder ends; on Windows (LockFileEx) until this handle
  // closes or its process ends.
  // Files held in memory have no locks: they fail with 75.
  virtual bool TryLock(LockKind kind);
  // As TryLock, but waits until the lock is free.
  virtual void Lock(LockKind kind);
  // As TryLock, on the one byte at `offset`: it conflicts with the locks
  // other opens hold on that byte, whole-file locks included (on Windows the
  // whole-file lock is the first byte's), never with this open's own, and it
  // leaves this open's locks of other bytes as they are. Held until the file
  // is closed, as TryLock's.
  virtual bool TryLockByte(LockKind kind, uint64_t offset);
  // The platform's handle of the open file (POSIX descriptor, Windows
  // HANDLE), for handing it to a child process; -1 for files in memory.
  virtual intptr_t NativeHandle() const { return -1; }
  // Metadata set on the open file itself, never through its name, so that a
  // name swapped for a link meanwhile changes nothing else. POSIX: fchown,
  // fchmod (permission bits of a mode), futimens. Windows: SetOwner does
  // nothing; attributes are FILE_ATTRIBUTE_* bits. A file without metadata of
  // its own (held in memory) refuses with 70.
  virtual void SetOwner(uint32_t owner, uint32_t group);
  virtual void SetAttributes(uint32_t attributes);
  virtual void SetModifiedTime(int64_t modified_ns);
  // The extended attributes of the open file that this process may read, in
  // the order the platform lists them (POSIX flistxattr/fgetxattr; a name
  // that vanishes or cannot be read meanwhile is left out). Windows and
  // files in memory: none.
  virtual std::vector<ExtendedAttribute> ExtendedAttributes();
  // Sets (creating or replacing) or removes one extended attribute of the
  // open file. Removing one the file lacks does nothing. Windows and files
  // in memory refuse with 70.
  virtual void SetExtendedAttribute(std::string_view name, std::string_view value);
  virtual void RemoveExtendedAttribute(std::string_view name);
  // Makes `length` bytes of this file from `offset` share the storage of the
  // bytes of `source` (open for reading) from `source_offset`, copy-on-write:
  // a later change to either file leaves the other as it was. This file grows
  // when the range ends past its end. Offsets and length must be multiples of
  // the file system's block size. POSIX: FICLONERANGE (XFS with reflink,
  // btrfs); Windows: FSCTL_DUPLICATE_EXTENTS_TO_FILE (ReFS). Where the files
  // cannot share blocks (another file system, one that does not clone, an
  // unaligned range) it fails, mostly with 75, with the platform's code; part
  // of the range may then hold the source's bytes, and the file may have
  // grown. Files in memory fail with 75.
  virtual void CloneRangeFrom(File& source, uint64_t source_offset, uint64_t offset, uint64_t length);
  // Reads the whole file from its start with ReadAt.
  std::string ReadAll();
};

// A folder held open, for operations on its entries by name: whatever
// happens to the folder's path afterwards, they stay inside the folder that
// was opened. Names are single components. No operation follows a link at
// `name`. Made by FileSystem::OpenFolder. Not thread-safe.
class Folder {
 public:
  virtual ~Folder() = default;
  // The absolute path the folder was opened by (links in it not resolved).
  virtual const std::string& path() const = 0;
  // The entry's metadata; a link reports is_symlink. 53 when missing. An
  // empty name: the folder itself.
  virtual FileStat StatEntry(std::string_view name) = 0;
  // Every entry but "." and "..", each with its metadata (a link's own), in
  // the platform's enumeration order.
  virtual std::vector<FolderItem> ListEntries() = 0;
  // The names of those entries alone, in the platform's order: for folders
  // too large to hold every entry's metadata at once.
  virtual std::vector<std::string> ListNames();
  // Opens the folder `name` inside this one, never through a link: a link
  // or anything but a folder fails with 75 "Not a folder".
  virtual std::unique_ptr<Folder> OpenSubfolder(std::string_view name) = 0;
  // Opens the folder at `relative` below this one (components separated by
  // "/"), never through a link and never onto another device: POSIX opens it
  // in one call where the kernel can (openat2 with RESOLVE_BENEATH,
  // RESOLVE_NO_SYMLINKS and RESOLVE_NO_XDEV), else one component at a time
  // with OpenSubfolder. A link on the way fails with 75 "Not a folder", a
  // mount point with 70. The caller checks the folder it got (SameEntry).
  virtual std::unique_ptr<Folder> OpenDescendant(std::string_view relative);
  // Creates the folder `name`, for its owner only (POSIX 0700) until the
  // caller gives it its mode; 58 when any entry holds the name.
  virtual void MakeFolder(std::string_view name) = 0;
  // Creates a symbolic link `name` holding `target` as given; 58 when any
  // entry holds the name. Windows: a file link (a folder link when
  // `folder_target`), 70 without the privilege to make links or where the
  // platform makes none (Wine reports success and makes nothing).
  virtual void MakeLink(std::string_view name, std::string_view target, bool folder_target) = 0;
  // The target a link holds, as stored; 75 when `name` is no link.
  virtual std::string ReadLink(std::string_view name) = 0;
  // Removes the empty folder `name` (never a link; 75 "Not a folder" for
  // one, 70 when the folder is not empty).
  virtual void RemoveSubfolder(std::string_view name) = 0;
  // Metadata of the entry `name`, or for an empty name of the folder itself,
  // set without following a link at `name`. SetEntryOwner: POSIX lchown
  // semantics, Windows does nothing. SetEntryMode: POSIX permission bits,
  // Windows FILE_ATTRIBUTE_* bits; a link (any reparse point) refuses with 75.
  // SetEntryModifiedTime: a link's own time.
  virtual void SetEntryOwner(std::string_view name, uint32_t owner, uint32_t group) = 0;
  virtual void SetEntryMode(std::string_view name, uint32_t mode) = 0;
  virtual void SetEntryModifiedTime(std::string_view name, int64_t modified_ns) = 0;
  // The extended attributes of the entry (a link's own), or of the folder
  // itself for an empty name, as File::ExtendedAttributes lists them; and
  // setting or removing one without following a link. Windows: none; set
  // and remove refuse with 70.
  virtual std::vector<ExtendedAttribute> EntryAttributes(std::string_view name) = 0;
  virtual void SetEntryAttribute(std::string_view name, std::string_view attribute, std::string_view value) = 0;
  virtual void RemoveEntryAttribute(std::string_view name, std::string_view attribute) = 0;
  // Opens the entry as FileSystem::Open opens a path, but never through a
  // link at `name`: kCreateNew and kCreatePrivate fail with 58 on any entry,
  // the other modes (kCreate too) with 75 "Not a regular file" at a link and,
  // on POSIX, at anything but a regular file.
  virtual std::unique_ptr<File> OpenEntry(std::string_view name, OpenMode mode) = 0;
  // Opens an existing regular file for reading and writing, keeping its
  // content, without waiting on a pipe: a link, folder or device fails with
  // 70 and a native code that says which. A file in use that refuses to be
  // rewritten (IsBusyFile: a running program, on Windows also a file mapped
  // into memory) fails before anything of it is written. A read-only file
  // is made writable first, on the file itself (the caller sets its
  // attributes afterwards).
  virtual std::unique_ptr<File> OpenForRewrite(std::string_view name) = 0;
  // Renames an entry of this folder to another name in it, atomically
  // replacing a file (or link, never followed) of that name. Windows
  // replaces a file that is open or running where the file system allows it
  // (a rename with POSIX semantics), and otherwise fails with the reason
  // (70 for a file in use).
  virtual void RenameEntry(std::string_view from, std::string_view to) = 0;
  // Removes a file or link (never a folder, never followed).
  virtual void RemoveEntry(std::string_view name) = 0;
  // Removes the file, link or other entry `name` (never a folder) only while
  // it is still the entry `expected` describes (SameEntry), else fails with
  // EntryChanged and removes nothing. POSIX compares the entry and unlinks it
  // in this folder's handle; Windows opens the entry itself, compares that
  // and deletes through the same handle, so that nothing put in its place
  // after the comparison is removed.
  virtual void RemoveEntryIfSame(std::string_view name, const FileStat& expected) = 0;
  // Removes the empty folder `name` only while it is still the folder
  // `expected` describes, else EntryChanged (Windows: through a handle of
  // the folder, as RemoveEntryIfSame).
  virtual void RemoveSubfolderIfSame(std::string_view name, const FileStat& expected) = 0;
  // Gives the link `name` that owner and group through a handle of the link
  // itself (never followed), only while it is still the link `expected`
  // describes, else EntryChanged. Windows does nothing.
  virtual void SetLinkOwnerIfSame(std::string_view name, const FileStat& expected, uint32_t owner,
                                  uint32_t group) = 0;
  // Flushes the folder's entries to stable storage.
  virtual void Sync() = 0;
};

// The entries of a POSIX access ACL ("system.posix_acl_access"). `perm`
// holds read 4, write 2, execute 1; `id` is the user or group of the named
// entries.
struct AclEntry {
  enum Tag : uint16_t { kUserObj = 0x01, kUser = 0x02, kGroupObj = 0x04, kGroup = 0x08, kMask = 0x10, kOther = 0x20 };
  uint16_t tag = 0;
  uint16_t perm = 0;
  uint32_t id = 0;
  bool operator==(const AclEntry&) const = default;
};

// The entries of the extended attribute's value (little-endian: version 2,
// then 8 bytes per entry). Fails with 75 for anything else.
std::vector<AclEntry> ParsePosixAcl(std::string_view value);

// The error of a folder walk that meets a link it may not follow (70).
Error RefusedLink(std::string_view link_path);

// Writes UTF-16 LE text with a byte-order mark (or UTF-8 when not Unicode);
// WriteLine ends a line with CR LF.
class TextWriter {
 public:
  explicit TextWriter(std::unique_ptr<File> file, bool unicode);
  ~TextWriter();
  void Write(std::string_view utf8);
  void WriteLine(std::string_view utf8);
  // Writes buffered text and syncs the file.
  void Flush();
  void Close();

 private:
  void Drain();
  std::unique_ptr<File> file_;
  bool unicode_;
  uint64_t offset_ = 0;
  std::string pending_;
};

// The error of kReadRegular and kReadWriteRegular for anything but a regular
// file: 75 "Not a regular file".
Error NotARegularFile(std::string_view path, int64_t native_code = 0);

// Reads a UTF-16 LE text file (a byte-order mark is skipped). ReadLine returns
// a line without its break, accepting CR LF or LF; past the end it fails with
// 62 "Input past end of file".
class TextReader {
 public:
  explicit TextReader(std::unique_ptr<File> file);
  std::string ReadLine();
  bool AtEndOfStream();
  void Close();

 private:
  void Load();
  std::unique_ptr<File> file_;
  std::u16string content_;
  size_t pos_ = 0;
  bool loaded_ = false;
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  virtual const PathRules& paths() const = 0;

  // --- Names (pure, by the platform's path rules) ---
  std::string GetDriveName(std::string_view path) const { return paths().GetDriveName(path); }
  std::string BuildPath(std::string_view folder, std::string_view name) const { return paths().BuildPath(folder, name); }
  std::string GetParentFolderName(std::string_view path) const { return paths().GetParentFolderName(path); }
  std::string GetExtensionName(std::string_view path) const { return paths().GetExtensionName(path); }
  std::string GetFileName(std::string_view path) const { return paths().GetFileName(path); }

  // Resolves a relative path against the current folder and normalises it.
  virtual std::string GetAbsolutePathName(std::string_view path) = 0;
  // A fresh file name without folder, such as "rad3A2F1.tmp".
  virtual std::string GetTempName() = 0;

  // --- Queries ---
  virtual bool FileExists(std::string_view path) = 0;    // a file, not a folder
  virtual bool FolderExists(std::string_view path) = 0;
  // Follows no symbolic link: a link reports is_symlink. 53/76 when missing.
  virtual FileStat Stat(std::string_view path) = 0;
  // The files (not folders) directly in a folder, in the platform's
  // enumeration order. 76 when the folder is missing.
  virtual std::vector<FolderEntry> ListFiles(std::string_view folder) = 0;

  // --- Changes ---
  // Creates one folder; 58 when it exists, 76 when its parent is missing.
  virtual void CreateFolder(std::string_view path) = 0;
  // Deletes a file. Without force a read-only file fails with 70.
  virtual void RemoveFile(std::string_view path, bool force) = 0;
  // Removes an empty folder.
  virtual void RemoveFolder(std::string_view path) = 0;
  // Copies a file's bytes, modification time and attributes. With overwrite
  // an existing target is replaced (a read-only target fails with 70);
  // without it an existing target fails with 58.
  virtual void CopyFileTo(std::string_view from, std::string_view to, bool overwrite) = 0;
  // Renames a file, atomically replacing an existing target (even a
  // read-only one). Durable only after SyncFolder of the target's folder.
  virtual void RenameFile(std::string_view from, std::string_view to) = 0;
  // Renames a file to a name no entry holds, atomically: when any entry (a
  // file, folder or link, never followed) holds `to`, fails with 58 and
  // changes nothing. Durable only after SyncFolder of the target's folder.
  virtual void RenameNoReplace(std::string_view from, std::string_view to) = 0;
  // Flushes a folder's entries (creations, renames, deletions) to stable storage.
  virtual void SyncFolder(std::string_view folder) = 0;
  // Flushes the data and metadata of these open files, each opened through
  // this file system, to stable storage as File::Sync of each does, but
  // together where the platform allows: Linux starts writing them all before
  // it syncs each. By default each file is synced in turn.
  virtual void SyncFiles(const std::vector<File*>& files);
  virtual std::unique_ptr<File> Open(std::string_view path, OpenMode mode) = 0;
  virtual void SetModifiedTime(std::string_view path, int64_t modified_ns) = 0;
  // POSIX: permission bits of a mode. Windows: FILE_ATTRIBUTE_* bits.
  virtual void SetAttributes(std::string_view path, uint32_t attributes) = 0;

  // --- Built on the operations above, the same on every platform ---
  // Creates a text file (see TextWriter). Without overwrite an existing file
  // fails with 58.
  std::unique_ptr<TextWriter> CreateTextFile(std::string_view path, bool overwrite, bool unicode);
  // Opens an existing UTF-16 text file for reading.
  std::unique_ptr<TextReader> OpenTextFile(std::string_view path);
  // Replaces the whole file atomically and durably: writes a temporary file
  // in the same folder, named "<name>.<GetTempName()>" so that a leftover says whose it was,
  // created for its owner only (kCreatePrivate); syncs it, renames it over the target and syncs the
  // folder. The temporary file is removed on any failure; the target then
  // holds its previous content. `flushed_with`, another open file of this
  // file system, is flushed to stable storage together with the new content
  // (SyncFiles), before the rename.
  void ReplaceFileDurably(std::string_view path, std::string_view bytes, File* flushed_with = nullptr);
  // Writes the whole content of a new file from offset 0.
  using ContentWriter = std::function<void(File&)>;
  // As above, the content streamed by `write` rather than held in memory.
  // With `kept`, the new file stays open (read and write) and is handed
  // over once it holds the name, so that the caller can read back what it
  // wrote without opening the name again.
  void ReplaceFileDurably(std::string_view path, const ContentWriter& write, File* flushed_with,
                          std::unique_ptr<File>* kept);
  // A new file at the first of the paths `path_of(0)`, `path_of(1)`, … that
  // no entry holds (CreateFresh), opened in `mode` (kCreateNew or
  // kCreatePrivate); its path goes to *chosen.
  std::unique_ptr<File> CreateFresh(const std::function<std::string(int)>& path_of, OpenMode mode, int attempts,
                                    std::string* chosen);
  // Creates the file durably, for its owner only, where no entry holds the
  // name: as ReplaceFileDurably, but the temporary file is moved into place
  // with RenameNoReplace, so that an existing entry (a link too, never
  // followed) fails with 58 and the name never holds a file only partly
  // written, whenever the program stops.
  void CreateFileDurably(std::string_view path, std::string_view bytes);

  // --- Paths that no other user can redirect ---
  // Opens the folder at the absolute `path`. POSIX: walks it from "/", one
  // component at a time, opening each folder without following a link; a
  // link on the way is followed only when it and the folder holding it
  // belong to root or to this process's user and that folder is not
  // writable by group or others (any other fails with RefusedLink). With
  // `created`, missing folders are made on the way and their paths appended,
  // outermost first; without, a missing folder fails with 76. Windows: opens
  // by path, as every other call there (no reparse point is followed where
  // files are created or rewritten).
  virtual std::unique_ptr<Folder> OpenFolder(std::string_view path, std::vector<std::string>* created) = 0;
  // POSIX: gives the file at `path` (not following a link) that owner and
  // group. Windows: does nothing.
  virtual void SetOwner(std::string_view path, uint32_t owner, uint32_t group) = 0;
  // The absolute path with every symbolic link resolved, each link judged as
  // OpenFolder judges links on the way (RefusedLink); 53/76 when missing.
  virtual std::string ResolveLinks(std::string_view path) = 0;
  // The access ACL of a file or folder (POSIX, not following a link at the
  // last component); empty when it has none beyond its permission bits or
  // the file system keeps none. Windows: empty.
  virtual std::vector<AclEntry> AccessAcl(std::string_view path) = 0;

 private:
  // Fills and syncs a file just created; a file not filled is removed again.
  std::unique_ptr<File> WriteNewFile(std::unique_ptr<File> file, const ContentWriter& write, File* flushed_with,
                                     bool keep);
  void PublishDurably(std::string_view path, const ContentWriter& write, bool replace, File* flushed_with,
                      std::unique_ptr<File>* kept);
};

// The platform's file system, shared by the whole process.
std::shared_ptr<FileSystem> DefaultFileSystem();

// The one fresh-name loop: makes the entry `name_of(0)`, else `name_of(1)`,
// … with `create`, which makes it exclusively and fails with 58 when any
// entry holds the name, until one is made or `attempts` names were tried
// (the last 58 then goes out). Returns the name made. `name_of` may wait
// before it gives a name (a name made of the clock's next second).
std::string CreateFresh(const std::function<std::string(int)>& name_of, int attempts,
                        const std::function<void(const std::string&)>& create);
// The names CreateFresh tries for a name a person chose: `path` itself for
// 0, then "-2", "-3", … before the extension of its file name
// ("b.zip", "b-2.zip", "b-3.zip").
std::string NumberedName(std::string_view path, int n);

// Forwards every operation to another open file; wrappers derive from it and
// override only the operations they change.
class ForwardingFile : public File {
 public:
  explicit ForwardingFile(std::unique_ptr<File> target) : target_(std::move(target)) {}
  size_t ReadAt(uint64_t offset, void* buffer, size_t n) override { return target_->ReadAt(offset, buffer, n); }
  void WriteAt(uint64_t offset, const void* data, size_t n) override { target_->WriteAt(offset, data, n); }
  uint64_t Size() override { return target_->Size(); }
  void Truncate(uint64_t size) override { target_->Truncate(size); }
  void ZeroRange(uint64_t o, uint64_t n) override { target_->ZeroRange(o, n); }
  void Sync() override { target_->Sync(); }
  FileStat Stat() override { return target_->Stat(); }
  void Close() override { target_->Close(); }
  const std::string& path() const override { return target_->path(); }
  bool TryLock(LockKind kind) override { return target_->TryLock(kind); }
  void Lock(LockKind kind) override { target_->Lock(kind); }
  bool TryLockByte(LockKind kind, uint64_t offset) override { return target_->TryLockByte(kind, offset); }
  intptr_t NativeHandle() const override { return target_->NativeHandle(); }
  void SetOwner(uint32_t o, uint32_t g) override { target_->SetOwner(o, g); }
  void SetAttributes(uint32_t a) override { target_->SetAttributes(a); }
  void SetModifiedTime(int64_t t) override { target_->SetModifiedTime(t); }
  std::vector<ExtendedAttribute> ExtendedAttributes() override { return target_->ExtendedAttributes(); }
  void SetExtendedAttribute(std::string_view n, std::string_view v) override { target_->SetExtendedAttribute(n, v); }
  void RemoveExtendedAttribute(std::string_view n) override { target_->RemoveExtendedAttribute(n); }
  void CloneRangeFrom(File& s, uint64_t from, uint64_t at, uint64_t n) override {
    target_->CloneRangeFrom(s, from, at, n);
  }

 protected:
  File& target() { return *target_; }

 private:
  std::unique_ptr<File> target_;
};

// Forwards every operation to another open folder; wrappers derive from it
// and override only the operations they change.
class ForwardingFolder : public Folder {
 public:
  explicit ForwardingFolder(std::unique_ptr<Folder> target) : target_(std::move(target)) {}
  const std::string& path() const override { return target_->path(); }
  FileStat StatEntry(std::string_view n) override { return target_->StatEntry(n); }
  std::unique_ptr<File> OpenEntry(std::string_view n, OpenMode m) override { return target_->OpenEntry(n, m); }
  std::unique_ptr<File> OpenForRewrite(std::string_view n) override { return target_->OpenForRewrite(n); }
  void RenameEntry(std::string_view a, std::string_view b) override { target_->RenameEntry(a, b); }
  void RemoveEntry(std::string_view n) override { target_->RemoveEntry(n); }
  void Sync() override { target_->Sync(); }
  std::vector<FolderItem> ListEntries() override { return target_->ListEntries(); }
  std::vector<std::string> ListNames() override { return target_->ListNames(); }
  std::unique_ptr<Folder> OpenSubfolder(std::string_view n) override { return target_->OpenSubfolder(n); }
  std::unique_ptr<Folder> OpenDescendant(std::string_view r) override { return target_->OpenDescendant(r); }
  void RemoveEntryIfSame(std::string_view n, const FileStat& e) override { target_->RemoveEntryIfSame(n, e); }
  void RemoveSubfolderIfSame(std::string_view n, const FileStat& e) override { target_->RemoveSubfolderIfSame(n, e); }
  void SetLinkOwnerIfSame(std::string_view n, const FileStat& e, uint32_t o, uint32_t g) override {
    target_->SetLinkOwnerIfSame(n, e, o, g);
  }
  void MakeFolder(std::string_view n) override { target_->MakeFolder(n); }
  void MakeLink(std::string_view n, std::string_view t, bool f) override { target_->MakeLink(n, t, f); }
  std::string ReadLink(std::string_view n) override { return target_->ReadLink(n); }
  void RemoveSubfolder(std::string_view n) override { target_->RemoveSubfolder(n); }
  void SetEntryOwner(std::string_view n, uint32_t o, uint32_t g) override { target_->SetEntryOwner(n, o, g); }
  void SetEntryMode(std::string_view n, uint32_t m) override { target_->SetEntryMode(n, m); }
  void SetEntryModifiedTime(std::string_view n, int64_t t) override { target_->SetEntryModifiedTime(n, t); }
  std::vector<ExtendedAttribute> EntryAttributes(std::string_view n) override { return target_->EntryAttributes(n); }
  void SetEntryAttribute(std::string_view n, std::string_view a, std::string_view v) override {
    target_->SetEntryAttribute(n, a, v);
  }
  void RemoveEntryAttribute(std::string_view n, std::string_view a) override { target_->RemoveEntryAttribute(n, a); }

 protected:
  Folder& target() { return *target_; }

 private:
  std::unique_ptr<Folder> target_;
};

// Forwards every operation to another file system; tests derive from it and
// override only the operations they break.
class ForwardingFileSystem : public FileSystem {
 public:
  explicit ForwardingFileSystem(std::shared_ptr<FileSystem> target) : target_(std::move(target)) {}
  const PathRules& paths() const override { return target_->paths(); }
  std::string GetAbsolutePathName(std::string_view p) override { return target_->GetAbsolutePathName(p); }
  std::string GetTempName() override { return target_->GetTempName(); }
  bool FileExists(std::string_view p) override { return target_->FileExists(p); }
  bool FolderExists(std::string_view p) override { return target_->FolderExists(p); }
  FileStat Stat(std::string_view p) override { return target_->Stat(p); }
  std::vector<FolderEntry> ListFiles(std::string_view f) override { return target_->ListFiles(f); }
  void CreateFolder(std::string_view p) override { target_->CreateFolder(p); }
  void RemoveFile(std::string_view p, bool force) override { target_->RemoveFile(p, force); }
  void RemoveFolder(std::string_view p) override { target_->RemoveFolder(p); }
  void CopyFileTo(std::string_view a, std::string_view b, bool o) override { target_->CopyFileTo(a, b, o); }
  void RenameFile(std::string_view a, std::string_view b) override { target_->RenameFile(a, b); }
  void RenameNoReplace(std::string_view a, std::string_view b) override { target_->RenameNoReplace(a, b); }
  void SyncFolder(std::string_view f) override { target_->SyncFolder(f); }
  void SyncFiles(const std::vector<File*>& f) override { target_->SyncFiles(f); }
  std::unique_ptr<File> Open(std::string_view p, OpenMode m) override { return target_->Open(p, m); }
  void SetModifiedTime(std::string_view p, int64_t t) override { target_->SetModifiedTime(p, t); }
  void SetAttributes(std::string_view p, uint32_t a) override { target_->SetAttributes(p, a); }
  std::unique_ptr<Folder> OpenFolder(std::string_view p, std::vector<std::string>* c) override {
    return target_->OpenFolder(p, c);
  }
  void SetOwner(std::string_view p, uint32_t o, uint32_t g) override { target_->SetOwner(p, o, g); }
  std::string ResolveLinks(std::string_view p) override { return target_->ResolveLinks(p); }
  std::vector<AclEntry> AccessAcl(std::string_view p) override { return target_->AccessAcl(p); }

 protected:
  FileSystem& target() { return *target_; }

 private:
  std::shared_ptr<FileSystem> target_;
};

}  // namespace bk
