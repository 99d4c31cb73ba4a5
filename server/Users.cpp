#include "Users.h"

#include "text/WholeFile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace zdxserver {

namespace {

// Argon2id with moderate limits: a fraction of a second and 16 MiB a hash.
constexpr unsigned long long kOpsLimit = 3;
constexpr std::size_t kMemLimit = 16u << 20;

bool EnsureSodium() {
    static const bool ready = sodium_init() >= 0;
    return ready;
}

// A hash of a random password, made once: unknown names are verified against it.
const std::string& DummyHash() {
    static const std::string hash = [] {
        char text[crypto_pwhash_STRBYTES] = {};
        unsigned char random[32];
        randombytes_buf(random, sizeof random);
        if (crypto_pwhash_str(text, reinterpret_cast<const char*>(random), sizeof random, kOpsLimit,
                              kMemLimit) != 0)
            return std::string(); // out of memory: no hash verifies against it either
        return std::string(text);
    }();
    return hash;
}

} // namespace

bool Users::Load(const std::string& path, std::string& error, std::vector<std::string>* changed) {
    std::ifstream in(path);
    if (!in) {
        error = "cannot read " + path;
        return false;
    }
    std::map<std::string, std::string> hashes;
    for (std::string line; std::getline(in, line);) {
        const std::size_t colon = line.find(':');
        if (line.empty() || line[0] == '#' || colon == std::string::npos || colon == 0)
            continue;
        hashes[line.substr(0, colon)] = line.substr(colon + 1);
    }
    {
        std::unique_lock<std::shared_mutex> lock(m_mapMutex);
        if (changed)
            for (const auto& [name, hash] : m_hashes) {
                const auto now = hashes.find(name);
                if (now == hashes.end() || now->second != hash)
                    changed->push_back(name);
            }
        m_hashes.swap(hashes);
    }
    if (EnsureSodium())
        DummyHash();
    return true;
}

bool Users::Verify(const std::string& name, const std::string& password) const {
    if (!EnsureSodium())
        return false;
    std::string hash;
    bool known = false;
    {
        std::shared_lock<std::shared_mutex> lock(m_mapMutex);
        auto it = m_hashes.find(name);
        known = it != m_hashes.end();
        hash = known ? it->second : DummyHash();
    }
    std::lock_guard<std::mutex> lock(m_verifyMutex);
    const bool matches =
        crypto_pwhash_str_verify(hash.c_str(), password.data(), password.size()) == 0;
    return known && matches;
}

bool Users::AddUser(const std::string& path, const std::string& name, const std::string& password,
                    std::string& error) {
    if (name.empty() || name.find_first_of(":\r\n") != std::string::npos) {
        error = "a user name may not be empty nor hold ':' or a line break";
        return false;
    }
    if (!EnsureSodium()) {
        error = "libsodium could not start";
        return false;
    }
    char hash[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str(hash, password.data(), password.size(), kOpsLimit, kMemLimit) != 0) {
        error = "out of memory while hashing";
        return false;
    }
    std::string text;
    {
        std::ifstream in(path);
        if (!in && errno != ENOENT) {
            error = "cannot read " + path + ": " + std::strerror(errno);
            return false;
        }
        for (std::string line; std::getline(in, line);)
            if (line.rfind(name + ":", 0) != 0)
                text += line + "\n";
        if (in.bad()) {
            error = "cannot read " + path;
            return false;
        }
    }
    text += name + ":" + hash + "\n";

    // A fresh file beside the old one, created exclusively (a planted file or link at its name
    // is never followed), written whole and flushed to disk before it replaces the old one. It
    // keeps the old file's owner, group and mode (a service running under another account
    // reads it as before), less any access for others; a new file is for its owner only.
    WholeFileWriter writer(path, 0600, true, 0770);
    if (writer.Open() && writer.Write(text) && writer.Commit())
        return true;
    const WriteStep step = writer.FailedStep();
    const char* reason = std::strerror(writer.Error());
    error = step == WriteStep::Create    ? "cannot create a file beside " + path + ": " + reason
            : step == WriteStep::Replace ? "cannot replace " + path + ": " + reason
                                         : "cannot write beside " + path + ": " + reason;
    return false;
}

std::int64_t SignInCounters::BackOffMs(int failures) {
    if (failures < kFreeFailures)
        return 0;
    const int doublings = std::min(failures - kFreeFailures, 9); // 1 s .. 512 s
    return std::min<std::int64_t>(1000LL << doublings, 5 * 60 * 1000);
}

bool SignInCounters::Allow(Record& a, Record& n, std::int64_t now) {
    if (now < n.untilMs && a.failures > 0)
        return false;
    // A check cut short (a process that died during it) is no lasting count.
    const int checking = now - a.checkStartMs >= kCheckLapseMs ? 0 : a.checking;
    // Checks under way count as failures to come: a burst of attempts gets no more checks than
    // the free ones, and after a back-off only one attempt at a time is checked.
    const bool free = a.failures + checking < kFreeFailures;
    const bool probe = a.failures >= kFreeFailures && now >= a.untilMs && checking == 0;
    if (!free && !probe)
        return false;
    // A name that has failed often gets so many checks a minute, whatever the addresses.
    const bool limited = n.failures >= kRateLimitedFailures;
    const bool newWindow = now - n.windowStartMs >= 60000;
    if (limited && !newWindow && n.windowChecks >= kChecksPerMinute)
        return false;
    if (limited) {
        if (newWindow) {
            n.windowStartMs = now;
            n.windowChecks = 0;
        }
        ++n.windowChecks;
    }
    a.checking = checking + 1;
    a.checkStartMs = now;
    return true;
}

