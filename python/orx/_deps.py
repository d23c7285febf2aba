"""Optional dependencies: imported where they are used, with an error that names what to
install. The distribution's name lives here, so that every hint names the right package."""

from __future__ import annotations

import importlib
from types import ModuleType

# The name under which the package is installed (the import name stays ``orx``).
DISTRIBUTION = "orx-marketdata"


def install_hint(extra: str | None = None) -> str:
    """The pip command that installs the package with `extra`, e.g.
    ``pip install 'orx-marketdata[dataframe]'``."""
    return f"pip install '{DISTRIBUTION}[{extra}]'" if extra else f"pip install {DISTRIBUTION}"


def require(module: str, extra: str, what: str) -> ModuleType:
    """`module`, imported; when it is missing, an ImportError that says `what` needs it and
    how to install the extra that brings it."""
    try:
        return importlib.import_module(module)
    except ImportError as exc:
        raise ImportError(f"{what} needs {module.split('.')[0]}: {install_hint(extra)}") from exc
