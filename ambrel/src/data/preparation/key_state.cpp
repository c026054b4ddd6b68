#include "data/preparation/key_state.hpp"

#include <fmt/format.h>
#include <fmt/ranges.h>

namespace ambrel::data::preparation {
namespace {

template <class... Fs>
struct Overloaded : Fs... {
    using Fs::operator()...;
};

}  // namespace

bool KeyState::is_keyable() const noexcept {
    return std::holds_alternative<OwnFieldPresent>(value) || std::holds_alternative<ForeignFieldAccepted>(value) ||
           std::holds_alternative<FieldMissing>(value);
}

std::string key_state_label(const KeyState& state) {
    return std::visit(Overloaded{
                          [](const KeyState::ObjectAbsent&) { return std::string("Not present in this org"); },
                          [](const KeyState::NotCustomizable& s) {
                              return fmt::format("Not customizable \u2014 matched by {}",
                                                 fmt::join(s.composite_fields, " + "));
                          },
                          [](const KeyState::OwnFieldPresent&) {
                              return std::string("Quillary external ID is already in place");
                          },
                          [](const KeyState::ForeignFieldAccepted& s) {
                              return fmt::format("Existing external ID {} will be used", s.field);
                          },
                          [](const KeyState::FieldMissing&) {
                              return std::string("Quillary external ID will be created");
                          },
                      },
                      state.value);
}

}  // namespace ambrel::data::preparation
