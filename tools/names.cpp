#include "names.hpp"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "errors.hpp"

namespace oxl_tool {
namespace {

std::string upper(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return text;
}

std::string trim(const std::string& text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

std::size_t edit_distance(const std::string& a, const std::string& b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) {
        row[j] = j;
    }
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t above = row[j];
            row[j] =
                std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// Looks `name` up in `table`; on failure the error names the entries that contain it, or the
// nearest ones by spelling, so that "position" suggests the four position items.
template <class Code>
Code lookup(const std::vector<std::pair<Code, std::string>>& table, const std::string& name,
            const std::string& kind, const std::string& list_command) {
    const std::string wanted = upper(trim(name));
    for (const auto& entry : table) {
        if (entry.second == wanted) {
            return entry.first;
        }
    }
    std::vector<std::string> candidates;
    if (!wanted.empty()) {
        for (const auto& entry : table) {
            if (entry.second.find(wanted) != std::string::npos) {
                candidates.push_back(entry.second);
            }
        }
        if (candidates.empty() || candidates.size() > 6) {
            candidates.clear();
            std::size_t best = wanted.size() / 3 + 2;
            for (const auto& entry : table) {
                const std::size_t d = edit_distance(wanted, entry.second);
                if (d < best) {
                    best = d;
                    candidates.assign(1, entry.second);
                } else if (d == best && !candidates.empty()) {
                    candidates.push_back(entry.second);
                }
            }
        }
    }
    std::string message = "unknown " + kind + " '" + trim(name) + "'";
    if (!candidates.empty() && candidates.size() <= 6) {
        message += "; did you mean ";
        for (std::size_t i = 0; i < candidates.size(); ++i) {
            message += (i == 0 ? "" : i + 1 == candidates.size() ? " or " : ", ") + candidates[i];
        }
        message += "?";
    } else {
        message += " (`oxl names " + list_command + "` lists them)";
    }
    throw UsageError(message);
}

template <class Code>
std::string name_of(const std::vector<std::pair<Code, std::string>>& table, Code code) {
    for (const auto& entry : table) {
        if (entry.first == code) {
            return entry.second;
        }
    }
    return hex_id(static_cast<int>(code));
}

}  // namespace

const std::vector<std::pair<Item, std::string>>& all_items() {
    static const std::vector<std::pair<Item, std::string>> table = {
        {Item::POSITION_41, "POSITION_41"},
        {Item::ITEM_42, "ITEM_42"},
        {Item::POSITION_43, "POSITION_43"},
        {Item::ITEM_44, "ITEM_44"},
        {Item::SPEED_45, "SPEED_45"},
        {Item::ITEM_46, "ITEM_46"},
        {Item::ITEM_47, "ITEM_47"},
        {Item::ITEM_48, "ITEM_48"},
        {Item::TORQUE_49, "TORQUE_49"},
        {Item::ITEM_4A, "ITEM_4A"},
        {Item::SETPOINT_4B, "SETPOINT_4B"},
        {Item::POSITION_4C, "POSITION_4C"},
        {Item::SETPOINT_4D, "SETPOINT_4D"},
        {Item::ITEM_4F, "ITEM_4F"},
        {Item::ITEM_50, "ITEM_50"},
        {Item::ITEM_51, "ITEM_51"},
        {Item::ITEM_52, "ITEM_52"},
        {Item::ITEM_53, "ITEM_53"},
        {Item::ITEM_54, "ITEM_54"},
        {Item::SETPOINT_55, "SETPOINT_55"},
        {Item::TORQUE_56, "TORQUE_56"},
        {Item::ITEM_57, "ITEM_57"},
        {Item::ITEM_58, "ITEM_58"},
        {Item::ITEM_59, "ITEM_59"},
        {Item::POWER_5A, "POWER_5A"},
        {Item::DC_CURRENT_5B, "DC_CURRENT_5B"},
        {Item::ITEM_5C, "ITEM_5C"},
        {Item::POWER_5D, "POWER_5D"},
        {Item::ITEM_5E, "ITEM_5E"},
        {Item::ITEM_5F, "ITEM_5F"},
        {Item::ITEM_60, "ITEM_60"},
        {Item::ITEM_61, "ITEM_61"},
        {Item::ITEM_62, "ITEM_62"},
        {Item::VBUS, "VBUS"},
        {Item::TEMPERATURE_71, "TEMPERATURE_71"},
        {Item::TEMP_WINDING, "TEMP_WINDING"},
        {Item::POSITION_73, "POSITION_73"},
        {Item::ERRORS, "ERRORS"},
        {Item::ITEM_91, "ITEM_91"},
        {Item::ITEM_92, "ITEM_92"},
        {Item::ITEM_93, "ITEM_93"},
        {Item::ITEM_94, "ITEM_94"},
        {Item::ITEM_95, "ITEM_95"},
        {Item::ITEM_96, "ITEM_96"},
        {Item::ITEM_97, "ITEM_97"},
        {Item::ITEM_98, "ITEM_98"},
        {Item::ITEM_99, "ITEM_99"},
        {Item::ITEM_9A, "ITEM_9A"},
    };
    return table;
}

const std::vector<std::pair<Parameter, std::string>>& all_parameters() {
    using P = Parameter;
    static const std::vector<std::pair<Parameter, std::string>> table = {
        {P::K_DAMP, "K_DAMP"},
        {P::K_STIFF, "K_STIFF"},
        {P::T_FF, "T_FF"},
        {P::LIMIT_TORQUE, "LIMIT_TORQUE"},
        {P::PARAM_05, "PARAM_05"},
        {P::PARAM_06, "PARAM_06"},
        {P::LIMIT_SPEED_MAX, "LIMIT_SPEED_MAX"},
        {P::LIMIT_SPEED_MIN, "LIMIT_SPEED_MIN"},
        {P::PROFILE_POSITION_MAX, "PROFILE_POSITION_MAX"},
        {P::PROFILE_POSITION_MIN, "PROFILE_POSITION_MIN"},
        {P::PROFILE_SPEED_MAX, "PROFILE_SPEED_MAX"},
        {P::PROFILE_SPEED_MIN, "PROFILE_SPEED_MIN"},
        {P::PARAM_0D, "PARAM_0D"},
        {P::PARAM_0E, "PARAM_0E"},
        {P::PARAM_0F, "PARAM_0F"},
        {P::MODE, "MODE"},
        {P::SETPOINT, "SETPOINT"},
        {P::TORQUE_PERFORMANCE, "TORQUE_PERFORMANCE"},
        {P::SPEED_PERFORMANCE, "SPEED_PERFORMANCE"},
        {P::PARAM_42, "PARAM_42"},
        {P::PARAM_43, "PARAM_43"},
        {P::PARAM_44, "PARAM_44"},
        {P::PARAM_45, "PARAM_45"},
        {P::PARAM_46, "PARAM_46"},
        {P::PARAM_47, "PARAM_47"},
        {P::PARAM_80, "PARAM_80"},
        {P::ADDRESS, "ADDRESS"},
        {P::PARAM_82, "PARAM_82"},
        {P::PARAM_83, "PARAM_83"},
        {P::PARAM_84, "PARAM_84"},
        {P::CAN_HIGH_SPEED, "CAN_HIGH_SPEED"},
    };
    return table;
}

std::string item_name(Item item) {
    return name_of(all_items(), item);
}

std::string parameter_name(Parameter parameter) {
    return name_of(all_parameters(), parameter);
}

Item parse_item(const std::string& name) {
    return lookup(all_items(), name, "item", "items");
}

Parameter parse_parameter(const std::string& name) {
    return lookup(all_parameters(), name, "parameter", "parameters");
}

std::vector<Item> parse_item_list(const std::string& list) {
    std::vector<Item> items;
    std::stringstream stream(list);
    std::string entry;
    while (std::getline(stream, entry, ',')) {
        if (trim(entry).empty()) {
            throw UsageError("empty name in the item list '" + list + "'");
        }
        const Item item = parse_item(entry);
        if (std::find(items.begin(), items.end(), item) != items.end()) {
            throw UsageError("item " + item_name(item) + " is listed twice");
        }
        items.push_back(item);
    }
    if (items.empty()) {
        throw UsageError("the item list is empty");
    }
    return items;
}

int parse_id(const std::string& raw, int min, int max, const std::string& what) {
    const std::string text = trim(raw);
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::string digits = hex ? text.substr(2) : text;
    const auto is_digit = [hex](char c) {
        return hex ? std::isxdigit(static_cast<unsigned char>(c)) != 0
                   : std::isdigit(static_cast<unsigned char>(c)) != 0;
    };
    if (digits.empty() || digits.size() > 9 ||
        !std::all_of(digits.begin(), digits.end(), is_digit)) {
        throw UsageError(what + " '" + raw + "' is not a number (write 32 or 0x20)");
    }
    const long value = std::strtol(digits.c_str(), nullptr, hex ? 16 : 10);
    if (value < min || value > max) {
        throw UsageError(what + " " + text + " is out of range (" + hex_id(min) + ".." +
                         hex_id(max) + ")");
    }
    return static_cast<int>(value);
}

int parse_actuator_id(const std::string& text, const std::string& what) {
    return parse_id(text, kFirstActuatorId, kLastActuatorId, what);
}

std::vector<int> parse_actuator_id_list(const std::string& list, const std::string& what) {
    std::vector<int> ids;
    std::stringstream stream(list);
    std::string entry;
    while (std::getline(stream, entry, ',')) {
        const int id = parse_actuator_id(entry, what);
        if (std::find(ids.begin(), ids.end(), id) != ids.end()) {
            throw UsageError(what + " " + hex_id(id) + " is listed twice");
        }
        ids.push_back(id);
    }
    if (ids.empty()) {
        throw UsageError(what + " list is empty");
    }
    return ids;
}

float parse_float(const std::string& raw, const std::string& what) {
    const std::string text = trim(raw);
    if (text.empty()) {
        throw UsageError(what + " has no value");
    }
    errno = 0;
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    // strtod also accepts "nan", "inf" and hexadecimal floats; a setting must be a plain number.
    const bool plain = text.find_first_of("nNiIxX") == std::string::npos;
    if (end != text.c_str() + text.size() || !plain || errno == ERANGE ||
        !std::isfinite(static_cast<float>(value))) {
        throw UsageError(what + " '" + raw + "' is not a number");
    }
    return static_cast<float>(value);
}

std::string hex_id(int id) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "0x%x", static_cast<unsigned>(id));
    return buffer;
}

std::string format_value(double value) {
    if (std::isnan(value)) {
        return "nan";
    }
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.7g", value);
    return buffer;
}

std::string format_fixed(double value, int decimals) {
    if (std::isnan(value)) {
        return "nan";
    }
    char buffer[48];
    std::snprintf(buffer, sizeof buffer, "%.*f", decimals, value);
    // "-0.0000" reads as a glitch in a column of settled values.
    std::string text = buffer;
    if (text[0] == '-' && text.find_first_not_of("-0.") == std::string::npos) {
        text.erase(0, 1);
    }
    return text;
}

}  // namespace oxl_tool
