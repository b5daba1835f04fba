#!/usr/bin/env bash
# Cancel in the desktop program's transfer dialog during a paced copy (the
# emulated Quillon at 9600 baud), driven by the GUI tests offscreen: the time
# from the Cancel click to the dialog closing, to the window taking commands
# again (the cancel bytes and the pauses for the device's next command), and,
# when the window is closed right after Cancel, to the window being gone.
# Usage: bench/gui_cancel.sh [BUILD_DIR] [ROUNDS]
set -euo pipefail
build=${1:-build/default}
rounds=${2:-3}
for i in $(seq "$rounds"); do
  QT_QPA_PLATFORM=offscreen "$build/tests/gui/tst_main_window_transfers" \
    cancelDuringATransferLeavesNoFileAndAUsableWindow closingAfterACancelClosesOnceTheCancelBytesAreOut 2>&1 |
    sed -n 's/^QINFO  : TestMainWindowTransfers::[a-zA-Z]*() /round '"$i"': /p; s/^\(FAIL!.*\)/round '"$i"': \1/p'
done
