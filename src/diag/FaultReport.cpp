#include "diag/FaultReport.h"

void InstallFaultFilter() {}
