// Construction, command surface, parameter store, reports and model selection of the simulated
// actuator; model discovery runs on a folder built by the test.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <climits>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "oxl_api/orvex_actuator_virtual.hpp"

namespace {

using oxl_api::OrvexActuatorVirtual;
using Mode = OrvexActuatorVirtual::Mode;
using P = OrvexActuatorVirtual::OXL_Parameters;
using Store = OrvexActuatorVirtual::ParameterMap;
using Names = std::vector<std::string>;
namespace fs = std::filesystem;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

TEST(VirtualState, AddressRangeIsCheckedAtConstructionAndOnChange) {
    for (int bad : {15, 16383, -1, INT_MIN, INT_MAX}) {
        try {
            OrvexActuatorVirtual a(bad);
            ADD_FAILURE() << "address " << bad << " was accepted";
        } catch (const std::invalid_argument& e) {
            EXPECT_STREQ(e.what(), "Invalid virtual actuator address");
        }
    }
    EXPECT_EQ(OrvexActuatorVirtual(16).address, 16);
    OrvexActuatorVirtual a(16382);
    EXPECT_THROW(a.change_address(16383), std::invalid_argument);
    EXPECT_THROW(a.change_address(5), std::invalid_argument);
    EXPECT_EQ(a.address, 16382);
    EXPECT_EQ(a.param_or_nan(P::ADDRESS), 16382.0f);
    a.change_address(0x20);
    EXPECT_EQ(a.param_or_nan(P::ADDRESS), 32.0f);
    EXPECT_EQ(a.address, 0x20);
}

TEST(VirtualState, FreshObjectStoreAndAbsentCodes) {
    OrvexActuatorVirtual a(0x30);
    EXPECT_EQ(a.model + " " + a.firmware, "virtual cpp-virtual-2.0.0");
    EXPECT_EQ(a.mode, Mode::POSITION);
    const Store expected = {{P::ADDRESS, 48.0f},  {P::MODE, 7.0f},         {P::SETPOINT, 0},
                            {P::LIMIT_TORQUE, 0}, {P::LIMIT_SPEED_MAX, 0}, {P::LIMIT_SPEED_MIN, 0},
                            {P::PARAM_05, 0},     {P::PARAM_06, 0},        {P::PARAM_80, 20000.0f},
                            {P::PARAM_83, 0},     {P::PARAM_84, 20000.0f}, {P::CAN_HIGH_SPEED, 0}};
    EXPECT_EQ(a.get_parameters_all(), expected);
    // Absent codes read as NaN, once per distinct code, and reading never inserts them.
    EXPECT_TRUE(std::isnan(a.param_or_nan(P::TORQUE_PERFORMANCE)));
    const Store read = a.get_parameters({P::K_STIFF, P::MODE, P::K_STIFF}, 0.0f);
    ASSERT_EQ(read.size(), 2u);
    EXPECT_TRUE(std::isnan(read.at(P::K_STIFF)));
    EXPECT_EQ(read.at(P::MODE), 7.0f);
    EXPECT_TRUE(a.get_parameters({}).empty());
    EXPECT_EQ(a.parameters.size(), 12u);
    EXPECT_FALSE(a.has_errors());
    a.limit_flags["i_max"] = true;
    EXPECT_TRUE(a.has_errors());
}

// Each option goes to its own code unless it is NaN; "not used" options go nowhere.
TEST(VirtualState, SetpointOptionsLandInTheirParameters) {
    const auto added = [](OrvexActuatorVirtual& x, const Store& before) {
        Store out;
        for (const auto& [code, value] : x.parameters) {
            if (before.count(code) == 0 || code == P::MODE || code == P::SETPOINT) {
                out[code] = value;
            }
        }
        return out;
    };
    OrvexActuatorVirtual t(0x10), s(0x10), p(0x10), i(0x10);
    const Store fresh = t.parameters;
    t.change_torque_setpoint(2.0f, 1, 2, 3, 4);
    s.change_speed_setpoint(3.0f, 1, 2, 3, kInf);
    p.change_position_setpoint(4.0f, 1, 2, 3, 4, 5);
    i.change_impedance_setpoint(0.5f, kNaN, 10.0f, 0.5f, 7.0f, kNaN, 3.0f, 4.0f);
    // clang-format off
    EXPECT_EQ(added(t, fresh), (Store{{P::MODE, 5}, {P::SETPOINT, 2}, {P::PARAM_0D, 1},
                                      {P::PARAM_0E, 2}, {P::PARAM_0F, 3}}));
    EXPECT_EQ(added(s, fresh), (Store{{P::MODE, 6}, {P::SETPOINT, 3}, {P::PARAM_45, 1},
                                      {P::PARAM_0E, 2}, {P::PARAM_0D, 3}, {P::T_FF, kInf}}));
    EXPECT_EQ(added(p, fresh), (Store{{P::MODE, 7}, {P::SETPOINT, 4}, {P::PARAM_45, 1},
                                      {P::PARAM_0E, 2}, {P::PARAM_0D, 3}, {P::PARAM_0F, 4},
                                      {P::T_FF, 5}}));
    EXPECT_EQ(added(i, fresh), (Store{{P::MODE, 8}, {P::SETPOINT, 0.5f}, {P::K_STIFF, 10},
                                      {P::K_DAMP, 0.5f}}));
    // clang-format on
    EXPECT_EQ(i.get_all_parameters().at("impedance").at("K_stiff"), 10.0f);
}

TEST(VirtualState, SetParametersConvertsModeAndAddressWithoutUndefinedBehaviour) {
    OrvexActuatorVirtual a(0x10);
    const std::pair<float, int> modes[] = {{6.7f, 6},   {-1.0f, 0},        {-1e30f, 0}, {kNaN, 0},
                                           {263.9f, 7}, {1e10f, 255},      {kInf, 255}, {-kInf, 0},
                                           {0.99f, 0},  {4294967040.0f, 0}};  // 0xFFFFFF00
    for (const auto& [value, mode] : modes) {
        a.set_parameters({{P::MODE, value}});
        EXPECT_EQ(static_cast<int>(a.mode), mode) << value;
        EXPECT_EQ(std::isnan(value), std::isnan(a.param_or_nan(P::MODE)));
        EXPECT_TRUE(std::isnan(value) || a.param_or_nan(P::MODE) == value);  // stored unchanged
    }
    // clang-format off
    const std::pair<float, int> addresses[] = {
        {5.0f, 5}, {-7.9f, -7}, {kNaN, 0}, {1e20f, INT_MAX}, {-1e20f, INT_MIN}, {kInf, INT_MAX},
        {-kInf, INT_MIN}, {2147483648.0f, INT_MAX}, {-2147483648.0f, INT_MIN}};
    // clang-format on
    for (const auto& [value, address] : addresses) {
        a.set_parameters({{P::ADDRESS, value}});
        EXPECT_EQ(a.address, address) << value;
    }
    // Other codes change only the store, even those that mirror a field.
    a.set_parameters({{P::SETPOINT, 2.5f}, {P::CAN_HIGH_SPEED, 1.0f}, {P::TORQUE_PERFORMANCE, 3}});
    EXPECT_EQ(a.setpoint, 2.5f);
    EXPECT_FALSE(a.can_high_speed);
    EXPECT_EQ(a.torque_performance, OrvexActuatorVirtual::TorquePerformance::LEVEL_2);
    EXPECT_EQ(a.param_or_nan(P::CAN_HIGH_SPEED), 1.0f);

    a.set_can_high_speed(false);
    a.set_speed_performance(OrvexActuatorVirtual::SpeedPerformance::LEVEL_3);
    EXPECT_EQ(a.get_parameters({P::CAN_HIGH_SPEED, P::SPEED_PERFORMANCE}),
              (Store{{P::CAN_HIGH_SPEED, 0.0f}, {P::SPEED_PERFORMANCE, 3.0f}}));
}

TEST(VirtualState, ReportsMirrorTheState) {
    OrvexActuatorVirtual a(0x10);
    const auto groups = a.get_all_parameters();
    EXPECT_EQ(groups.at("control").at("mode"), 7.0f);
    EXPECT_EQ(groups.at("limits").at("speed_min"), 0.0f);
    EXPECT_EQ(groups.at("impedance").size() + groups.at("profile").size(), 7u);
    for (const char* group : {"impedance", "profile"}) {
        for (const auto& [key, value] : groups.at(group)) {
            EXPECT_TRUE(std::isnan(value)) << group << "/" << key;  // absent from the store
        }
    }
    EXPECT_EQ(a.get_debug_flags(), a.limit_flags);
    EXPECT_EQ(a.get_debug_flags().size(), 10u);

    a.change_torque_setpoint(3.0f);  // torque mode: position, speed and torque all differ
    a.start();
    a.step(1.0f, 50);
    ASSERT_NE(a.position, a.speed);
    const auto i = a.get_info();
    const auto m = a.get_motor_state();
    const auto x = a.get_measurements();
    EXPECT_EQ(i.size() + m.size() + x.size(), 27u);
    EXPECT_EQ((std::vector<float>{i.at("enable"), i.at("T_fb"), i.at("T_ref"), i.at("spd_ref"),
                                  i.at("temp_winding"), m.at("m_Tl"), m.at("m_eff_mec")}),
              (std::vector<float>{1.0f, 2.0f, 3.0f, 3.0f, 25.0f, 1.0f, 1.0f}));
    EXPECT_EQ(m.at("m_i_dc"), 2.0f / 48.0f);
    for (float pos : {i.at("pos_fb"), m.at("m_pos1"), m.at("m_pos2"), x.at("e_pos"), x.at("pos")}) {
        EXPECT_EQ(pos, a.position);
    }
    for (float spd : {i.at("spd_fb"), m.at("m_spd1"), m.at("m_spd2"), x.at("spd"), x.at("spd2")}) {
        EXPECT_EQ(spd, a.speed);
    }
    a.vbus = 0.0f;  // not reachable through commands; the division must still be guarded
    EXPECT_EQ(a.get_motor_state().at("m_i_dc"), 0.0f);
}

TEST(VirtualState, ModelLabels) {
    OrvexActuatorVirtual a(0x10);
    EXPECT_EQ(a.set_actuator_from_paths("pa", "pc"), 0);
    EXPECT_EQ(a.firmware + "|" + a.path_a + "|" + a.path_b + "|" + a.path_c,
              "virtual-from-paths:cpp-virtual-2.0.0|pa||pc");
    EXPECT_EQ(a.set_actuator("m1", "A", "B"), 0);
    a.set_actuator_from_paths("A2", "C2");
    EXPECT_EQ(a.model + "|" + a.firmware + "|" + a.path_a + "|" + a.path_b + "|" + a.path_c,
              "m1|m1:cpp-virtual-2.0.0|A2|B|C2");
    a.set_actuator("", "", "");
    EXPECT_EQ(a.model + "|" + a.firmware, "|cpp-virtual-2.0.0");
    a.set_actuator_from_paths("", "");
    EXPECT_EQ(a.firmware, ":cpp-virtual-2.0.0");
}

// A temporary folder holding an empty "models" folder; removed afterwards.
struct VirtualDiscovery : testing::Test {
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "oxl_virtual_XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        root = pattern;
        models = root / "models";
        fs::create_directory(models);
    }
    void TearDown() override { fs::remove_all(root); }
    static void touch(const fs::path& p) { std::ofstream(p) << "# model\n"; }
    static Names discover(const fs::path& p) {
        return OrvexActuatorVirtual::discover_available_actuators(p.string());
    }
    fs::path root, models;
};

