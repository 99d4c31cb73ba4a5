#pragma once
// The session of one exchange: it turns the HTTP layer's progress into the status texts shown
// in the message pane.
#include <string>

// Progress notifications, numbered as the Windows internet layer numbers them.
enum InternetStatus {
    kResolvingName = 10,
    kNameResolved = 11,
    kConnectingToServer = 20,
    kConnectedToServer = 21,
    kSendingRequest = 30,
    kRequestSent = 31,
    kReceivingResponse = 40,
    kResponseReceived = 41,
    kClosingConnection = 50,
    kConnectionClosed = 51,
    kHandleCreated = 60,
    kHandleClosing = 70,
    kRequestComplete = 100,
    kRedirect = 110,
};

// The text shown for a notification, or the empty text for those that show nothing (40, 70).
// `info` is the host name (10) or the resolved address (11).
std::string StatusText(int status, const std::string& info);

class StatusPanes;

class FetchStatus {
public:
    explicit FetchStatus(StatusPanes* panes) : m_panes(panes) {}
    // Shows the notification's text in the message pane; 40 and 70 leave the pane as it is.
    void Report(int status, const std::string& info = std::string());

private:
    StatusPanes* m_panes;
};
