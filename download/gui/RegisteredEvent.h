// Registered window messages as Qt event types: a name gives one event type for the whole
// program, the same every time it is asked for. The names are registered once, at program start,
// before any window exists (see the definitions beside each user).
#pragma once

#include <QEvent>

// The event type registered for a name; registers it on first use. Thread-safe.
QEvent::Type RegisterEventName(const char* name);

// "CSendSrecordDlg_SendEndDialogMsg": the download worker has finished; the dialog ends.
extern const QEvent::Type g_sendEndDialogMsg;
