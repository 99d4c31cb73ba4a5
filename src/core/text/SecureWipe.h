#pragma once
// Wiping memory that held a secret (a password, a sign-in request).
#include <cstddef>
#include <string>

// Zeroing that the compiler may not drop as a dead store.
void SecureZero(void* bytes, std::size_t count);
// Zeroes a text that may hold a password, then empties it.
void WipeString(std::string& text);
