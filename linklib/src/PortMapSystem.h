// What the port map (PortMap.cpp) leaves to each system, and the name rules it shares with them.
#pragma once

#include <string>

namespace quillet {

// Where "COMn" and "\\.\Csr0" open when neither the environment nor the program's map names them.
std::string DefaultComDevice(int comNumber);
std::string DefaultUsbDevice();

// a == b, ASCII letters in any case.
bool EqualsNoCase(const std::string& a, const char* b);
// "COM3" or "\\.\COM3" (any case): 3; otherwise 0.
int ComNumber(const std::string& name);

} // namespace quillet
