#pragma once

#include "devices/port_device.h"

using DeviceFactory = PortDevice* (*)();

// Serves the running task's port until it is dismounted.
void RunPortService();

// The same loop with the device made by makeDevice instead of the port map.
void ServePort(DeviceFactory makeDevice);
