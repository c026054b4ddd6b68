#include "cli/catalog_error.hpp"

namespace ambrel::cli {

bool CatalogError::is_cancelled() const noexcept {
    const auto* cli = std::get_if<Cli>(&variant_);
    return cli != nullptr && cli->error.is_cancelled();
}

std::string CatalogError::message() const {
    struct Visitor {
        std::string operator()(const Cli& value) const { return value.error.message(); }
        std::string operator()(const Message& value) const { return value.message; }
        std::string operator()(const Prerequisite& value) const { return value.message; }
    };
    return std::visit(Visitor{}, variant_);
}

}  // namespace ambrel::cli
