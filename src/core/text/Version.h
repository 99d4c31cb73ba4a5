#pragma once
// Version and build stamp shown by the about box, the activity log and the fault report.

inline constexpr const char* kVersionText = "1, 1, 0, 10";
// The same version as --version prints it.
inline constexpr const char* kVersionNumber = "1.1.0.10";
inline constexpr const char* kSupportAddress = "support@zdx.example";

// The build date as "Feb 12 2007" and the build time as "20:41:53".
const char* BuildDate();
const char* BuildTime();
