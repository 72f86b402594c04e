// The keyed collection of automation hosts: items in insertion order,
// positions from 1, optional text keys compared without regard to letter case.
// A duplicate key fails with 457, a missing key with 5, a position out of
// range with 9.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "component/error.h"
#include "component/text.h"

namespace bk {

template <typename T>
class KeyedCollection {
 public:
  using value_type = T;

  // Adds an item as the new last one. Fails with 457 when the key is taken.
  void Add(T item, std::optional<std::string_view> key = std::nullopt) {
    std::optional<std::string> folded;
    if (key) {
      folded = text::FoldCase(*key);
      if (Find(*folded) != npos) throw Error::Standard(errnum::kDuplicateKey);
    }
    items_.push_back(Slot{std::move(item), std::move(folded)});
  }

  int32_t Count() const { return static_cast<int32_t>(items_.size()); }

  // Position counts from 1; 9 when outside 1..Count().
  T& Item(int32_t position) { return items_[Index(position)].item; }
  const T& Item(int32_t position) const { return items_[Index(position)].item; }

  // 5 when no item has that key.
  T& Item(std::string_view key) {
    const size_t i = Find(text::FoldCase(key));
    if (i == npos) throw Error::Standard(errnum::kInvalidProcedureCall);
    return items_[i].item;
  }

  // The item under the key, or nullptr: a lookup that never raises.
  T* Find(std::string_view key, std::nullptr_t) {
    const size_t i = Find(text::FoldCase(key));
    return i == npos ? nullptr : &items_[i].item;
  }

  void Remove(int32_t position) { items_.erase(items_.begin() + static_cast<ptrdiff_t>(Index(position))); }
  void Remove(std::string_view key) {
    const size_t i = Find(text::FoldCase(key));
    if (i == npos) throw Error::Standard(errnum::kInvalidProcedureCall);
    items_.erase(items_.begin() + static_cast<ptrdiff_t>(i));
  }

  class iterator {
   public:
    using Inner = typename std::vector<typename KeyedCollection::Slot>::iterator;
    explicit iterator(Inner it) : it_(it) {}
    T& operator*() const { return it_->item; }
    T* operator->() const { return &it_->item; }
    iterator& operator++() { ++it_; return *this; }
    bool operator==(const iterator& o) const { return it_ == o.it_; }
   private:
    Inner it_;
  };
  iterator begin() { return iterator(items_.begin()); }
  iterator end() { return iterator(items_.end()); }

 private:
  struct Slot {
    T item;
    std::optional<std::string> folded_key;
  };
  static constexpr size_t npos = static_cast<size_t>(-1);

  size_t Index(int32_t position) const {
    if (position < 1 || position > Count()) throw Error::Standard(errnum::kSubscriptOutOfRange);
    return static_cast<size_t>(position - 1);
  }
  size_t Find(const std::string& folded) const {
    for (size_t i = 0; i < items_.size(); ++i) {
      if (items_[i].folded_key && *items_[i].folded_key == folded) return i;
    }
    return npos;
  }

  std::vector<Slot> items_;
};

}  // namespace bk
