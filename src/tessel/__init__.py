"""tessel: exact, fast image checks (tessel.image) and a retrying HTTP client
(tessel.http), both compiled C++ extension modules.

``tessel.check(source)`` runs the four image checks on one image with one
read and one decode per decoder (see :mod:`tessel.checks`). The compiled
modules are imported on demand: ``from tessel.image import ImageTool``,
``from tessel.http import HttpRequestClient``.
"""

from .checks import CheckRecord, check

__all__ = ["CheckRecord", "check"]
__version__ = "0.1.0"
