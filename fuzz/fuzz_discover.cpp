// Builds a folder from arbitrary entry names (regular files, subfolders, symbolic links to
// either and dangling links) and lists the simulated models it offers. Every name returned
// must be a folder's name or the text between "bindings_" and the first "_Intel_" of a file.
#include <oxl_api/orvex_actuator_virtual.hpp>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

namespace fs = std::filesystem;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const fs::path root = [] {
        fs::path p = fs::temp_directory_path() / ("oxl_fuzz_discover_" + std::to_string(getpid()));
        return p;
    }();
    std::error_code ec;
    fs::remove_all(root, ec);
    fs::create_directories(root, ec);

    std::set<std::string> allowed;
    // Entries are separated by '\n'; the first byte of each picks its kind.
    size_t pos = 0;
    int count = 0;
    while (pos < size && count < 32) {
        const uint8_t kind = data[pos++] % 5;
        std::string name;
        while (pos < size && data[pos] != '\n') {
            const char c = static_cast<char>(data[pos++]);
            if (c != '/' && c != '\0') {
                name.push_back(c);
            }
        }
        ++pos;
        if (name.empty() || name == "." || name == ".." || name.size() > 200) {
            continue;
        }
        ++count;
        const fs::path entry = root / name;
        switch (kind) {
            case 0:
                std::ofstream(entry).put('x');
                break;
            case 1:
                fs::create_directory(entry, ec);
                break;
            case 2:
                fs::create_directory_symlink(root, entry, ec);
                break;
            case 3:
                fs::create_symlink(root / "missing", entry, ec);
                break;
            default: {
                std::ofstream(root / ".target").put('x');
                fs::create_symlink(root / ".target", entry, ec);
                break;
            }
        }
        if (kind == 1 || kind == 2) {
            allowed.insert(name);
        }
        const std::string prefix = "bindings_";
        const auto mark = name.find("_Intel_", prefix.size());
        if (name.rfind(prefix, 0) == 0 && mark != std::string::npos && mark > prefix.size()) {
            allowed.insert(name.substr(prefix.size(), mark - prefix.size()));
        }
    }

    const auto names = oxl_api::OrvexActuatorVirtual::discover_available_actuators(root.string());
    for (size_t i = 0; i < names.size(); ++i) {
        if (allowed.count(names[i]) == 0 || (i > 0 && !(names[i - 1] < names[i]))) {
            std::abort();
        }
    }
    return 0;
}
