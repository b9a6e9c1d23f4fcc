#!/usr/bin/env bash
# The shipped 32-bit form's window on the main road, through tools/wine32.sh,
# then the x86_64 form's in the same prefix and display: the scenario passes in
# both, and the two pictures of the first screen match pixel for pixel.
# Usage: first_screen_in_both_forms.sh SOURCE_DIR BUILD_DIR I686_TREE
set -u
source_dir="$1" build="$2" i686="$3"
scenario=ColdStartWithOneStickWritesThePublishedImage
picture="screenshots/$scenario-idle.ppm"
# The x86_64 form runs from a copy, so that its pictures are not the suite's.
x86_64="$build/route32/window"
mkdir -p "$x86_64/bin" && ln -sfn ../../test-ca "$x86_64/test-ca" &&
  cp "$build/bin/qv_window_tests.exe" "$build/bin/qvwriter-SIMULATED-DISKS-test-harness.exe" \
     "$x86_64/bin/" || exit 1
for form in "$i686" "$x86_64"; do
  rm -f "$form/$picture"
  "$source_dir/tools/wine32.sh" --build "$build" "$form/bin/qv_window_tests.exe" \
    --gtest_filter="WindowScenario.$scenario" || exit $?
done
differing="$(compare -metric AE "$i686/$picture" "$x86_64/$picture" null: 2>&1)"
echo "first screen, 32-bit against 64-bit form: $differing pixels differ"
[ "$differing" = 0 ]
