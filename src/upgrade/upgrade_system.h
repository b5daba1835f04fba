#pragma once
// The session's ROM upgrade operation.
#include <string>

#include "session/device_session.h"

namespace corvane {

// Runs the upgrade of the device's system over the session's serial port with
// the image file at `imagePath`: the status dialog "Upgrade system" (with
// Cancel) shows its progress, and a message box tells the outcome. Returns
// once the upgrade thread has ended; true when the device took the image.
// Makes no connection check: without an open serial port the upgrade ends
// with the connection error.
bool UpgradeSystem(DeviceSession& session, const std::string& imagePath);

}  // namespace corvane
