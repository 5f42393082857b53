"""How an interoperability test says it could not run.

A test whose peer program (binkd, crashmail, zip ...) is missing ends with
SKIP_CODE after printing why, never with 0: CTest counts that exit code as
"skipped" (SKIP_RETURN_CODE in tests/CMakeLists.txt), and scripts/test.sh,
which installs the peers, fails on it.
"""

SKIP_CODE = 77


def skip(reason):
    """Prints the reason and returns the exit code of a skipped test."""
    print("SKIP: " + reason, flush=True)
    return SKIP_CODE
