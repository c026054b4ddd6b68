// Relative paths of a component's files for each content format, and the small value operations of
// the descriptor types.

#include <array>

#include "fmt/format.h"
#include "metadata_types/name_rules.hpp"
#include "metadata_types/type_descriptor.hpp"

namespace ambrel::metadata_types {

namespace {

template <class... Ts>
struct Overloaded : Ts... {
    using Ts::operator()...;
};

bool has_slash(std::string_view text) noexcept { return text.find('/') != std::string_view::npos; }

bool has_dot(std::string_view text) noexcept { return text.find('.') != std::string_view::npos; }

// A rendered path is used only when it is itself a safe relative path.
std::optional<std::string> checked(std::string path) {
    if (!is_safe_relative_path(path)) return std::nullopt;
    return path;
}

std::optional<std::string> render_custom_field(std::string_view name) {
    const auto parts = split_once_dot(name);
    if (!parts || parts->first.empty() || parts->second.empty()) return std::nullopt;
    return fmt::format("objects/{}/fields/{}.field-meta.xml", parts->first, parts->second);
}

std::optional<std::string> render_directory_suffix(const PathTemplate::DirectorySuffix& t, std::string_view name) {
    if (name.empty() || has_slash(name) || !is_safe_relative_path(name)) return std::nullopt;
    return checked(fmt::format("{}/{}.{}-meta.xml", t.directory, name, t.suffix));
}

std::optional<std::string> render_object_child(const PathTemplate::ObjectChild& t, std::string_view name) {
    const auto parts = split_once_dot(name);
    if (!parts) return std::nullopt;
    const auto [object, child] = *parts;
    if (object.empty() || child.empty() || has_dot(child) || has_slash(child) || has_slash(object)) {
        return std::nullopt;
    }
    return checked(fmt::format("objects/{}/{}/{}.{}-meta.xml", object, t.directory, child, t.suffix));
}

std::optional<std::string> render_container_child(const PathTemplate::ContainerChild& t, std::string_view name) {
    if (t.fixed_container) {
        // Every child lives in the one container document; the name only has to be a plain name.
        if (name.empty() || has_dot(name) || has_slash(name) || !is_safe_relative_path(name)) return std::nullopt;
        return checked(fmt::format("{}/{}.{}-meta.xml", t.directory, *t.fixed_container, t.suffix));
    }
    const auto parts = split_once_dot(name);
    if (!parts) return std::nullopt;
    const auto [container, child] = *parts;
    if (container.empty() || has_slash(container) || !is_safe_relative_path(container) ||
        !is_valid_container_child_name(child)) {
        return std::nullopt;
    }
    return checked(fmt::format("{}/{}.{}-meta.xml", t.directory, container, t.suffix));
}

std::optional<std::string> source_file_path(const ContentFormat::SourceFile& f, std::string_view name) {
    if (name.empty()) return std::nullopt;
    return fmt::format("{}/{}.{}", f.directory, name, f.suffix);
}

}  // namespace

bool NameFilter::admits(std::string_view name) const noexcept {
    return std::visit(Overloaded{
                          [](const None&) { return true; },
                          [&](const RequiredSuffix& f) { return name.ends_with(f.suffix); },
                          [&](const ExcludedSuffixes& f) {
                              for (const auto suffix : f.suffixes) {
                                  if (name.ends_with(suffix)) return false;
                              }
                              return true;
                          },
                      },
                      value);
}

std::optional<std::string> PathTemplate::render(std::string_view full_name) const {
    return std::visit(Overloaded{
                          [&](const CustomField&) { return render_custom_field(full_name); },
                          [&](const ObjectDefinition&) -> std::optional<std::string> {
                              if (full_name.empty()) return std::nullopt;
                              return fmt::format("objects/{0}/{0}.object-meta.xml", full_name);
                          },
                          [&](const Layout&) -> std::optional<std::string> {
                              if (!is_valid_layout_full_name(full_name)) return std::nullopt;
                              return fmt::format("layouts/{}.layout-meta.xml", full_name);
                          },
                          [&](const Flow&) -> std::optional<std::string> {
                              if (!is_valid_flow_full_name(full_name)) return std::nullopt;
                              return fmt::format("flows/{}.flow-meta.xml", full_name);
                          },
                          [&](const DirectorySuffix& t) { return render_directory_suffix(t, full_name); },
                          [&](const ObjectChild& t) { return render_object_child(t, full_name); },
                          [&](const ContainerChild& t) { return render_container_child(t, full_name); },
                      },
                      value);
}

std::string BundleUnsupported::message() const { return "BundleUnsupported"; }

std::expected<std::optional<std::string>, BundleUnsupported> ContentFormat::decomposed_path(
    std::string_view full_name) const {
    using Result = std::expected<std::optional<std::string>, BundleUnsupported>;
    return std::visit(Overloaded{
                          [&](const DecomposedXml& f) -> Result { return f.path_template.render(full_name); },
                          [&](const SourceFile& f) -> Result {
                              if (full_name.empty()) return std::optional<std::string>{};
                              return fmt::format("{}/{}.{}-meta.xml", f.directory, full_name, f.suffix);
                          },
                          [&](const ContainerDocument& f) -> Result {
                              return PathTemplate{f.container}.render(full_name);
                          },
                          [](const Bundle&) -> Result { return std::unexpected(BundleUnsupported{}); },
                      },
                      value);
}

std::optional<std::string> ContentFormat::edited_document_path(std::string_view full_name) const {
    if (const auto* f = std::get_if<DecomposedXml>(&value)) return f->path_template.render(full_name);
    if (const auto* f = std::get_if<SourceFile>(&value)) return source_file_path(*f, full_name);
    return std::nullopt;
}

std::optional<std::string> ContentFormat::body_path(std::string_view full_name) const {
    if (const auto* f = std::get_if<SourceFile>(&value)) return source_file_path(*f, full_name);
    return std::nullopt;
}

std::optional<std::string> ContentFormat::bundle_file_path(std::string_view bundle_name,
                                                           std::string_view file_name) const {
    const auto* f = std::get_if<Bundle>(&value);
    if (f == nullptr || bundle_name.empty() || file_name.empty()) return std::nullopt;
    return fmt::format("{}/{}/{}", f->directory, bundle_name, file_name);
}

const PathTemplate* ContentFormat::decomposed_template() const noexcept {
    const auto* f = std::get_if<DecomposedXml>(&value);
    return f != nullptr ? &f->path_template : nullptr;
}

std::optional<LayoutComparisonMode> LayoutComparisonMode::from_wire_id(std::string_view id) noexcept {
    if (id == "whole") return LayoutComparisonMode{Whole};
    if (id == "elements") return LayoutComparisonMode{Elements};
    return std::nullopt;
}

std::string_view LayoutComparisonMode::wire_id() const noexcept { return value_ == Whole ? "whole" : "elements"; }

}  // namespace ambrel::metadata_types
