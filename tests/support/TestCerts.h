#pragma once
// Self-signed certificates made on the spot for the HTTPS tests.
#include <string>

struct CertFiles {
    std::string certPath, keyPath;
};

// Writes a self-signed certificate for `names` (DNS names and IP addresses, as in
// "DNS:localhost,IP:127.0.0.1") into `folder`; valid from `fromDays` to `toDays` around now.
CertFiles MakeSelfSignedCert(const std::string& folder, const std::string& stem,
                             const std::string& names, int fromDays = -1, int toDays = 30);
