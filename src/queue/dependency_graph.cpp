#include "queue/dependency_graph.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <utility>

#include "concurrent/flat_table.hpp"
#include "concurrent/pipeline.hpp"

namespace vesk {
namespace {

bool test_bit(const std::vector<std::uint64_t>& bits, std::size_t i) noexcept {
  return (bits[i / 64] >> (i % 64)) & 1u;
}

void set_bit(std::vector<std::uint64_t>& bits, std::size_t i) noexcept {
  bits[i / 64] |= std::uint64_t{1} << (i % 64);
}

// Where a node's probe starts in a set's table of `capacity` slots.
std::uint32_t home_slot(GraphNumber node, std::uint32_t capacity) noexcept {
  return static_cast<std::uint32_t>((node * 0x9E3779B97F4A7C15ULL) >> (64 - std::countr_zero(capacity)));
}

}  // namespace

// ---- NodeSet -----------------------------------------------------------------------

NodeSet::NodeSet(NodeSet&& other) noexcept : size_(other.size_), capacity_(other.capacity_) {
  if (capacity_ == kInline) {
    std::copy(other.local_, other.local_ + kInline, local_);
  } else {
    heap_ = other.heap_;
  }
  other.size_ = 0;
  other.capacity_ = kInline;
}

NodeSet& NodeSet::operator=(NodeSet&& other) noexcept {
  if (this != &other) {
    release();
    size_ = std::exchange(other.size_, 0);
    capacity_ = std::exchange(other.capacity_, kInline);
    if (capacity_ == kInline) {
      std::copy(other.local_, other.local_ + kInline, local_);
    } else {
      heap_ = other.heap_;
    }
  }
  return *this;
}

void NodeSet::release() noexcept {
  if (capacity_ != kInline) delete[] heap_;
  size_ = 0;
  capacity_ = kInline;
}

void NodeSet::reset() noexcept { release(); }

std::uint32_t NodeSet::table_slot(GraphNumber node) const noexcept {
  const std::uint32_t mask = capacity_ - 1;
  std::uint32_t slot = home_slot(node, capacity_);
  while (heap_[slot] != kNoNode && heap_[slot] != node) slot = (slot + 1) & mask;
  return slot;
}

bool NodeSet::contains(GraphNumber node) const noexcept {
  if (is_table()) return heap_[table_slot(node)] == node;
  const GraphNumber* m = members();
  return std::find(m, m + size_, node) != m + size_;
}

void NodeSet::grow() {
  // Array forms double up to kLinear; past it, and whenever a table would
  // pass half full, a table of twice the room.
  const std::uint32_t capacity = capacity_ < kLinear ? capacity_ * 2 : std::max(capacity_ * 2, 4 * kLinear);
  std::unique_ptr<GraphNumber[]> fresh(new GraphNumber[capacity]);
  NodeSet grown;
  grown.heap_ = fresh.release();
  grown.capacity_ = capacity;
  if (grown.is_table()) {
    std::fill(grown.heap_, grown.heap_ + capacity, kNoNode);
    std::uint32_t position = 0;
    for (GraphNumber n = next(position); n != kNoNode; n = next(position)) {
      grown.heap_[grown.table_slot(n)] = n;
    }
  } else {
    std::copy(members(), members() + size_, grown.heap_);
  }
  grown.size_ = size_;
  *this = std::move(grown);
}

bool NodeSet::insert(GraphNumber node) {
  if (contains(node)) return false;
  if (is_table() ? (size_ + 1) * 2 > capacity_ : size_ == capacity_) grow();
  if (is_table()) {
    heap_[table_slot(node)] = node;
  } else {
    members()[size_] = node;
  }
  ++size_;
  return true;
}

bool NodeSet::erase(GraphNumber node) noexcept {
  if (!is_table()) {
    GraphNumber* m = members();
    GraphNumber* end = m + size_;
    GraphNumber* found = std::find(m, end, node);
    if (found == end) return false;
    *found = end[-1];  // order is free: the last member fills the gap
    --size_;
    return true;
  }
  std::uint32_t hole = table_slot(node);
  if (heap_[hole] != node) return false;
  // Linear-probing deletion without tombstones: later members of the chain
  // move back into the hole, unless their home lies cyclically in (hole, next].
  const std::uint32_t mask = capacity_ - 1;
  for (std::uint32_t next = (hole + 1) & mask; heap_[next] != kNoNode; next = (next + 1) & mask) {
    const std::uint32_t wanted = home_slot(heap_[next], capacity_);
    const bool stays = hole <= next ? (hole < wanted && wanted <= next) : (hole < wanted || wanted <= next);
    if (!stays) {
      heap_[hole] = heap_[next];
      hole = next;
    }
  }
  heap_[hole] = kNoNode;
  --size_;
  return true;
}

GraphNumber NodeSet::next(std::uint32_t& position) const noexcept {
  if (!is_table()) return position < size_ ? members()[position++] : kNoNode;
  while (position < capacity_) {
    const GraphNumber n = heap_[position++];
    if (n != kNoNode) return n;
  }
  return kNoNode;
}

// ---- DependencyGraph: the index ---------------------------------------------------

GraphNumber DependencyGraph::find(std::string_view id, std::uint64_t id_hash) const noexcept {
  const GraphNumber* node = index_.find(id, id_hash);
  return node == nullptr ? kNoNode : *node;
}

GraphNumber DependencyGraph::find_or_make(std::string_view id, bool& made) {
  const std::uint64_t id_hash = hash(id);
  const auto [indexed, inserted] = index_.find_or_insert_default(id, id_hash);
  if (!inserted) return *indexed;
  try {
    *indexed = new_node(id);
  } catch (...) {
    index_.remove(id, id_hash);  // the only trace of the failed node
    throw;
  }
  made = true;
  return *indexed;
}

GraphNumber DependencyGraph::new_node(std::string_view id) {
  std::string owned(id);
  GraphNumber node = first_free_;
  if (node == kNoNode) {
    if (nodes_.size() >= kNoNode) throw GraphCapacityError("too many task ids for 32-bit node numbers");
    const std::size_t words = nodes_.size() / 64 + 1;
    if (completed_bits_.size() < words) completed_bits_.resize(std::max(words, 2 * completed_bits_.size()));
    nodes_.emplace_back();
    node = static_cast<GraphNumber>(nodes_.size() - 1);
  } else {
    first_free_ = nodes_[node].next_free;
    --free_count_;
  }
  Node& fresh = nodes_[node];
  fresh.id = std::move(owned);
  fresh.live = true;
  return node;
}

void DependencyGraph::unindex(GraphNumber node) noexcept {
  const std::string& id = nodes_[node].id;
  index_.remove(id, hash(id));
}

void DependencyGraph::reclaim_if_unused(GraphNumber node) noexcept {
  Node& n = nodes_[node];
  if (!n.dependencies.empty() || !n.dependents.empty() || completed(node)) return;
  unindex(node);
  std::string().swap(n.id);
  n.dependencies.reset();
  n.dependents.reset();
  n.live = false;
  n.next_free = first_free_;
  first_free_ = node;
  ++free_count_;
}

void DependencyGraph::set_completed(GraphNumber node, bool on) noexcept {
  const std::uint64_t bit = std::uint64_t{1} << (node % 64);
  completed_bits_[node / 64] = on ? completed_bits_[node / 64] | bit : completed_bits_[node / 64] & ~bit;
}

// ---- DependencyGraph: changes ------------------------------------------------------

void DependencyGraph::add(std::string_view task, std::string_view dep) {
  bool made_task = false;
  bool made_dep = false;
  bool added = false;
  const GraphNumber t = find_or_make(task, made_task);
  GraphNumber d = kNoNode;
  try {
    d = find_or_make(dep, made_dep);
    added = nodes_[t].dependencies.insert(d);
    if (added) nodes_[d].dependents.insert(t);  // a known pair is known both ways
  } catch (...) {
    // Undo in reverse; none of these steps allocates.
    if (added) nodes_[t].dependencies.erase(d);
    if (made_dep) reclaim_if_unused(d);
    if (made_task) reclaim_if_unused(t);
    throw;
  }
}

bool DependencyGraph::remove(std::string_view task, std::string_view dep) noexcept {
  const GraphNumber t = find(task);
  if (t == kNoNode) return false;
  const GraphNumber d = find(dep);
  if (d == kNoNode || !nodes_[t].dependencies.erase(d)) return false;
  nodes_[d].dependents.erase(t);
  reclaim_if_unused(t);
  if (d != t) reclaim_if_unused(d);
  return true;
}

void DependencyGraph::mark_completed(std::string_view id) {
  bool made = false;
  set_completed(find_or_make(id, made), true);
}

void DependencyGraph::reset_completed() noexcept {
  // Only live nodes carry a bit; those kept for their completion alone go.
  for (std::size_t word = 0; word < completed_bits_.size(); ++word) {
    for (std::uint64_t bits = std::exchange(completed_bits_[word], 0); bits != 0; bits &= bits - 1) {
      reclaim_if_unused(static_cast<GraphNumber>(word * 64 + std::countr_zero(bits)));
    }
  }
}

void DependencyGraph::clear() noexcept {
  nodes_ = std::vector<Node>();
  completed_bits_ = std::vector<std::uint64_t>();
  first_free_ = kNoNode;
  free_count_ = 0;
  index_ = FlatTable<GraphNumber, IdHasher>(index_.hasher());
}

// ---- DependencyGraph: queries ------------------------------------------------------

bool DependencyGraph::ready(std::string_view task) const noexcept {
  const GraphNumber t = find(task);
  if (t == kNoNode) return true;
  return nodes_[t].dependencies.all_of([&](GraphNumber dep) { return completed(dep); });
}

void DependencyGraph::ready_each(std::span<const std::string_view> tasks, std::vector<bool>& answers,
                                 std::size_t first) const noexcept {
  // Three stages 8 tasks apart: hash and load the index slot, probe and load
  // the node, answer (gain: the get_ready_tasks rows of bench/run.py).
  constexpr std::size_t kAhead = 8;
  constexpr std::size_t kRing = 32;  // holds the 2 * kAhead + 1 items in flight
  static_assert(kRing > 2 * kAhead);
  if (index_.empty()) {
    for (std::size_t i = 0; i < tasks.size(); ++i) answers[first + i] = true;
    return;
  }
  std::uint64_t hashes[kRing];
  GraphNumber found[kRing];
  run_pipeline<kAhead>(
      tasks.size(),
      [&](std::size_t i) {
        hashes[i % kRing] = hash(tasks[i]);
        index_.prefetch_probe_start(hashes[i % kRing]);
      },
      [&](std::size_t i) {
        found[i % kRing] = find(tasks[i], hashes[i % kRing]);
        if (found[i % kRing] != kNoNode) flat_table_detail::prefetch_line(&nodes_[found[i % kRing]].dependencies);
      },
      [&](std::size_t i) {
        const GraphNumber t = found[i % kRing];
        answers[first + i] =
            t == kNoNode || nodes_[t].dependencies.all_of([&](GraphNumber dep) { return completed(dep); });
      });
}

std::vector<std::string> DependencyGraph::ids_of(const NodeSet& set) const {
  std::vector<std::string> ids;
  ids.reserve(set.size());
  std::uint32_t position = 0;
  for (GraphNumber n = set.next(position); n != kNoNode; n = set.next(position)) ids.push_back(nodes_[n].id);
  return ids;
}

std::vector<std::string> DependencyGraph::dependencies_of(std::string_view id) const {
  const GraphNumber node = find(id);
  return node == kNoNode ? std::vector<std::string>() : ids_of(nodes_[node].dependencies);
}

std::vector<std::string> DependencyGraph::dependents_of(std::string_view id) const {
  const GraphNumber node = find(id);
  return node == kNoNode ? std::vector<std::string>() : ids_of(nodes_[node].dependents);
}

GraphNumber DependencyGraph::search_cycle(std::vector<SearchFrame>& path) const {
  // Depth-first along `dependencies` with an explicit stack. A node is on the
  // current path exactly while it is discovered and not finished; an edge
  // into such a node closes a cycle.
  const std::size_t count = nodes_.size();
  std::vector<std::uint64_t> discovered((count + 63) / 64);
  std::vector<std::uint64_t> finished((count + 63) / 64);
  for (std::size_t root = 0; root < count; ++root) {
    if (!nodes_[root].live || test_bit(discovered, root)) continue;
    set_bit(discovered, root);
    path.push_back(SearchFrame{static_cast<GraphNumber>(root), 0});
    while (!path.empty()) {
      SearchFrame& top = path.back();
      const GraphNumber dep = nodes_[top.node].dependencies.next(top.position);
      if (dep == kNoNode) {
        set_bit(finished, top.node);
        path.pop_back();
      } else if (!test_bit(discovered, dep)) {
        set_bit(discovered, dep);
        path.push_back(SearchFrame{dep, 0});  // `top` is stale from here
      } else if (!test_bit(finished, dep)) {
        return dep;
      }
    }
  }
  return kNoNode;
}

bool DependencyGraph::has_cycle() const {
  std::vector<SearchFrame> path;
  return search_cycle(path) != kNoNode;
}

std::vector<std::string> DependencyGraph::find_cycle() const {
  std::vector<SearchFrame> path;
  const GraphNumber closing = search_cycle(path);
  if (closing == kNoNode) return {};
  // The closing node is on the path: the cycle runs from it to the path's end.
  std::size_t first = path.size() - 1;
  while (path[first].node != closing) --first;
  std::vector<std::string> cycle;
  cycle.reserve(path.size() - first + 1);
  for (std::size_t i = first; i < path.size(); ++i) cycle.push_back(nodes_[path[i].node].id);
  cycle.push_back(nodes_[closing].id);
  return cycle;
}

}  // namespace vesk
