// zdx-symbolize REPORT: turns the addresses of a crash report into module + offset, function
// and source line, with elfutils' libdwfl. The report's module table says where each object
// was loaded; the objects are read from disk (and their debug information from the usual
// places, /usr/lib/debug included).
#include <elfutils/libdwfl.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cxxabi.h>
#include <fstream>
#include <memory>
#include <regex>
#include <string>
#include <vector>

namespace {

struct Module {
    std::uint64_t start = 0, end = 0;
    std::string buildId; // upper-case hexadecimal, "-" when the report had none
    std::string path;
    Dwfl_Module* dwfl = nullptr;
};

struct Frame {
    std::string label; // "pc" or the frame number
    std::uint64_t address = 0;
    bool isReturn = false; // a return address: the call is the byte before it
};

std::string Demangle(const char* name) {
    if (!name)
        return "??";
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> plain(
        abi::__cxa_demangle(name, nullptr, nullptr, &status), std::free);
    return status == 0 && plain ? std::string(plain.get()) : std::string(name);
}

std::string Hex(const unsigned char* bytes, int length) {
    std::string out;
    char two[3];
    for (int i = 0; i < length; ++i) {
        std::snprintf(two, sizeof two, "%02X", bytes[i]);
        out += two;
    }
    return out;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0)) {
        std::puts("Usage: zdx-symbolize REPORT\n"
                  "Print each frame of a ZDX crash report (Win32Fault.log) with its module and\n"
                  "offset, function and source line.");
        return 0;
    }
    if (argc != 2) {
        std::fputs("Usage: zdx-symbolize REPORT\n", stderr);
        return 2;
    }
    std::ifstream in(argv[1]);
    if (!in) {
        std::fprintf(stderr, "zdx-symbolize: cannot read %s\n", argv[1]);
        return 1;
    }
    const std::regex faultAt(R"(^\s*Fault Occured At \$ADDRESS:([0-9A-F]+)\s*$)");
    const std::regex calledFrom(R"(^\*\*\* +(\d+) called from \$ADDRESS:([0-9A-F]+)\s*$)");
    const std::regex module(R"(^\*\*\* ([0-9A-F]+)-([0-9A-F]+) (\S+) (/.*)$)");
    std::vector<Frame> frames;
    std::vector<Module> modules;
    std::smatch m;
    for (std::string line; std::getline(in, line);) {
        if (std::regex_match(line, m, faultAt))
            frames.push_back({"pc", std::strtoull(m[1].str().c_str(), nullptr, 16), false});
        else if (std::regex_match(line, m, calledFrom))
            frames.push_back({m[1].str(), std::strtoull(m[2].str().c_str(), nullptr, 16), true});
        else if (std::regex_match(line, m, module))
            modules.push_back({std::strtoull(m[1].str().c_str(), nullptr, 16),
                               std::strtoull(m[2].str().c_str(), nullptr, 16), m[3].str(),
                               m[4].str(), nullptr});
    }
    if (frames.empty()) {
        std::fprintf(stderr, "zdx-symbolize: %s has no stack walk\n", argv[1]);
        return 1;
    }

    static char* debugPath = nullptr;
    static const Dwfl_Callbacks callbacks = {dwfl_build_id_find_elf, dwfl_standard_find_debuginfo,
                                             dwfl_offline_section_address, &debugPath};
    Dwfl* dwfl = dwfl_begin(&callbacks);
    dwfl_report_begin(dwfl);
    for (Module& mod : modules) {
        mod.dwfl = dwfl_report_elf(dwfl, mod.path.c_str(), mod.path.c_str(), -1, mod.start, true);
        if (!mod.dwfl) {
            std::fprintf(stderr, "zdx-symbolize: warning: cannot read %s: %s\n", mod.path.c_str(),
                         dwfl_errmsg(-1));
            continue;
        }
        const unsigned char* bits = nullptr;
        GElf_Addr vaddr = 0;
        const int length = dwfl_module_build_id(mod.dwfl, &bits, &vaddr);
        if (mod.buildId != "-" && length > 0 && Hex(bits, length) != mod.buildId)
            std::fprintf(stderr,
                         "zdx-symbolize: warning: %s on disk is not the file that crashed "
                         "(build-id %s, the report has %s)\n",
                         mod.path.c_str(), Hex(bits, length).c_str(), mod.buildId.c_str());
    }
    dwfl_report_end(dwfl, nullptr, nullptr);

    for (const Frame& frame : frames) {
        const Module* mod = nullptr;
        for (const Module& candidate : modules)
            if (frame.address >= candidate.start && frame.address < candidate.end)
                mod = &candidate;
        if (!mod) {
            std::printf("%3s 0x%" PRIx64 "\n", frame.label.c_str(), frame.address);
            continue;
        }
        const std::uint64_t lookup = frame.isReturn ? frame.address - 1 : frame.address;
        std::string where = mod->path + "+0x";
        char offset[32];
        std::snprintf(offset, sizeof offset, "%" PRIx64, frame.address - mod->start);
        where += offset;
        std::string function = "??", source;
        if (mod->dwfl) {
            function = Demangle(dwfl_module_addrname(mod->dwfl, lookup));
            if (Dwfl_Line* line = dwfl_module_getsrc(mod->dwfl, lookup)) {
                int number = 0;
                const char* file = dwfl_lineinfo(line, nullptr, &number, nullptr, nullptr, nullptr);
                if (file)
                    source = " at " + std::string(file) + ":" + std::to_string(number);
            }
        }
        std::printf("%3s %s %s%s\n", frame.label.c_str(), where.c_str(), function.c_str(),
                    source.c_str());
    }
    dwfl_end(dwfl);
    return 0;
}
