import importlib
import sys

import pytest

from bundle_kit import VALID_RESULT, BundleFolder, run_fresh


@pytest.fixture
def bundles(tmp_path):
    """Installs bundles as real distributions into a folder on sys.path."""
    root = tmp_path / "site"
    root.mkdir()
    sys.path.insert(0, str(root))
    importlib.invalidate_caches()
    folder = BundleFolder(root)
    try:
        yield folder
    finally:
        sys.path.remove(str(root))
        for name in list(sys.modules):
            if name.split(".")[0] in folder.modules:
                del sys.modules[name]
        importlib.invalidate_caches()


@pytest.fixture
def valid_result():
    return {key: (dict(value) if isinstance(value, dict) else value) for key, value in VALID_RESULT.items()}


@pytest.fixture
def fresh():
    return run_fresh
