// The read-version mode (-r): every matching device's firmware version.
#pragma once

/// Lists the devices that match the configured ids, asks each for its version
/// with protocol mask 0xAA and prints "Deveice Firmware Version: <text>" for
/// each one that answers. Returns true when at least one device answered.
bool readDeviceVersions();
