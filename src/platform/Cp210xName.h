#pragma once

// Windows names the port of a CP210x bridge "Silicon Labs CP210x USB to UART Bridge (COM5)".
// Reading the COM number back out of that name needs no OS, so every build carries it.

#include <string>

namespace platform {

// The COM port number in a CP210x port's friendly name; 0 for any other name.
int Cp210xPortNumber(const std::string& friendlyName);

}  // namespace platform
