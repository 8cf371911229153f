#!/usr/bin/env bash
# Static analysis of the program's own code and of the scripts; any finding
# fails.
#   run-lint.sh cppcheck
#   run-lint.sh clang-tidy HOST_BUILD_DIR WIN32_BUILD_DIR
#   run-lint.sh shellcheck
#   run-lint.sh pyflakes
#   run-lint.sh links
#   run-lint.sh readmes WORK_DIR
# clang-tidy reads its checks from .clang-tidy at the top of the tree; it
# analyses the portable code as the host builds it, and the Windows entry as
# the mingw-w64 cross build compiles it, with the headers of the toolchain
# root that build ran in.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"

case "$1" in
cppcheck)
    cppcheck --std=c++20 --language=c++ --enable=warning,style,performance,portability \
        --inline-suppr --suppressions-list=tests/lint/cppcheck-suppressions.txt \
        --error-exitcode=1 --quiet -I . repair app platform
    ;;
clang-tidy)
    host=$2 win32=$3
    clang-tidy --quiet -p "$host" repair/*.cpp app/outcome_notice.cpp
    # Only the root's headers: clang would look for mingw-w64's on the host.
    toolchain=$(scripts/toolchain.sh path)
    gcc_dirs=("$toolchain"/usr/lib/gcc/i686-w64-mingw32/*-win32)
    [ -d "${gcc_dirs[0]}" ] || { echo "no i686 mingw-w64 g++ in the toolchain root $toolchain" >&2; exit 1; }
    clang-tidy --quiet -p "$win32" --extra-arg=--target=i686-w64-mingw32 \
        --extra-arg=-nostdlibinc --extra-arg=-isystem"${gcc_dirs[0]}/include/c++" \
        --extra-arg=-isystem"${gcc_dirs[0]}/include/c++/i686-w64-mingw32" \
        --extra-arg=-isystem"$toolchain/usr/i686-w64-mingw32/include" \
        app/win_main.cpp
    ;;
shellcheck)
    # -x follows each script's `source` to the file it names.
    shellcheck -x scripts/*.sh release/*.sh tests/*/*.sh .ci/run
    ;;
pyflakes)
    # Every Python file in the tree, as git tracks it.
    git ls-files -z '*.py' | xargs -0 -r pyflakes3
    ;;
links) tests/lint/check-links.py . ;;
readmes) tests/lint/check-readmes.sh "$2" ;;
*)
    echo "usage: run-lint.sh cppcheck | clang-tidy HOST_BUILD_DIR WIN32_BUILD_DIR | shellcheck | pyflakes | links" \
        "| readmes WORK_DIR" >&2
    exit 2
    ;;
esac
