#pragma once

// The test for a name that may become a selection member: "^[A-Za-z][A-Za-z0-9_]*$", compiled once
// on first use and shared by all threads.

#include <re2/re2.h>

namespace ambrel::metadata::retrieve {

const re2::RE2& OBJECT_API_NAME();

}  // namespace ambrel::metadata::retrieve
