#pragma once

// A small stand-in for the container-document reader that handles the simple documents of the
// tests: an XML declaration, a root element, and one child per line in the form
// "<element><fullName>Name</fullName>...</element>". A document without a closing root element does
// not parse.

#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>

#include "git/container_documents.hpp"
#include "text/text.hpp"

namespace ambrel::git::test {

inline std::expected<std::vector<ContainerChild>, std::string> fake_split(std::string_view document) {
    if (document.find("</") == std::string_view::npos) return std::unexpected(std::string("not a document"));
    std::vector<ContainerChild> children;
    std::size_t offset = 0;
    while (offset < document.size()) {
        std::size_t end = document.find('\n', offset);
        if (end == std::string_view::npos) end = document.size();
        const std::string_view line = text::trim(document.substr(offset, end - offset));
        const std::size_t open = line.find("<fullName>");
        const std::size_t close = line.find("</fullName>");
        if (line.starts_with('<') && open != std::string_view::npos && close != std::string_view::npos) {
            const std::string_view element = line.substr(1, line.find('>') - 1);
            const std::size_t start = document.find(line, offset);
            children.push_back({std::string(element), std::string(line.substr(open + 10, close - open - 10)),
                                std::string(line), start, start + line.size()});
        }
        offset = end + 1;
    }
    return children;
}

inline ContainerDocuments fake_container_documents() {
    ContainerDocuments documents;
    documents.parse = [](std::string_view document, std::string_view, std::string_view) { return fake_split(document); };
    documents.split = [](std::string_view document, std::string_view) { return fake_split(document); };
    documents.render = [](std::string_view type, std::span<const std::string> children) {
        std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
        out += fmt::format("<{} xmlns=\"http://soap.sforce.com/2006/04/metadata\">\n", type);
        for (const std::string& child : children) out += fmt::format("    {}\n", text::trim(child));
        out += fmt::format("</{}>\n", type);
        return out;
    };
    documents.merge = [](std::string_view existing, std::string_view type, std::span<const IncomingContainerChild> incoming,
                         std::string_view) -> std::expected<std::string, std::string> {
        auto children = fake_split(existing);
        if (!children) return std::unexpected(children.error());
        std::string out(existing);
        for (const IncomingContainerChild& child : incoming) {
            bool replaced = false;
            for (const ContainerChild& old : *children) {
                if (old.element == child.element && old.full_name == child.full_name) {
                    out.replace(out.find(old.xml), old.xml.size(), child.xml);
                    replaced = true;
                    break;
                }
            }
            if (!replaced) {
                const std::string closing = fmt::format("</{}>", type);
                const std::size_t at = out.rfind(closing);
                if (at == std::string::npos) return std::unexpected(std::string("no root"));
                out.insert(at, fmt::format("    {}\n", child.xml));
            }
        }
        return out;
    };
    return documents;
}

}  // namespace ambrel::git::test
