#include "bridge_config.hpp"

#include <nlohmann/json.hpp>

#include <cctype>
#include <cmath>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <utility>

#include "../errors.hpp"
#include "../names.hpp"

namespace oxl_tool {
namespace {

using nlohmann::json;

constexpr int kMaxBus = 15;
constexpr int kMaxJoints = 256;

[[noreturn]] void fail(const std::string& where, const std::string& what) {
    throw UsageError(where + ": " + what);
}

void check_keys(const json& object, const std::set<std::string>& allowed,
                const std::string& where) {
    for (auto it = object.begin(); it != object.end(); ++it) {
        if (allowed.count(it.key()) == 0) {
            fail(where, "unknown key '" + it.key() + "'");
        }
    }
}

const json& required(const json& object, const char* key, const std::string& where) {
    const auto it = object.find(key);
    if (it == object.end()) {
        fail(where, std::string("'") + key + "' is missing");
    }
    return *it;
}

double number(const json& value, const std::string& where, const std::string& key, double min,
              double max) {
    if (!value.is_number()) {
        fail(where, "'" + key + "' must be a number");
    }
    const double x = value.get<double>();
    if (!std::isfinite(x) || x < min || x > max) {
        std::ostringstream range;
        range << min << ".." << max;
        fail(where, "'" + key + "' " + value.dump() + " is out of range (" + range.str() + ")");
    }
    return x;
}

int whole(const json& value, const std::string& where, const std::string& key, int min, int max) {
    if (!value.is_number_integer()) {
        fail(where, "'" + key + "' must be a whole number");
    }
    return static_cast<int>(number(value, where, key, min, max));
}

std::string text(const json& value, const std::string& where, const std::string& key) {
    if (!value.is_string()) {
        fail(where, "'" + key + "' must be a string");
    }
    return value.get<std::string>();
}

// "position": "POSITION_4C" or null (field left NaN).
void read_items(const json& items, JointConfig& joint, const std::string& where) {
    if (!items.is_object()) {
        fail(where, "'items' must be an object of position, velocity and effort");
    }
    check_keys(items, {"position", "velocity", "effort"}, where + " items");
    const std::pair<const char*, std::pair<bool*, oxl_api::OrvexActuator::OXL_Items*>> fields[] = {
        {"position", {&joint.has_position, &joint.position_item}},
        {"velocity", {&joint.has_velocity, &joint.velocity_item}},
        {"effort", {&joint.has_effort, &joint.effort_item}},
    };
    for (const auto& field : fields) {
        const auto it = items.find(field.first);
        if (it == items.end()) {
            continue;
        }
        if (it->is_null()) {
            *field.second.first = false;
            continue;
        }
        try {
            *field.second.second =
                parse_item(text(*it, where, std::string("items.") + field.first));
        } catch (const UsageError& e) {
            fail(where, std::string("items.") + field.first + ": " + e.what());
        }
    }
}

JointConfig read_joint(const json& entry, const std::string& where) {
    if (!entry.is_object()) {
        fail(where, "must be an object");
    }
    JointConfig joint;
    joint.name = text(required(entry, "name", where), where, "name");
    if (joint.name.empty()) {
        fail(where, "'name' is empty");
    }
    const std::string named = where + " (\"" + joint.name + "\")";
    check_keys(entry, {"name", "bus", "address", "mode", "rate_hz", "items", "limits"}, named);
    if (entry.contains("bus")) {
        joint.bus = whole(entry["bus"], named, "bus", 0, kMaxBus);
    }
    const json& address = required(entry, "address", named);
    try {
        joint.address =
            address.is_string()
                ? parse_actuator_id(address.get<std::string>(), "'address'")
                : parse_actuator_id(std::to_string(whole(address, named, "address", 0, 0x7fffffff)),
                                    "'address'");
    } catch (const UsageError& e) {
        fail(named, e.what());
    }
    const std::string mode = text(required(entry, "mode", named), named, "mode");
    if (mode == "position") {
        joint.mode = JointMode::POSITION;
    } else if (mode == "velocity") {
        joint.mode = JointMode::VELOCITY;
    } else if (mode == "effort") {
        joint.mode = JointMode::EFFORT;
    } else {
        fail(named, "'mode' \"" + mode + "\" is not position, velocity or effort");
    }
    if (entry.contains("rate_hz")) {
        joint.rate_hz = whole(entry["rate_hz"], named, "rate_hz", 1, 10000);
    }
    if (entry.contains("items")) {
        read_items(entry["items"], joint, named);
    }
    const json& limits = required(entry, "limits", named);
    if (!limits.is_object()) {
        fail(named, "'limits' must be an object with min and max");
    }
    check_keys(limits, {"min", "max"}, named + " limits");
    joint.min = number(required(limits, "min", named + " limits"), named, "limits.min", -1e6, 1e6);
    joint.max = number(required(limits, "max", named + " limits"), named, "limits.max", -1e6, 1e6);
    if (joint.min > joint.max) {
        fail(named, "limits.min is above limits.max");
    }
    return joint;
}

}  // namespace

const char* joint_mode_name(JointMode mode) {
    switch (mode) {
        case JointMode::POSITION:
            return "position";
        case JointMode::VELOCITY:
            return "velocity";
        case JointMode::EFFORT:
            return "effort";
    }
    return "?";
}

std::string check_ros_namespace(const std::string& raw, const std::string& what) {
    std::string ns = raw;
    while (!ns.empty() && ns.front() == '/') {
        ns.erase(ns.begin());
    }
    while (!ns.empty() && ns.back() == '/') {
        ns.pop_back();
    }
    std::stringstream stream(ns);
    std::string token;
    while (!ns.empty() && std::getline(stream, token, '/')) {
        bool ok = !token.empty() && std::isdigit(static_cast<unsigned char>(token[0])) == 0;
        for (const char c : token) {
            ok = ok && (std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_');
        }
        if (!ok) {
            throw UsageError(what + " \"" + raw +
                             "\" is not a ROS namespace (letters, digits and _ separated by /, "
                             "no token starting with a digit)");
        }
    }
    return ns;
}

BridgeConfig parse_bridge_config(const std::string& source_text, const std::string& source) {
    json root;
    try {
        root = json::parse(source_text);
    } catch (const json::parse_error& e) {
        fail(source, std::string("not valid JSON: ") + e.what());
    }
    if (!root.is_object()) {
        fail(source, "must be a JSON object");
    }
    check_keys(root, {"namespace", "watchdog_s", "joints"}, source);
    BridgeConfig config;
    if (root.contains("namespace")) {
        config.ros_namespace = check_ros_namespace(text(root["namespace"], source, "namespace"),
                                                   source + ": 'namespace'");
    }
    if (root.contains("watchdog_s")) {
        config.watchdog_s = number(root["watchdog_s"], source, "watchdog_s", 0.01, 60.0);
    }
    const json& joints = required(root, "joints", source);
    if (!joints.is_array() || joints.empty() || joints.size() > kMaxJoints) {
        fail(source, "'joints' must be an array of 1 to " + std::to_string(kMaxJoints) + " joints");
    }
    std::map<std::string, std::size_t> by_name;
    std::map<std::pair<int, int>, std::size_t> by_address;
    for (std::size_t i = 0; i < joints.size(); ++i) {
        const std::string where = source + ": joints[" + std::to_string(i) + "]";
        JointConfig joint = read_joint(joints[i], where);
        const std::string named = where + " (\"" + joint.name + "\")";
        const auto name = by_name.emplace(joint.name, i);
        if (!name.second) {
            fail(named, "name already used by joints[" + std::to_string(name.first->second) + "]");
        }
        const auto address = by_address.emplace(std::make_pair(joint.bus, joint.address), i);
        if (!address.second) {
            fail(named, "address " + hex_id(joint.address) + " on bus " +
                            std::to_string(joint.bus) + " already used by joints[" +
                            std::to_string(address.first->second) + "]");
        }
        config.joints.push_back(std::move(joint));
    }
    return config;
}

BridgeConfig load_bridge_config(const std::string& path) {
    std::ifstream file(path);
    if (!file) {
        throw UsageError("cannot read " + path);
    }
    std::ostringstream content;
    content << file.rdbuf();
    return parse_bridge_config(content.str(), path);
}

}  // namespace oxl_tool
