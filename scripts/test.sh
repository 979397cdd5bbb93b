#!/usr/bin/env bash
# The test command: installs what is missing, then configures, builds and runs
# every test through ctest, in the builds that matter:
#   release  - what ships (static, stripped): unit and end-to-end tests, the demo tour once,
#              a short benchmark run (bench/run.sh --smoke)
#   dev      - the same tests under AddressSanitizer and UndefinedBehaviorSanitizer
#   armhf    - the unit tests of the ARM build under qemu-user, and the end-to-end
#              tests that run tunerbay and epg directly (scripts/e2e-emulated.sh)
#   fuzz     - each libFuzzer target for a short fixed time (DVR_FUZZ_SECONDS, default 60)
# DVR_TEST_PRESETS picks a subset, e.g. DVR_TEST_PRESETS="release" scripts/test.sh
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
presets=${DVR_TEST_PRESETS:-release dev armhf fuzz}
for preset in $presets; do
  echo "=== $preset"
  if [ "$preset" = fuzz ]; then
    scripts/fuzz.sh "${DVR_FUZZ_SECONDS:-60}"
    continue
  fi
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$(nproc)"
  ctest --preset "$preset" -j 2
  if [ "$preset" = armhf ]; then
    scripts/e2e-emulated.sh armhf
  fi
  if [ "$preset" = release ]; then
    scripts/demo.sh --once --build-dir build/release
    bench/run.sh --smoke --build-dir build/release
  fi
done
