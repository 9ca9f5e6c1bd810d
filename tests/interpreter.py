"""Marks for tests that depend on the interpreter rather than on velotz."""
import importlib.util
import os
import platform
import sys

import pytest

CPYTHON = platform.python_implementation() == "CPython"

# Text that the interpreter writes itself (integer conversion errors, for
# example), worded differently by PyPy.
cpython_wording = pytest.mark.skipif(not CPYTHON, reason="checks a message worded by CPython itself")

# sys.getrefcount and reference counts as such exist only in CPython.
refcounts = pytest.mark.skipif(not hasattr(sys, "getrefcount"), reason="needs CPython's reference counts")

# inspect.signature() of methods written in C needs CPython's __text_signature__ support.
builtin_signatures = pytest.mark.skipif(not CPYTHON, reason="PyPy has no signatures for methods written in C")


# Under AddressSanitizer a failed operator new aborts the process instead of
# throwing std::bad_alloc, so allocations meant to fail cannot be tried there.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")
throwing_allocator = pytest.mark.skipif(SANITIZED, reason="AddressSanitizer aborts where operator new would throw")


def needs(module):
    """Skips a test (or a parameter) when an optional package cannot be imported here."""
    return pytest.mark.skipif(importlib.util.find_spec(module) is None,
                              reason=f"{module} is not installed (not available for every interpreter)")
