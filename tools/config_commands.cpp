// `oxl config dump` and `oxl config restore`: every parameter of a device to and from a JSON
// document, to clone a set-up or keep it in version control.
#include <algorithm>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>

#include <oxl_api/orvex_actuator.hpp>

#include "commands.hpp"
#include "config_document.hpp"
#include "errors.hpp"
#include "names.hpp"
#include "output.hpp"
#include "parameter_values.hpp"
#include "text_table.hpp"

namespace oxl_tool {
namespace {

using oxl_api::OrvexActuator;

// Version of the document layout, written as "oxl_config".
constexpr int kConfigVersion = 1;

// The parameters a configuration holds: all but ADDRESS, which would move the device a set-up
// is cloned onto to the address of the one it came from. The address is recorded beside them.
std::vector<Parameter> configuration_parameters() {
    std::vector<Parameter> codes;
    for (const Parameter code : every_parameter()) {
        if (code != Parameter::ADDRESS) {
            codes.push_back(code);
        }
    }
    return codes;
}

std::string json_type(const Json& value) {
    return value.is_null() ? "null" : value.type_name();
}

// Reads and checks `file`. Every fault is a `UsageError` naming the file and the key.
Configuration load_configuration(const std::string& file) {
    std::ifstream in(file);
    if (!in) {
        throw UsageError("cannot read " + file);
    }
    std::stringstream text;
    text << in.rdbuf();
    Json document;
    try {
        document = Json::parse(text.str());
    } catch (const Json::parse_error& e) {
        // "[json.exception.parse_error.101] parse error at line 2, ..." without the tag.
        const std::string what = e.what();
        const auto tag_end = what.find("] ");
        throw UsageError(file + " is not JSON: " +
                         (tag_end == std::string::npos ? what : what.substr(tag_end + 2)));
    }
    return configuration_from_json(document, file + ": ");
}

}  // namespace

Configuration configuration_from_json(const Json& document, const std::string& where) {
    if (!document.is_object()) {
        throw UsageError(where + "expected a JSON object, got " + json_type(document));
    }
    Configuration config;
    bool has_parameters = false;
    for (const auto& [key, value] : document.items()) {
        const auto expect = [&](bool ok, const std::string& what) {
            if (!ok) {
                throw UsageError(where + key + ": expected " + what + ", got " + json_type(value));
            }
        };
        if (key == "oxl_config") {
            expect(value.is_number_integer(), "a whole number");
            if (value.get<long long>() != kConfigVersion) {
                throw UsageError(where + "oxl_config: version " + value.dump() +
                                 " is not known (this oxl reads version 1)");
            }
        } else if (key == "model") {
            expect(value.is_string(), "a string");
            config.model = value.get<std::string>();
        } else if (key == "firmware") {
            expect(value.is_string(), "a string");
        } else if (key == "address") {
            expect(value.is_number_integer(), "a whole number");
        } else if (key == "parameters") {
            expect(value.is_object(), "an object");
            has_parameters = true;
        } else {
            throw UsageError(where + "unknown key '" + key +
                             "' (expected oxl_config, model, firmware, address, parameters)");
        }
    }
    if (!has_parameters) {
        throw UsageError(where + "no 'parameters' object");
    }
    for (const auto& [key, value] : document.at("parameters").items()) {
        const std::string path = where + "parameters." + key + ": ";
        Parameter code{};
        try {
            code = parse_parameter(key);
        } catch (const UsageError& e) {
            throw UsageError(path + e.what());
        }
        if (code == Parameter::ADDRESS) {
            throw UsageError(path + "the address is not restored (use oxl set-address)");
        }
        if (std::find(config.codes.begin(), config.codes.end(), code) != config.codes.end()) {
            throw UsageError(path + parameter_name(code) + " is given twice");
        }
        if (value.is_null()) {
            continue;  // the device had no value for it: nothing to write
        }
        if (!value.is_number()) {
            throw UsageError(path + "expected a number or null, got " + json_type(value));
        }
        const double number = value.get<double>();
        const std::string problem = parameter_value_problem(code, number);
        if (!problem.empty()) {
            throw UsageError(path + value.dump() + " " + problem);
        }
        config.codes.push_back(code);
        config.values[code] = static_cast<float>(number);
    }
    return config;
}

Json configuration_document(OrvexActuator& actuator) {
    const auto codes = configuration_parameters();
    const auto values = read_parameters(actuator, codes);
    Json parameters = Json::object();
    for (const Parameter code : codes) {
        const auto it = values.find(code);
        if (it == values.end()) {
            throw DeviceError("actuator " + hex_id(actuator.address) + " did not report " +
                              parameter_name(code));
        }
        parameters[parameter_name(code)] = json_number(it->second);  // no value (NaN): null
    }
    return {{"oxl_config", kConfigVersion},
            {"address", actuator.address},
            {"model", actuator.model},
            {"firmware", actuator.firmware},
            {"parameters", parameters}};
}

int run_config_dump(Session& session, const std::string& id_text) {
    const int id = parse_actuator_id(id_text);
    auto actuator = session.connect_actuator(id);
    print_json(configuration_document(*actuator));
    return kExitOk;
}

int run_config_restore(Session& session, const ConfigRestoreArgs& args) {
    const int id = parse_actuator_id(args.id);
    const Configuration config = load_configuration(args.file);
    auto actuator = session.connect_actuator(id);
    if (!config.model.empty() && config.model != actuator->model && !args.force) {
        throw UsageError(args.file + " is from model " + config.model + ", actuator " + hex_id(id) +
                         " is model " + (actuator->model.empty() ? "unknown" : actuator->model) +
                         "; add --force to restore it anyway");
    }
    if (config.codes.empty()) {
        throw UsageError(args.file + " holds no parameter value to write");
    }
    TextTable changes({"NAME", "BEFORE", "WRITTEN", "READ BACK"}, {false, true, true, true});
    std::vector<std::string> refused;
    std::size_t changed_count = 0;
    for (const WrittenParameter& p : write_and_read_back(*actuator, config.codes, config.values)) {
        const bool changed = !p.before || !reads_back_as_written(p.code, p.written, *p.before);
        if (changed || !p.taken) {
            changes.add_row({parameter_name(p.code), p.before ? format_value(*p.before) : "?",
                             format_value(p.written),
                             (p.read ? format_value(*p.read) : "?") + (p.taken ? "" : " !")});
        }
        if (!p.taken) {
            refused.push_back(parameter_name(p.code));
        } else if (changed) {
            ++changed_count;
        }
    }
    if (changes.size() > 0) {
        changes.print(std::cout);
    }
    std::cout << "Actuator " << hex_id(id) << ": " << config.codes.size()
              << " parameters written from " << args.file << ", " << changed_count << " changed"
              << (refused.empty() ? ", every one read back as written." : ".") << std::endl;
    if (!refused.empty()) {
        std::string names;
        for (const auto& name : refused) {
            names += (names.empty() ? "" : ", ") + name;
        }
        throw DeviceError("actuator " + hex_id(id) + " did not take " + names +
                          " (read back differs)" + (args.save ? "; not saved" : ""));
    }
    if (args.save) {
        actuator->save_config();
        std::cout << "Actuator " << hex_id(id) << ": configuration saved in the device."
                  << std::endl;
    }
    return kExitOk;
}

}  // namespace oxl_tool
