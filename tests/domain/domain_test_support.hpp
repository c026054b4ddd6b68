#pragma once

#include <string_view>

#include <gtest/gtest.h>

#include "metadata_types/metadata_type.hpp"

namespace ambrel::domain::testing {

// The generic metadata type of an API name that the catalogue must know.
inline metadata_types::MetadataType generic(std::string_view api_name) {
    const auto type = metadata_types::generic_type_by_api_name(api_name);
    EXPECT_TRUE(type.has_value()) << api_name;
    return type.value_or(metadata_types::MetadataType::ApexClass);
}

}  // namespace ambrel::domain::testing
