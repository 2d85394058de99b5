#include "queue/dependency_graph.hpp"

#include <cstdlib>
#include <cstring>
#include <new>
#include <memory>
#include <string>

namespace vesk {
namespace {

class BitSet {
 public:
  explicit BitSet(std::size_t bits) : words_((bits + 63) / 64, 0) {}
  bool test(std::size_t i) const noexcept { return (words_[i / 64] >> (i % 64)) & 1u; }
  void set(std::size_t i) noexcept { words_[i / 64] |= std::uint64_t{1} << (i % 64); }

 private:
  std::vector<std::uint64_t> words_;
};

// One level of the search: a node and the next of its edges to follow.
struct Frame {
  GraphNumber node;
  GraphNumber edge;
};

constexpr std::size_t kMinSlots = 16;

}  // namespace

// ---- DependencyGraph ---------------------------------------------------------

GraphNumber DependencyGraph::next_number(std::size_t count, const char* what) const {
  if (count >= limit_) {
    throw GraphCapacityError(std::string("dependency graph has too many ") + what +
                             " for 32-bit numbers");
  }
  return static_cast<GraphNumber>(count);
}

void DependencyGraph::reserve_nodes(std::size_t nodes) { first_edge_.reserve(nodes); }

GraphNumber DependencyGraph::add_node() {
  const GraphNumber node = next_number(first_edge_.size(), "nodes");
  first_edge_.push_back(kNoEdge);
  return node;
}

void DependencyGraph::add_edge(GraphNumber from, GraphNumber to) {
  if (from >= first_edge_.size() || to >= first_edge_.size()) {
    throw std::logic_error("dependency graph edge names a node that was never indexed");
  }
  const GraphNumber edge = next_number(edges_.size(), "edges");
  edges_.push_back(Edge{to, first_edge_[from]});
  first_edge_[from] = edge;
}

bool DependencyGraph::has_cycle() const {
  // A node is on the current search path exactly while it is discovered and
  // not finished; an edge into such a node closes a cycle.
  const std::size_t nodes = first_edge_.size();
  BitSet discovered(nodes);
  BitSet finished(nodes);
  std::vector<Frame> stack;
  stack.reserve(nodes);  // the path never holds a node twice
  auto enter = [&](GraphNumber node) {
    discovered.set(node);
    stack.push_back(Frame{node, first_edge_[node]});
  };
  for (std::size_t root = 0; root < nodes; ++root) {
    if (discovered.test(root)) continue;
    enter(static_cast<GraphNumber>(root));
    while (!stack.empty()) {
      Frame& top = stack.back();
      if (top.edge == kNoEdge) {
        finished.set(top.node);
        stack.pop_back();
        continue;
      }
      const Edge& edge = edges_[top.edge];
      top.edge = edge.next;
      const GraphNumber target = edge.target;
      if (discovered.test(target)) {
        if (!finished.test(target)) return true;
        continue;
      }
      enter(target);  // `top` is stale from here
    }
  }
  return false;
}

// ---- IdKey -----------------------------------------------------------------------

IdKey::IdKey(std::string_view id) noexcept {
  static_assert(sizeof(std::string_view) <= kInlineBytes);
  if (id.size() <= kInlineBytes) {
    std::memcpy(bytes_, id.data(), id.size());
    size_ = static_cast<std::uint8_t>(id.size());
  } else {
    std::memcpy(bytes_, &id, sizeof id);
    size_ = kLong;
  }
}

std::string_view IdKey::view() const noexcept {
  std::string_view id;
  std::memcpy(&id, bytes_, sizeof id);
  return id;
}

std::string_view IdKey::id() const noexcept {
  return size_ == kLong ? view() : std::string_view(bytes_, size_);
}

bool operator==(const IdKey& a, const IdKey& b) noexcept {
  if (a.size_ != IdKey::kLong) return std::memcmp(&a, &b, sizeof(IdKey)) == 0;
  return b.size_ == IdKey::kLong && a.view() == b.view();
}

// ---- NodeIndex -------------------------------------------------------------------

std::size_t NodeIndex::probe(const IdKey& key, std::uint32_t tag) const noexcept {
  const std::size_t mask = slot_count_ - 1;
  for (std::size_t i = tag & mask;; i = (i + 1) & mask) {
    const Slot& slot = slots_[i];
    if (slot.node_plus_one == 0) return i;
    if (slot.tag == tag && slot.key == key) return i;
  }
}

void NodeIndex::reserve(std::size_t ids) {
  std::size_t wanted = kMinSlots;
  while (wanted / 2 < ids) wanted *= 2;
  if (wanted > slot_count_) rehash(wanted);
}

void NodeIndex::grow() { rehash(slot_count_ == 0 ? kMinSlots : slot_count_ * 2); }

void NodeIndex::rehash(std::size_t slot_count) {
  std::unique_ptr<Slot[], FreeSlots> fresh(static_cast<Slot*>(std::calloc(slot_count, sizeof(Slot))));
  if (!fresh) throw std::bad_alloc();
  Slot* fresh_slots = fresh.get();
  const std::size_t mask = slot_count - 1;
  for (std::size_t old = 0; old < slot_count_; ++old) {
    const Slot& slot = slots_[old];
    if (slot.node_plus_one == 0) continue;
    std::size_t i = slot.tag & mask;  // the stored tag spares hashing the id again
    while (fresh_slots[i].node_plus_one != 0) i = (i + 1) & mask;
    fresh_slots[i] = slot;
  }
  slots_ = std::move(fresh);
  slot_count_ = slot_count;
}

void NodeIndex::prefetch(std::uint64_t hash) const noexcept {
  if (slot_count_ != 0) {
    const std::size_t start = static_cast<std::uint32_t>(hash) & (slot_count_ - 1);
    flat_table_detail::prefetch_line(&slots_[start]);
  }
}

GraphNumber NodeIndex::find_or_add(const IdKey& key, std::uint64_t hash, DependencyGraph& graph) {
  // At most half full, so probes stay short and always meet an empty slot.
  if ((size_ + 1) * 2 > slot_count_) grow();
  const auto tag = static_cast<std::uint32_t>(hash);
  Slot& slot = slots_[probe(key, tag)];
  if (slot.node_plus_one != 0) return slot.node_plus_one - 1;
  const GraphNumber node = graph.add_node();  // throws at the limit: nothing changed
  if (node != size_) throw std::logic_error("graph nodes were added past the index");
  slot = Slot{node + 1, tag, key};  // node < kNoEdge, so node + 1 does not wrap
  ++size_;
  return node;
}

GraphNumber NodeIndex::find(std::string_view id) const noexcept {
  if (slot_count_ == 0) return kNoEdge;
  const Slot& slot = slots_[probe(IdKey(id), static_cast<std::uint32_t>(hash(id)))];
  return slot.node_plus_one == 0 ? kNoEdge : slot.node_plus_one - 1;
}

// ---- the check -----------------------------------------------------------------

namespace {

// Turns the entries of the map walk, in walk order, into nodes and edges.
// Memory, not work, bounds this, so everything is loaded ahead of use and
// many loads are in flight at once: each dependency set is prefetched
// kSetsAhead entries before it is walked; the walk only notes where each id
// is; every kChunk ids the builder copies and hashes them, then indexes
// them, each index slot prefetched kAhead ids ahead. The noted pointers may
// be read after the walk has left their shard: they stay valid because
// nobody writes the map during a check.
class GraphBuilder {
 public:
  // `tasks`: how many map entries the walk will meet, a lower bound on ids.
  explicit GraphBuilder(std::size_t tasks)
      : index_(next_hash_keys()), pending_(std::make_unique<Pending[]>(kChunk)) {
    index_.reserve(tasks);
    graph_.reserve_nodes(tasks);
  }

