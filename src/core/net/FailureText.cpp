#include "net/FailureText.h"

#include "net/FetchPage.h"

std::string FailureText(int status, const std::string& host, int port, long idleSeconds) {
    const std::string where = host + ":" + std::to_string(port);
    const std::string number = " (" + std::to_string(status) + ")";
    switch (status) {
    case 0:
    case 200:
    case kFetchCancelled:
        return {};
    case kErrorCannotConnect:
        return "Cannot reach the search service at " + where + ": the connection was refused" +
               number + ". Is the service running?";
    case kErrorTimeout:
        return "The search service did not answer within " + std::to_string(idleSeconds) + " s" +
               number + ".";
    case kErrorNameNotResolved:
        return "The name " + host + " could not be found" + number +
               ". Check the address in File > Settings.";
    case kErrorConnectionAborted:
        return "The search service at " + where + " broke off the connection" + number +
               ". Please try again.";
    case kErrorCertDateInvalid:
        return "The certificate of " + host + " has expired or is not yet valid" + number + ".";
    case kErrorCertNameInvalid:
        return "The certificate of " + host + " is made out for another name" + number +
               ". See File > Settings.";
    case kErrorUnknownCa:
        return "The certificate of " + host + " comes from an issuer this computer does not know" +
               number + ". See File > Settings.";
    case kErrorSecurity:
        return "A secure connection to " + where + " could not be made" + number +
               ". Is the service using HTTPS (File > Settings, Secure)?";
    case kErrorInvalidServerResponse:
        return "The answer from " + where + " is not one a search service gives" + number +
               ". Check the address and port in File > Settings.";
    case kErrorOther:
        return "The request to the search service at " + where + " failed" + number + ".";
    case 401:
    case 403:
        return "The search service refused the request" + number +
               ". Please log in (File > Log in).";
    case 404:
        return "The search service has nothing at the search string's address" + number +
               ". Check the search string in File > Settings.";
    case 502:
    case 503:
    case 504:
        return "The search service is not available just now" + number +
               ". Please try again later.";
    default:
        if (status >= 500)
            return "The search service failed while answering" + number +
                   ". Please try again later.";
        return "The search service answered with status " + std::to_string(status) + ".";
    }
}
