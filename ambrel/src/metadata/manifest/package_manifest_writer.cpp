#include "metadata/manifest/package_manifest_writer.hpp"

#include <algorithm>
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

// Rough size of the text, so that the output grows once.
std::size_t estimated_size(const TypeSelection& selection) {
    std::size_t size = kManifestHead.size() + kManifestTail.size() + 64;
    for (const auto& [type, names] : selection) {
        size += 64;
        for (const std::string& name : names) {
            size += kMembersOpen.size() + name.size() + kMembersClose.size();
        }
    }
    return size;
}

void append_merged(std::string& out, const TypeGroup& group) {
    if (group.sets.size() == 1) {
        format::append_types_element(out, *group.sets.front(), group.type_name);
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
    format::append_types_element(out, merged, group.type_name);
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
    out.reserve(estimated_size(selection));
    out += kManifestHead;
    for (const TypeGroup& group : groups) append_merged(out, group);
    format::append_tail(out, api_version_);
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
