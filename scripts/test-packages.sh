#!/usr/bin/env bash
# Builds the packages (scripts/package.sh) and checks them
# (tests/package_test.py): the .deb's files, lintian, man pages, desktop
# entries and bash completion, the zip's contents and, as root, a real
# install, use and purge of the .deb.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/package.sh
python3 tests/package_test.py --dist dist
