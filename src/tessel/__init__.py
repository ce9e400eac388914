"""tessel: exact, fast image checks (tessel.image) and a retrying HTTP client
(tessel.http), both compiled C++ extension modules.

The submodules are imported on demand: ``from tessel.image import ImageTool``,
``from tessel.http import HttpRequestClient``.
"""

__version__ = "0.1.0"
