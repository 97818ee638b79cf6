// libquillet: the link to the R3700 handset's monitor over RS232 or USB.
#pragma once

#include "quillet/OstraMonitor.h"
#include "quillet/PROTOCOL.h"
#include "quillet/PortMap.h"
#include "quillet/QuilletExport.h"
#include "quillet/QuilletTypes.h"
#include "quillet/UsbDeviceWatcher.h"
#include "quillet/UsbDevices.h"

// Library version, "major.minor.patch".
QUILLET_API const char* QuilletVersion();
