#pragma once
// Signing in and out: ordinary requests whose answer's summary line names the signed-in user.
#include "search/QueryText.h"

#include <string>

class RequestSink;
class WritableProfileSource;

struct LoginOutcome {
    int status = 0;
    // The server reports the very name that was typed (byte for byte).
    bool confirmed = false;
};

// Sends the search base with "&userid=" and the name, "&password=" and the password (Windows-
// 1252 bytes), shows "Status Code %d was returned." whatever the status, and stores the name as
// the profile value Settings/User when the server confirms it. The copy of the path that held
// the password is wiped.
LoginOutcome RunLogin(const std::string& user, const char* password, const Settings& settings,
                      RequestSink& sink, WritableProfileSource& store,
                      const RequestControl& control = {});

// Sends the search base with "&logout"; shows the status text for anything but 200.
int RunLogout(const Settings& settings, RequestSink& sink, const RequestControl& control = {});
