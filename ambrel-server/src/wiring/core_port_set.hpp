#pragma once

// The thirteen core ports as separate callables, so that each adapter file makes the ports it owns
// and the composition root joins them into the one `CorePorts` object the application service takes.
// `PortFunction<&Group::port>` is the std::function type of any port of any group, taken from the
// group's own declaration, so a callable always has exactly the port's signature.
//
// `core_ports_from` answers an object that forwards every call to its callable; every callable must
// be set (an empty one is a programming error, reported when the object is made). The object holds
// only the callables, which must be safe to call from several threads at once.

#include <functional>
#include <memory>

#include "app/ports/core_ports.hpp"

namespace ambrel::server::wiring {

namespace detail {
template <class Member>
struct PortSignature;
template <class Result, class Group, class... Args>
struct PortSignature<Result (Group::*)(Args...) const> {
    using type = std::function<Result(Args...)>;
};
}  // namespace detail

// The callable type of a port, for instance `PortFunction<&app::ports::CorePorts::object_listing>`.
template <auto Port>
using PortFunction = typename detail::PortSignature<decltype(Port)>::type;

struct CorePortSet {
    using Core = app::ports::CorePorts;
    PortFunction<&Core::org_alias_listing> org_alias_listing;
    PortFunction<&Core::object_listing> object_listing;
    PortFunction<&Core::metadata_listing> metadata_listing;
    PortFunction<&Core::apex_class_listing> apex_class_listing;
    PortFunction<&Core::dependency_discovery> dependency_discovery;
    PortFunction<&Core::metadata_retrieval> metadata_retrieval;
    PortFunction<&Core::component_reading> component_reading;
    PortFunction<&Core::component_comparison> component_comparison;
    PortFunction<&Core::single_package_deployment> single_package_deployment;
    PortFunction<&Core::org_description> org_description;
    PortFunction<&Core::fls_synchronization> fls_synchronization;
    PortFunction<&Core::container_matching> container_matching;
    PortFunction<&Core::diagnostic_sanitizer> diagnostic_sanitizer;
};

// The set's callables as the service's core port group. Throws support::ProgrammingError naming the
// first empty callable.
std::shared_ptr<const app::ports::CorePorts> core_ports_from(CorePortSet ports);

}  // namespace ambrel::server::wiring
