#pragma once
// The keyboard's Caps Lock, Num Lock and Scroll Lock lights, where the platform tells them.

struct KeyIndicators {
    bool known = false; // false where the platform does not tell (not X11)
    bool caps = false;
    bool num = false;
    bool scroll = false;
};

KeyIndicators ReadKeyIndicators();
