#include "metadata/manifest/package_manifest_writer.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

#include "metadata_types/type_descriptor.hpp"
#include "xml/xml.hpp"

namespace ambrel::metadata::manifest {
namespace {

using metadata_types::MetadataType;

// The sets of one package.xml type name, in selection order.
struct TypeGroup {
    std::string_view type_name;
    std::vector<const std::set<std::string>*> sets;
};

// Rough size of the text from the set sizes alone (walking every name twice would cost more than
// an occasional regrowth).
std::size_t estimated_size(const TypeSelection& selection) {
    constexpr std::size_t kTypicalMemberLine = 48;
    std::size_t size = kManifestHead.size() + kManifestTail.size() + 64;
    for (const auto& [type, names] : selection) size += 64 + names.size() * kTypicalMemberLine;
    return size;
}

// True when some byte of the word equals `byte` (the classic test for a zero byte after an XOR).
constexpr bool word_has_byte(std::uint64_t word, unsigned char byte) noexcept {
    constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
    constexpr std::uint64_t kHighs = 0x8080808080808080ULL;
    const std::uint64_t diff = word ^ (kOnes * byte);
    return ((diff - kOnes) & ~diff & kHighs) != 0;
}

constexpr bool is_special(char c) noexcept { return c == '"' || c == '&' || c == '\'' || c == '<' || c == '>'; }

// True when the text holds one of the five characters that escaping replaces. Names are short and
// almost never hold one, so eight bytes are tested at a time.
bool needs_escaping(std::string_view text) noexcept {
    std::size_t at = 0;
    for (; at + sizeof(std::uint64_t) <= text.size(); at += sizeof(std::uint64_t)) {
        std::uint64_t word = 0;
        std::memcpy(&word, text.data() + at, sizeof word);
        if (word_has_byte(word, '"') || word_has_byte(word, '&') || word_has_byte(word, '\'') ||
            word_has_byte(word, '<') || word_has_byte(word, '>')) {
            return true;
        }
    }
    for (; at < text.size(); ++at) {
        if (is_special(text[at])) return true;
    }
    return false;
}

// Writes into a buffer that grows by doubling, so that a member line costs one capacity check and
// three copies; most names need no escaping and are copied in one piece.
class LineSink {
public:
    explicit LineSink(std::string& out, std::size_t expected) : out_(out) { out_.resize(expected); }
    ~LineSink() { out_.resize(used_); }
    LineSink(const LineSink&) = delete;
    LineSink& operator=(const LineSink&) = delete;

    void put(std::string_view text) {
        reserve(text.size());
        copy(text);
    }
    // A member line; its fixed parts are copied with sizes known at compile time.
    void put_member(std::string_view member) {
        if (needs_escaping(member)) {
            put_element(kMembersOpen, member, kMembersClose);
            return;
        }
        constexpr std::size_t kFixed = kMembersOpen.size() + kMembersClose.size();
        reserve(kFixed + member.size());
        char* at = out_.data() + used_;
        std::memcpy(at, kMembersOpen.data(), kMembersOpen.size());
        at += kMembersOpen.size();
        std::memcpy(at, member.data(), member.size());
        at += member.size();
        std::memcpy(at, kMembersClose.data(), kMembersClose.size());
        used_ += kFixed + member.size();
    }
    void put_element(std::string_view open, std::string_view content, std::string_view close) {
        if (needs_escaping(content)) {
            std::string escaped;
            xml::append_five_entities(escaped, content);
            put_plain_element(open, escaped, close);
        } else {
            put_plain_element(open, content, close);
        }
    }

private:
    void put_plain_element(std::string_view open, std::string_view content, std::string_view close) {
        reserve(open.size() + content.size() + close.size());
        copy(open);
        copy(content);
        copy(close);
    }
    void reserve(std::size_t bytes) {
        if (out_.size() - used_ < bytes) out_.resize(std::max(out_.size() * 2, used_ + bytes));
    }
    void copy(std::string_view text) noexcept {
        std::memcpy(out_.data() + used_, text.data(), text.size());
        used_ += text.size();
    }

    std::string& out_;
    std::size_t used_ = 0;
};

template <class Members>
void put_types_element(LineSink& sink, const Members& members, std::string_view type_name) {
    sink.put(kTypesOpen);
    for (const auto& member : members) sink.put_member(member);
    sink.put_element(kNameOpen, type_name, kNameClose);
    sink.put(kTypesClose);
}

void put_merged(LineSink& sink, const TypeGroup& group) {
    if (group.sets.size() == 1) {
        put_types_element(sink, *group.sets.front(), group.type_name);
        return;
    }
    // Only the types that share a name (CustomField, CustomObject, CustomMetadataType and
    // PlatformEvent under "CustomObject") are merged; each set is sorted and unique already.
    std::vector<std::string_view> merged;
    for (const auto* names : group.sets) {
        const std::size_t middle = merged.size();
        merged.insert(merged.end(), names->begin(), names->end());
        std::inplace_merge(merged.begin(), merged.begin() + static_cast<std::ptrdiff_t>(middle), merged.end());
    }
    merged.erase(std::unique(merged.begin(), merged.end()), merged.end());
    put_types_element(sink, merged, group.type_name);
}

}  // namespace

std::string escape_xml(std::string_view text) { return xml::escape_five_entities(text); }

std::string_view package_type_name(MetadataType type) {
    const auto& descriptor = type.descriptor();
    return descriptor.parent_type ? *descriptor.parent_type : descriptor.api_name;
}

std::string PackageManifestWriter::render_types(const TypeSelection& selection) const {
    std::vector<TypeGroup> groups;
    groups.reserve(selection.size());
    for (const auto& [type, names] : selection) {
        if (type.is_data_record()) continue;
        const std::string_view name = package_type_name(type);
        auto found = std::find_if(groups.begin(), groups.end(),
                                  [&](const TypeGroup& group) { return group.type_name == name; });
        if (found == groups.end()) {
            groups.push_back(TypeGroup{name, {&names}});
        } else {
            found->sets.push_back(&names);
        }
    }
    std::stable_sort(groups.begin(), groups.end(),
                     [](const TypeGroup& a, const TypeGroup& b) { return a.type_name < b.type_name; });

    std::string out;
    {
        LineSink sink(out, estimated_size(selection));
        sink.put(kManifestHead);
        for (const TypeGroup& group : groups) put_merged(sink, group);
        sink.put_element(kVersionOpen, api_version_, kVersionClose);
        sink.put(kManifestTail);
    }
    return out;
}

namespace format {

void append_member_line(std::string& out, std::string_view member) {
    out += kMembersOpen;
    xml::append_five_entities(out, member);
    out += kMembersClose;
}

void append_name_line(std::string& out, std::string_view type_name) {
    out += kNameOpen;
    xml::append_five_entities(out, type_name);
    out += kNameClose;
}

void append_tail(std::string& out, std::string_view api_version) {
    out += kVersionOpen;
    xml::append_five_entities(out, api_version);
    out += kVersionClose;
    out += kManifestTail;
}

}  // namespace format

}  // namespace ambrel::metadata::manifest
