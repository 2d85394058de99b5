// IdSet: a hash set of owned UTF-8 ids, compared by exact bytes (no Unicode
// normalization), hashed with SipHash-1-3 under the set's own keys.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "flat_table.hpp"
#include "hash_keys.hpp"

namespace vesk {

class IdSet {
 public:
  // Draws fresh keys, so every set hashes differently.
  IdSet() : IdSet(next_hash_keys()) {}
  explicit IdSet(HashKeys keys) noexcept : table_(IdHasher{keys}) {}

  IdSet(IdSet&&) noexcept = default;
  IdSet& operator=(IdSet&&) noexcept = default;
  IdSet(const IdSet&) = delete;
  IdSet& operator=(const IdSet&) = delete;

  // The set's hash of `id`, for the overloads below that take one. The keys
  // never change, so a hash stays valid for the life of the set.
  std::uint64_t hash(std::string_view id) const noexcept { return table_.hasher()(id); }

  // True if `id` was not present. Copies the id only when it is new.
  bool insert(std::string_view id) { return insert(id, hash(id)); }
  bool insert(std::string_view id, std::uint64_t id_hash) {
    return table_.find_or_insert_default(id, id_hash).second;
  }

  bool contains(std::string_view id) const noexcept { return table_.find(id, hash(id)) != nullptr; }

  // True if `id` was present.
  bool erase(std::string_view id) noexcept { return erase(id, hash(id)); }
  bool erase(std::string_view id, std::uint64_t id_hash) noexcept {
    return table_.remove(id, id_hash).has_value();
  }

  std::size_t size() const noexcept { return table_.size(); }
  bool empty() const noexcept { return table_.empty(); }

  // Removes every id; keeps the capacity.
  void clear() noexcept { table_.clear(); }

  // Calls f(const std::string&) for each id in table order.
  template <class F>
  void for_each(F&& f) const {
    table_.for_each([&](const std::string& id, const Present&) { f(id); });
  }

 private:
  struct Present {};

  FlatTable<Present, IdHasher> table_;
};

}  // namespace vesk
