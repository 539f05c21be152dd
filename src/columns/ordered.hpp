// A map that keeps its keys in the order they were first put (a Python dict's): the event rules
// report what is still open in that order. Deleting a key and putting it again moves it last.
#pragma once

#include <cstddef>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

namespace columns {

template <class K, class V>
class Ordered {
 public:
  V* find(const K& key) {
    auto at = index_.find(key);
    return at == index_.end() ? nullptr : &*slots_[at->second].second;
  }
  bool contains(const K& key) const { return index_.count(key) != 0; }
  bool empty() const { return index_.empty(); }

  // Put in place if there, else last.
  V& put(const K& key, V value) {
    if (V* there = find(key)) return *there = std::move(value);
    index_.emplace(key, slots_.size());
    slots_.emplace_back(key, std::move(value));
    return *slots_.back().second;
  }

  V& setdefault(const K& key, V value) {
    if (V* there = find(key)) return *there;
    return put(key, std::move(value));
  }

  std::optional<V> pop(const K& key) {
    auto at = index_.find(key);
    if (at == index_.end()) return std::nullopt;
    std::optional<V> value = std::move(slots_[at->second].second);
    slots_[at->second].second.reset();
    index_.erase(at);
    if (slots_.size() > 2 * index_.size() + 16) compact();
    return value;
  }

  // The keys in order, a copy: the caller may delete as it goes.
  std::vector<K> keys() const {
    std::vector<K> out;
    out.reserve(index_.size());
    for (const auto& [key, value] : slots_)
      if (value) out.push_back(key);
    return out;
  }

  template <class F>
  void each(F&& f) {
    for (auto& [key, value] : slots_)
      if (value) f(key, *value);
  }

  void clear() {
    slots_.clear();
    index_.clear();
  }

 private:
  void compact() {
    std::vector<std::pair<K, std::optional<V>>> kept;
    kept.reserve(index_.size());
    for (auto& slot : slots_)
      if (slot.second) {
        index_[slot.first] = kept.size();
        kept.push_back(std::move(slot));
      }
    slots_ = std::move(kept);
  }

  std::vector<std::pair<K, std::optional<V>>> slots_;
  std::unordered_map<K, std::size_t> index_;
};

}  // namespace columns
