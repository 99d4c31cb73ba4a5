#include "Backend.h"

#include "PgStore.h"
#include "SqliteStore.h"

#include <algorithm>
#include <cstdio>

namespace zdxserver {

Backend OpenBackend(const ServerOptions& options) {
    const auto idle = std::chrono::minutes(std::max(1, options.sessionIdleMinutes));
    const auto perUser = static_cast<std::size_t>(std::max(1, options.sessionsPerUser));
    const auto lifetime = std::chrono::hours(std::max(1, options.sessionMaxHours));
    Backend backend;
    if (IsPostgresUrl(options.db)) {
        auto store = std::make_unique<PgStore>(options.db, options.folders);
        if (options.localCopy) {
            try {
                store->KeepCopy(CacheFolder(),
                                static_cast<std::size_t>(std::max(0, options.cacheMb)) << 20);
            } catch (const std::exception& e) {
                std::fprintf(stderr,
                             "zdx-server: no copy of the documents (%s): searches read "
                             "the database\n",
                             e.what());
            }
        }
        backend.sessions = store->MakeSessions(idle, perUser, lifetime);
        backend.counters = store->MakeSignInCounters();
        backend.documents = std::move(store);
    } else {
        auto store = std::make_unique<SqliteStore>(options.db, options.folders);
        store->SetCacheLimit(static_cast<std::size_t>(std::max(0, options.cacheMb)) << 20);
        backend.documents = std::move(store);
        backend.sessions = std::make_unique<Sessions>(idle, perUser, lifetime);
        backend.counters = std::make_unique<SignInGuard>();
    }
    return backend;
}

} // namespace zdxserver