  void entry(const std::string& task, const IdSet& deps) {
    deps.prefetch();
    if (entries_ == kSetsAhead) walk_oldest_entry();
    waiting_[(first_entry_ + entries_) % kSetsAhead] = Entry{&task, &deps};
    ++entries_;
  }

  DependencyGraph& finish() {
    while (entries_ > 0) walk_oldest_entry();
    drain();
    return graph_;
  }

 private:
  static constexpr std::size_t kSetsAhead = 8;
  static constexpr std::size_t kChunk = 1024;
  static constexpr std::size_t kAhead = 16;

  struct Entry {
    const std::string* task;
    const IdSet* deps;
  };

  struct Pending {
    const std::string* id;
    bool is_task;
    IdKey key;
    std::uint64_t hash;
  };

  void walk_oldest_entry() {
    const Entry entry = waiting_[first_entry_];
    first_entry_ = (first_entry_ + 1) % kSetsAhead;
    --entries_;
    add(*entry.task, true);
    entry.deps->for_each([&](const std::string& dep) { add(dep, false); });
  }

  void add(const std::string& id, bool is_task) {
    if (count_ == kChunk) drain();
    pending_[count_].id = &id;
    pending_[count_].is_task = is_task;
    ++count_;
  }

  void drain() {
    using flat_table_detail::prefetch_line;
    for (std::size_t i = 0; i < count_ && i < kAhead; ++i) prefetch_line(pending_[i].id);
    for (std::size_t i = 0; i < count_; ++i) {
      if (i + kAhead < count_) prefetch_line(pending_[i + kAhead].id);
      Pending& next = pending_[i];
      next.key = IdKey(*next.id);
      next.hash = index_.hash(*next.id);
    }
    for (std::size_t i = 0; i < count_ && i < kAhead; ++i) index_.prefetch(pending_[i].hash);
    for (std::size_t i = 0; i < count_; ++i) {
      if (i + kAhead < count_) index_.prefetch(pending_[i + kAhead].hash);
      const Pending& next = pending_[i];
      const GraphNumber node = index_.find_or_add(next.key, next.hash, graph_);
      if (next.is_task) {
        task_node_ = node;  // a task comes before its dependencies
      } else {
        graph_.add_edge(task_node_, node);
      }
    }
    count_ = 0;
  }

  DependencyGraph graph_;
  NodeIndex index_;
  Entry waiting_[kSetsAhead] = {};
  std::size_t first_entry_ = 0;
  std::size_t entries_ = 0;
  std::unique_ptr<Pending[]> pending_;
  std::size_t count_ = 0;
  GraphNumber task_node_ = kNoEdge;
};

}  // namespace

bool has_cycle(const ShardedMap<IdSet>& dependencies) {
  // One walk gives the same nodes as indexing every id first and linking
  // second: a task's node always exists before its first edge.
  GraphBuilder builder(dependencies.len());
  dependencies.for_each(
      [&](const std::string& task, const IdSet& deps) { builder.entry(task, deps); });
  return builder.finish().has_cycle();
}

}  // namespace vesk
