"""Finding libBRV.so.1: BRV_LIBRARY first, then the system loader."""

import ctypes.util
import os
import subprocess
import sys
from pathlib import Path

import pytest

import brv
from brv import _lib

PKG_DIR = str(Path(__file__).resolve().parents[1])


def _run(env):
    code = "import brv; print(brv.library_path())"
    env = dict(env, PYTHONPATH=PKG_DIR)
    return subprocess.run([sys.executable, "-c", code], env=env,
                          capture_output=True, text=True)


def test_library_is_found_by_variable_then_by_loader():
    with pytest.raises(brv.LibraryNotFound, match="BRV_LIBRARY=/no/such/libBRV.so.1"):
        _lib.load_library({"BRV_LIBRARY": "/no/such/libBRV.so.1"})
    # A library that is not libBRV is refused by name of a missing function.
    with pytest.raises(brv.LibraryNotFound, match="has no function call"):
        _lib.load_library({"BRV_LIBRARY": ctypes.util.find_library("c")})

    loaded = brv.library_path()
    base = {k: v for k, v in os.environ.items()
            if k not in ("BRV_LIBRARY", "LD_LIBRARY_PATH")}
    via_loader = _run(dict(base, LD_LIBRARY_PATH=os.path.dirname(loaded)))
    assert via_loader.returncode == 0, via_loader.stderr
    assert os.path.dirname(via_loader.stdout.strip()) == os.path.dirname(loaded)

    nowhere = _run(base)
    if nowhere.returncode == 0:
        pytest.skip("an installed libBRV.so.1 is on the loader's path")
    assert "LibraryNotFound" in nowhere.stderr and "BRV_LIBRARY" in nowhere.stderr


def test_the_installed_copy_is_the_one_tested():
    import os
    installed = os.environ.get("BRV_INSTALLED")
    if not installed:
        pytest.skip("run from the source tree")
    assert brv.__file__.startswith(os.path.realpath(installed))
