#pragma once

// The daemon's whole life: single-instance guard, launcher path from the product's uninstall
// entry, then the watcher until the process is ended from outside. Returns the exit code.
int RunDaemon();
