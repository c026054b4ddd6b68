#pragma once

// The texts a user reads after a deploy. `append_row_note` adds a note to one result's message: the
// note alone when the message is blank, else the message without its trailing white space, one space
// and the note. `build_details` renders a summary's details: one line per component result
// ("{label} {name} [{status}]: {message}") and per permission result ("Permission {kind} {container}
// {subject} [{status}]: {message}"), the leading notes above them (the last one first), the trailing
// notes after them, the whole passed through the sanitizer and cut to 65,536 characters. A result of a
// record-data type shows the object's API name where other results show their type's label.
// Pure functions; never fail.

#include <functional>
#include <string>
#include <string_view>

#include "deployment/deployment_summary.hpp"

namespace ambrel::app {

void append_row_note(std::string& message, std::string_view note);

// Takes the detail notes out of the summary (leaving both lists empty) and replaces `details`.
void build_details(const std::function<std::string(const std::string&)>& sanitizer,
                   deployment::DeploymentSummary& summary);

}  // namespace ambrel::app
