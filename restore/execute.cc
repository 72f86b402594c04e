#include "restore/execute.h"

#include <algorithm>
#include <set>

#include "component/platform.h"
#include "component/zip/archive_reader.h"
#include "restore/file_writer.h"

namespace bk::restore {
namespace {

// Files are flushed together, a batch at a time: one trip to the disk for
// many files, with a bounded number of them open.
constexpr size_t kBatchFiles = 256;
constexpr uint64_t kBatchBytes = 512ull << 20;

// What a step that failed says: the entry's own path, and "changed while
// the rollback ran" for an entry that is not what was planned.
Error Why(const Error& e, const std::string& path) {
  if (e.number() == errnum::kPermissionDenied && e.description() == EntryChanged("").description()) {
    return ChangedMeanwhile(path);
  }
  std::string why = e.description();
  if (!e.path().empty() && e.path() != path) why += ": " + e.path();
  if (e.native_code() != 0) why += " (system error " + std::to_string(e.native_code()) + ")";
  return Error(e.number(), e.source(), why, path, e.native_code()).Kind(e.kind());
}

// True when the step concerns a file the log lists.
bool IsFileStep(const Step& step) {
  switch (step.action) {
    case Action::kRestore:
    case Action::kUnchanged:
    case Action::kRefuse:
    case Action::kDoneBefore: return step.detail != kNoDetail;
    default: return false;
  }
}

class Executor {
 public:
  Executor(Plan& plan, const std::shared_ptr<FileSystem>& fs, const OutcomeSink& sink, const RunHooks& hooks)
      : plan_(plan), fs_(fs), sink_(sink), hooks_(hooks), folders_(*plan.folders) {}

  Summary Run() {
    // Nothing opened while planning is used: every folder is opened again
    // from its top and checked.
    folders_.CloseAll();
    if (!plan_.record.empty()) journal_ = PeriodRecordWriter::Append(fs_, plan_.record);
    CountTotals();
    for (size_t i = 0; i < plan_.steps.size() && !summary_.stopped; ++i) {
      if (hooks_.stop && hooks_.stop()) {
        summary_.stopped = Error::Standard(errnum::kUserInterrupt).Kind(ErrorKind::kIncomplete);
        break;
      }
      Do(i);
    }
    FinishBatch();
    if (journal_ && summary_.Whole()) journal_->AddWhole();
    Settle();
    if (journal_) journal_->Close();
    return summary_;
  }

 private:
  void Emit(Outcome o) {
    summary_.Count(o);
    if (sink_) sink_(o);
  }

  void CountTotals() {
    for (const Step& step : plan_.steps) {
      if (!IsFileStep(step)) continue;
      ++progress_.files;
      if (step.action == Action::kRestore) progress_.bytes += plan_.files[step.detail].size;
    }
    Tell();
  }
  void Tell() {
    if (!hooks_.progress) return;
    Progress now = progress_;
    now.bytes_done = std::min(now.bytes, settled_bytes_ + writing_bytes_);
    hooks_.progress(now);
  }
  // A file step's outcome is out.
  void Settled(const Step& step) {
    ++progress_.files_done;
    if (step.action == Action::kRestore) settled_bytes_ += plan_.files[step.detail].size;
    Tell();
  }
  void Failed(const Step& step, Verb verb, const Error& e) {
    Emit(Outcome{verb, plan_.Shown(step), {}, Why(e, plan_.PathOf(step))});
  }
  void Done(DoneStep kind, const Step& step) {
    if (journal_) journal_->AddDone(kind, plan_.PathOf(step));
  }
  // Flushes the folders whose entries changed, then what the journal holds.
  void Settle() {
    for (int32_t node : changed_) {
      try {
        folders_.Open(node)->Sync();
      } catch (const Error&) {
        // A folder removed since has nothing left to flush.
      }
    }
    changed_.clear();
    if (journal_) journal_->Sync();
  }

  void Do(size_t i) {
    const Step& step = plan_.steps[i];
    const bool file = step.action == Action::kRestore;
    if (!file) FinishBatch();
    if (file && !changed_.empty()) Settle();
    if (!file && IsFileStep(step)) Settled(step);
    switch (step.action) {
      case Action::kRestore: return Restore(step);
      case Action::kUnchanged: return Emit(Outcome{Verb::kUnchanged, plan_.Shown(step), {}, {}});
      case Action::kDoneBefore: return Emit(Outcome{Verb::kDoneBefore, plan_.Shown(step), {}, {}});
      case Action::kRemove: return Remove(step);
      case Action::kRemoveFolder: return RemoveFolder(step);
      case Action::kMakeFolder: return MakeFolder(step);
      case Action::kMakeLink: return MakeLink(step);
      case Action::kFolderMetadata: return Metadata(step);
      case Action::kRefuse: return Emit(Outcome{Verb::kNotRestored, plan_.Shown(step), {}, plan_.errors[step.error]});
      case Action::kLeave: return Emit(Outcome{Verb::kLeft, plan_.Shown(step), {}, plan_.errors[step.error]});
      case Action::kStop: return Emit(Outcome{Verb::kStopped, plan_.Shown(step), {}, plan_.errors[step.error]});
    }
  }

