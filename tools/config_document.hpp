#pragma once

#include <string>
#include <vector>

#include <oxl_api/orvex_actuator.hpp>

#include "names.hpp"
#include "output.hpp"

namespace oxl_tool {

/// A configuration document read and checked, before anything is sent.
struct Configuration {
    std::string model;  ///< empty: not given
    std::vector<Parameter> codes;
    oxl_api::OrvexActuator::ParameterMap values;
};

/// Checks a configuration document (as `oxl config dump` writes it). Every fault is a
/// `UsageError` starting with `where` and naming the key.
Configuration configuration_from_json(const Json& document, const std::string& where);

/// Reads every parameter but the address from `actuator` (connected) and returns the
/// configuration document. Throws `DeviceError` when a parameter is not reported.
Json configuration_document(oxl_api::OrvexActuator& actuator);

}  // namespace oxl_tool
