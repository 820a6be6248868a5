#pragma once
// Builds one visitor for std::visit out of several lambdas, one per alternative.

namespace TrackpadProtocol {

template <class... Lambdas>
struct Overloaded : Lambdas... {
    using Lambdas::operator()...;
};
template <class... Lambdas>
Overloaded(Lambdas...) -> Overloaded<Lambdas...>;

}  // namespace TrackpadProtocol
