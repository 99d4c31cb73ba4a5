#pragma once
// A failed request in words: what happened and what to do, with its number in brackets, for
// every failure number of the HTTP layer and the HTTP statuses a search service answers with.
#include <string>

// `status` is FetchPage's result (an HTTP status other than 200, or an InternetError number);
// `host` and `port` are where the request went; `idleSeconds` the transfer's idle limit. The
// empty text for 200, for a cancelled request and for 0 (which has its own message).
std::string FailureText(int status, const std::string& host, int port, long idleSeconds = 60);
