#!/usr/bin/env bash
# `make verify-release ZIP=FILE`: whether a published zip holds this source's
# build of the program. The zip, its name, the buildinfo and the .exe.sig
# beside it are read as data by verify_release.py, in Debian's Python (see
# there for what it checks); the arguments reach it as they are.
# The last line is the verdict. Exit status: 0 MATCH, 1 NO MATCH, 2 when it
# cannot check (usage, a missing file or tool).
#   verify-release.sh VERSION BUILT_EXE ZIP   (VERSION and BUILT_EXE: this source's)
set -euo pipefail
python=/usr/bin/python3
if [ ! -x "$python" ]; then
    echo "verify-release: needs $python, which make installs (the python3 package)" >&2
    exit 2
fi
exec "$python" -IB "$(dirname "$0")/verify_release.py" "$@"
