#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/programming_error.hpp"
#include "xml/xml.hpp"

namespace ambrel::xml {
namespace {

using ::testing::ElementsAre;

// Reads a whole document; fails the test on a reader error.
std::vector<Event> read_all(std::string_view input) {
    Reader reader(input);
    std::vector<Event> events;
    while (true) {
        auto event = reader.next();
        if (!event) {
            ADD_FAILURE() << "unexpected reader error: " << event.error().message();
            return events;
        }
        events.push_back(*event);
        if (event->kind == EventKind::Eof) return events;
    }
}

// The first reader error of a document (fails the test when there is none).
Error first_error(std::string_view input) {
    Reader reader(input);
    while (true) {
        auto event = reader.next();
        if (!event) return event.error();
        if (event->kind == EventKind::Eof) {
            ADD_FAILURE() << "no error in: " << input;
            return {};
        }
    }
}

// "Kind(name)[begin,end)" per event, so that whole sequences compare in one assertion.
std::vector<std::string> describe(const std::vector<Event>& events) {
    std::vector<std::string> out;
    for (const Event& e : events) {
        out.push_back(fmt::format("{}({})[{},{})", to_string(e.kind), e.name, e.begin, e.end));
    }
    return out;
}

void expect_contiguous_cover(std::string_view input, const std::vector<Event>& events) {
    std::size_t expected_begin = 0;
    std::string joined;
    for (const Event& e : events) {
        EXPECT_EQ(e.begin, expected_begin) << to_string(e.kind);
        EXPECT_EQ(e.raw, input.substr(e.begin, e.end - e.begin));
        expected_begin = e.end;
        joined += e.raw;
    }
    EXPECT_EQ(joined, input);
}

TEST(XmlReader, ReportsEveryConstructWithExactRangesAndRawBytes) {
    const std::string_view input =
        "<?xml version=\"1.0\"?>\r\n<a x=\"1\">t&amp;u&#65;<![CDATA[<&]]><!--c--><?pi d ?><b/></a>";
    const auto events = read_all(input);
    EXPECT_THAT(describe(events),
                ElementsAre("Decl(xml)[0,21)", "Text()[21,23)", "Start(a)[23,32)", "Text()[32,33)",
                            "GeneralRef(amp)[33,38)", "Text()[38,39)", "CharRef(65)[39,44)",
                            "CData()[44,58)", "Comment()[58,66)", "PI(pi)[66,75)", "Empty(b)[75,79)",
                            "End(a)[79,83)", "Eof()[83,83)"));
    expect_contiguous_cover(input, events);
    EXPECT_EQ(events[0].content, "version=\"1.0\"");
    EXPECT_EQ(events[1].content, "\r\n");
    EXPECT_EQ(events[2].content, " x=\"1\"");
    EXPECT_EQ(events[7].content, "<&");
    EXPECT_EQ(events[8].content, "c");
    EXPECT_EQ(events[9].content, "d ");
}

TEST(XmlReader, KeepsLineEndsAndWhiteSpaceExactlyAsWritten) {
    const std::string_view input = "<a>\r\n  x\ry\r\n</a>";
    const auto events = read_all(input);
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[1].kind, EventKind::Text);
    EXPECT_EQ(events[1].content, "\r\n  x\ry\r\n");
}

TEST(XmlReader, SeveralRootsTextOutsideTheRootAndOpenElementsAreReportedNotRefused) {
    const std::string_view input = "lead<a/>mid<b></b><c><d>";
    Reader reader(input);
    std::vector<Event> events;
    std::vector<std::size_t> depths;
    while (true) {
        auto event = reader.next();
        ASSERT_TRUE(event) << event.error().message();
        events.push_back(*event);
        depths.push_back(reader.depth());
        if (event->kind == EventKind::Eof) break;
    }
    EXPECT_THAT(describe(events),
                ElementsAre("Text()[0,4)", "Empty(a)[4,8)", "Text()[8,11)", "Start(b)[11,14)",
                            "End(b)[14,18)", "Start(c)[18,21)", "Start(d)[21,24)", "Eof()[24,24)"));
    EXPECT_THAT(depths, ElementsAre(0, 0, 0, 1, 0, 1, 2, 2));
    // Eof keeps coming.
    auto again = reader.next();
    ASSERT_TRUE(again);
    EXPECT_EQ(again->kind, EventKind::Eof);
    EXPECT_EQ(reader.position(), input.size());
}

TEST(XmlReader, EmptyInputIsJustEof) {
    EXPECT_THAT(describe(read_all("")), ElementsAre("Eof()[0,0)"));
}

TEST(XmlReader, EndTagsMustMatchTheOpenElement) {
    const Error mismatch = first_error("<a>\n</b>");
    EXPECT_EQ(mismatch.kind, ErrorKind::MismatchedEndTag);
    EXPECT_EQ(mismatch.offset, 4u);
    EXPECT_EQ(mismatch.line, 2u);
    EXPECT_EQ(mismatch.column, 1u);
    EXPECT_EQ(mismatch.message(), "end tag </b> does not match start tag <a> at line 2, column 1");

    // A prefix is part of the name that must match.
    EXPECT_EQ(first_error("<p:a xmlns:p='u'></a>").kind, ErrorKind::MismatchedEndTag);
    EXPECT_EQ(first_error("<a></a></a>").kind, ErrorKind::UnmatchedEndTag);
    EXPECT_EQ(first_error("</a>").kind, ErrorKind::UnmatchedEndTag);
    // White space before ">" of an end tag is allowed, anything else is not.
    EXPECT_THAT(describe(read_all("<a></a \n>")), ElementsAre("Start(a)[0,3)", "End(a)[3,9)", "Eof()[9,9)"));
    EXPECT_EQ(first_error("<a></a x>").kind, ErrorKind::MalformedMarkup);
}

TEST(XmlReader, ErrorsAreStickyAndNothingFollowsThem) {
    Reader reader("<a></b><c/>");
    ASSERT_TRUE(reader.next());
    auto first = reader.next();
    ASSERT_FALSE(first);
    auto second = reader.next();
    ASSERT_FALSE(second);
    EXPECT_EQ(second.error().kind, ErrorKind::MismatchedEndTag);
    EXPECT_EQ(second.error().offset, 3u);
}

struct BadInput {
    std::string_view input;
    ErrorKind kind;
};

TEST(XmlReader, UnterminatedAndMalformedConstructsAreErrors) {
    const BadInput cases[] = {
        {"<", ErrorKind::UnexpectedEof},
        {"<a", ErrorKind::UnexpectedEof},
        {"<a x='1", ErrorKind::UnexpectedEof},
        {"<a x='1'", ErrorKind::UnexpectedEof},
        {"<a></a", ErrorKind::UnexpectedEof},
        {"</", ErrorKind::UnexpectedEof},
        {"<!-- x", ErrorKind::UnexpectedEof},
        {"<!-", ErrorKind::UnexpectedEof},
        {"<![CDATA[x]]", ErrorKind::UnexpectedEof},
        {"<![CDA", ErrorKind::UnexpectedEof},
        {"<?pi x", ErrorKind::UnexpectedEof},
        {"<?", ErrorKind::UnexpectedEof},
        {"<!DOCT", ErrorKind::UnexpectedEof},
        {"<!DOCTYPE a [ <!ENTITY e 'x'> ", ErrorKind::UnexpectedEof},
        {"<!DOCTYPE a SYSTEM 'x", ErrorKind::UnexpectedEof},
        {"<a>&amp", ErrorKind::UnexpectedEof},
        {"<a>&#12", ErrorKind::UnexpectedEof},
        {"<a>&", ErrorKind::UnexpectedEof},
        {"<a>a & b</a>", ErrorKind::MalformedReference},
        {"<a>&#;</a>", ErrorKind::MalformedReference},
        {"<a>&a b;</a>", ErrorKind::MalformedReference},
        {"<a>&1a;</a>", ErrorKind::MalformedReference},
        {"<!x>", ErrorKind::MalformedMarkup},
        {"<!doctype a>", ErrorKind::MalformedMarkup},
        {"<a <b>", ErrorKind::MalformedMarkup},
        {"<?pi?x?>", ErrorKind::MalformedMarkup},
        {"< a>", ErrorKind::InvalidName},
        {"<1a/>", ErrorKind::InvalidName},
        {"<>", ErrorKind::InvalidName},
        {"<a></ a>", ErrorKind::InvalidName},
        {"<? x?>", ErrorKind::InvalidName},
    };
    for (const BadInput& c : cases) {
        const Error error = first_error(c.input);
        EXPECT_EQ(error.kind, c.kind) << c.input << " -> " << error.message();
        EXPECT_GT(error.line, 0u) << c.input;
        EXPECT_FALSE(error.description.empty()) << c.input;
    }
}

TEST(XmlReader, ReportsReferencesAsEventsOfTheirOwn) {
    const auto events = read_all("<a>x&lt;&#x41;&nbsp;&#xZZ;y</a>");
    EXPECT_THAT(describe(events),
                ElementsAre("Start(a)[0,3)", "Text()[3,4)", "GeneralRef(lt)[4,8)", "CharRef(x41)[8,14)",
                            "GeneralRef(nbsp)[14,20)", "CharRef(xZZ)[20,26)", "Text()[26,27)",
                            "End(a)[27,31)", "Eof()[31,31)"));
    std::string out;
    ASSERT_TRUE(append_reference(out, events[2]));
    ASSERT_TRUE(append_reference(out, events[3]));
    EXPECT_EQ(out, "<A");
    auto unknown = append_reference(out, events[4]);
    ASSERT_FALSE(unknown);
    EXPECT_EQ(unknown.error().kind, ErrorKind::UnknownEntity);
    EXPECT_EQ(unknown.error().subject, "nbsp");
    EXPECT_EQ(unknown.error().message(), "unknown entity: nbsp");
    EXPECT_EQ(unknown.error().offset, 14u);
    auto bad = append_reference(out, events[5]);
    ASSERT_FALSE(bad);
    EXPECT_EQ(bad.error().kind, ErrorKind::InvalidCharRef);
    EXPECT_EQ(bad.error().offset, 20u);
    EXPECT_THROW((void)append_reference(out, events[1]), support::ProgrammingError);
}

TEST(XmlReader, TextRunsBrokenByReferencesEndAtTheRightMarkup) {
    // Text pieces between references must stop at the next "<" of each run, including runs after
    // the last "<" of the input.
    const std::string_view input = "a&amp;b&lt;<r>c&#65;d</r>e&gt;f&amp;";
    const auto events = read_all(input);
    expect_contiguous_cover(input, events);
    EXPECT_THAT(describe(events),
                ElementsAre("Text()[0,1)", "GeneralRef(amp)[1,6)", "Text()[6,7)", "GeneralRef(lt)[7,11)",
                            "Start(r)[11,14)", "Text()[14,15)", "CharRef(65)[15,20)", "Text()[20,21)",
                            "End(r)[21,25)", "Text()[25,26)", "GeneralRef(gt)[26,30)", "Text()[30,31)",
                            "GeneralRef(amp)[31,36)", "Eof()[36,36)"));

    // Many references in one long run (a search for "<" per piece would be quadratic here).
    std::string many = "<r>";
    for (int i = 0; i < 20000; ++i) many += "x&amp;";
    many += "</r>";
    const auto long_run = read_all(many);
    ASSERT_EQ(long_run.size(), 40003u);
    EXPECT_EQ(long_run[long_run.size() - 2].kind, EventKind::End);
}

TEST(XmlReader, DocTypeIsOneEventAndIsNeverExpanded) {
    const std::string_view input =
        "<!DOCTYPE a [<!ENTITY e \"x>]y\"><!-- ] > --><?p ]>?>]><a>&e;</a>";
    const auto events = read_all(input);
    ASSERT_EQ(events.size(), 5u);
    EXPECT_EQ(events[0].kind, EventKind::DocType);
    EXPECT_EQ(events[0].raw, input.substr(0, input.find("<a>")));
    EXPECT_EQ(events[0].content, " a [<!ENTITY e \"x>]y\"><!-- ] > --><?p ]>?>]");
    EXPECT_EQ(events[2].kind, EventKind::GeneralRef);
    EXPECT_EQ(events[2].name, "e");
    std::string out;
    EXPECT_EQ(append_reference(out, events[2]).error().kind, ErrorKind::UnknownEntity);
}

TEST(XmlReader, TellsTheDeclarationFromOtherProcessingInstructions) {
    const auto events = read_all("<?xml version='1.0'?><?xml-stylesheet href='a'?><?xmlx?><?xml?>");
    EXPECT_THAT(describe(events),
                ElementsAre("Decl(xml)[0,21)", "PI(xml-stylesheet)[21,48)", "PI(xmlx)[48,56)",
                            "Decl(xml)[56,63)", "Eof()[63,63)"));
    EXPECT_EQ(events[1].content, "href='a'");
    EXPECT_EQ(events[3].content, "");
}

TEST(XmlReader, TagsMayHoldQuotedGreaterThanAndSlash) {
    const auto events = read_all("<a x=\"1>2\" y='/'/><b z=\"/\"></b>");
    EXPECT_THAT(describe(events),
                ElementsAre("Empty(a)[0,18)", "Start(b)[18,27)", "End(b)[27,31)", "Eof()[31,31)"));
    EXPECT_EQ(events[0].content, " x=\"1>2\" y='/'");
}

// ---------------------------------------------------------------------------------------------
// Namespaces
// ---------------------------------------------------------------------------------------------

struct Resolved {
    std::string name;
    NamespaceState state;
    std::string uri;
    bool operator==(const Resolved&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Resolved& r) {
    return os << r.name << " " << static_cast<int>(r.state) << " " << r.uri;
}

// The namespace of every element event, in document order.
std::vector<Resolved> resolve_all(std::string_view input) {
    Reader reader(input);
    std::vector<Resolved> out;
    while (true) {
        auto event = reader.next();
        if (!event) {
            ADD_FAILURE() << event.error().message();
            return out;
        }
        if (event->kind == EventKind::Eof) return out;
        if (!event->is_element()) continue;
        const Namespace ns = reader.resolve_element(*event);
        out.push_back({fmt::format("{}{}", event->kind == EventKind::End ? "/" : "", event->name),
                       ns.state, std::string(ns.uri)});
    }
}

TEST(XmlReaderNamespaces, ResolvesDefaultAndPrefixedNamesInTheirScope) {
    constexpr auto B = NamespaceState::Bound;
    constexpr auto U = NamespaceState::Unbound;
    constexpr auto K = NamespaceState::Unknown;
    const auto resolved = resolve_all(
        "<r xmlns='d' xmlns:p=\"P\">"
        "<p:a><p:b xmlns:p='Q'/></p:a>"  // the empty element's own declaration covers only itself
        "<q:c/>"                         // never declared
        "<e xmlns=''><f/></e>"           // the default namespace removed
        "<p:g xmlns:p='R'></p:g>"        // the end tag resolves in the element's own scope
        "<xml:h/>"
        "</r><s/>");
    EXPECT_THAT(resolved, ElementsAre(Resolved{"r", B, "d"}, Resolved{"p:a", B, "P"}, Resolved{"p:b", B, "Q"},
                                      Resolved{"/p:a", B, "P"}, Resolved{"q:c", K, ""}, Resolved{"e", U, ""},
                                      Resolved{"f", U, ""}, Resolved{"/e", U, ""}, Resolved{"p:g", B, "R"},
                                      Resolved{"/p:g", B, "R"}, Resolved{"xml:h", B, std::string(kXmlNamespaceUri)},
                                      Resolved{"/r", B, "d"}, Resolved{"s", U, ""}));
}

TEST(XmlReaderNamespaces, MalformedPrefixedNamesAndUnboundPrefixesAreUnknown) {
    constexpr auto K = NamespaceState::Unknown;
    EXPECT_THAT(resolve_all("<r xmlns='d'><:a/><b:/><p:c xmlns:p=''/></r>"),
                ElementsAre(Resolved{"r", NamespaceState::Bound, "d"}, Resolved{":a", K, ""},
                            Resolved{"b:", K, ""}, Resolved{"p:c", K, ""},
                            Resolved{"/r", NamespaceState::Bound, "d"}));
}

TEST(XmlReaderNamespaces, DecodesReferencesInNamespaceNames) {
    Reader reader("<a xmlns='u&amp;v'><b/></a>");
    auto a = reader.next();
    ASSERT_TRUE(a);
    EXPECT_TRUE(reader.resolve_element(*a).is("u&v"));
    const std::string_view uri = reader.resolve_element(*a).uri;
    auto b = reader.next();
    ASSERT_TRUE(b);
    EXPECT_TRUE(reader.resolve_element(*b).is("u&v"));
    while (reader.next()->kind != EventKind::Eof) {
    }
    EXPECT_EQ(uri, "u&v");  // still valid after the scope closed
}

TEST(XmlReaderNamespaces, DeepNestingOfDeclarationsResolvesAndRestoresCorrectly) {
    // Enough declarations to switch the scope to its hash index and back.
    std::string input;
    constexpr int kDepth = 80;
    for (int i = 0; i < kDepth; ++i) {
        input += fmt::format("<p{0}:e xmlns:p{0}='u{0}' xmlns:q='q{0}'>", i);
    }
    for (int i = kDepth - 1; i >= 0; --i) input += fmt::format("<q:x/></p{}:e>", i);
    input += "<q:y/>";
    Reader reader(input);
    int depth_seen = 0;
    int closing = kDepth - 1;
    while (true) {
        auto event = reader.next();
        ASSERT_TRUE(event) << event.error().message();
        if (event->kind == EventKind::Eof) break;
        const Namespace ns = reader.resolve_element(*event);
        if (event->kind == EventKind::Start) {
            EXPECT_TRUE(ns.is(fmt::format("u{}", depth_seen))) << event->name;
            EXPECT_TRUE(reader.resolve_prefix("p0").is("u0"));
            ++depth_seen;
        } else if (event->kind == EventKind::Empty && event->name == "q:x") {
            EXPECT_TRUE(ns.is(fmt::format("q{}", closing))) << closing;
        } else if (event->kind == EventKind::End) {
            EXPECT_TRUE(ns.is(fmt::format("u{}", closing)));
            --closing;
        } else if (event->kind == EventKind::Empty) {
            EXPECT_EQ(ns.state, NamespaceState::Unknown);
        }
    }
    EXPECT_EQ(depth_seen, kDepth);
}

TEST(XmlReaderNamespaces, ResolvingAnOlderEventIsAProgrammingError) {
    Reader reader("<a><b/></a>");
    auto a = reader.next();
    ASSERT_TRUE(a);
    ASSERT_TRUE(reader.next());
    EXPECT_THROW((void)reader.resolve_element(*a), support::ProgrammingError);
}

TEST(XmlReaderNamespaces, DeclarationsAfterAMalformedAttributeAreIgnored) {
    const auto resolved = resolve_all("<p:a bad xmlns:p='u'/>");
    ASSERT_EQ(resolved.size(), 1u);
    EXPECT_EQ(resolved[0].state, NamespaceState::Unknown);
}

// ---------------------------------------------------------------------------------------------
// Attributes
// ---------------------------------------------------------------------------------------------

std::expected<std::vector<Attribute>, Error> attributes_of(std::string_view tag) {
    Reader reader(tag);
    auto event = reader.next();
    if (!event) return std::unexpected(event.error());
    std::vector<Attribute> out;
    AttributeIterator it = event->attributes();
    while (true) {
        auto attribute = it.next();
        if (!attribute) return std::unexpected(attribute.error());
        if (!attribute->has_value()) return out;
        out.push_back(**attribute);
    }
}

TEST(XmlReaderAttributes, WalksAttributesInDocumentOrderWithNamespaceDeclarations) {
    const std::string_view tag = "<a xmlns='d' p:x = \"1\"\ny='a&amp;b' xmlns:p='P'>";
    auto attributes = attributes_of(tag);
    ASSERT_TRUE(attributes) << attributes.error().message();
    ASSERT_EQ(attributes->size(), 4u);
    const auto& a = *attributes;
    EXPECT_EQ(a[0].name, "xmlns");
    EXPECT_TRUE(a[0].is_namespace_declaration());
    EXPECT_EQ(a[1].name, "p:x");
    EXPECT_EQ(a[1].local_name(), "x");
    EXPECT_EQ(a[1].prefix(), "p");
    EXPECT_FALSE(a[1].is_namespace_declaration());
    EXPECT_EQ(tag.substr(a[1].begin, a[1].end - a[1].begin), "p:x = \"1\"");
    EXPECT_EQ(a[2].value, "a&amp;b");
    EXPECT_EQ(a[2].normalized_value().value(), "a&b");
    EXPECT_TRUE(a[3].is_namespace_declaration());
    EXPECT_EQ(a[3].value, "P");
}

TEST(XmlReaderAttributes, NormalisesValuesAsXmlDoesForCdataAttributes) {
    EXPECT_EQ(normalize_attribute_value("a\tb\r\nc\rd\ne&#10;f&lt;").value(), "a b c d e\nf<");
    auto bad = normalize_attribute_value("x&nbsp;");
    ASSERT_FALSE(bad);
    EXPECT_EQ(bad.error().message(), "unknown entity: nbsp");
    EXPECT_EQ(bad.error().offset, 1u);

    // The offset of a value fault counts in the input.
    auto attributes = attributes_of("<a  x='ok' y = 'z&q'/>");
    ASSERT_TRUE(attributes);
    auto fault = (*attributes)[1].normalized_value();
    ASSERT_FALSE(fault);
    EXPECT_EQ(fault.error().kind, ErrorKind::MalformedReference);
    EXPECT_EQ(fault.error().offset, 17u);
}

TEST(XmlReaderAttributes, ReportsMalformedAndDuplicateAttributesWhenTheWalkReachesThem) {
    const BadInput cases[] = {
        {"<a x='1' x='2'/>", ErrorKind::DuplicateAttribute},
        {"<a p:x='1' p:x=\"2\">", ErrorKind::DuplicateAttribute},
        {"<a x>", ErrorKind::MalformedAttribute},
        {"<a x=>", ErrorKind::MalformedAttribute},
        {"<a x=1>", ErrorKind::MalformedAttribute},
        {"<a x='1'y='2'>", ErrorKind::MalformedAttribute},
        {"<a x='<'>", ErrorKind::MalformedAttribute},
        {"<a 1='2'>", ErrorKind::MalformedAttribute},
        {"<a\"x\">", ErrorKind::MalformedAttribute},
    };
    for (const BadInput& c : cases) {
        auto attributes = attributes_of(c.input);
        ASSERT_FALSE(attributes) << c.input;
        EXPECT_EQ(attributes.error().kind, c.kind) << c.input << " -> " << attributes.error().message();
    }
    EXPECT_EQ(attributes_of("<a x='1' x='2'/>").error().message(), "duplicate attribute x");
}

TEST(XmlReaderAttributes, AttributesBeforeAFaultAreDeliveredAndTheFaultRepeats) {
    Reader reader("<a k='v' bad>");
    auto event = reader.next();
    ASSERT_TRUE(event);
    AttributeIterator it = event->attributes();
    auto first = it.next();
    ASSERT_TRUE(first && first->has_value());
    EXPECT_EQ((*first)->name, "k");
    EXPECT_FALSE(it.next());
    EXPECT_FALSE(it.next());
}

TEST(XmlReaderAttributes, FindsDuplicatesAmongManyAttributes) {
    std::string tag = "<a";
    for (int i = 0; i < 40; ++i) tag += fmt::format(" a{}='{}'", i, i);
    auto fine = attributes_of(tag + ">");
    ASSERT_TRUE(fine);
    EXPECT_EQ(fine->size(), 40u);
    auto duplicate = attributes_of(tag + " a3='x'>");
    ASSERT_FALSE(duplicate);
    EXPECT_EQ(duplicate.error().kind, ErrorKind::DuplicateAttribute);
}

TEST(XmlReaderAttributes, NonTagEventsHaveNoAttributes) {
    Reader reader("text");
    auto event = reader.next();
    ASSERT_TRUE(event);
    auto none = event->attributes().next();
    ASSERT_TRUE(none);
    EXPECT_FALSE(none->has_value());
}

// ---------------------------------------------------------------------------------------------
// Text content
// ---------------------------------------------------------------------------------------------

TEST(XmlReaderText, CollectsTheTextOfAnElementAndItsDescendants) {
    Reader reader("<r><a> x <b>y</b>&amp;<!--c--><![CDATA[<z>]]>&#x263A;</a><c/></r>");
    ASSERT_TRUE(reader.next());
    auto a = reader.next();
    ASSERT_TRUE(a);
    auto text = reader.read_text(*a);
    ASSERT_TRUE(text) << text.error().message();
    EXPECT_EQ(*text, " x y&<z>\xE2\x98\xBA");
    EXPECT_EQ(reader.depth(), 1u);
    auto c = reader.next();
    ASSERT_TRUE(c);
    EXPECT_EQ(c->name, "c");
    auto empty = reader.read_text(*c);
    ASSERT_TRUE(empty);
    EXPECT_EQ(*empty, "");
}

TEST(XmlReaderText, ReportsUnknownEntitiesAndUnclosedElements) {
    {
        Reader reader("<a>x&nbsp;</a>");
        auto a = reader.next();
        auto text = reader.read_text(*a);
        ASSERT_FALSE(text);
        EXPECT_EQ(text.error().kind, ErrorKind::UnknownEntity);
        EXPECT_EQ(text.error().message(), "unknown entity: nbsp at line 1, column 5");
    }
    {
        Reader reader("<a>x<b>");
        auto a = reader.next();
        auto text = reader.read_text(*a);
        ASSERT_FALSE(text);
        EXPECT_EQ(text.error().kind, ErrorKind::UnexpectedEof);
    }
    {
        Reader reader("<a>x</b>");
        auto a = reader.next();
        EXPECT_EQ(reader.read_text(*a).error().kind, ErrorKind::MismatchedEndTag);
    }
    Reader reader("<a/>x");
    auto a = reader.next();
    ASSERT_TRUE(reader.next());
    EXPECT_THROW((void)reader.read_text(*a), support::ProgrammingError);
}

// The first fault DocumentShape finds in a document the reader reads without error; empty when none.
std::string shape_fault(std::string_view input) {
    Reader reader(input);
    DocumentShape shape;
    while (true) {
        auto event = reader.next();
        if (!event) {
            ADD_FAILURE() << "unexpected reader error: " << event.error().message();
            return {};
        }
        if (auto fault = shape.observe(*event, reader)) return fault->message();
        if (event->kind == EventKind::Eof) return {};
    }
}

TEST(XmlDocumentShape, RefusesWhatLiesOutsideTheOneRootElement) {
    struct Case {
        std::string_view what;
        std::string_view input;
        std::string_view fault;
    };
    const Case cases[] = {
        {"one root", "<?xml version=\"1.0\"?>\n<!-- c --><a><b/>x</a>\n<?pi?>\n<!-- after -->\n", ""},
        {"an empty-element root", "<a/>\n", ""},
        {"white space alone", " \r\n\t", ""},
        {"leading byte-order marks", "\xEF\xBB\xBF\xEF\xBB\xBF<a/>", ""},
        {"root never closed", "<a>\n<b></b>", "root element <a> is not closed at line 2, column 8"},
        {"root and child never closed", "<a><b>", "root element <a> is not closed at line 1, column 7"},
        {"second root", "<a></a>\n<a></a>", "element <a> after the end of the root element <a> at line 2, column 1"},
        {"element after an empty root", "<a/><b/>", "element <b> after the end of the root element <a> at line 1, column 5"},
        {"text after the root", "<a/>\n  x\n", "text after the end of the root element <a> at line 2, column 3"},
        {"reference after the root", "<a/>&amp;", "text after the end of the root element <a> at line 1, column 5"},
        {"CDATA after the root", "<a/><![CDATA[x]]>", "text after the end of the root element <a> at line 1, column 5"},
        {"text before the root", "x<a/>", "text before the root element at line 1, column 1"},
        {"a byte-order mark after the start", " \xEF\xBB\xBF<a/>", "text before the root element at line 1, column 2"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(shape_fault(c.input), c.fault);
    }
}

}  // namespace
}  // namespace ambrel::xml
