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

  // Adds an item at `position` (from 1; Count() + 1, the default, appends).
  // Fails with 457 when the key is taken, 9 when the position is outside
  // 1..Count() + 1.
  void Add(T item, std::optional<std::string_view> key = std::nullopt,
           std::optional<int32_t> position = std::nullopt) {
    std::optional<std::string> folded;
    if (key) {
      folded = text::FoldCase(*key);
      if (Find(*folded) != npos) throw Error::Standard(errnum::kDuplicateKey);
    }
    const int32_t at = position.value_or(Count() + 1);
    if (at < 1 || at > Count() + 1) throw Error::Standard(errnum::kSubscriptOutOfRange);
    items_.insert(items_.begin() + (at - 1), Slot{std::move(item), std::move(folded)});
  }

  // The position (from 1) of the item under the key; 5 when there is none.
  int32_t PositionOf(std::string_view key) const {
    const size_t i = Find(text::FoldCase(key));
    if (i == npos) throw Error::Standard(errnum::kInvalidProcedureCall);
    return static_cast<int32_t>(i + 1);
  }

  int32_t Count() const { return static_cast<int32_t>(items_.size()); }

  // Position counts from 1; 9 when outside 1..Count().
  T& Item(int32_t position) { return items_[Index(position)].item; }
  const T& Item(int32_t position) const { return items_[Index(position)].item; }

  // 5 when no item has that key.
  T& Item(std::string_view key) { return Item(PositionOf(key)); }

  // The item under the key, or nullptr: a lookup that never raises.
  T* Find(std::string_view key, std::nullptr_t) {
    const size_t i = Find(text::FoldCase(key));
    return i == npos ? nullptr : &items_[i].item;
  }

  void Remove(int32_t position) { items_.erase(items_.begin() + static_cast<ptrdiff_t>(Index(position))); }
  void Remove(std::string_view key) { Remove(PositionOf(key)); }

  // Declared before the iterator, which names it (clang requires that).
 private:
  struct Slot {
    T item;
    std::optional<std::string> folded_key;
  };
 public:
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
