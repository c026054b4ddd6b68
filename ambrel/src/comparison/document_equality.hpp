#pragma once

// Whether two metadata documents say the same, whatever their formatting. A repository formatted by
// hand or by a tool and an org's retrieve write the same document with other indentation, other
// line ends and another spelling of the XML declaration; none of that is a change to deploy.

#include <string_view>

namespace ambrel::comparison {

// True when the XML reader gives the same events for both documents once text that holds only XML
// white space (space, tab, CR, LF) is dropped, the XML declaration is set aside, leading U+FEFF
// characters are skipped, an empty-element tag is read as a start and an end tag, and line ends are
// read as XML reads them ("\r\n" and a lone "\r" as "\n"). Element names, attributes (name, value
// and order), decoded text, CDATA sections, comments and processing instructions all count. When
// either document is not well formed, the answer is documents_equal_ignoring_crlf. Byte-equal
// documents are answered without reading them.
bool documents_equal(std::string_view a, std::string_view b);

}  // namespace ambrel::comparison
