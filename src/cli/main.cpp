// zdx-query: the client without a window.
#include "app/ProfileStore.h"
#include "app/ZDXApp.h"
#include "diag/FaultReport.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

void PrintUsage(std::FILE* to) {
    std::fputs("usage: zdx-query [-f<path>] [-l] --settings\n"
               "  -f<path>    read the settings from this file instead of the profile store\n"
               "  -l          append an activity log to zdx.log in the current directory\n"
               "  --settings  print the effective settings and exit\n",
               to);
}

} // namespace

int main(int argc, char** argv) {
    InstallFaultFilter();
    bool printSettings = false;
    std::vector<std::string> tokens;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--settings") == 0) {
            printSettings = true;
        } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            PrintUsage(stdout);
            return 0;
        } else {
            tokens.emplace_back(argv[i]);
        }
    }
    theApp.m_cmdLine = tokens;
    CProfileStore profileStore;
    theApp.StartUp(profileStore);
    if (printSettings) {
        std::fputs(FormatSettingsReport(theApp).c_str(), stdout);
        return 0;
    }
    PrintUsage(stderr);
    return 2;
}