TEST_F(VirtualDiscovery, ModelFilesAndFoldersCountWithLinksAsTheirTargets) {
    EXPECT_TRUE(discover(models).empty());
    for (const char* name :
         {"bindings_alpha_Intel_x86.py", "bindings_beta_Intel_x86.py",
          "bindings_alpha_Intel_arm.py", "bindings_gamma.py", "bindings__Intel_x.py",
          "other_delta_Intel_x.py", "bindings_eps_Intel_x.txt", "Bindings_up_Intel_x.py",
          "bindings_pyc_Intel_x.pyc", "bindings_a_Intel_b_Intel_c.py", "xbindings_pre_Intel_x.py",
          "bindings_nodot_Intel_py"}) {
        touch(models / name);
    }
    fs::create_directories(models / "zeta" / "inner");  // listed, not entered
    touch(models / "zeta" / "bindings_deep_Intel_x.py");
    EXPECT_EQ(discover(models), (Names{"a", "alpha", "beta", "zeta"}));
    EXPECT_TRUE(discover("").empty());
    EXPECT_TRUE(discover(root / "does_not_exist").empty());
    EXPECT_TRUE(discover(models / "bindings_alpha_Intel_x86.py").empty());  // not a folder

    fs::create_directory(root / "elsewhere");
    touch(root / "target.txt");
    fs::create_directory_symlink(root / "elsewhere", models / "linked_dir");
    fs::create_symlink(root / "target.txt", models / "bindings_omega_Intel_x.py");
    // Named like a model file but pointing at a folder: counts as a folder.
    fs::create_directory_symlink(root / "elsewhere", models / "bindings_dir_Intel_x.py");
    // A dangling link adds nothing and does not end the walk (the extra folders make it likely
    // that some entries are listed after it).
    fs::create_symlink(root / "missing", models / "bindings_dangling_Intel_x.py");
    Names expected = {"a", "alpha", "beta", "bindings_dir_Intel_x.py", "linked_dir", "omega"};
    for (char c = 'p'; c <= 'z'; ++c) {
        fs::create_directory(models / std::string(1, c));
        expected.emplace_back(1, c);
    }
    expected.push_back("zeta");
    EXPECT_EQ(discover(models), expected);
}

}  // namespace
