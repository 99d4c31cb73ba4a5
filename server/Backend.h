#pragma once
// Everything the service keeps, opened in one place from its options: the documents, the
// sessions and the sign-in counters.
#include "Options.h"
#include "Store.h"
#include "Users.h"

#include <memory>

namespace zdxserver {

struct Backend {
    std::unique_ptr<DocumentStore> documents;
    std::unique_ptr<SessionStore> sessions;
    std::unique_ptr<SignInCounters> counters;
};

// For a postgresql:// --db, PostgreSQL holds all three, shared by every process on the same
// database; otherwise the SQLite store holds the documents and the sessions and counters live in
// this process. Throws std::runtime_error when the store cannot be opened.
Backend OpenBackend(const ServerOptions& options);

} // namespace zdxserver
