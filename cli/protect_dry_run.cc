// protect --dry-run: what would be made safe, and whether protect would
// start, found by reading alone: nothing is created, written or run.
#include <iostream>

#include "cli/cli.h"
#include "cli/folder_assessment.h"
#include "cli/protect.h"
#include "component/platform.h"
#include "component/text.h"
#include "log/tree.h"
#include "log/trust.h"

namespace bk::cli {

namespace {

struct Sized {
  std::string path;
  uint64_t size = 0;
};

struct TreeTotal {
  std::string root;
  uint64_t files = 0;
  uint64_t bytes = 0;
};

struct Foreseen {
  std::vector<TreeTotal> trees;
  std::vector<Sized> files;  // every file, those of the trees too
  uint64_t bytes = 0;
  int64_t available = -1;
};

// Walks the tree as MakeTreeSafe would, judging its folders the same way.
TreeTotal WalkOne(ProtectRun& run, const std::string& given, Foreseen& seen) {
  FileSystem& fs = *run.fs;
  if (!fs.FolderExists(given)) throw Error::Standard(errnum::kPathNotFound, given);
  TreeTotal total{fs.ResolveLinks(fs.GetAbsolutePathName(given))};
  for (const std::string& inside : {run.temp, run.backup}) {
    if (inside == total.root || fs.paths().IsBelow(total.root, inside)) {
      throw Error(errnum::kPermissionDenied, kLibrarySource,
                  "Permission denied: " + inside + " lies inside the tree", total.root);
    }
  }
  FolderJudge judge;
  if (!run.parsed.Has("--trust-tree")) {
    judge = [&](const std::string& relative, const FileStat& st, const std::vector<AclEntry>& acl) {
      const std::string path = TreePath(fs, total.root, relative);
      if (auto why = TreeFolderDistrust(st, acl, path, CurrentUserId(), CurrentGroupId())) throw *why;
    };
  }
  WalkTree(
      fs, total.root, {},
      [&](const TreeEntry& e, const FileStat& st) {
        if (e.type != TreeEntryType::kFile) return;
        ++total.files;
        total.bytes += st.size;
        seen.files.push_back(Sized{TreePath(fs, total.root, e.relative), st.size});
      },
      judge);
  return total;
}

// A listed file as MakeFileSafe would judge it: a regular file, links followed.
Sized StatOne(FileSystem& fs, const std::string& path) {
  FileStat st;
  try {
    st = fs.Stat(fs.ResolveLinks(path));
  } catch (const Error& e) {
    if (!e.IsNotFound()) throw;
    throw Error(bkCreateErrorFileNotFound, "MakeFileSafe", "File Not Found", path);
  }
  if (st.is_folder) throw Error(bkCreateErrorFileNotFound, "MakeFileSafe", "File Not Found", path);
  return Sized{path, st.size};
}

void Refuse(ProtectRun& run, const Error& e) {
  run.refused.push_back(e);
  ReportError(e, Situation::kMakingSafe);
}

// The checks protect makes before anything, reading only.
void CheckFolders(ProtectRun& run) {
  FileSystem& fs = *run.fs;
  if (fs.FolderExists(run.temp) && !run.parsed.Has("--trust-folder")) {
    if (std::optional<Error> why = FolderDistrust(fs, run.temp, CurrentUserId(), CurrentGroupId())) {
      run.Fail(*why, kExitNotRun, Situation::kFolder);
    }
  }
  const std::string folder = fs.GetParentFolderName(run.backup);
  if (fs.FolderExists(run.backup)) {
    run.Fail(Error(errnum::kPermissionDenied, kLibrarySource, "Permission denied: a folder is where the backup belongs",
                   run.backup),
             kExitNotRun);
  } else if (!fs.FolderExists(folder)) {
    run.Fail(Error::Standard(errnum::kPathNotFound, folder), kExitNotRun);
  } else if (!IsStampedPattern(fs, run.backup_pattern) && !run.parsed.Has("--replace") && fs.FileExists(run.backup)) {
    run.Fail(BackupNameTaken(run.backup), kExitNotRun);
  }
}

void PrintText(const ProtectRun& run, const Foreseen& seen) {
  std::cout << "Would make safe, with " << run.temp << " as the temporary folder:\n";
  size_t listed_from = 0;
  for (const TreeTotal& tree : seen.trees) {
    std::cout << "  tree " << tree.root << ": " << tree.files << (tree.files == 1 ? " file, " : " files, ")
              << FormatBytes(tree.bytes) << '\n';
    for (size_t i = listed_from; run.every_file && i < listed_from + tree.files; ++i) {
      std::cout << "    " << text::OnOneLine(seen.files[i].path) << " (" << FormatBytes(seen.files[i].size) << ")\n";
    }
    listed_from += tree.files;
  }
  for (size_t i = listed_from; i < seen.files.size(); ++i) {
    std::cout << "  " << text::OnOneLine(seen.files[i].path) << " (" << FormatBytes(seen.files[i].size) << ")\n";
  }
  std::cout << "In all " << seen.files.size() << (seen.files.size() == 1 ? " file, " : " files, ")
            << FormatBytes(seen.bytes) << ": the archives take at most that (less where files compress)";
  if (seen.available >= 0) {
    std::cout << "; " << FormatBytes(static_cast<uint64_t>(seen.available)) << " free there"
              << (static_cast<uint64_t>(seen.available) < seen.bytes ? ", which may not be enough" : "");
  }
  std::cout << ".\nThen would run:";
  for (const std::string& word : *run.parsed.rest) std::cout << ' ' << word;
  std::cout << "\nand on success write the backup " << run.backup << ".\n";
}

void WriteJson(const ProtectRun& run, const Foreseen& seen, int status) {
  JsonWriter json(std::cout);
  BeginProtectJson(json, run, true, &run.backup);
  json.Key("trees");
  json.BeginArray();
  for (const TreeTotal& tree : seen.trees) {
    json.BeginObject();
    json.Field("path", tree.root);
    json.Field("files", static_cast<int64_t>(tree.files));
    json.Field("bytes", static_cast<int64_t>(tree.bytes));
    json.EndObject();
  }
  json.EndArray();
  json.Key("files");
  json.BeginArray();
  for (const Sized& file : seen.files) {
    json.BeginObject();
    json.Field("path", file.path);
    json.Field("size", static_cast<int64_t>(file.size));
    json.EndObject();
  }
  json.EndArray();
  json.Field("bytes", static_cast<int64_t>(seen.bytes));
  json.Key("available_bytes");
  seen.available >= 0 ? json.Integer(seen.available) : json.Null();
  json.Field("outcome", status == kExitSuccess ? "would_protect" : "would_not_run");
  json.Field("status", int64_t{status});
  json.Key("error");
  run.error ? WriteError(json, *run.error) : json.Null();
  json.EndObject();
}

}  // namespace

int ProtectDryRun(ProtectRun& run) {
  Foreseen seen;
  for (const std::string& tree : run.trees) {
    const size_t before = seen.files.size();
    try {
      seen.trees.push_back(WalkOne(run, tree, seen));
      seen.bytes += seen.trees.back().bytes;
    } catch (const Error& e) {
      seen.files.resize(before);
      Refuse(run, Error(e.number(), e.source(), e.description(), e.path().empty() ? tree : e.path(), e.native_code()));
    }
  }
  for (const std::string& path : run.listed) {
    try {
      seen.files.push_back(StatOne(*run.fs, path));
      seen.bytes += seen.files.back().size;
    } catch (const Error& e) {
      Refuse(run, e);
    }
  }
  CheckFolders(run);
  seen.available = AvailableBytes(run.temp);
  const int status = run.refused.empty() && !run.error ? kExitSuccess : kExitNotRun;
  if (run.json) {
    WriteJson(run, seen, status);
  } else {
    PrintText(run, seen);
  }
  return status;
}

}  // namespace bk::cli
