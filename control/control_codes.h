// The device-control codes that applications send to pondrel: device type
// FILE_DEVICE_UNKNOWN (0x22), METHOD_BUFFERED, FILE_ANY_ACCESS, functions
// 0x111 to 0x113. Plain constants, so that applications and tools can use
// them without the kernel's headers.
#pragma once

// Output: the configuration descriptor with everything that follows it.
constexpr unsigned int IOCTL_FETCH_CONFIGURATION = 0x220444;
// Resets the device's port when it is connected but not enabled.
constexpr unsigned int IOCTL_PORT_RESET = 0x220448;
// Resets the pipe of the handle it is sent on.
constexpr unsigned int IOCTL_PIPE_RESET = 0x22044C;
