#include "data/bundles/synthesis/tagging_model_names.hpp"

#include <algorithm>
#include <array>
#include <utility>

namespace ambrel::data::bundles::synthesis {

namespace {

constexpr std::string_view kModelStart = "<model>";
constexpr std::string_view kModelEnd = "</model>";

constexpr std::array<std::pair<std::string_view, char>, 4> kEntities{{
    {"&quot;", '"'},
    {"&lt;", '<'},
    {"&gt;", '>'},
    {"&amp;", '&'},
}};

// One left-to-right pass, so the output of a replacement is never looked at again.
std::string decode_four_entities(std::string_view raw) {
    std::string out;
    out.reserve(raw.size());
    std::size_t i = 0;
    while (i < raw.size()) {
        if (raw[i] == '&') {
            bool replaced = false;
            for (const auto& [entity, character] : kEntities) {
                if (raw.substr(i, entity.size()) == entity) {
                    out.push_back(character);
                    i += entity.size();
                    replaced = true;
                    break;
                }
            }
            if (replaced) continue;
        }
        out.push_back(raw[i]);
        ++i;
    }
    return out;
}

}  // namespace

std::set<std::string> names_between(std::string_view document, std::string_view start, std::string_view end_mark) {
    std::set<std::string> names;
    std::size_t at = document.find(start);
    while (at != std::string_view::npos) {
        const std::size_t begin = at + start.size();
        const std::size_t next_start = document.find(start, begin);
        const std::size_t end = std::min({document.find(end_mark, begin), next_start, document.size()});
        if (end > begin) names.insert(decode_four_entities(document.substr(begin, end - begin)));
        at = next_start;
    }
    return names;
}

std::set<std::string> tagging_model_names(std::string_view document) {
    return names_between(document, kModelStart, kModelEnd);
}

}  // namespace ambrel::data::bundles::synthesis
