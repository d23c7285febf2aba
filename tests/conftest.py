import glob
import os
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

try:  # the binding toolkit's test module: on the path under ./dev asan, else in the build tree
    import _bindtest  # noqa: F401
except ImportError:
    for so in sorted(glob.glob(os.path.join(ROOT, "build", "cp313*", "_bindtest*.so"))):
        sys.path.insert(0, os.path.dirname(so))
        break

import orx  # noqa: E402

# ./dev asan points this at the sanitized build; make sure that is the one under test.
expected = os.environ.get("ORX_EXPECT_MODULE_DIR")
if expected:
    assert orx._lib.__file__.startswith(expected), orx._lib.__file__


import secrets  # noqa: E402

import pytest  # noqa: E402


@pytest.fixture(scope="session")
def s3_server():
    """moto's S3 server on an ephemeral port of 127.0.0.1, for the whole session."""
    pytest.importorskip("s3fs")
    pytest.importorskip("moto.server")
    from s3_server import S3Server

    server = S3Server()
    yield server
    server.stop()


@pytest.fixture
def s3_url(s3_server):
    """A fresh prefix of the emulator's bucket."""
    from s3_server import BUCKET

    return f"s3://{BUCKET}/{secrets.token_hex(6)}"
