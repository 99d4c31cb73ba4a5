#include "net/FetchStatus.h"

#include "config/Application.h"

std::string StatusText(int status, const std::string& info) {
    switch (status) {
    case kResolvingName:
        return "Resolving name " + info;
    case kNameResolved:
        return "Name resolved " + info;
    case kConnectingToServer:
        return "Connecting to socket address";
    case kConnectedToServer:
        return "Connected to socket address";
    case kSendingRequest:
        return "Sending request";
    case kRequestSent:
        return "Request sent";
    case kReceivingResponse:
    case kHandleClosing:
        return {};
    case kResponseReceived:
        return "Response received";
    case kClosingConnection:
        return "Closing the connection to the server";
    case kConnectionClosed:
        return "Connection to the server closed";
    case kHandleCreated:
        return "Handle created";
    case kRequestComplete:
        return "Request complete";
    case kRedirect:
        return "Being redirected";
    default:
        return "Unknown status: " + std::to_string(status);
    }
}

void FetchStatus::Report(int status, const std::string& info) {
    const std::string text = StatusText(status, info);
    if (!text.empty() && m_panes)
        m_panes->SetStatusText(text);
}
