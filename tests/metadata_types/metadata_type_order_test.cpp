#include <gtest/gtest.h>

#include <algorithm>
#include <unordered_set>

#include "metadata_types/metadata_type.hpp"
#include "support/programming_error.hpp"

namespace ambrel::metadata_types {
namespace {

TEST(MetadataTypeOrder, FixedKindsThenGenericThenDataRecordByIndex) {
    EXPECT_LT(MetadataType::CustomField, MetadataType::CustomObject);
    EXPECT_LT(MetadataType::Flow, MetadataType::ConstraintModel);
    EXPECT_LT(MetadataType::ConstraintModel, MetadataType::Generic(0));
    EXPECT_LT(MetadataType::Generic(3), MetadataType::Generic(12));
    EXPECT_LT(MetadataType::Generic(150), MetadataType::DataRecord(0));
    EXPECT_LT(MetadataType::DataRecord(1), MetadataType::DataRecord(2));
    EXPECT_EQ(MetadataType::Generic(7), MetadataType::Generic(7));
    EXPECT_NE(MetadataType::Generic(7), MetadataType::DataRecord(7));
}

TEST(MetadataTypeOrder, AllTypesListedInTheirOwnOrder) {
    const auto& types = all_metadata_types();
    ASSERT_EQ(types.size(), 13 + kGenericTypeCount);
    EXPECT_TRUE(std::ranges::is_sorted(types));
    EXPECT_EQ(std::ranges::adjacent_find(types), types.end());
    EXPECT_EQ(types.front(), MetadataType::CustomField);
    EXPECT_EQ(types[12], MetadataType::ConstraintModel);
    EXPECT_EQ(types.back(), MetadataType::Generic(150));
    for (const auto type : types) EXPECT_FALSE(type.is_data_record());
}

TEST(MetadataTypeOrder, IndexOutOfRangeIsAProgrammingError) {
    EXPECT_THROW(MetadataType::Generic(kGenericTypeCount), support::ProgrammingError);
    EXPECT_THROW(MetadataType::DataRecord(kDataRecordTypeCount), support::ProgrammingError);
    try {
        (void)MetadataType::Generic(1000);
        FAIL() << "an index beyond the table is refused";
    } catch (const support::ProgrammingError& error) {
        EXPECT_STREQ(error.what(), "Generic index is produced only by registry lookups");
    }
}

TEST(MetadataTypeOrder, HashSeparatesKindAndIndex) {
    std::unordered_set<MetadataType> set{MetadataType::Generic(1), MetadataType::DataRecord(1),
                                         MetadataType::CustomObject};
    EXPECT_EQ(set.size(), 3U);
    EXPECT_TRUE(set.contains(MetadataType::DataRecord(1)));
}

}  // namespace
}  // namespace ambrel::metadata_types
