#include "svg_plot.hpp"

#include "names.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <sstream>

namespace oxl_tool {
namespace {

// Page layout in SVG user units (pixels).
constexpr double kLeft = 84.0;  // room for the y tick labels and the rotated axis label
constexpr double kRight = 24.0;
constexpr double kTop = 76.0;     // title, legend and marker labels
constexpr double kBottom = 52.0;  // x tick labels and the x axis label
constexpr double kGap = 18.0;     // between panels

std::string escape(const std::string& text) {
    std::string out;
    for (const char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string num(double value) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.2f", value);
    return buffer;
}

// Decimals enough to tell ticks `step` apart.
std::string tick_label(double value, double step) {
    const int decimals = std::max(0, static_cast<int>(-std::floor(std::log10(step) + 1e-9)));
    return format_fixed(value, decimals);
}

struct Range {
    double lo = std::numeric_limits<double>::infinity();
    double hi = -std::numeric_limits<double>::infinity();
    void add(double v) {
        if (std::isfinite(v)) {
            lo = std::min(lo, v);
            hi = std::max(hi, v);
        }
    }
    // Widens an empty or flat range, rounds it out to whole tick steps and returns the ticks.
    std::vector<double> settle(int target) {
        if (!(lo <= hi)) {
            lo = 0.0;
            hi = 1.0;
        }
        if (hi - lo < 1e-12) {
            lo -= 1.0;
            hi += 1.0;
        }
        const auto first = nice_ticks(lo, hi, target);
        const double step = first.size() > 1 ? first[1] - first[0] : (hi - lo);
        lo = std::floor(lo / step + 1e-9) * step;
        hi = std::ceil(hi / step - 1e-9) * step;
        std::vector<double> ticks;
        for (double k = std::round(lo / step); k * step <= hi + step * 1e-9; k += 1.0) {
            ticks.push_back(std::fabs(k) < 0.5 ? 0.0 : k * step);
        }
        return ticks;
    }
};

}  // namespace

std::vector<double> nice_ticks(double lo, double hi, int target) {
    if (!std::isfinite(lo) || !std::isfinite(hi) || hi <= lo || target < 1) {
        return {std::isfinite(lo) ? lo : 0.0};
    }
    const double raw = (hi - lo) / target;
    const double power = std::pow(10.0, std::floor(std::log10(raw)));
    double step = power * 10.0;
    for (const double factor : {1.0, 2.0, 5.0}) {
        if (raw <= factor * power * 1.0000001) {
            step = factor * power;
            break;
        }
    }
    std::vector<double> ticks;
    const double first = std::ceil(lo / step - 1e-9);
    for (double k = first; k * step <= hi + step * 1e-9; k += 1.0) {
        const double value = k * step;
        ticks.push_back(std::fabs(value) < step * 1e-9 ? 0.0 : value);
    }
    return ticks;
}

std::string render_svg(const Plot& plot) {
    const double panels = static_cast<double>(std::max<std::size_t>(plot.panels.size(), 1));
    const double width = plot.width;
    const double height = kTop + panels * plot.panel_height + (panels - 1) * kGap + kBottom;
    const double plot_w = width - kLeft - kRight;

    Range xr;
    for (const auto& panel : plot.panels) {
        for (const auto& series : panel.series) {
            for (const double x : series.x) {
                xr.add(x);
            }
        }
    }
    const auto x_ticks = xr.settle(10);
    const auto sx = [&](double x) { return kLeft + (x - xr.lo) / (xr.hi - xr.lo) * plot_w; };

    std::ostringstream svg;
    svg << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << num(width) << "\" height=\""
        << num(height) << "\" viewBox=\"0 0 " << num(width) << ' ' << num(height)
        << "\" font-family=\"sans-serif\" font-size=\"12\">\n"
        << "<rect x=\"0\" y=\"0\" width=\"" << num(width) << "\" height=\"" << num(height)
        << "\" fill=\"white\"/>\n"
        << "<text x=\"" << num(kLeft) << "\" y=\"24\" font-size=\"16\" font-weight=\"bold\">"
        << escape(plot.title) << "</text>\n";

    // Legend: one swatch per series, in panel order.
    svg << "<g id=\"legend\">\n";
    double lx = kLeft;
    for (const auto& panel : plot.panels) {
        for (const auto& series : panel.series) {
            svg << "<line x1=\"" << num(lx) << "\" y1=\"42\" x2=\"" << num(lx + 24)
                << "\" y2=\"42\" stroke=\"" << escape(series.color) << "\" stroke-width=\"2.5\""
                << (series.dashed ? " stroke-dasharray=\"6 4\"" : "") << "/>\n"
                << "<text x=\"" << num(lx + 30) << "\" y=\"46\">" << escape(series.name)
                << "</text>\n";
            lx += 42.0 + 7.5 * static_cast<double>(series.name.size());
        }
    }
    svg << "</g>\n";

    for (std::size_t p = 0; p < plot.panels.size(); ++p) {
        const PlotPanel& panel = plot.panels[p];
        const double top = kTop + static_cast<double>(p) * (plot.panel_height + kGap);
        const double bottom = top + plot.panel_height;
        Range yr;
        for (const auto& series : panel.series) {
            for (const double y : series.y) {
                yr.add(y);
            }
        }
        const auto y_ticks = yr.settle(4);
        const auto sy = [&](double y) {
            return bottom - (y - yr.lo) / (yr.hi - yr.lo) * plot.panel_height;
        };
        const double y_step = y_ticks.size() > 1 ? y_ticks[1] - y_ticks[0] : 1.0;
        const double x_step = x_ticks.size() > 1 ? x_ticks[1] - x_ticks[0] : 1.0;

        svg << "<g class=\"panel\" id=\"panel-" << p << "\">\n"
            << "<clipPath id=\"clip-" << p << "\"><rect x=\"" << num(kLeft) << "\" y=\"" << num(top)
            << "\" width=\"" << num(plot_w) << "\" height=\"" << num(plot.panel_height)
            << "\"/></clipPath>\n";
        // Grid and tick labels.
        svg << "<g class=\"grid\" stroke=\"#e4e4e4\" stroke-width=\"1\">\n";
        for (const double y : y_ticks) {
            svg << "<line x1=\"" << num(kLeft) << "\" y1=\"" << num(sy(y)) << "\" x2=\""
                << num(kLeft + plot_w) << "\" y2=\"" << num(sy(y)) << "\"/>\n";
        }
        for (const double x : x_ticks) {
            svg << "<line x1=\"" << num(sx(x)) << "\" y1=\"" << num(top) << "\" x2=\"" << num(sx(x))
                << "\" y2=\"" << num(bottom) << "\"/>\n";
        }
        svg << "</g>\n<g class=\"y-ticks\" text-anchor=\"end\" fill=\"#333\">\n";
        for (const double y : y_ticks) {
            svg << "<text x=\"" << num(kLeft - 6) << "\" y=\"" << num(sy(y) + 4) << "\">"
                << tick_label(y, y_step) << "</text>\n";
        }
        svg << "</g>\n";
        if (p + 1 == plot.panels.size()) {
            svg << "<g class=\"x-ticks\" text-anchor=\"middle\" fill=\"#333\">\n";
            for (const double x : x_ticks) {
                svg << "<text x=\"" << num(sx(x)) << "\" y=\"" << num(bottom + 16) << "\">"
                    << tick_label(x, x_step) << "</text>\n";
            }
            svg << "</g>\n<text x=\"" << num(kLeft + plot_w / 2) << "\" y=\"" << num(bottom + 38)
                << "\" text-anchor=\"middle\">" << escape(plot.x_label) << "</text>\n";
        }
        svg << "<text transform=\"translate(" << num(22) << ' ' << num((top + bottom) / 2)
            << ") rotate(-90)\" text-anchor=\"middle\">" << escape(panel.y_label) << "</text>\n";
        if (yr.lo < 0.0 && yr.hi > 0.0) {
            svg << "<line x1=\"" << num(kLeft) << "\" y1=\"" << num(sy(0.0)) << "\" x2=\""
                << num(kLeft + plot_w) << "\" y2=\"" << num(sy(0.0))
                << "\" stroke=\"#999\" stroke-width=\"1\"/>\n";
        }
        // One polyline per series.
        for (const auto& series : panel.series) {
            svg << "<polyline class=\"series\" data-series=\"" << escape(series.name)
                << "\" clip-path=\"url(#clip-" << p << ")\" fill=\"none\" stroke=\""
                << escape(series.color) << "\" stroke-width=\"1.8\""
                << (series.dashed ? " stroke-dasharray=\"6 4\"" : "") << " points=\"";
            const std::size_t n = std::min(series.x.size(), series.y.size());
            for (std::size_t i = 0; i < n; ++i) {
                if (std::isfinite(series.x[i]) && std::isfinite(series.y[i])) {
                    svg << num(sx(series.x[i])) << ',' << num(sy(series.y[i])) << ' ';
                }
            }
            svg << "\"/>\n";
        }
        svg << "<rect x=\"" << num(kLeft) << "\" y=\"" << num(top) << "\" width=\"" << num(plot_w)
            << "\" height=\"" << num(plot.panel_height)
            << "\" fill=\"none\" stroke=\"#444\" stroke-width=\"1\"/>\n</g>\n";
    }

    // Markers over every panel, labelled above the first.
    const double panels_bottom = height - kBottom;
    svg << "<g id=\"markers\" fill=\"#555\" font-size=\"11\">\n";
    for (const auto& marker : plot.markers) {
        const double x = sx(marker.x);
        svg << "<line x1=\"" << num(x) << "\" y1=\"" << num(kTop - 8) << "\" x2=\"" << num(x)
            << "\" y2=\"" << num(panels_bottom) << "\" stroke=\"#888\" stroke-width=\"1\" "
            << "stroke-dasharray=\"3 3\"/>\n<text x=\"" << num(x + 3) << "\" y=\"" << num(kTop - 10)
            << "\">" << escape(marker.label) << "</text>\n";
    }
    svg << "</g>\n</svg>\n";
    return svg.str();
}

}  // namespace oxl_tool
