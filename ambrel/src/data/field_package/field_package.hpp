#pragma once

// The two documents of the external-id field package: the CustomField document of the own field
// `QuillaryExternalId__c` (the same for every object, since its file lies in the object's folder) and
// the Profile document that grants read and edit access to that field on a list of objects. Both are
// Salesforce metadata documents with the Metadata API namespace as default namespace. Never fails.
//
// Thread-safety: pure functions; any thread.

#include <string>
#include <string_view>
#include <vector>

namespace ambrel::data::field_package {

// The twelve-line CustomField document.
std::string external_id_field_document();

// The Profile document: one fieldPermissions block per distinct "{object}.QuillaryExternalId__c",
// in byte order.
std::string profile_field_permissions_document(const std::vector<std::string>& objects);

// "&", "<", ">", the double quote and the apostrophe as their five entities.
std::string escape_xml(std::string_view text);

}  // namespace ambrel::data::field_package
