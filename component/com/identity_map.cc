#include "component/com/identity_map.h"

namespace bk::com {

std::shared_ptr<IdentityMap> IdentityMap::OfThisThread() {
  thread_local std::shared_ptr<IdentityMap> map = std::make_shared<IdentityMap>();
  return map;
}

void* IdentityMap::Find(const void* core) const {
  const auto it = wrappers_.find(core);
  return it == wrappers_.end() ? nullptr : it->second;
}

}  // namespace bk::com
