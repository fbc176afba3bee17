#include "names.hpp"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include <oxl_api/details/vocabulary.hpp>

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

// Name tables built from the library's own enumerator lists, so a code added there is known here.
#define OXL_TOOL_NAMED(name, value) {Code::name, #name},

const std::vector<std::pair<Item, std::string>>& all_items() {
    using Code = Item;
    static const std::vector<std::pair<Item, std::string>> table = {
        OXL_API_FEEDBACK_ITEMS(OXL_TOOL_NAMED)};
    return table;
}

const std::vector<std::pair<Parameter, std::string>>& all_parameters() {
    using Code = Parameter;
    static const std::vector<std::pair<Parameter, std::string>> table = {
        OXL_API_PARAMETERS(OXL_TOOL_NAMED)};
    return table;
}

const std::vector<std::pair<Mode, std::string>>& all_modes() {
    using Code = Mode;
    static const std::vector<std::pair<Mode, std::string>> table = {OXL_API_MODES(OXL_TOOL_NAMED)};
    return table;
}

#undef OXL_TOOL_NAMED

std::string item_name(Item item) {
    return name_of(all_items(), item);
}

std::string parameter_name(Parameter parameter) {
    return name_of(all_parameters(), parameter);
}

std::string mode_name(Mode mode) {
    return name_of(all_modes(), mode);
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

long long parse_number(const std::string& raw, long long min, long long max,
                       const std::string& what) {
    const std::string text = trim(raw);
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::string digits = hex ? text.substr(2) : text;
    const auto is_digit = [hex](char c) {
        return hex ? std::isxdigit(static_cast<unsigned char>(c)) != 0
                   : std::isdigit(static_cast<unsigned char>(c)) != 0;
    };
    if (digits.empty() || digits.size() > 12 ||
        !std::all_of(digits.begin(), digits.end(), is_digit)) {
        throw UsageError(what + " '" + raw + "' is not a number (write 32 or 0x20)");
    }
    const long long value = std::strtoll(digits.c_str(), nullptr, hex ? 16 : 10);
    if (value < min || value > max) {
        char range[48];
        std::snprintf(range, sizeof range, "0x%llx..0x%llx", static_cast<unsigned long long>(min),
                      static_cast<unsigned long long>(max));
        throw UsageError(what + " " + text + " is out of range (" + range + ")");
    }
    return value;
}

int parse_id(const std::string& text, int min, int max, const std::string& what) {
    return static_cast<int>(parse_number(text, min, max, what));
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

std::vector<int> parse_actuator_ids(const std::vector<std::string>& texts) {
    std::vector<int> ids;
    for (const auto& text : texts) {
        const int id = parse_actuator_id(text);
        if (std::find(ids.begin(), ids.end(), id) != ids.end()) {
            throw UsageError("actuator " + hex_id(id) + " is given twice");
        }
        ids.push_back(id);
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
