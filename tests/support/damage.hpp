#pragma once

// Random damage for robustness tests: one to four edits of a document (a markup character or a
// random byte written over one, a run removed, a run copied elsewhere, the rest cut off). The same
// seed always gives the same damage.

#include <cstddef>
#include <random>
#include <string>

namespace ambrel::testing {

inline std::string damage_document(const std::string& original, std::mt19937_64& random) {
    static constexpr char kMarkup[] = "<>&;/\"'=!?[]-:#x \n";
    std::string text = original;
    const int edits = 1 + static_cast<int>(random() % 4);
    for (int e = 0; e < edits && !text.empty(); ++e) {
        const std::size_t at = random() % text.size();
        switch (random() % 5) {
            case 0: text[at] = kMarkup[random() % (sizeof(kMarkup) - 1)]; break;
            case 1: text[at] = static_cast<char>(random() & 0xFF); break;
            case 2: text.erase(at, 1 + random() % 64); break;
            case 3: {
                const std::size_t length = 1 + random() % 128;
                const std::string piece = text.substr(at, length);
                text.insert(random() % (text.size() + 1), piece);
                break;
            }
            default: text.resize(at); break;
        }
    }
    return text;
}

}  // namespace ambrel::testing
