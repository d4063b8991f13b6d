#pragma once

#include "logging/logger_set.h"

#include <functional>

namespace veldra::python {

// Runs `work` on a thread of its own while the calling Python thread waits without the GIL,
// waking every 50 ms to pass the work's log records to Python's logger "veldra" and to check for
// a signal. A signal's exception (KeyboardInterrupt for Ctrl-C) stops the work at its next
// progress report and is raised once the work has ended; an error of the work is raised as it
// came. The work must not touch Python.
void run_interruptibly(const std::function<void(LoggerSet& log)>& work);

} // namespace veldra::python
