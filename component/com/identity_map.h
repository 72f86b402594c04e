// Object identity across the boundary: each thread keeps a map from a core
// object to its live COM wrapper, so that the same core object is always
// handed out as the same COM object (`entry.Parent Is log` holds). A wrapper
// registers itself when it is made and leaves the map when it dies; the map
// never keeps a wrapper alive.
#pragma once

#include <memory>
#include <unordered_map>

namespace bk::com {

class IdentityMap {
 public:
  // The map of the calling thread.
  static std::shared_ptr<IdentityMap> OfThisThread();

  void* Find(const void* core) const;
  void Add(const void* core, void* wrapper) { wrappers_[core] = wrapper; }
  void Remove(const void* core) { wrappers_.erase(core); }

 private:
  std::unordered_map<const void*, void*> wrappers_;
};

// Membership of one wrapper in its thread's map, for the wrapper's lifetime.
// Holding the map keeps it valid even if the thread ends first.
class IdentityEntry {
 public:
  IdentityEntry(const void* core, void* wrapper) : map_(IdentityMap::OfThisThread()), core_(core) {
    map_->Add(core, wrapper);
  }
  ~IdentityEntry() { map_->Remove(core_); }
  IdentityEntry(const IdentityEntry&) = delete;
  IdentityEntry& operator=(const IdentityEntry&) = delete;

 private:
  std::shared_ptr<IdentityMap> map_;
  const void* core_;
};

// The COM wrapper of `core` on this thread: the live one, with a new
// reference, or a new one made by `Wrapper(core)`. Null for a null core.
template <typename Wrapper, typename Core>
Wrapper* WrapShared(const std::shared_ptr<Core>& core) {
  if (!core) return nullptr;
  if (void* live = IdentityMap::OfThisThread()->Find(core.get())) {
    auto* wrapper = static_cast<Wrapper*>(live);
    wrapper->AddRef();
    return wrapper;
  }
  return new Wrapper(core);
}

}  // namespace bk::com
