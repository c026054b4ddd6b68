#pragma once

// ambrel::xml: the one XML pull reader of the system, the decoding of entity and character
// references, and the escaping helpers that the document writers are built from.
//
// The reader walks an in-memory buffer and hands out events that point into it (zero-copy): each
// event carries its byte range [begin, end) and its raw bytes, and the events of a document cover
// every byte of it, in order, without gaps. Nothing is normalised: line ends stay as written, text
// is not trimmed, references are events of their own, an empty-element tag is one event. A DOCTYPE
// is reported as an event and never expanded or fetched. The reader never refuses what a caller may
// want to judge for itself: several top-level elements, text outside the root and elements still
// open at the end of input are reported as they come (depth() tells the caller what is open). It
// does refuse what no caller can read: malformed markup, an end tag that does not match the open
// element, a stray "&", an unterminated construct. It works iteratively (no recursion) and the input
// is read as bytes: validating UTF-8 is the caller's business.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace ambrel::xml {

// ---------------------------------------------------------------------------------------------
// Errors
// ---------------------------------------------------------------------------------------------

enum class ErrorKind : std::uint8_t {
    UnexpectedEof,       // the input ends inside a tag, comment, CDATA section, PI, DOCTYPE or reference
    MalformedMarkup,     // "<" that starts no valid construct, or bad syntax inside a tag
    InvalidName,         // an element name, PI target or entity name that is not an XML name
    MismatchedEndTag,    // an end tag that names another element than the open one
    UnmatchedEndTag,     // an end tag while no element is open
    MalformedReference,  // "&" that does not start "&name;" or "&#...;"
    UnknownEntity,       // a named reference other than lt, gt, amp, apos and quot (decoders only)
    InvalidCharRef,      // a character reference that is malformed or names no XML character (decoders)
    MalformedAttribute,  // bad attribute syntax (attribute iteration only)
    DuplicateAttribute,  // the same qualified attribute name twice (attribute iteration only)
    OutsideRoot,         // text or an element outside the root element (DocumentShape only)
};

struct Error {
    ErrorKind kind = ErrorKind::MalformedMarkup;
    // Byte offset of the fault: in the reader's input, or in the fragment a decoder was given.
    std::size_t offset = 0;
    // 1-based line and byte column of the offset; 0 when not known (decoders and attribute
    // iteration work on fragments and leave them 0).
    std::size_t line = 0;
    std::size_t column = 0;
    // The name or text the fault is about (an entity name, an element name, an attribute name),
    // possibly empty.
    std::string subject;
    // A lower-case fragment without a full stop, for example "unknown entity: nbsp" or
    // "end tag </b> does not match start tag <a>".
    std::string description;

    // The description, followed by " at line {}, column {}" when the location is known.
    std::string message() const;
};

// The 1-based line and byte column of a byte offset (lines end at "\n"; an offset past the input
// counts as its end).
std::pair<std::size_t, std::size_t> line_column(std::string_view input, std::size_t offset) noexcept;

// ---------------------------------------------------------------------------------------------
// Names, namespaces and attributes
// ---------------------------------------------------------------------------------------------

// The part of a qualified name after its first ":" (the whole name when it has none).
std::string_view local_part(std::string_view qualified_name) noexcept;
// The part of a qualified name before its first ":" (empty when it has none).
std::string_view prefix_part(std::string_view qualified_name) noexcept;
// The part of a name after its last ":" (the whole name when it has none): how the metadata
// documents' element names are compared whatever prefix a writer chose.
std::string_view after_last_colon(std::string_view name) noexcept;

inline constexpr std::string_view kXmlNamespaceUri = "http://www.w3.org/XML/1998/namespace";
inline constexpr std::string_view kXmlnsNamespaceUri = "http://www.w3.org/2000/xmlns/";

enum class NamespaceState : std::uint8_t {
    Unbound,  // no prefix and no default namespace in scope
    Bound,    // bound to `uri`
    Unknown,  // a prefix that no declaration in scope binds (or a malformed prefixed name)
};

struct Namespace {
    NamespaceState state = NamespaceState::Unbound;
    // The namespace name for Bound (empty otherwise); valid as long as the reader lives.
    std::string_view uri;

    // True when bound to exactly this URI (compared byte for byte).
    bool is(std::string_view namespace_uri) const noexcept {
        return state == NamespaceState::Bound && uri == namespace_uri;
    }
};

// One attribute of a start or empty-element tag, as written.
struct Attribute {
    std::string_view name;   // qualified name
    std::string_view value;  // raw value between the quotes: references and line ends as written
    std::size_t begin = 0;   // byte range of `name="value"` in the reader's input
    std::size_t end = 0;

    std::string_view local_name() const noexcept { return local_part(name); }
    std::string_view prefix() const noexcept { return prefix_part(name); }
    // True for "xmlns" and "xmlns:{prefix}".
    bool is_namespace_declaration() const noexcept;
    // The value normalised as XML 1.0 does for CDATA attributes (see normalize_attribute_value).
    std::expected<std::string, Error> normalized_value() const;
};

