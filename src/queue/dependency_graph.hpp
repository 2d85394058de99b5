// DependencyGraph: the state of PyTaskDependencyManager in plain C++, without
// Python and without locks (the manager guards it with one mutex), so the
// native tests can drive it directly.
//
// Nodes. Every distinct id that is part of a pair, or was marked completed,
// has a node: a dense 32-bit number holding the owned id, the set of nodes it
// depends on and the set of nodes that depend on it. Both directions of a
// pair change in the same step, so they always mirror each other. Sets hold
// node numbers, not ids: an edge costs 4 bytes per direction and is never
// hashed again. A node left with no pair and no completion is reclaimed: its
// number goes on a free list for the next new id.
//
// Completion is one bit per node, in an array small enough to stay in cache
// while a readiness query walks many tasks.
//
// The index finds a node by its id: a FlatTable from id to node number. Ids
// are hashed with SipHash-1-3 under keys drawn per graph, so chosen ids
// cannot crowd one probe chain.
//
// Failures. Every change either completes or throws (std::bad_alloc, or
// GraphCapacityError past 2**32 - 1 nodes) with nothing changed. Removals
// and clears never allocate and never fail.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "concurrent/flat_table.hpp"
#include "concurrent/hash_keys.hpp"

namespace vesk {

using GraphNumber = std::uint32_t;
inline constexpr GraphNumber kNoNode = std::numeric_limits<GraphNumber>::max();

// A new node would need the reserved number kNoNode.
class GraphCapacityError : public std::length_error {
 public:
  using std::length_error::length_error;
};

// A set of node numbers. Up to kInline members live in the set itself, up to
// kLinear in a heap array, both searched linearly without hashing (sets
// average about three members); a larger set becomes a linear-probing table
// at most half full.
class NodeSet {
 public:
  static constexpr std::uint32_t kInline = 4;
  static constexpr std::uint32_t kLinear = 16;

  NodeSet() noexcept = default;
  NodeSet(NodeSet&& other) noexcept;
  NodeSet& operator=(NodeSet&& other) noexcept;
  NodeSet(const NodeSet&) = delete;
  NodeSet& operator=(const NodeSet&) = delete;
  ~NodeSet() { release(); }

  // True if `node` was new. Throws std::bad_alloc with the set unchanged.
  bool insert(GraphNumber node);
  // True if `node` was there.
  bool erase(GraphNumber node) noexcept;
  bool contains(GraphNumber node) const noexcept;
  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  // Drops every member and any heap storage.
  void reset() noexcept;

  // Walks the members: start with position 0; each call returns the next
  // member and advances `position`, or kNoNode at the end.
  GraphNumber next(std::uint32_t& position) const noexcept;

  // Whether pred(member) holds for every member; stops at the first miss.
  template <class Pred>
  bool all_of(Pred&& pred) const {
    std::uint32_t position = 0;
    for (GraphNumber n = next(position); n != kNoNode; n = next(position)) {
      if (!pred(n)) return false;
    }
    return true;
  }

 private:
  bool is_table() const noexcept { return capacity_ > kLinear; }
  GraphNumber* members() noexcept { return capacity_ == kInline ? local_ : heap_; }
  const GraphNumber* members() const noexcept { return capacity_ == kInline ? local_ : heap_; }
  std::uint32_t table_slot(GraphNumber node) const noexcept;  // its slot, or the empty one it would take
  void grow();
  void release() noexcept;

  std::uint32_t size_ = 0;
  std::uint32_t capacity_ = kInline;
  union {
    GraphNumber local_[kInline] = {};
    GraphNumber* heap_;
  };
};

class DependencyGraph {
 public:
  // Draws fresh hash keys for the index.
  DependencyGraph() : DependencyGraph(next_hash_keys()) {}
  explicit DependencyGraph(HashKeys keys) noexcept : index_(IdHasher{keys}) {}

  // Records that `task` depends on `dep`; a known pair changes nothing.
  void add(std::string_view task, std::string_view dep);
  // Removes the pair; true if it was there.
  bool remove(std::string_view task, std::string_view dep) noexcept;
  void mark_completed(std::string_view id);
  // Forgets every completion.
  void reset_completed() noexcept;
  // Forgets everything; keeps no storage.
  void clear() noexcept;

  // True when every dependency of `task` is completed (also when it has none).
  bool ready(std::string_view task) const noexcept;
  // answers[first + i] = ready(tasks[i]) for each i, the lookups overlapped.
  void ready_each(std::span<const std::string_view> tasks, std::vector<bool>& answers,
                  std::size_t first) const noexcept;
  std::vector<std::string> dependencies_of(std::string_view id) const;
  std::vector<std::string> dependents_of(std::string_view id) const;
  // True when some task depends on itself, directly or through others.
  bool has_cycle() const;
  // One such cycle as ids, each depending on the next, the last one the first
  // again ({"a", "a"} for a task that depends on itself); empty when acyclic.
  std::vector<std::string> find_cycle() const;

  // Nodes in use: ids in a pair or completed.
  std::size_t node_count() const noexcept { return nodes_.size() - free_count_; }

 private:
  struct Node {
    std::string id;
    NodeSet dependencies;
    NodeSet dependents;
    GraphNumber next_free = kNoNode;  // on the free list: the next free node
    bool live = false;                // false: on the free list
  };
  struct SearchFrame {
    GraphNumber node;
    std::uint32_t position;  // of its next dependency
  };

  std::uint64_t hash(std::string_view id) const noexcept { return index_.hasher()(id); }
  GraphNumber find(std::string_view id, std::uint64_t id_hash) const noexcept;
  GraphNumber find(std::string_view id) const noexcept { return find(id, hash(id)); }
  // The node of `id`, made if absent; `made` tells which.
  GraphNumber find_or_make(std::string_view id, bool& made);
  // A live node for `id`, from the free list or new; not yet indexed.
  GraphNumber new_node(std::string_view id);
  // Frees `node` if it has no pair and no completion.
  void reclaim_if_unused(GraphNumber node) noexcept;
  void unindex(GraphNumber node) noexcept;
  bool completed(GraphNumber node) const noexcept {
    return (completed_bits_[node / 64] >> (node % 64)) & 1u;
  }
  void set_completed(GraphNumber node, bool on) noexcept;
  std::vector<std::string> ids_of(const NodeSet& set) const;
  // The search behind has_cycle and find_cycle: the node whose edge closes a
  // cycle, with `path` left from the root to the edge's source; else kNoNode.
  GraphNumber search_cycle(std::vector<SearchFrame>& path) const;

  FlatTable<GraphNumber, IdHasher> index_;
  std::vector<Node> nodes_;
  std::vector<std::uint64_t> completed_bits_;  // one word per 64 nodes of nodes_' capacity
  GraphNumber first_free_ = kNoNode;
  std::size_t free_count_ = 0;
};

}  // namespace vesk
