// The program's saved settings as vandrel-cli sees them.
#pragma once

#include "app/AppSettings.h"
#include "app/ComPortMap.h"

// The saved settings, read from a copy so that nothing is ever written to the user's folder (the
// reader creates missing keys, and sets aside a file it cannot parse).
struct TS_SAVED {
    TS_LOADED_SETTINGS loaded;
    TS_COM_PORT_MAP map;
};
TS_SAVED ReadSavedSettings();
