#include <gtest/gtest.h>

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

TEST(MetadataTypeOrder, IndexOutOfRangeIsAProgrammingError) {
    EXPECT_THROW(MetadataType::Generic(kGenericTypeCount), support::ProgrammingError);
    EXPECT_THROW(MetadataType::DataRecord(kDataRecordTypeCount), support::ProgrammingError);
}

TEST(MetadataTypeOrder, HashSeparatesKindAndIndex) {
    std::unordered_set<MetadataType> set{MetadataType::Generic(1), MetadataType::DataRecord(1),
                                         MetadataType::CustomObject};
    EXPECT_EQ(set.size(), 3U);
    EXPECT_TRUE(set.contains(MetadataType::DataRecord(1)));
}

}  // namespace
}  // namespace ambrel::metadata_types
