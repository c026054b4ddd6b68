#include "data/bundles/synthesis/query_text.hpp"

#include "data/bundles/transfer/record_views.hpp"
#include "data/key_fill.hpp"

namespace ambrel::data::bundles::synthesis {

std::string soql_quote(std::string_view value) { return key_fill::escape_soql_literal(value); }

std::string id_list(std::span<const std::string> values) { return transfer::quoted_list(values); }

std::string select_list(std::span<const document::ObjectFieldPlan> plans, std::string_view object,
                        std::span<const std::string> extra) {
    std::string list = "Id";
    for (const auto& plan : plans) {
        if (plan.object == object) {
            for (const auto& field : plan.compared) {
                list += ", ";
                list += field;
            }
            break;
        }
    }
    for (const auto& text : extra) {
        list += ", ";
        list += text;
    }
    return list;
}

}  // namespace ambrel::data::bundles::synthesis
