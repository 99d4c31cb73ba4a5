#include "text/SecureWipe.h"

void SecureZero(void* p, std::size_t n) {
    auto* bytes = static_cast<volatile unsigned char*>(p);
    while (n--)
        *bytes++ = 0;
}

void WipeString(std::string& text) {
    SecureZero(text.data(), text.size());
    text.clear();
}