// Walks the attributes of one tag in document order, namespace declarations included. Attribute
// syntax is checked here, not by the reader: a malformed attribute or a duplicate qualified name
// is reported when the walk reaches it, and the walk then keeps answering that fault.
class AttributeIterator {
public:
    AttributeIterator() = default;
    // `region` is the tag's text after its name (before ">" or "/>"); `region_offset` its offset
    // in the input.
    AttributeIterator(std::string_view region, std::size_t region_offset) noexcept
        : region_(region), region_offset_(region_offset) {}

    // The next attribute, none after the last one, or the fault met.
    std::expected<std::optional<Attribute>, Error> next();

private:
    bool seen_before(std::string_view name);

    std::string_view region_;
    std::size_t region_offset_ = 0;
    std::size_t pos_ = 0;
    std::optional<Error> fault_;
    std::vector<std::string_view> seen_;
    std::unordered_set<std::string_view> seen_set_;  // takes over from seen_ for long lists
};

// ---------------------------------------------------------------------------------------------
// Events
// ---------------------------------------------------------------------------------------------

enum class EventKind : std::uint8_t {
    Start,       // <name attributes>
    End,         // </name>
    Empty,       // <name attributes/>
    Text,        // character data up to the next "<" or "&"
    CData,       // <![CDATA[content]]>
    Comment,     // <!--content-->
    Decl,        // <?xml content?>
    PI,          // <?target content?>
    DocType,     // <!DOCTYPE content>
    GeneralRef,  // &name;
    CharRef,     // &#digits; or &#xhex;
    Eof,         // end of input (an empty range at the input's end)
};

// Text, an entity reference or a character reference: the events that make up character data.
bool is_text_piece(EventKind kind) noexcept;

// "Start", "End", ... (for diagnostics and tests).
std::string_view to_string(EventKind kind) noexcept;

struct Event {
    EventKind kind = EventKind::Eof;
    std::size_t begin = 0;  // byte range [begin, end) in the input
    std::size_t end = 0;
    std::string_view raw;   // the input's bytes of that range
    // Start, End, Empty: the qualified element name. PI, Decl: the target. GeneralRef: the entity
    // name. CharRef: what stands between "&#" and ";" (for example "65" or "x41"). Others: empty.
    std::string_view name;
    // Text: the text (same as raw). CData, Comment: what stands between the delimiters.
    // PI, Decl: the data after the target and its white space. DocType: what stands between
    // "<!DOCTYPE" and the final ">". Start, Empty: the attribute text after the name.
    // Others: empty.
    std::string_view content;

    std::string_view local_name() const noexcept { return local_part(name); }
    std::string_view prefix() const noexcept { return prefix_part(name); }
    bool is_element() const noexcept {
        return kind == EventKind::Start || kind == EventKind::Empty || kind == EventKind::End;
    }
    // The attributes of a Start or Empty event (an empty walk for every other kind).
    AttributeIterator attributes() const noexcept;
};

class Reader {
public:
    // The input must outlive the reader and every event and view taken from it.
    explicit Reader(std::string_view input) noexcept : input_(input) {}

    // The next event, Eof at the end (again and again), or the first syntax fault (again and
    // again: the reader does not recover).
    std::expected<Event, Error> next();

    std::string_view input() const noexcept { return input_; }
    // The byte position reached: the end of the last event.
    std::size_t position() const noexcept { return pos_; }
    // The number of elements open after the last event.
    std::size_t depth() const noexcept;

    // The namespace of an element event, resolved in its own scope (declarations on the element
    // itself included). `event` must be the last event returned; for non-element events the answer
    // is Unbound. A prefix that nothing declares resolves to Unknown.
    Namespace resolve_element(const Event& event) const;
    // The namespace a prefix ("" for the default namespace) has in the scope of the last event.
    Namespace resolve_prefix(std::string_view prefix) const;

    // The text content of the element whose Start event was just returned: text and CDATA content
    // of the element and of every element nested in it, in document order, references decoded.
    // Reads up to and including the element's End event. An Empty event gives the empty text.
    std::expected<std::string, Error> read_text(const Event& start);

private:
    struct OpenElement {
        std::string_view name;
        std::size_t bindings_before = 0;
    };
    struct Binding {
        std::string_view prefix;
        std::string_view uri;           // empty: the declaration removes the binding
        std::ptrdiff_t shadowed = -1;   // the binding of the same prefix it hides, or -1
    };
    enum class Pending : std::uint8_t { None, CloseElement, DropEmptyScope };

    void settle_pending();
    std::expected<Event, Error> fail(ErrorKind kind, std::size_t offset, std::string subject,
                                     std::string description);
    std::expected<Event, Error> read_markup();
    std::expected<Event, Error> read_start_tag();
    std::expected<Event, Error> read_end_tag();
    std::expected<Event, Error> read_pi();
    std::expected<Event, Error> read_bang();
    std::expected<Event, Error> read_doctype();
    std::expected<Event, Error> read_reference();
    // Builds the event of [begin, end) and moves the reader past it.
    Event emit(EventKind kind, std::size_t begin, std::size_t end) noexcept;
    void declare_namespaces(const Event& tag);
    void push_binding(std::string_view prefix, std::string_view uri);
    void truncate_bindings(std::size_t count);
    const Binding* find_binding(std::string_view prefix) const;
    Namespace resolve_name(std::string_view qualified_name) const;

