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
// NodeIndex maps each distinct id to its node number. It copies short ids and
// keeps views of long ones (IdKey): those must stay alive and unchanged while
// the index is in use (the dependency map is not written during a check; see
// has_cycle below).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string_view>
#include <type_traits>
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

  void reserve_nodes(std::size_t nodes);
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

// An id as the index compares it: 24 bytes. An id of up to kInlineBytes
// bytes is copied in, the rest zero-filled, so two such keys compare as three
// words without touching the id's own storage; a longer id is kept as a view.
class IdKey {
 public:
  static constexpr std::size_t kInlineBytes = 23;

  IdKey() noexcept = default;
  explicit IdKey(std::string_view id) noexcept;

  // The id's bytes, wherever they are.
  std::string_view id() const noexcept;

  friend bool operator==(const IdKey& a, const IdKey& b) noexcept;

 private:
  static constexpr std::uint8_t kLong = 0xFF;

  std::string_view view() const noexcept;

  char bytes_[kInlineBytes] = {};
  std::uint8_t size_ = 0;  // kLong when bytes_ hold a std::string_view
};
static_assert(sizeof(IdKey) == 24);

class NodeIndex {
 public:
  explicit NodeIndex(HashKeys keys) noexcept : keys_(keys) {}

  // The index's hash of `id`, to pass to the calls below.
  std::uint64_t hash(std::string_view id) const noexcept { return hash_id(keys_.k0, keys_.k1, id); }

  // The node of the id, adding one to `graph` if the id is new. The index
  // must be the only one to add nodes to `graph`.
  GraphNumber find_or_add(const IdKey& key, std::uint64_t hash, DependencyGraph& graph);
  GraphNumber find_or_add(std::string_view id, DependencyGraph& graph) {
    return find_or_add(IdKey(id), hash(id), graph);
  }

  // The node of `id`, or kNoEdge if it has none.
  GraphNumber find(std::string_view id) const noexcept;

  std::size_t size() const noexcept { return size_; }

  // Room for this many ids without growing.
  void reserve(std::size_t ids);

  // Starts loading the slot where an id of this hash is probed first.
  void prefetch(std::uint64_t hash) const noexcept;

 private:
  // All zero bytes is an empty slot, so fresh zeroed memory needs no filling.
  struct Slot {
    GraphNumber node_plus_one;  // 0: empty
    std::uint32_t tag;          // low half of the id's hash: probe start and filter
    IdKey key;
  };
  static_assert(sizeof(Slot) == 32);
  static_assert(std::is_trivially_copyable_v<Slot>, "slots live in raw zeroed memory");

  // The slot holding the key, or the empty slot where it would go.
  std::size_t probe(const IdKey& key, std::uint32_t tag) const noexcept;
  void grow();
  void rehash(std::size_t slot_count);

  HashKeys keys_;
  struct FreeSlots {
    void operator()(Slot* slots) const noexcept { std::free(slots); }
  };

  // From calloc, which takes a large block zeroed from the system and so
  // spares a pass that would write every slot empty.
  std::unique_ptr<Slot[], FreeSlots> slots_;  // linear probing; a power of two, at most half full
  std::size_t slot_count_ = 0;
  std::size_t size_ = 0;
};

// Whether the dependency relation in `dependencies` (task -> the ids it
// depends on) has a cycle. One node per distinct id, numbered in order of
// first appearance (a task before its dependencies), one edge per pair, from
// the task to the dependency: a relation and its reverse have the same
// cycles, and this way the edges of a task lie side by side in the edge
// array, which the search walks faster. The map is walked shard by shard
// under each shard's shared lock, but ids are read a little later than they
// are met: the caller guarantees that nobody writes the map during the call
// (every writer of the Python layer holds the interpreter lock, and so does
// the check). Throws GraphCapacityError past 2**32 - 1 nodes or edges.
bool has_cycle(const ShardedMap<IdSet>& dependencies);

}  // namespace vesk
