#pragma once
// The session's ROM upgrade operation.
#include <string>

#include "session/device_session.h"

namespace corvane {

// Runs the upgrade of the device's system over the session's serial port with
// the image file at `imagePath`: the transfer dialog "Upgrade system" (with
// Cancel) shows its progress, and a message box tells the outcome. Returns
// when the device took the image; otherwise raises DeviceError (already told
// in the message box: Reported()), kCancelled when the user cancelled. Makes
// no connection check: without an open serial port the upgrade ends with the
// connection error.
void UpgradeSystem(DeviceSession& session, const std::string& imagePath);

}  // namespace corvane
