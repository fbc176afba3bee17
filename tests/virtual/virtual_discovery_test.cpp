// Discovery of simulated model names in a folder built by the test.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "oxl_api/orvex_actuator_virtual.hpp"

namespace {

namespace fs = std::filesystem;
using Names = std::vector<std::string>;

class VirtualDiscovery : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "oxl_virtual_XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        root_ = pattern;
        models_ = root_ / "models";
        fs::create_directory(models_);
    }
    void TearDown() override { fs::remove_all(root_); }
    static void touch(const fs::path& p) { std::ofstream(p) << "# model\n"; }
    static Names discover(const fs::path& p) {
        return oxl_api::OrvexActuatorVirtual::discover_available_actuators(p.string());
    }

    fs::path root_;
    fs::path models_;
};

TEST_F(VirtualDiscovery, FilesFoldersAndNearMisses) {
    EXPECT_TRUE(discover(models_).empty());
    for (const char* name :
         {"bindings_alpha_Intel_x86.py", "bindings_beta_Intel_x86.py",
          "bindings_alpha_Intel_arm.py", "bindings_gamma.py", "bindings__Intel_x.py",
          "other_delta_Intel_x.py", "bindings_eps_Intel_x.txt", "Bindings_up_Intel_x.py",
          "bindings_pyc_Intel_x.pyc", "bindings_a_Intel_b_Intel_c.py", "xbindings_pre_Intel_x.py",
          "bindings_nodot_Intel_py"}) {
        touch(models_ / name);
    }
    fs::create_directories(models_ / "zeta" / "inner");  // listed, not entered
    touch(models_ / "zeta" / "bindings_deep_Intel_x.py");
    EXPECT_EQ(discover(models_), (Names{"a", "alpha", "beta", "zeta"}));

    EXPECT_TRUE(discover("").empty());
    EXPECT_TRUE(discover(root_ / "does_not_exist").empty());
    EXPECT_TRUE(discover(models_ / "bindings_alpha_Intel_x86.py").empty());  // not a folder
}

TEST_F(VirtualDiscovery, SymbolicLinksCountAsTheirTargets) {
    fs::create_directory(root_ / "elsewhere");
    touch(root_ / "target.txt");
    fs::create_directory_symlink(root_ / "elsewhere", models_ / "linked_dir");
    fs::create_symlink(root_ / "target.txt", models_ / "bindings_omega_Intel_x.py");
    // Named like a model file but pointing at a folder: counts as a folder.
    fs::create_directory_symlink(root_ / "elsewhere", models_ / "bindings_dir_Intel_x.py");
    // A dangling link adds nothing and does not end the walk (the extra folders make it likely
    // that some entries are listed after it).
    fs::create_symlink(root_ / "missing", models_ / "bindings_dangling_Intel_x.py");
    Names expected = {"bindings_dir_Intel_x.py", "linked_dir", "omega"};
    for (char c = 'p'; c <= 'z'; ++c) {
        fs::create_directory(models_ / std::string(1, c));
        expected.emplace_back(1, c);
    }
    EXPECT_EQ(discover(models_), expected);
}

}  // namespace
