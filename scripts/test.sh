#!/usr/bin/env bash
# The test command: installs what the chosen builds need, checks that the C and
# C++ files follow .clang-format (scripts/format.sh --check), then configures,
# builds and runs every test through ctest, in the builds that matter:
#   release  - what ships (static, stripped): unit and end-to-end tests, every
#              system call of each request path failed in turn (tests/fault), its Debian
#              package (lintian checks it, as the ARM ones), the demo tour once, a
#              short benchmark run (bench/run.sh --smoke)
#   dev      - the same tests under AddressSanitizer and UndefinedBehaviorSanitizer
#   armhf    - the unit tests of the ARM build under qemu-user, the end-to-end tests
#              that run tunerbay and epg directly (scripts/e2e-emulated.sh), its package
#   aarch64  - the same for 64-bit ARM
#   fuzz     - each libFuzzer target for a short fixed time (DVR_FUZZ_SECONDS, default 60)
# DVR_TEST_PRESETS picks a subset, e.g. DVR_TEST_PRESETS="release" scripts/test.sh
# Every stage runs even when an earlier one failed (but a build's tests not when
# it did not build); a table at the end gives each stage's result, tests passed
# and time. The exit status is 0 only when every stage passed. The whole run
# takes 22 minutes on our two-core machine from a clean clone, 40 on a slower
# CI machine; the failed checks are named again under the table.
#
# Usage: scripts/test.sh [--help]
#   --help  print this and exit, running nothing
# Needs root (namespaces, mounts, apt-get).
set -uo pipefail
case ${1-} in
'') ;;
-h | --help)
	sed -n '2,/^# Needs root/s/^# \{0,1\}//p' "$0"
	exit 0
	;;
*)
	echo "test.sh: unknown argument $1 (scripts/test.sh --help)" >&2
	exit 2
	;;
esac
cd "$(dirname "$0")/.." || exit 1
presets=${DVR_TEST_PRESETS:-release dev armhf aarch64 fuzz}
# shellcheck disable=SC2086 # one word a preset
scripts/deps.sh tests $presets || exit 1

summary=()
failed=0
failures=() # the failed checks' own lines, repeated under the summary where a log's tail shows them

# Passed and run tests as a stage's output reports them: ctest's closing line,
# e2e-emulated's, the tour's, or the fuzz targets; "-" when none.
counts() {
	awk '
		/tests passed, [0-9]+ tests? failed out of/ { t += $NF; f += $4; n = 1 }
		/^== all [0-9]+ scripts passed/ { t += $3; n = 1 }
		/^== [0-9]+ of [0-9]+ scripts failed/ { t += $4; f += $2; n = 1 }
		/^Tour: all [0-9]+ steps/ { t += $3; n = 1 }
		/^fault runs: [0-9]+ of [0-9]+ passed/ { t += $5; f += $5 - $3; n = 1 }
		/^Tour: [0-9]+ of [0-9]+ steps FAILED/ { t += $4; f += $2; n = 1 }
		/^== fuzz_/ { t++; n = 1 }
		/^fuzz_.* FAILED$/ { f++ }
		END { if (n) printf "%d/%d", t - f, t; else printf "-" }' "$1"
}

# stage NAME COMMAND...: runs the command with its output shown as it comes,
# and adds its row to the summary; fails when the command did.
stage() {
	local name=$1 start=$SECONDS log status result
	shift
	echo "=== $name"
	log=$(mktemp) || return 1
	"$@" 2>&1 | tee "$log"
	status=${PIPESTATUS[0]}
	result=passed
	if ((status != 0)); then
		result="FAILED ($status)"
		failed=$((failed + 1))
		mapfile -t -O "${#failures[@]}" failures < <(grep -E -e '^not ok ' -e '\*\*\*(Failed|Timeout)' -e 'FAILED$' "$log" |
			sed "s|^|$name: |" | head -n 20)
	fi
	summary+=("$(printf '%-18s %-12s %-10s %5d s' "$name" "$result" "$(counts "$log")" $((SECONDS - start)))")
	rm -f "$log"
	return "$status"
}

skipped() {
	summary+=("$(printf '%-18s %-12s' "$1" skipped)")
}

build() {
	cmake --preset "$1" >/dev/null && cmake --build --preset "$1" -j "$(nproc)"
}

# The build's Debian package into build/PRESET/package, in place of an older one;
# lintian must find no error or warning but those its overrides explain.
package() {
	rm -rf "build/$1/package" && cpack --config "build/$1/CPackConfig.cmake" -B "build/$1/package" &&
		dpkg-deb --info "build/$1/package/"*.deb &&
		lintian --fail-on error,warning --tag-display-limit 0 "build/$1/package/"*.deb
}

stage format scripts/format.sh --check

for preset in $presets; do
	if [[ $preset == fuzz ]]; then
		stage fuzz scripts/fuzz.sh "${DVR_FUZZ_SECONDS:-60}"
		continue
	fi
	if ! stage "$preset build" build "$preset"; then
		skipped "$preset tests"
		continue
	fi
	stage "$preset tests" ctest --preset "$preset" -j 2
	case $preset in
	release)
		stage "syscall faults" env DVR_BUILD_DIR=build/release bash tests/fault/run.sh
		stage "release package" package release
		stage "demo tour" scripts/demo.sh --once --build-dir build/release
		stage "benchmark smoke" bench/run.sh --smoke --build-dir build/release
		;;
	armhf | aarch64)
		stage "$preset e2e" scripts/e2e-emulated.sh "$preset"
		stage "$preset package" package "$preset"
		;;
	esac
done

echo
echo "=== Summary"
printf '%-18s %-12s %-10s %7s\n' stage result passed time
printf '%s\n' "${summary[@]}"
if ((failed > 0)); then
	echo "$failed stage(s) FAILED"
	((${#failures[@]} == 0)) || printf '  %s\n' "${failures[@]}"
	exit 1
fi
echo "all stages passed"
