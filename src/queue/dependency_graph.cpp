#include "queue/dependency_graph.hpp"

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
  for (std::size_t root = 0; root < nodes; ++root) {
    if (discovered.test(root)) continue;
    discovered.set(root);
    stack.push_back(Frame{static_cast<GraphNumber>(root), first_edge_[root]});
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
      discovered.set(target);
      stack.push_back(Frame{target, first_edge_[target]});  // `top` is stale from here
    }
  }
  return false;
}

// ---- NodeIndex -------------------------------------------------------------------

std::size_t NodeIndex::probe(std::string_view id, std::uint32_t tag) const noexcept {
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t i = tag & mask;; i = (i + 1) & mask) {
    const Slot& slot = slots_[i];
    if (slot.node == kNoEdge) return i;
    if (slot.tag == tag && ids_[slot.node] == id) return i;
  }
}

void NodeIndex::grow() {
  std::vector<Slot> old(slots_.size() < kMinSlots ? kMinSlots : slots_.size() * 2,
                        Slot{kNoEdge, 0});
  old.swap(slots_);
  const std::size_t mask = slots_.size() - 1;
  for (const Slot& slot : old) {
    if (slot.node == kNoEdge) continue;
    std::size_t i = slot.tag & mask;
    while (slots_[i].node != kNoEdge) i = (i + 1) & mask;
    slots_[i] = slot;
  }
}

GraphNumber NodeIndex::find_or_add(std::string_view id, DependencyGraph& graph) {
  // At most half full, so probes stay short and always meet an empty slot.
  if ((ids_.size() + 1) * 2 > slots_.size()) grow();
  const std::uint32_t tag = tag_of(id);
  const std::size_t at = probe(id, tag);
  if (slots_[at].node != kNoEdge) return slots_[at].node;
  const GraphNumber node = graph.add_node();  // throws at the limit: nothing changed
  if (node != ids_.size()) throw std::logic_error("graph nodes were added past the index");
  ids_.push_back(id);  // a failure leaves a node without an id: the graph is dropped
  slots_[at] = Slot{node, tag};
  return node;
}

GraphNumber NodeIndex::find(std::string_view id) const noexcept {
  if (slots_.empty()) return kNoEdge;
  return slots_[probe(id, tag_of(id))].node;
}

// ---- the check -----------------------------------------------------------------

bool has_cycle(const ShardedMap<IdSet>& dependencies) {
  DependencyGraph graph;
  NodeIndex index(next_hash_keys());
  // Pass 1: a node per distinct id, a task before its dependencies.
  dependencies.for_each([&](const std::string& task, const IdSet& deps) {
    index.find_or_add(task, graph);
    deps.for_each([&](const std::string& dep) { index.find_or_add(dep, graph); });
  });
  // Pass 2: an edge per pair, from the dependency to the task.
  dependencies.for_each([&](const std::string& task, const IdSet& deps) {
    const GraphNumber task_node = index.find(task);
    deps.for_each([&](const std::string& dep) { graph.add_edge(index.find(dep), task_node); });
  });
  return graph.has_cycle();
}

}  // namespace vesk
