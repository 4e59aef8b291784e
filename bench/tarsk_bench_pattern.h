// The spyware benchmarks' pattern: 1,000 threats, each with one content signature of 8 to 32
// random bytes, so that the scans match the way a real pattern's many signatures do.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "tarsk_format.h"

// The pattern, and its signatures' bytes in `signatures` (for planting them in files).
inline tarsk32::Pattern benchTarskPattern(std::mt19937_64& rng,
                                          std::vector<std::string>* signatures) {
    tarsk32::Pattern p;
    p.version = "6.064";
    p.date = 20261201;
    p.companies.push_back({1, "Bench"});
    for (uint32_t i = 1; i <= 1000; ++i) {
        p.threats.push_back({i, 1, "Bench.Threat" + std::to_string(i)});
        std::string s(8 + rng() % 25, '\0');
        for (char& c : s)
            c = static_cast<char>(rng());
        signatures->push_back(s);
        p.signatures.push_back({tarsk32::kSigContent, i, s, ""});
    }
    return p;
}
