#pragma once
// The crash report written when the program faults.

// Installs the fault handlers; called first thing at start-up.
void InstallFaultFilter();
