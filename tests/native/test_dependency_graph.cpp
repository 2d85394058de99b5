#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <new>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "queue/dependency_graph.hpp"

#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

// Allocation failure on demand (GCC takes this file's own operator new for
// the library's and warns that free does not match it): while `allocations_left` is not negative,
// each allocation counts it down and the one that finds it at 0 fails.
static long allocations_left = -1;

void* operator new(std::size_t size) {
  if (allocations_left == 0) throw std::bad_alloc();
  if (allocations_left > 0) --allocations_left;
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

using vesk::DependencyGraph;
using vesk::GraphNumber;
using vesk::kNoNode;
using vesk::NodeSet;

DependencyGraph graph_of(const std::vector<std::pair<int, int>>& pairs) {
  DependencyGraph graph(vesk::HashKeys{1, 2});
  for (auto [task, dep] : pairs) graph.add(std::to_string(task), std::to_string(dep));
  return graph;
}

// Kahn's algorithm: a graph is acyclic exactly when repeatedly removing nodes
// without incoming edges removes them all. Shares nothing with the DFS.
bool reference_has_cycle(std::size_t nodes, const std::vector<std::pair<int, int>>& edges) {
  std::vector<int> incoming(nodes, 0);
  std::vector<std::vector<int>> out(nodes);
  for (auto [from, to] : edges) {
    out[from].push_back(to);
    ++incoming[to];
  }
  std::vector<int> free;
  for (std::size_t i = 0; i < nodes; ++i) {
    if (incoming[i] == 0) free.push_back(static_cast<int>(i));
  }
  std::size_t removed = 0;
  while (!free.empty()) {
    const int node = free.back();
    free.pop_back();
    ++removed;
    for (int next : out[node]) {
      if (--incoming[next] == 0) free.push_back(next);
    }
  }
  return removed != nodes;
}

std::set<std::string> as_set(const std::vector<std::string>& ids) { return {ids.begin(), ids.end()}; }

TEST(DependencyGraph, SmallShapes) {
  EXPECT_FALSE(graph_of({}).has_cycle());
  EXPECT_TRUE(graph_of({{0, 0}}).has_cycle());
  EXPECT_TRUE(graph_of({{0, 1}, {1, 0}}).has_cycle());
  EXPECT_TRUE(graph_of({{0, 1}, {1, 2}, {2, 0}}).has_cycle());
  // Diamond: reaching a finished node twice is not a cycle.
  EXPECT_FALSE(graph_of({{3, 1}, {3, 2}, {1, 0}, {2, 0}}).has_cycle());
  // A cycle reachable only from a later root, behind an acyclic part.
  EXPECT_TRUE(graph_of({{0, 1}, {1, 2}, {4, 3}, {3, 4}}).has_cycle());
  EXPECT_FALSE(graph_of({{0, 1}, {0, 1}}).has_cycle());
}

TEST(DependencyGraph, AgreesWithKahnOnRandomGraphs) {
  std::mt19937 rng(7);
  for (int round = 0; round < 300; ++round) {
    const int nodes = 1 + static_cast<int>(rng() % 12);
    std::vector<std::pair<int, int>> edges;
    const int count = static_cast<int>(rng() % 20);
    for (int e = 0; e < count; ++e) edges.emplace_back(rng() % nodes, rng() % nodes);
    ASSERT_EQ(graph_of(edges).has_cycle(), reference_has_cycle(nodes, edges)) << "round " << round;
  }
}

TEST(DependencyGraph, MillionTaskChainNeedsNoDeepRecursion) {
  constexpr int kLength = 1'000'000;
  DependencyGraph graph(vesk::HashKeys{3, 4});
  for (int i = 1; i < kLength; ++i) graph.add(std::to_string(i), std::to_string(i - 1));
  EXPECT_FALSE(graph.has_cycle());
  graph.add("0", std::to_string(kLength - 1));
  EXPECT_TRUE(graph.has_cycle());
}

// Unused nodes go back to the free list and their numbers are reused: the
// index's deletions must keep every other id findable.
TEST(DependencyGraph, RemovalsReclaimNodesAndKeepTheRestFindable) {
  DependencyGraph graph(vesk::HashKeys{5, 6});
  std::mt19937 rng(11);
  std::set<std::pair<int, int>> model;
  for (int step = 0; step < 20000; ++step) {
    const int task = static_cast<int>(rng() % 300);
    const int dep = static_cast<int>(rng() % 300);
    if (rng() % 2) {
      graph.add(std::to_string(task), std::to_string(dep));
      model.emplace(task, dep);
    } else {
      ASSERT_EQ(graph.remove(std::to_string(task), std::to_string(dep)), model.erase({task, dep}) == 1);
    }
  }
  std::set<int> used;
  for (auto [task, dep] : model) used.insert({task, dep});
  EXPECT_EQ(graph.node_count(), used.size());
  for (int id = 0; id < 300; ++id) {
    std::set<std::string> deps, users;
    for (auto [task, dep] : model) {
      if (task == id) deps.insert(std::to_string(dep));
      if (dep == id) users.insert(std::to_string(task));
    }
    ASSERT_EQ(as_set(graph.dependencies_of(std::to_string(id))), deps);
    ASSERT_EQ(as_set(graph.dependents_of(std::to_string(id))), users);
  }
  for (auto [task, dep] : model) graph.remove(std::to_string(task), std::to_string(dep));
  EXPECT_EQ(graph.node_count(), 0u);
}

TEST(DependencyGraph, CompletionKeepsANodeUntilReset) {
  DependencyGraph graph(vesk::HashKeys{7, 8});
  const std::string nul("a\0b", 3);
  graph.add("", nul);
  EXPECT_FALSE(graph.ready(""));
  graph.mark_completed(nul);
  graph.mark_completed("lonely");
  EXPECT_TRUE(graph.ready(""));
  EXPECT_EQ(graph.node_count(), 3u);
  graph.reset_completed();
  EXPECT_EQ(graph.node_count(), 2u);  // "lonely" was held by its completion only
  EXPECT_FALSE(graph.ready(""));
  EXPECT_EQ(graph.dependencies_of(""), std::vector<std::string>{nul});
  graph.clear();
  EXPECT_EQ(graph.node_count(), 0u);
  EXPECT_TRUE(graph.dependents_of(nul).empty());
}

TEST(DependencyGraph, ReadyEachMatchesReady) {
  DependencyGraph graph(vesk::HashKeys{9, 10});
  std::mt19937 rng(3);
  for (int i = 0; i < 2000; ++i) graph.add(std::to_string(rng() % 500), std::to_string(rng() % 500));
  for (int i = 0; i < 250; ++i) graph.mark_completed(std::to_string(rng() % 500));
  std::vector<std::string> ids;
  for (int i = 0; i < 600; ++i) ids.push_back(std::to_string(rng() % 700));
  const std::vector<std::string_view> views(ids.begin(), ids.end());
  std::vector<bool> answers(ids.size() + 3, false);
  graph.ready_each(views, answers, 3);
  for (std::size_t i = 0; i < ids.size(); ++i) ASSERT_EQ(answers[3 + i], graph.ready(ids[i])) << ids[i];
}

// A change that runs out of memory at any of its allocations leaves no trace.
TEST(DependencyGraph, FailedAllocationsLeaveNoTrace) {
  DependencyGraph graph(vesk::HashKeys{11, 12});
  for (int i = 0; i < 40; ++i) graph.add("hub", "d" + std::to_string(i));  // a set past its array form
  for (int i = 0; i < 13; ++i) graph.add("t" + std::to_string(i), "hub");
  const auto state = [&](const std::vector<std::string>& ids) {
    std::vector<std::set<std::string>> seen;
    for (const auto& id : ids) {
      seen.push_back(as_set(graph.dependencies_of(id)));
      seen.push_back(as_set(graph.dependents_of(id)));
    }
    return std::make_pair(seen, graph.node_count());
  };
  const std::string fresh(40, 'n');  // long ids: copying one allocates
  const std::string other(40, 'x');
  const std::vector<std::string> ids = {"hub", fresh, "t0", "d0", other};
  const std::vector<std::pair<std::string, std::string>> changes = {
      {fresh, other}, {"hub", other + "1"}, {other + "2", "hub"}, {"t0", fresh + "3"},
      {fresh + "4", fresh + "4"}, {"hub", "d40"}};
  long failures = 0;
  for (const auto& [task, dep] : changes) {
    for (long fail_at = 0;; ++fail_at, ++failures) {
      const auto before = state(ids);
      allocations_left = fail_at;
      bool failed = false;
      try {
        graph.add(task, dep);
      } catch (const std::bad_alloc&) {
        failed = true;
      }
      allocations_left = -1;
      if (!failed) break;
      ASSERT_EQ(state(ids), before) << task << " -> " << dep << ", allocation " << fail_at;
    }
    EXPECT_TRUE(as_set(graph.dependencies_of(task)).count(dep));
  }
  EXPECT_GE(failures, 6);  // the changes above fail at 6 allocations in all
}

// Every form of the set: in place, a heap array, a table; growing past each
// limit and shrinking back, against std::set.
TEST(NodeSet, CrossesEveryFormLikeAStdSet) {
  std::mt19937 rng(5);
  for (const GraphNumber range : {3u, 12u, 40u, 5000u}) {
    NodeSet set;
    std::set<GraphNumber> model;
    for (int step = 0; step < 20000; ++step) {
      const GraphNumber n = rng() % range;
      if (rng() % 3) {
        ASSERT_EQ(set.insert(n), model.insert(n).second);
      } else {
        ASSERT_EQ(set.erase(n), model.erase(n) == 1);
      }
      ASSERT_EQ(set.contains(n), model.count(n) == 1);
    }
    std::set<GraphNumber> walked;
    std::uint32_t position = 0;
    for (GraphNumber n = set.next(position); n != kNoNode; n = set.next(position)) walked.insert(n);
    EXPECT_EQ(walked, model);
    EXPECT_EQ(set.size(), model.size());
    NodeSet moved(std::move(set));
    EXPECT_EQ(moved.size(), model.size());
    EXPECT_TRUE(set.empty());
  }
}

}  // namespace