    std::string_view input_;
    std::size_t pos_ = 0;
    // The first "<" at or after pos_ (the input's size when there is none), kept while the reader
    // is before it: a long text run broken up by many references is searched once, not once per
    // piece.
    std::size_t next_lt_ = 0;
    std::vector<OpenElement> open_;
    std::vector<Binding> bindings_;
    // prefix -> index of its innermost binding; kept only while many bindings are in scope, so
    // that deeply nested declarations cannot make resolution quadratic.
    std::unordered_map<std::string_view, std::size_t> binding_index_;
    bool indexed_ = false;
    // Namespace names that had to be decoded; kept for the reader's life so that views stay valid.
    std::deque<std::string> decoded_uris_;
    Pending pending_ = Pending::None;
    std::size_t pending_bindings_ = 0;
    std::size_t last_begin_ = 0;
    EventKind last_kind_ = EventKind::Eof;
    bool has_last_ = false;
    std::optional<Error> fault_;
};

// Watches the events of one document for the faults that the reader leaves to its callers: text
// (other than XML white space, and U+FEFF characters at the very start), a reference or CDATA outside
// the root element, an element after the root element ended (a second root among them), and a root
// element still open at the end of input. Fed every event one reader returns, in order.
class DocumentShape {
public:
    // The fault the event makes, if any, located in the reader's input. `reader` is the reader that
    // returned the event, just after it did.
    std::optional<Error> observe(const Event& event, const Reader& reader);

private:
    enum class Phase : std::uint8_t { BeforeRoot, InRoot, AfterRoot };

    Phase phase_ = Phase::BeforeRoot;
    std::string_view root_name_;
};

// ---------------------------------------------------------------------------------------------
// Byte-order marks
// ---------------------------------------------------------------------------------------------

// The byte length of the U+FEFF characters (EF BB BF each) at the very start of a text, any number.
std::size_t leading_bom_length(std::string_view text) noexcept;
// The text after its leading U+FEFF characters.
std::string_view strip_leading_boms(std::string_view text) noexcept;

// ---------------------------------------------------------------------------------------------
// References
// ---------------------------------------------------------------------------------------------

// The character of one of the five predefined entities (lt, gt, amp, apos, quot; case-sensitive).
std::optional<char> predefined_entity(std::string_view name) noexcept;

// Decodes the body of a character reference: decimal digits, or "x" (lower case) and hexadecimal
// digits. The value must be an XML 1.0 character (U+9, U+A, U+D, U+20–U+D7FF, U+E000–U+FFFD,
// U+10000–U+10FFFF); anything else is InvalidCharRef.
std::expected<char32_t, Error> decode_char_ref(std::string_view body);

// Appends what a GeneralRef or CharRef event stands for, in UTF-8. Other names than the five
// predefined entities are UnknownEntity ("unknown entity: {name}"). The error's offset is the
// event's begin. Passing another kind of event is a programming error.
std::expected<void, Error> append_reference(std::string& out, const Event& reference);

// Replaces the references in a raw text (as written in a document) by their characters. A "&" that
// starts no complete reference, an unknown entity or a bad character reference is an error whose
// offset counts in `raw`.
std::expected<std::string, Error> unescape(std::string_view raw);

// XML 1.0 normalisation of a CDATA attribute value: "\r\n" counts as one line end, each tab,
// carriage return and line feed becomes one blank, references are replaced (errors as unescape).
std::expected<std::string, Error> normalize_attribute_value(std::string_view raw);

// ---------------------------------------------------------------------------------------------
// Escaping and writing
// ---------------------------------------------------------------------------------------------

// "&", "<", ">", the double quote and the apostrophe as &amp; &lt; &gt; &quot; &apos;.
std::string escape_five_entities(std::string_view text);
void append_five_entities(std::string& out, std::string_view text);

// Character data: "&", "<" and ">" only; quotes, apostrophes and control characters stay.
std::string escape_text(std::string_view text);
void append_escaped_text(std::string& out, std::string_view text);

// An attribute value for double quotes: escape_text, then the double quote as &quot;.
std::string escape_attribute(std::string_view text);
void append_escaped_attribute(std::string& out, std::string_view text);

// A CDATA section holding the text unchanged: every "]]>" is split across two adjacent sections
// ("]]]]><![CDATA[>"), so that reading the sections back joins them into the original text.
std::string cdata_section(std::string_view text);

// Writes an event back from its raw bytes; an End event is written from its name alone ("</name>"),
// so white space before its ">" is not kept. Eof writes nothing.
void write_event(std::string& out, const Event& event);

}  // namespace ambrel::xml