  void Remove(const Step& step) {
    try {
      folders_.Open(step.folder)->RemoveEntryIfSame(step.name, step.seen.AsStat());
    } catch (const Error& e) {
      return Failed(step, Verb::kNotRemoved, e);
    }
    changed_.insert(step.folder);
    Done(DoneStep::kRemoved, step);
    Emit(Outcome{Verb::kRemoved, plan_.PathOf(step), {}, {}});
  }

  void RemoveFolder(const Step& step) {
    try {
      folders_.Close(step.node);
      folders_.Open(step.folder)->RemoveSubfolderIfSame(step.name, step.seen.AsStat());
    } catch (const Error& e) {
      return Failed(step, Verb::kNotRemoved, e);
    }
    changed_.insert(step.folder);
    changed_.erase(step.node);
    Done(DoneStep::kRemoved, step);
    Emit(Outcome{Verb::kRemoved, plan_.PathOf(step), {}, {}});
  }

  void MakeFolder(const Step& step) {
    try {
      const std::shared_ptr<Folder> holder = folders_.Open(step.folder);
      try {
        holder->MakeFolder(step.name);
      } catch (const Error& e) {
        // The plan found nothing there.
        if (e.number() == errnum::kFileAlreadyExists) throw EntryChanged(plan_.PathOf(step));
        throw;
      }
      folders_.Expect(step.node, Made(*holder, step));
    } catch (const Error& e) {
      return Failed(step, Verb::kNotRestored, e);
    }
    changed_.insert(step.folder);
    Done(DoneStep::kMade, step);
    Emit(Outcome{Verb::kRestored, plan_.PathOf(step), {}, {}});
  }

  // What is at the step's name right after it was made must be the folder
  // just made: a folder reached without a link, ours, for no one else yet
  // and empty. A folder moved in from elsewhere is none of these.
  FileStat Made(Folder& holder, const Step& step) {
    std::unique_ptr<Folder> made;
    try {
      made = holder.OpenSubfolder(step.name);
    } catch (const Error& e) {
      if (e.number() != errnum::kPathFileAccessError) throw;  // a link or no folder
      throw EntryChanged(plan_.PathOf(step));
    }
    const FileStat st = made->StatEntry("");
    if ((plan_.posix && (st.owner != CurrentUserId() || (st.attributes & 077) != 0)) || !made->ListNames().empty()) {
      throw EntryChanged(plan_.PathOf(step));
    }
    return st;
  }

  void MakeLink(const Step& step) {
    const Recorded& r = plan_.recorded[step.detail];
    std::string note;
    try {
      const std::shared_ptr<Folder> holder = folders_.Open(step.folder);
      try {
        holder->MakeLink(step.name, r.link_target, false);
      } catch (const Error& e) {
        // The plan found nothing there.
        if (e.number() == errnum::kFileAlreadyExists) throw EntryChanged(plan_.PathOf(step));
        throw;
      }
      const FileStat st = holder->StatEntry(step.name);
      if (!st.is_symlink || (plan_.posix && st.owner != CurrentUserId()) ||
          holder->ReadLink(step.name) != r.link_target) {
        throw EntryChanged(plan_.PathOf(step));
      }
      if (plan_.posix && r.owned && st.owner != r.owner) {
        try {
          holder->SetLinkOwnerIfSame(step.name, st, r.owner, r.group);
        } catch (const Error& e) {
          // Without the privilege to give links away the link is the user's.
          if (e.number() != errnum::kPermissionDenied) throw;
          note = "owner and group not restored: not permitted";
        }
      }
    } catch (const Error& e) {
      return Failed(step, Verb::kNotRestored, e);
    }
    changed_.insert(step.folder);
    Done(DoneStep::kMade, step);
    Emit(Outcome{Verb::kRestored, plan_.PathOf(step), note, {}});
  }

