#pragma once
// Who may sign in (a file of names with salted password hashes) and who is signed in (sessions
// by a random cookie value).
#include <map>
#include <mutex>
#include <string>

namespace zdxserver {

class Users {
public:
    // Reads "name:hash" lines; false (with a reason) when the file cannot be read.
    bool Load(const std::string& path, std::string& error);
    bool Verify(const std::string& name, const std::string& password) const;
    std::size_t Count() const { return m_hashes.size(); }

    // Adds or replaces a user in the file.
    static bool AddUser(const std::string& path, const std::string& name,
                        const std::string& password, std::string& error);

private:
    std::map<std::string, std::string> m_hashes;
    mutable std::mutex m_verifyMutex; // one hash at a time keeps memory bounded
};

class Sessions {
public:
    // A new session for the user; returns its cookie value.
    std::string Create(const std::string& user);
    // The user of a session, or empty.
    std::string UserOf(const std::string& id) const;
    void End(const std::string& id);

private:
    mutable std::mutex m_mutex;
    std::map<std::string, std::string> m_users;
};

} // namespace zdxserver
