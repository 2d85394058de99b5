"""A producer and two workers sharing one priority task queue."""

import threading
import time

from vesk_async_task import PyPriorityTaskQueue


def main() -> None:
    queue = PyPriorityTaskQueue(0)
    done: list[str] = []
    lock = threading.Lock()

    def worker() -> None:
        while True:
            try:
                task_id = queue.get(timeout=0.2)
            except Exception:
                return
            with lock:
                done.append(task_id)

    workers = [threading.Thread(target=worker) for _ in range(2)]
    for w in workers:
        w.start()
    queue.put_batch([(i % 5, f"task-{i}", time.time()) for i in range(1000)])
    for w in workers:
        w.join()
    print(f"{len(done)} tasks taken by 2 workers, {len(set(done))} distinct")


if __name__ == "__main__":
    main()
