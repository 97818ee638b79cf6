// Arrivals and removals on the USB bus for the station's watch: the listener is called (on a
// thread of the watcher's) whenever a device comes or goes. Dropping the handle ends the calls;
// a null handle where the bus cannot be watched (the ports then look every 200 ms).
#pragma once

#include <functional>
#include <memory>

std::shared_ptr<void> WatchUsbArrivals(std::function<void()> listener);