  // A folder's own metadata, set on its checked handle, only what differs,
  // so that a folder another user owns and nothing changed is left alone by
  // a user who could not set it.
  void Metadata(const Step& step) {
    const Recorded& r = plan_.recorded[step.detail];
    try {
      const std::shared_ptr<Folder> folder = folders_.Open(step.folder);
      const FileStat now = folder->StatEntry("");
      if (plan_.posix && r.owned && (now.owner != r.owner || now.group != r.group)) {
        folder->SetEntryOwner("", r.owner, r.group);
      }
      const uint32_t mode = plan_.posix ? now.attributes & 07777 : now.attributes;
      if (r.mode != 0 && mode != r.mode) folder->SetEntryMode("", r.mode);
      if (r.with_attributes) {
        const AttributeChanges changes = ChangesBetween(folder->EntryAttributes(""), r.attributes, plan_.namespaces);
        for (const std::string& gone : changes.remove) folder->RemoveEntryAttribute("", gone);
        for (const ExtendedAttribute& a : changes.set) folder->SetEntryAttribute("", a.name, a.value);
      }
      if (r.modified_ns != 0 && now.modified_ns != r.modified_ns) folder->SetEntryModifiedTime("", r.modified_ns);
    } catch (const Error& e) {
      Failed(step, Verb::kNotRestored, e);
    }
  }

  // --- Files, archive by archive, in batches ---

  void Restore(const Step& step) {
    const FileDetail& detail = plan_.files[step.detail];
    if (!OpenArchive(detail.archive)) return;
    const size_t tag = batch_.size();
    batch_.push_back(Pending{&step, std::nullopt});
    try {
      FileWriter::Target target;
      target.folder = folders_.Open(step.folder);
      target.name = step.name;
      target.path = plan_.PathOf(step);
      target.seen = step.seen;
      target.in_place = detail.in_place;
      if (detail.record_offset >= 0 && plan_.record_index) {
        target.recorded = plan_.record_index->FileAt(static_cast<uint64_t>(detail.record_offset), detail.record_line);
      }
      writer_->Stage(reader_->entries()[detail.entry], std::move(target), tag);
    } catch (const Error& e) {
      batch_.back().outcome = Outcome{Verb::kNotRestored, plan_.Shown(step), {}, Why(e, plan_.PathOf(step))};
    }
    if (writer_->staged_files() >= kBatchFiles || writer_->staged_bytes() >= kBatchBytes) FinishBatch();
  }

  // The archive the next files come from, opened again and checked to be
  // the file the plan read; false when it is not (the rollback stops).
  bool OpenArchive(int32_t index) {
    if (reader_ && archive_ == index) return true;
    FinishBatch();
    writer_.reset();
    reader_.reset();
    const PlannedArchive& planned = plan_.archives[static_cast<size_t>(index)];
    try {
      reader_ = std::make_unique<ArchiveReader>(*fs_, planned.path);
      if (!SameEntry(reader_->stat(), planned.seen) || reader_->stat().size != planned.seen.size) {
        throw Error(errnum::kPermissionDenied, kLibrarySource,
                    "Permission denied: the archive changed since the rollback was planned", planned.path)
            .Kind(ErrorKind::kRefused);
      }
    } catch (const Error& e) {
      reader_.reset();
      Emit(Outcome{Verb::kStopped, planned.path, {}, e});
      return false;
    }
    archive_ = index;
    writer_ = std::make_unique<FileWriter>(*fs_, *reader_, plan_.posix, plan_.namespaces);
    if (hooks_.progress) {
      writer_->OnWritten([this](uint64_t n) {
        writing_bytes_ += n;
        Tell();
      });
    }
    return true;
  }

  void FinishBatch() {
    if (!writer_ || batch_.empty()) return;
    for (FileWriter::Done& done : writer_->Finish()) {
      Pending& p = batch_[done.tag];
      p.outcome = done.error ? Outcome{Verb::kNotRestored, plan_.Shown(*p.step), {}, Why(*done.error, plan_.PathOf(*p.step))}
                             : Outcome{Verb::kRestored, plan_.Shown(*p.step), done.note, {}};
      if (!done.error) Done(DoneStep::kRestored, *p.step);
    }
    if (journal_) journal_->Sync();
    writing_bytes_ = 0;
    for (Pending& p : batch_) {
      Emit(std::move(*p.outcome));
      Settled(*p.step);
    }
    batch_.clear();
  }

  struct Pending {
    const Step* step;
    std::optional<Outcome> outcome;
  };

  Plan& plan_;
  std::shared_ptr<FileSystem> fs_;
  const OutcomeSink& sink_;
  const RunHooks& hooks_;
  Progress progress_;
  uint64_t settled_bytes_ = 0;  // of the files whose outcome is out
  uint64_t writing_bytes_ = 0;  // written of the batch not yet finished
  FolderCache& folders_;
  Summary summary_;
  std::unique_ptr<PeriodRecordWriter> journal_;
  std::set<int32_t> changed_;
  int32_t archive_ = -1;
  std::unique_ptr<ArchiveReader> reader_;
  std::unique_ptr<FileWriter> writer_;
  std::vector<Pending> batch_;
};

}  // namespace

Summary Execute(Plan& plan, const std::shared_ptr<FileSystem>& fs, const OutcomeSink& sink, const RunHooks& hooks) {
  return Executor(plan, fs, sink, hooks).Run();
}

}  // namespace bk::restore
