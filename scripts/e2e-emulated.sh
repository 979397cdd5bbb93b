#!/usr/bin/env bash
# The end-to-end tests that run tunerbay and epg directly, with the ARM programs
# under qemu-user: the stand-ins (backend, NAS tools, login service) come from
# the native release build, the programs under test from the ARM build, each
# run through qemu-arm (qemu-aarch64 for aarch64). Builds what it needs, runs
# the scripts one after the other, prints each one's summary; the exit status
# is 0 only when every check of every script passed.
#
# Usage: scripts/e2e-emulated.sh [--native-build-dir DIR] [--arm-build-dir DIR]
#                                [armhf|aarch64] [SCRIPT...]
#   armhf|aarch64          the ARM build (default armhf)
#   SCRIPT                 e.g. test_epg (default: test_tunerbay test_epg
#                          test_hostile test_faults)
#   --native-build-dir DIR use this native build tree as it is instead of
#                          building the release preset
#   --arm-build-dir DIR    use this ARM build tree as it is instead of building
#                          the ARM preset
# Each script's whole report goes to e2e-emulated/SCRIPT.log in the ARM build
# tree. Needs root (the sandbox's namespaces), like every end-to-end test.

usage() {
	sed -n 's/^# \{0,1\}//; /^Usage:/,/^Each script/p' "${BASH_SOURCE[0]}" | sed '$d' >&2
	exit 2
}

native_dir=''
arm_dir=''
arch=armhf
scripts=()
while (($# > 0)); do
	case $1 in
	--native-build-dir)
		[[ -n ${2-} ]] || usage
		native_dir=$(cd "$2" && pwd) || usage
		shift
		;;
	--arm-build-dir)
		[[ -n ${2-} ]] || usage
		arm_dir=$(cd "$2" && pwd) || usage
		shift
		;;
	armhf | aarch64) arch=$1 ;;
	test_*) scripts+=("${1%.sh}") ;;
	*) usage ;;
	esac
	shift
done
((${#scripts[@]} > 0)) || scripts=(test_tunerbay test_epg test_hostile test_faults)
case $arch in
armhf) emulator=qemu-arm ;;
aarch64) emulator=qemu-aarch64 ;;
esac
cd "$(dirname "${BASH_SOURCE[0]}")/.." || exit 1

# build PRESET TARGET...: configures and builds the preset's tree (up to date
# in a moment when it is built already); its output goes to a log shown on failure.
build() {
	local preset=$1 log=build/e2e-emulated-$1.log
	shift
	mkdir -p build
	echo "== building the $preset preset"
	if ! { cmake --preset "$preset" && cmake --build --preset "$preset" -j "$(nproc)" "$@"; } >"$log" 2>&1; then
		tail -n 30 "$log"
		echo "e2e-emulated.sh: the $preset build failed ($log)" >&2
		exit 1
	fi
}

if [[ -z $native_dir ]]; then
	build release
	native_dir=build/release
fi
if [[ -z $arm_dir ]]; then
	build "$arch" --target tunerbay epg
	arm_dir=build/$arch
fi
for f in "$native_dir/sandbox/tvheadend" "$native_dir/sandbox/getcfg" "$arm_dir/tunerbay" "$arm_dir/epg"; do
	[[ -x $f ]] || { echo "e2e-emulated.sh: no $f" >&2; exit 1; }
done
for script in "${scripts[@]}"; do
	[[ -f tests/e2e/$script.sh ]] || { echo "e2e-emulated.sh: no tests/e2e/$script.sh" >&2; exit 2; }
done

logs=$arm_dir/e2e-emulated
mkdir -p "$logs"
echo "== end-to-end tests: programs from $arm_dir under $emulator, stand-ins from $native_dir"
failed=0
for script in "${scripts[@]}"; do
	log=$logs/$script.log
	start=$SECONDS
	DVR_BUILD_DIR=$native_dir DVR_PROGRAM_DIR=$arm_dir DVR_EMULATOR=$emulator \
		bash "tests/e2e/$script.sh" >"$log" 2>&1
	status=$?
	echo "-- $script: exit status $status, $((SECONDS - start)) s ($log)"
	# The summary lines, and every failed check with its diagnostics.
	awk '/^not ok [0-9]/ && !/# TODO/ { show = 1; print; next } show && /^#   / { print; next } { show = 0 }' "$log" |
		head -n 80
	grep -E '^(# passed all|# FAILED|# the script ended early|Bail out!|ok - the host|not ok - )' "$log"
	((status == 0)) || failed=$((failed + 1))
done
if ((failed > 0)); then
	echo "== $failed of ${#scripts[@]} scripts failed under $emulator"
	exit 1
fi
echo "== all ${#scripts[@]} scripts passed under $emulator"
