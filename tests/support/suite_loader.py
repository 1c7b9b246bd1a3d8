"""Loads another test suite's support file under a name of its own: the
Python and web suites both call theirs conftest, which one import name
cannot hold twice."""
import types
from importlib.machinery import SourceFileLoader
from pathlib import Path


def load(name: str, path: Path) -> types.ModuleType:
    module = types.ModuleType(name)
    module.__file__ = str(path)
    SourceFileLoader(name, str(path)).exec_module(module)
    return module
