// Cycle detection over the dependency map: a compact graph built from scratch
// on every check, and an iterative depth-first search over it.
//
// Plain C++ without Python, so the native tests can drive it directly.
//
// DependencyGraph keeps two flat arrays. Each node holds the number of the
// first edge of its outgoing list; each edge holds its target and the number
// of the next edge of the same list. Numbers are 32-bit and dense from 0; the
// all-ones value means "no edge" and ends every list, so it is never handed
// out as a node or edge number. A new edge becomes the head of its source's
// list, so a list runs from the newest edge to the oldest.
//
// NodeIndex maps each distinct id to its node number. It stores views, not
// copies: the ids must stay alive and unchanged while the index is in use
// (the dependency map is not written during a check; see has_cycle below).
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "concurrent/hash_keys.hpp"
#include "concurrent/id_set.hpp"
#include "concurrent/sharded_map.hpp"

namespace vesk {

using GraphNumber = std::uint32_t;
inline constexpr GraphNumber kNoEdge = std::numeric_limits<GraphNumber>::max();

// A node or edge would need a number at or past the graph's limit.
class GraphCapacityError : public std::length_error {
 public:
  using std::length_error::length_error;
};

class DependencyGraph {
 public:
  // `number_limit`: the first number that may not be handed out. Only tests
  // pass a smaller one, to reach the limit without billions of nodes.
  explicit DependencyGraph(GraphNumber number_limit = kNoEdge) noexcept : limit_(number_limit) {}

  GraphNumber add_node();
  // Adds an edge from `from` to `to`; both must be existing nodes.
  void add_edge(GraphNumber from, GraphNumber to);

  std::size_t node_count() const noexcept { return first_edge_.size(); }
  std::size_t edge_count() const noexcept { return edges_.size(); }

  // True when some node reaches itself (a self-loop counts).
  bool has_cycle() const;

 private:
  struct Edge {
    GraphNumber target;
    GraphNumber next;
  };

  GraphNumber next_number(std::size_t count, const char* what) const;

  std::vector<GraphNumber> first_edge_;  // per node; kNoEdge if none
  std::vector<Edge> edges_;
  GraphNumber limit_;
};

class NodeIndex {
 public:
  explicit NodeIndex(HashKeys keys) noexcept : keys_(keys) {}

  // The node of `id`, adding one to `graph` if `id` is new. The index must
  // be the only one to add nodes to `graph`.
  GraphNumber find_or_add(std::string_view id, DependencyGraph& graph);

  // The node of `id`, or kNoEdge if it has none.
  GraphNumber find(std::string_view id) const noexcept;

  std::size_t size() const noexcept { return ids_.size(); }

 private:
  // An empty slot has node == kNoEdge. `tag` is the low half of the id's
  // hash: it picks the probe start and filters candidates before a string
  // compare, and lets the table grow without hashing any id again.
  struct Slot {
    GraphNumber node;
    std::uint32_t tag;
  };

  std::uint32_t tag_of(std::string_view id) const noexcept {
    return static_cast<std::uint32_t>(hash_id(keys_.k0, keys_.k1, id));
  }
  // The slot holding `id`, or the empty slot where it would go.
  std::size_t probe(std::string_view id, std::uint32_t tag) const noexcept;
  void grow();

  HashKeys keys_;
  std::vector<Slot> slots_;          // linear probing; size a power of two
  std::vector<std::string_view> ids_;  // by node number
};

// Whether the dependency relation in `dependencies` (task -> the ids it
// depends on) has a cycle. One node per distinct id, one edge per pair, from
// the dependency to the task. The map is read twice, shard by shard under
// each shard's shared lock; the caller guarantees that nobody writes it
// meanwhile (the Python layer holds the interpreter lock throughout).
// Throws GraphCapacityError past 2**32 - 1 nodes or edges.
bool has_cycle(const ShardedMap<IdSet>& dependencies);

}  // namespace vesk
