#!/usr/bin/env bash
# The test command: installs what is missing, configures, builds and runs every
# test (unit and end-to-end) through ctest.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
preset=${DVR_TEST_PRESET:-release}
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j "$(nproc)"
ctest --preset "$preset" -j 2
