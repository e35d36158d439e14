"""kovalt: reporting and trade analysis for back-tests.

The compiled modules ``kovalt.report``, ``kovalt.trevik`` and ``kovalt.ulmora`` live in this
package; ``get_token`` gives the user's API token for the strategy-storage service.
"""

__version__ = "0.1.0"

from kovalt.credentials import get_token  # noqa: E402

__all__ = ["__version__", "get_token"]
