#include "output.hpp"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>

namespace oxl_tool {
namespace {

bool g_quiet = false;

}  // namespace

void set_quiet(bool quiet_in) {
    g_quiet = quiet_in;
}

bool quiet() {
    return g_quiet;
}

void note(const std::string& line) {
    if (!g_quiet) {
        std::cerr << line << std::endl;
    }
}

Json json_number(float value) {
    if (std::isnan(value)) {
        return Json();
    }
    if (std::trunc(value) == value && std::fabs(value) < 1e15f) {
        return Json(static_cast<long long>(value));
    }
    char text[32];
    for (int digits = 6; digits <= 9; ++digits) {
        std::snprintf(text, sizeof text, "%.*g", digits, static_cast<double>(value));
        if (std::strtof(text, nullptr) == value) {
            break;
        }
    }
    return Json(std::strtod(text, nullptr));
}

void print_json(const Json& document) {
    std::cout << document.dump(2) << std::endl;
}

}  // namespace oxl_tool
