#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include <oxl_api/orvex_actuator.hpp>

#include "names.hpp"

namespace oxl_tool {

/// Every parameter code, in the order the library reads them all.
std::vector<Parameter> every_parameter();

/// Empty when `value` may be written to `code`, else why not, naming the valid range
/// ("is not a mode (5 TORQUE, 6 SPEED, 7 POSITION, 8 IMPEDANCE)"). The enumerated parameters
/// (MODE, the performance presets, CAN_HIGH_SPEED) take their listed values only, the unsigned
/// counts whole numbers 0..4294967295, every other parameter any finite single-precision value.
std::string parameter_value_problem(Parameter code, double value);

/// A value typed by the user for `code`: a number, or a mode name for MODE. Throws `UsageError`
/// naming the parameter when it is malformed or out of range.
float parse_parameter_value(Parameter code, const std::string& text);

/// True when the device read `read` back after `written` was written: equal, or for the codes
/// the device reports as whole numbers, within one.
bool reads_back_as_written(Parameter code, float written, float read);

/// Reads `codes` from `actuator` and returns the values the device reported for them (the
/// client's read returns its whole cache, so the answer is filtered down to what was asked).
/// Throws `DeviceError` when the device does not answer.
std::map<Parameter, float> read_parameters(oxl_api::OrvexActuator& actuator,
                                           const std::vector<Parameter>& codes);

/// One parameter as `write_and_read_back` saw it; `before` and `read` are empty when the device
/// did not report the parameter.
struct WrittenParameter {
    Parameter code{};
    std::optional<float> before;
    float written = 0.0f;
    std::optional<float> read;
    /// The value read back is the one written (`reads_back_as_written`).
    bool taken = false;
};

/// Reads `codes`, writes their `values`, reads them again; one entry per code, in order. Throws
/// `DeviceError` when the device does not answer a read.
std::vector<WrittenParameter> write_and_read_back(
    oxl_api::OrvexActuator& actuator, const std::vector<Parameter>& codes,
    const oxl_api::OrvexActuator::ParameterMap& values);

}  // namespace oxl_tool
