#pragma once

#include <string>
#include <utility>
#include <vector>

#include <oxl_api/orvex_actuator.hpp>

namespace oxl_tool {

using Item = oxl_api::OrvexActuator::OXL_Items;
using Parameter = oxl_api::OrvexActuator::OXL_Parameters;
using Mode = oxl_api::OrvexActuator::Mode;

/// Lowest and highest actuator address on the bus.
constexpr int kFirstActuatorId = oxl_api::kFirstActuatorAddress;
constexpr int kLastActuatorId = oxl_api::kLastOxlId;

/// The 48 feedback items with their enumerator names, in code order.
const std::vector<std::pair<Item, std::string>>& all_items();
/// The 31 parameters with their enumerator names, in code order.
const std::vector<std::pair<Parameter, std::string>>& all_parameters();
/// The four control modes with their enumerator names, in code order.
const std::vector<std::pair<Mode, std::string>>& all_modes();

/// Enumerator name of an item, or "0x.." for a code outside the table.
std::string item_name(Item item);
/// Enumerator name of a parameter, or "0x.." for a code outside the table.
std::string parameter_name(Parameter parameter);
/// Enumerator name of a control mode, or "0x.." for a value outside the table.
std::string mode_name(Mode mode);

/// The item named `name` (case-insensitive). Throws `UsageError` naming the closest matches.
Item parse_item(const std::string& name);
/// The parameter named `name` (case-insensitive). Throws `UsageError` naming the closest matches.
Parameter parse_parameter(const std::string& name);
/// Items of a comma-separated list, in order. Throws `UsageError` for an empty entry, an unknown
/// name or a repeated item.
std::vector<Item> parse_item_list(const std::string& list);

/// A whole number written in decimal ("32") or hexadecimal ("0x20"), within `min`..`max`
/// (which must not be negative). Throws `UsageError` mentioning `what` when it is malformed or
/// out of range.
long long parse_number(const std::string& text, long long min, long long max,
                       const std::string& what);
/// An id written in decimal ("32") or hexadecimal ("0x20"), within `min`..`max`. Throws
/// `UsageError` mentioning `what` when it is malformed or out of range.
int parse_id(const std::string& text, int min, int max, const std::string& what);
/// An actuator address (0x10..0x3FFE); see `parse_id`.
int parse_actuator_id(const std::string& text, const std::string& what = "actuator id");
/// Distinct actuator addresses of a comma-separated list, in order.
std::vector<int> parse_actuator_id_list(const std::string& list, const std::string& what);
/// Distinct actuator addresses, one per argument, in order. Throws `UsageError` for a malformed
/// one or one given twice.
std::vector<int> parse_actuator_ids(const std::vector<std::string>& texts);

/// A finite decimal number ("2.5", "-1e-3"); throws `UsageError` mentioning `what` otherwise.
float parse_float(const std::string& text, const std::string& what);

/// "0x" followed by the id in lower-case hexadecimal.
std::string hex_id(int id);
/// A value with up to 7 significant digits ("20000", "0.1", "nan").
std::string format_value(double value);
/// A value with a fixed number of decimals, for aligned columns.
std::string format_fixed(double value, int decimals);

}  // namespace oxl_tool