std::int64_t SignInCounters::Fail(Record& a, Record& n, std::int64_t now) {
    if (a.checking > 0)
        --a.checking;
    ++a.failures;
    ++n.failures;
    const std::int64_t wait = BackOffMs(a.failures);
    a.untilMs = now + wait;
    n.untilMs = now + BackOffMs(n.failures);
    return wait;
}

std::int64_t SignInCounters::WaitMs(const Record& a, const Record& n, std::int64_t now) {
    std::int64_t until = a.untilMs;
    if (a.failures > 0)
        until = std::max(until, n.untilMs);
    if (n.failures >= kRateLimitedFailures && n.windowChecks >= kChecksPerMinute)
        until = std::max(until, n.windowStartMs + 60000);
    return std::max<std::int64_t>(0, until - now);
}

SignInGuard::Clock::duration SignInGuard::RetryAfter(const std::string& address,
                                                     const std::string& name,
                                                     Clock::time_point now) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto a = m_addresses.find(address);
    const auto n = m_names.find(name);
    return std::chrono::milliseconds(WaitMs(a == m_addresses.end() ? Record() : a->second,
                                            n == m_names.end() ? Record() : n->second, Ms(now)));
}

void SignInGuard::Forget(std::int64_t now) {
    // Records of attackers that went quiet are dropped, so that the tables stay small.
    constexpr std::int64_t kMemoryMs = 15 * 60 * 1000;
    for (auto* table : {&m_addresses, &m_names})
        for (auto it = table->begin(); it != table->end();)
            it = now - it->second.untilMs > kMemoryMs ? table->erase(it) : std::next(it);
}

bool SignInGuard::Allowed(const std::string& address, const std::string& name,
                          Clock::time_point now) {
    std::lock_guard<std::mutex> lock(m_mutex);
    // Nothing is written for a refusal: the records are copied and kept only when it allows.
    auto a = m_addresses.find(address);
    auto n = m_names.find(name);
    Record ar = a == m_addresses.end() ? Record() : a->second;
    Record nr = n == m_names.end() ? Record() : n->second;
    if (!Allow(ar, nr, Ms(now)))
        return false;
    m_addresses[address] = ar;
    if (n != m_names.end() || nr.windowChecks > 0)
        m_names[name] = nr;
    return true;
}

SignInGuard::Clock::duration SignInGuard::Failed(const std::string& address,
                                                 const std::string& name, Clock::time_point now) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_addresses.size() + m_names.size() > 100000)
        Forget(Ms(now));
    return std::chrono::milliseconds(Fail(m_addresses[address], m_names[name], Ms(now)));
}

void SignInGuard::Succeeded(const std::string& address, const std::string& name) {
    std::lock_guard<std::mutex> lock(m_mutex);
    // The name is cleared; the address keeps its failures against any name (a sign-in to one's
    // own account must not buy more guesses at another's), only its check is over.
    auto it = m_addresses.find(address);
    if (it != m_addresses.end() && it->second.checking > 0)
        --it->second.checking;
    m_names.erase(name);
}

std::string NewSessionId() {
    EnsureSodium();
    unsigned char random[16];
    randombytes_buf(random, sizeof random);
    char hex[sizeof random * 2 + 1];
    sodium_bin2hex(hex, sizeof hex, random, sizeof random);
    return hex;
}

std::string Sessions::Create(const std::string& user) {
    const std::string hex = NewSessionId();
    const auto now = Clock::now();
    std::lock_guard<std::mutex> lock(m_mutex);
    DropIdle(now);
    std::vector<std::unordered_map<std::string, Session>::iterator> mine;
    for (auto it = m_sessions.begin(); it != m_sessions.end(); ++it)
        if (it->second.user == user)
            mine.push_back(it);
    if (m_perUserLimit > 0 && mine.size() >= m_perUserLimit) {
        std::sort(mine.begin(), mine.end(),
                  [](const auto& a, const auto& b) { return a->second.used < b->second.used; });
        for (std::size_t i = 0; i + m_perUserLimit <= mine.size(); ++i)
            m_sessions.erase(mine[i]);
    }
    m_sessions[hex] = {user, now, now};
    return hex;
}

std::string Sessions::UserOf(const std::string& id) {
    if (id.empty())
        return {};
    const auto now = Clock::now();
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_sessions.find(id);
    if (it == m_sessions.end())
        return {};
    if (now - it->second.used > m_idleLimit || now - it->second.created > m_lifetime) {
        m_sessions.erase(it);
        return {};
    }
    it->second.used = now;
    return it->second.user;
}

void Sessions::End(const std::string& id) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_sessions.erase(id);
}

void Sessions::EndUser(const std::string& user) {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto it = m_sessions.begin(); it != m_sessions.end();)
        it = it->second.user == user ? m_sessions.erase(it) : std::next(it);
}

std::size_t Sessions::Count() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_sessions.size();
}

void Sessions::DropIdle(Clock::time_point now) {
    if (now - m_lastSweep < std::chrono::minutes(1) && m_lastSweep != Clock::time_point{})
        return;
    m_lastSweep = now;
    for (auto it = m_sessions.begin(); it != m_sessions.end();)
        it = now - it->second.used > m_idleLimit || now - it->second.created > m_lifetime
                 ? m_sessions.erase(it)
                 : std::next(it);
}

} // namespace zdxserver
