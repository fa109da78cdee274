// Whether this process serves the configuration it was meant to. A default configuration that
// start-up could not load is the process's configuration problem: every client sees it in
// GetStatus (OPC_STATUS_NOCONFIG and the reason in the vendor text) and start-up writes it to
// the log, so an address space left empty is never served silently. A configuration file
// loaded afterwards (the configurator's Open) ends the problem.
#pragma once

#include <string>

#include "configuration_file.h"

// Records that the file at `path` did not load, and why (any outcome but Loaded, NotNamed).
void RecordConfigurationProblem(const std::string& path, LoadOutcome outcome);
void ClearConfigurationProblem() noexcept;
// The problem in words ("Configuration C:\x.cfg not loaded: ..."); empty when there is none.
// Throws std::bad_alloc.
std::wstring ConfigurationProblem();
