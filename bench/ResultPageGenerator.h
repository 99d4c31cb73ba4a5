#pragma once
// A result page of made-up hits, the same for every benchmark run: 100,000 hits make 22.9 MB.
#include <random>
#include <string>

inline std::string GenerateResultPage(int hits) {
    std::mt19937 random(1);
    const char* words[] = {"annual",    "report",  "budget", "meeting", "minutes", "draft",
                           "Quarterly", "figures", "plan",   "review",  "Zeta",    "alpha"};
    auto phrase = [&](int n) {
        std::string s;
        for (int i = 0; i < n; ++i)
            s.append(i ? " " : "").append(words[random() % 12]);
        return s;
    };
    std::string page = "0|" + std::to_string(hits) + "|1|x|guest\n";
    for (int i = 1; i <= hits; ++i) {
        page += std::to_string(i) + "|" + phrase(4) + "|" + std::to_string(random() % 101) + "|" +
                phrase(12) + "|2026-0" + std::to_string(1 + random() % 9) + "-1" +
                std::to_string(random() % 10) + "|PDF|" + phrase(2) + "|||" +
                "%2Fsrv%2Fdocs%2Fproject%20" + std::to_string(random() % 50) + "%2F" + phrase(2) +
                "%20" + std::to_string(i) + ".pdf|" + phrase(2) + "|" +
                std::to_string(random() % 1000000) + "\n";
    }
    return page;
}
