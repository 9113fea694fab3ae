"""Codec for the Veltrac protocol: messages, typed values, tables and entity definitions."""

from veltrac import _native
from veltrac._native import *  # noqa: F401,F403

__version__: str = _native.__version__
__all__ = list(_native.__all__) + ["__version__"]
