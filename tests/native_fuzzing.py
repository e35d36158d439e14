"""Shared settings of the native modules' fuzz tests.

KOVALT_FUZZ_EXAMPLES sets the number of examples per property (200 by default, the CI size);
a long run is for example ``KOVALT_FUZZ_EXAMPLES=20000 python -m pytest tests/test_native_*.py``.
"""

import os

EXAMPLES = int(os.environ.get("KOVALT_FUZZ_EXAMPLES", "200"))
