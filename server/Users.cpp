#include "Users.h"

#include <fstream>
#include <sodium.h>
#include <sstream>
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

} // namespace

bool Users::Load(const std::string& path, std::string& error) {
    std::ifstream in(path);
    if (!in) {
        error = "cannot read " + path;
        return false;
    }
    m_hashes.clear();
    for (std::string line; std::getline(in, line);) {
        const std::size_t colon = line.find(':');
        if (line.empty() || line[0] == '#' || colon == std::string::npos || colon == 0)
            continue;
        m_hashes[line.substr(0, colon)] = line.substr(colon + 1);
    }
    return true;
}

bool Users::Verify(const std::string& name, const std::string& password) const {
    auto it = m_hashes.find(name);
    if (it == m_hashes.end() || !EnsureSodium())
        return false;
    std::lock_guard<std::mutex> lock(m_verifyMutex);
    return crypto_pwhash_str_verify(it->second.c_str(), password.data(), password.size()) == 0;
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
    std::vector<std::string> lines;
    {
        std::ifstream in(path);
        for (std::string line; std::getline(in, line);)
            if (line.rfind(name + ":", 0) != 0)
                lines.push_back(line);
    }
    lines.push_back(name + ":" + hash);
    const std::string temporary = path + ".new";
    {
        std::ofstream out(temporary, std::ios::trunc);
        for (const auto& line : lines)
            out << line << '\n';
        if (!out) {
            error = "cannot write " + temporary;
            return false;
        }
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        error = "cannot replace " + path;
        return false;
    }
    return true;
}

std::string Sessions::Create(const std::string& user) {
    EnsureSodium();
    unsigned char random[16];
    randombytes_buf(random, sizeof random);
    char hex[sizeof random * 2 + 1];
    sodium_bin2hex(hex, sizeof hex, random, sizeof random);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_users[hex] = user;
    return hex;
}

std::string Sessions::UserOf(const std::string& id) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_users.find(id);
    return it == m_users.end() ? std::string() : it->second;
}

void Sessions::End(const std::string& id) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_users.erase(id);
}

} // namespace zdxserver
