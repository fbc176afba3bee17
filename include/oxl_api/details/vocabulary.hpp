#pragma once

// Enumerator lists shared by the actuator client, the simulated actuator and the oxl tool. Each
// class nests its own enum types (they are distinct types) and fills them from these lists, so
// that the two can never disagree on a name or a value; the tool builds its name tables from
// them. X(name, value) is applied to every entry in code order. It also holds the few numeric
// facts of the protocol that the library and the tool both need, each defined once here.

#include <cstddef>

namespace oxl_api {

/// Highest OXL id that can be addressed; 0 is the USB-to-CAN adapter.
constexpr int kLastOxlId = 0x3FFE;
/// Lowest address an actuator can be given (the ids below are reserved).
constexpr int kFirstActuatorAddress = 0x10;
/// Most feedback items in one frame: 5 bytes each within the 59-byte payload.
constexpr std::size_t kMaxItemsPerFrame = 11;
/// The feedback stream's period is counted in 100 us ticks, 10,000 a second.
constexpr int kFeedbackTicksPerSecond = 10000;

/// Streaming period in ticks for `rate_hz`, rounded to the nearest tick with halves up; 0 for a
/// rate of 0 or below (streaming off), and 0 also for rates above 20,000 Hz (under half a tick).
constexpr int feedback_period_ticks(int rate_hz) {
    return rate_hz <= 0 ? 0 : (kFeedbackTicksPerSecond + rate_hz / 2) / rate_hz;
}

}  // namespace oxl_api

// Control modes with dynamics.
#define OXL_API_MODES(X) \
    X(TORQUE, 5)         \
    X(SPEED, 6)          \
    X(POSITION, 7)       \
    X(IMPEDANCE, 8)

// Torque and speed performance presets.
#define OXL_API_PERFORMANCE_LEVELS(X) \
    X(LEVEL_0, 0)                     \
    X(LEVEL_1, 1)                     \
    X(LEVEL_2, 2)                     \
    X(LEVEL_3, 3)

// Streaming rates in hertz; RATE_0HZ stops streaming.
#define OXL_API_RATES(X) \
    X(RATE_0HZ, 0)       \
    X(RATE_1HZ, 1)       \
    X(RATE_10HZ, 10)     \
    X(RATE_50HZ, 50)     \
    X(RATE_100HZ, 100)   \
    X(RATE_200HZ, 200)   \
    X(RATE_250HZ, 250)   \
    X(RATE_500HZ, 500)   \
    X(RATE_1000HZ, 1000) \
    X(RATE_2000HZ, 2000) \
    X(RATE_2500HZ, 2500) \
    X(RATE_5000HZ, 5000) \
    X(RATE_10000HZ, 10000)

// The 48 feedback item codes (0x4E is not an item).
#define OXL_API_FEEDBACK_ITEMS(X) \
    X(POSITION_41, 0x41)          \
    X(ITEM_42, 0x42)              \
    X(POSITION_43, 0x43)          \
    X(ITEM_44, 0x44)              \
    X(SPEED_45, 0x45)             \
    X(ITEM_46, 0x46)              \
    X(ITEM_47, 0x47)              \
    X(ITEM_48, 0x48)              \
    X(TORQUE_49, 0x49)            \
    X(ITEM_4A, 0x4A)              \
    X(SETPOINT_4B, 0x4B)          \
    X(POSITION_4C, 0x4C)          \
    X(SETPOINT_4D, 0x4D)          \
    X(ITEM_4F, 0x4F)              \
    X(ITEM_50, 0x50)              \
    X(ITEM_51, 0x51)              \
    X(ITEM_52, 0x52)              \
    X(ITEM_53, 0x53)              \
    X(ITEM_54, 0x54)              \
    X(SETPOINT_55, 0x55)          \
    X(TORQUE_56, 0x56)            \
    X(ITEM_57, 0x57)              \
    X(ITEM_58, 0x58)              \
    X(ITEM_59, 0x59)              \
    X(POWER_5A, 0x5A)             \
    X(DC_CURRENT_5B, 0x5B)        \
    X(ITEM_5C, 0x5C)              \
    X(POWER_5D, 0x5D)             \
    X(ITEM_5E, 0x5E)              \
    X(ITEM_5F, 0x5F)              \
    X(ITEM_60, 0x60)              \
    X(ITEM_61, 0x61)              \
    X(ITEM_62, 0x62)              \
    X(VBUS, 0x70)                 \
    X(TEMPERATURE_71, 0x71)       \
    X(TEMP_WINDING, 0x72)         \
    X(POSITION_73, 0x73)          \
    X(ERRORS, 0x90)               \
    X(ITEM_91, 0x91)              \
    X(ITEM_92, 0x92)              \
    X(ITEM_93, 0x93)              \
    X(ITEM_94, 0x94)              \
    X(ITEM_95, 0x95)              \
    X(ITEM_96, 0x96)              \
    X(ITEM_97, 0x97)              \
    X(ITEM_98, 0x98)              \
    X(ITEM_99, 0x99)              \
    X(ITEM_9A, 0x9A)

// The 31 parameter codes, in the order in which all parameters are read.
#define OXL_API_PARAMETERS(X)     \
    X(K_DAMP, 0x01)               \
    X(K_STIFF, 0x02)              \
    X(T_FF, 0x03)                 \
    X(LIMIT_TORQUE, 0x04)         \
    X(PARAM_05, 0x05)             \
    X(PARAM_06, 0x06)             \
    X(LIMIT_SPEED_MAX, 0x07)      \
    X(LIMIT_SPEED_MIN, 0x08)      \
    X(PROFILE_POSITION_MAX, 0x09) \
    X(PROFILE_POSITION_MIN, 0x0A) \
    X(PROFILE_SPEED_MAX, 0x0B)    \
    X(PROFILE_SPEED_MIN, 0x0C)    \
    X(PARAM_0D, 0x0D)             \
    X(PARAM_0E, 0x0E)             \
    X(PARAM_0F, 0x0F)             \
    X(MODE, 0x30)                 \
    X(SETPOINT, 0x31)             \
    X(TORQUE_PERFORMANCE, 0x40)   \
    X(SPEED_PERFORMANCE, 0x41)    \
    X(PARAM_42, 0x42)             \
    X(PARAM_43, 0x43)             \
    X(PARAM_44, 0x44)             \
    X(PARAM_45, 0x45)             \
    X(PARAM_46, 0x46)             \
    X(PARAM_47, 0x47)             \
    X(PARAM_80, 0x80)             \
    X(ADDRESS, 0x81)              \
    X(PARAM_82, 0x82)             \
    X(PARAM_83, 0x83)             \
    X(PARAM_84, 0x84)             \
    X(CAN_HIGH_SPEED, 0x85)

// Expands one list entry into an enumerator.
#define OXL_API_ENUMERATOR(name, value) name = value,
