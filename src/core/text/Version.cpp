#include "text/Version.h"

// The compiler's stamp of when this file was built; a clean build gives the build's own.
const char* BuildDate() {
    return __DATE__;
}
const char* BuildTime() {
    return __TIME__;
}
