#include "parameter_values.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <limits>

#include "errors.hpp"

namespace oxl_tool {

std::vector<Parameter> every_parameter() {
    std::vector<Parameter> codes;
    for (const auto& entry : all_parameters()) {
        codes.push_back(entry.first);
    }
    return codes;
}

std::string parameter_value_problem(Parameter code, double value) {
    if (!std::isfinite(value) || std::fabs(value) > std::numeric_limits<float>::max()) {
        return "is not a finite single-precision number";
    }
    const bool whole = std::trunc(value) == value;
    switch (code) {
        case Parameter::MODE: {
            std::string modes;
            bool known = false;
            for (const auto& mode : all_modes()) {
                const int number = static_cast<int>(mode.first);
                known = known || value == number;
                modes += (modes.empty() ? "" : ", ") + std::to_string(number) + " " + mode.second;
            }
            return known ? "" : "is not a mode (" + modes + ")";
        }
        case Parameter::TORQUE_PERFORMANCE:
        case Parameter::SPEED_PERFORMANCE:
            return whole && value >= 0 && value <= 3 ? "" : "is out of range (0, 1, 2 or 3)";
        case Parameter::CAN_HIGH_SPEED:
            return value == 0 || value == 1 ? "" : "is out of range (0 or 1)";
        case Parameter::PARAM_80:
        case Parameter::PARAM_82:
        case Parameter::PARAM_83:
        case Parameter::PARAM_84:
            return whole && value >= 0 && value <= 4294967295.0
                       ? ""
                       : "is out of range (a whole number, 0..4294967295)";
        case Parameter::ADDRESS:
            return whole && value >= kFirstActuatorId && value <= kLastActuatorId
                       ? ""
                       : "is out of range (0x10..0x3ffe)";
        default:
            return "";
    }
}

float parse_parameter_value(Parameter code, const std::string& text) {
    if (code == Parameter::MODE) {
        // The mode may be given by name.
        std::string wanted = text;
        std::transform(wanted.begin(), wanted.end(), wanted.begin(),
                       [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
        for (const auto& mode : all_modes()) {
            if (wanted == mode.second) {
                return static_cast<float>(static_cast<int>(mode.first));
            }
        }
    }
    const float value = parse_float(text, "value of " + parameter_name(code));
    const std::string problem = parameter_value_problem(code, value);
    if (!problem.empty()) {
        throw UsageError(parameter_name(code) + " " + text + " " + problem);
    }
    return value;
}

bool reads_back_as_written(Parameter code, float written, float read) {
    switch (code) {
        case Parameter::MODE:
        case Parameter::PARAM_80:
        case Parameter::PARAM_82:
        case Parameter::PARAM_83:
        case Parameter::PARAM_84:
            // Reported as whole numbers: a written 2.5 that reads back as 2 or 3 was taken.
            return std::fabs(read - written) < 1.0f;
        default:
            return read == written || (std::isnan(read) && std::isnan(written));
    }
}

std::map<Parameter, float> read_parameters(oxl_api::OrvexActuator& actuator,
                                           const std::vector<Parameter>& codes) {
    const auto cache = actuator.get_parameters(codes, 1.0f);
    if (cache.empty()) {
        throw DeviceError("actuator " + hex_id(actuator.address) +
                          " did not answer the parameter request");
    }
    std::map<Parameter, float> values;
    for (const Parameter code : codes) {
        const auto it = cache.find(code);
        if (it != cache.end()) {
            values[code] = it->second;
        }
    }
    return values;
}

std::vector<WrittenParameter> write_and_read_back(
    oxl_api::OrvexActuator& actuator, const std::vector<Parameter>& codes,
    const oxl_api::OrvexActuator::ParameterMap& values) {
    const auto before = read_parameters(actuator, codes);
    actuator.set_parameters(values);
    const auto after = read_parameters(actuator, codes);
    const auto reported = [](const std::map<Parameter, float>& read, Parameter code) {
        const auto it = read.find(code);
        return it == read.end() ? std::nullopt : std::optional<float>(it->second);
    };
    std::vector<WrittenParameter> rows;
    for (const Parameter code : codes) {
        WrittenParameter row;
        row.code = code;
        row.before = reported(before, code);
        row.written = values.at(code);
        row.read = reported(after, code);
        row.taken = row.read && reads_back_as_written(code, row.written, *row.read);
        rows.push_back(row);
    }
    return rows;
}

}  // namespace oxl_tool
