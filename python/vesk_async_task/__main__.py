"""`python -m vesk_async_task` runs the workflow demo."""

import sys

from vesk_async_task.demo import main

sys.exit(main())
