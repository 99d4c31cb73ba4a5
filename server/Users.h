#pragma once
// Who may sign in (a file of names with salted password hashes), who is signed in (sessions by
// a random cookie value), and how failed sign-ins are slowed down.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <semaphore>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace zdxserver {

class Users {
public:
    // Reads "name:hash" lines; false (with a reason) when the file cannot be read. `changed`
    // gets the names that were there before and are gone or have a new hash now.
    bool Load(const std::string& path, std::string& error,
              std::vector<std::string>* changed = nullptr);
    // Checks a password. An unknown name is checked against a dummy hash, so that it takes as
    // long as a known one and names cannot be told apart by the time an answer takes.
    bool Verify(const std::string& name, const std::string& password) const;
    std::size_t Count() const {
        std::shared_lock<std::shared_mutex> lock(m_mapMutex);
        return m_hashes.size();
    }

    // Checks take turns, one hash at a time; at most kCheckQueue attempts wait for theirs (and
    // hold an HTTP worker meanwhile). False when that many wait already: the attempt is then
    // answered at once as failed, and searches never queue behind hashes.
    static constexpr std::ptrdiff_t kCheckQueue = 8;
    bool ReserveCheck() { return m_checkSlots.try_acquire(); }
    void ReleaseCheck() { m_checkSlots.release(); }

    // Adds or replaces a user in the file, through a new file (mode 0600) renamed over it; on
    // any failure the old file is left as it was.
    static bool AddUser(const std::string& path, const std::string& name,
                        const std::string& password, std::string& error);

private:
    mutable std::shared_mutex m_mapMutex; // a reload replaces the map while checks read it
    std::map<std::string, std::string> m_hashes;
    mutable std::mutex m_verifyMutex; // one hash at a time keeps memory bounded
    std::counting_semaphore<kCheckQueue> m_checkSlots{kCheckQueue};
};

// Failed sign-ins counted per client address and per user name. After kFreeFailures failures
// an address is backed off: its attempts are answered at once with the failure, without looking
// at the password, for a time that doubles from 1 s up to 5 minutes. A user name that is backed
// off refuses attempts from addresses that have failed before, so that an attacker spread over
// many addresses cannot lock the user out of a clean one. A success clears the name's count; the
// address keeps its failures against other names.
class SignInCounters {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr int kFreeFailures = 3;
    virtual ~SignInCounters() = default;

    // True when the attempt may have its password checked; Failed or Succeeded must follow.
    virtual bool Allowed(const std::string& address, const std::string& name,
                         Clock::time_point now) = 0;
    // Records a failure; returns the back-off that starts with it (zero when none does).
    virtual Clock::duration Failed(const std::string& address, const std::string& name,
                                   Clock::time_point now) = 0;
    virtual void Succeeded(const std::string& address, const std::string& name) = 0;
    // How long until an attempt that Allowed refused may be checked; 0 when at once.
    virtual Clock::duration RetryAfter(const std::string& address, const std::string& name,
                                       Clock::time_point now) = 0;

    // The counts of one address or name, and the rules over them, whatever keeps them; times in
    // milliseconds of the keeper's clock.
    struct Record {
        int failures = 0;
        int checking = 0;              // attempts allowed whose password is being checked
        std::int64_t checkStartMs = 0; // when the last of them began
        std::int64_t untilMs = 0;
        // A name's checks in the current minute, once it has failed often.
        std::int64_t windowStartMs = 0;
        int windowChecks = 0;
    };
    // After this many failures a name's checks, from all addresses together, are limited to
    // kChecksPerMinute: guessing from many addresses gains nothing.
    static constexpr int kRateLimitedFailures = 5;
    static constexpr int kChecksPerMinute = 10;
    // A check that never ended (its process died) stops counting after this.
    static constexpr std::int64_t kCheckLapseMs = 30000;
    static std::int64_t BackOffMs(int failures);
    // Allowed's rule: may update both records (a check under way), and only when it allows.
    static bool Allow(Record& address, Record& name, std::int64_t nowMs);
    // Failed's rule: updates both; returns the address's back-off in milliseconds.
    static std::int64_t Fail(Record& address, Record& name, std::int64_t nowMs);
    // RetryAfter's rule: milliseconds until the records let a check through.
    static std::int64_t WaitMs(const Record& address, const Record& name, std::int64_t nowMs);
};

// The counters of this process, in memory.
class SignInGuard : public SignInCounters {
public:
    bool Allowed(const std::string& address, const std::string& name,
                 Clock::time_point now) override;
    Clock::duration Failed(const std::string& address, const std::string& name,
                           Clock::time_point now) override;
    void Succeeded(const std::string& address, const std::string& name) override;
    Clock::duration RetryAfter(const std::string& address, const std::string& name,
                               Clock::time_point now) override;

private:
    static std::int64_t Ms(Clock::time_point t) {
        return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
    }
    void Forget(std::int64_t nowMs);

    std::mutex m_mutex;
    std::unordered_map<std::string, Record> m_addresses, m_names;
};

// Who is signed in: sessions by a random cookie value. A session ends after it has been idle too
// long, and a user has a limited number of them.
class SessionStore {
public:
    virtual ~SessionStore() = default;
    // A new session for the user; returns its cookie value. A user's oldest session ends when
    // a new one would exceed the limit per user.
    virtual std::string Create(const std::string& user) = 0;
    // The user of a session, or empty when there is none or it has been idle too long; a
    // session that is used stays alive.
    virtual std::string UserOf(const std::string& id) = 0;
    virtual void End(const std::string& id) = 0;
    // Ends every session of the user (removed, or given a new password).
    virtual void EndUser(const std::string& user) = 0;
};

// A random session id: 32 hexadecimal digits.
std::string NewSessionId();

// Sessions of this process, in memory.
class Sessions : public SessionStore {
public:
    using Clock = std::chrono::steady_clock;
    explicit Sessions(Clock::duration idleLimit = std::chrono::hours(12),
                      std::size_t perUserLimit = 20,
                      Clock::duration lifetime = std::chrono::hours(24))
        : m_idleLimit(idleLimit), m_perUserLimit(perUserLimit), m_lifetime(lifetime) {}

    std::string Create(const std::string& user) override;
    std::string UserOf(const std::string& id) override;
    void End(const std::string& id) override;
    void EndUser(const std::string& user) override;
    std::size_t Count() const;

private:
    struct Session {
        std::string user;
        Clock::time_point created, used;
    };
    void DropIdle(Clock::time_point now);

    Clock::duration m_idleLimit;
    std::size_t m_perUserLimit;
    Clock::duration m_lifetime; // however much it is used, a session ends after this
    mutable std::mutex m_mutex;
    std::unordered_map<std::string, Session> m_sessions;
    Clock::time_point m_lastSweep{};
};

} // namespace zdxserver
