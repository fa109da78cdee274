#!/bin/sh
# Prints the project's version, the one in CMakeLists.txt's project() line: the build, the
# packages and their test must all name the same one.
sed -n 's/^project([A-Za-z0-9_]* VERSION \([0-9.]*\).*/\1/p' "$(dirname "$0")/../CMakeLists.txt"
