// zdx-extract: reads documents for zdx-server, one after another, from the socket on descriptor
// 3 (see ExtractWire.h). It runs with limits, so that a document that loops, bloats or crashes
// it costs the service nothing but that document: 10 s of processor time a file, 512 MB of
// memory, no files written, no network.
#include "Documents.h"
#include "ExtractWire.h"

#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>

#include <cstddef>
#include <cstdio>
#include <new>

using namespace zdxserver;

namespace {

constexpr rlim_t kCpuSecondsPerFile = 10;
constexpr rlim_t kMemoryBytes = 512ull << 20;
constexpr std::size_t kMaxRequest = 256u << 20;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif
#else
constexpr bool kAddressSanitizer = false;
#endif

// No new sockets: a document cannot make the extractor reach the network.
bool ForbidSockets() {
#if defined(__x86_64__)
    constexpr unsigned kArch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
    constexpr unsigned kArch = AUDIT_ARCH_AARCH64;
#else
    return false;
#endif
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kArch, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_socket, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program{static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

void Limit(int resource, rlim_t soft, rlim_t hard) {
    rlimit limit{soft, hard};
    setrlimit(resource, &limit);
}

// The processor time used so far, in whole seconds.
rlim_t CpuSecondsUsed() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<rlim_t>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec);
}

std::string Answer(const Extracted& e, const char* status, const std::string& reason) {
    std::string out;
    const std::string date = std::to_string(e.date);
    for (std::string_view field :
         {std::string_view(status), std::string_view(e.format), std::string_view(e.title),
          std::string_view(e.author), std::string_view(e.body), std::string_view(date),
          std::string_view(reason)})
        wire::Put(out, field);
    return out;
}

} // namespace

// Under the address sanitizer: what the readers' libraries keep until exit is no leak of ours.
extern "C" const char* __asan_default_options();
extern "C" const char* __asan_default_options() {
    return "detect_leaks=0";
}

int main() {
    ForbidSockets(); // where the kernel allows it
    Limit(RLIMIT_FSIZE, 0, 0);
    Limit(RLIMIT_CORE, 0, 0);
    if (!kAddressSanitizer) // the sanitizer reserves far more address space than it uses
        Limit(RLIMIT_AS, kMemoryBytes, kMemoryBytes);
    for (;;) {
        const auto request = wire::Receive(wire::kExtractorFd, kMaxRequest, -1);
        if (!request)
            return 0; // the service has closed its end
        const auto fields = wire::Split(*request);
        if (!fields || fields->size() != 3)
            return 2;
        // The processor time of this file; SIGXCPU ends the process when it is used up.
        Limit(RLIMIT_CPU, CpuSecondsUsed() + kCpuSecondsPerFile, RLIM_INFINITY);
        const std::string& name = (*fields)[1];
        const std::string& bytes = (*fields)[2];
        std::string answer;
        try {
            Extracted e;
            if ((*fields)[0] == "name") {
                e.format = FormatForMime(MimeTypeOf(bytes));
            } else {
                e = ReadDocument(name, bytes);
            }
            answer = Answer(e, "ok", "");
        } catch (const Unreadable& error) {
            answer = Answer({}, "failed", error.what());
        } catch (const std::bad_alloc&) {
            answer = Answer({}, "failed", "it needs more than 512 MB of memory to read");
        } catch (const std::exception& error) {
            answer = Answer({}, "failed", error.what());
        }
        if (!wire::Send(wire::kExtractorFd, answer, -1))
            return 0;
    }
}
