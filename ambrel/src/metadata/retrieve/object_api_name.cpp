#include "metadata/retrieve/object_api_name.hpp"

namespace ambrel::metadata::retrieve {

const re2::RE2& OBJECT_API_NAME() {
    static const re2::RE2 compiled{"^[A-Za-z][A-Za-z0-9_]*$"};
    return compiled;
}

}  // namespace ambrel::metadata::retrieve
