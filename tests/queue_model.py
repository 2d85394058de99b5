"""A pure-Python model of the priority queue: its heap with the same sift
rules, and its set of distinct queued ids."""


def precedes(a, b):
    return a[0] < b[0] or (a[0] == b[0] and a[1] < b[1])


class QueueModel:
    """A list-backed heap with the queue's sift rules and its id set."""

    def __init__(self, maxsize):
        self.maxsize = maxsize
        self.heap = []
        self.ids = set()

    def full(self):
        return self.maxsize > 0 and len(self.ids) >= self.maxsize

    def push(self, entry):
        heap = self.heap
        heap.append(entry)
        pos = len(heap) - 1
        while pos > 0 and precedes(entry, heap[(pos - 1) // 2]):
            heap[pos] = heap[(pos - 1) // 2]
            pos = (pos - 1) // 2
        heap[pos] = entry
        self.ids.add(entry[2])

    def pop(self):
        heap = self.heap
        if not heap:
            return None
        last = heap.pop()
        if not heap:
            result = last
        else:
            result, hole, n = heap[0], 0, len(heap)
            while 2 * hole + 2 < n:
                child = 2 * hole + 2
                if precedes(heap[child - 1], heap[child]):
                    child -= 1
                heap[hole] = heap[child]
                hole = child
            if 2 * hole + 1 == n - 1:
                heap[hole] = heap[n - 1]
                hole = n - 1
            while hole > 0 and precedes(last, heap[(hole - 1) // 2]):
                heap[hole] = heap[(hole - 1) // 2]
                hole = (hole - 1) // 2
            heap[hole] = last
        self.ids.discard(result[2])
        return result[2]
