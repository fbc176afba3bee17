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

namespace {

// Page size and the shared x axis of a plot.
struct Layout {
    double width = 0.0;
    double height = 0.0;
    double plot_w = 0.0;  // width of every panel's frame
    Range xr;
    std::vector<double> x_ticks;

    explicit Layout(const Plot& plot) {
        const double panels = static_cast<double>(std::max<std::size_t>(plot.panels.size(), 1));
        width = plot.width;
        height = kTop + panels * plot.panel_height + (panels - 1) * kGap + kBottom;
        plot_w = width - kLeft - kRight;
        for (const auto& panel : plot.panels) {
            for (const auto& series : panel.series) {
                for (const double x : series.x) {
                    xr.add(x);
                }
            }
        }
        x_ticks = xr.settle(10);
    }

    double sx(double x) const { return kLeft + (x - xr.lo) / (xr.hi - xr.lo) * plot_w; }
};

void write_heading(std::ostringstream& svg, const Plot& plot, const Layout& layout) {
    svg << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << num(layout.width)
        << "\" height=\"" << num(layout.height) << "\" viewBox=\"0 0 " << num(layout.width) << ' '
        << num(layout.height) << "\" font-family=\"sans-serif\" font-size=\"12\">\n"
        << "<rect x=\"0\" y=\"0\" width=\"" << num(layout.width) << "\" height=\""
        << num(layout.height) << "\" fill=\"white\"/>\n"
        << "<text x=\"" << num(kLeft) << "\" y=\"24\" font-size=\"16\" font-weight=\"bold\">"
        << escape(plot.title) << "</text>\n";
}

// One swatch per series, in panel order.
void write_legend(std::ostringstream& svg, const Plot& plot) {
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
}

// The frame of panel `p` and its y axis.
struct PanelFrame {
    double top = 0.0;
    double bottom = 0.0;
    double height = 0.0;
    Range yr;
    std::vector<double> y_ticks;

    PanelFrame(const Plot& plot, std::size_t p) {
        height = plot.panel_height;
        top = kTop + static_cast<double>(p) * (height + kGap);
        bottom = top + height;
        for (const auto& series : plot.panels[p].series) {
            for (const double y : series.y) {
                yr.add(y);
            }
        }
        y_ticks = yr.settle(4);
    }

    double sy(double y) const { return bottom - (y - yr.lo) / (yr.hi - yr.lo) * height; }
};

// Grid, tick and axis labels (the x ones under the last panel only), and the zero line when the
// y range crosses it.
void write_axes(std::ostringstream& svg, const Plot& plot, const Layout& layout,
                const PanelFrame& frame, std::size_t p) {
    const double plot_w = layout.plot_w;
    const auto& x_ticks = layout.x_ticks;
    const auto& y_ticks = frame.y_ticks;
    const double y_step = y_ticks.size() > 1 ? y_ticks[1] - y_ticks[0] : 1.0;
    const double x_step = x_ticks.size() > 1 ? x_ticks[1] - x_ticks[0] : 1.0;
    svg << "<g class=\"grid\" stroke=\"#e4e4e4\" stroke-width=\"1\">\n";
    for (const double y : y_ticks) {
        svg << "<line x1=\"" << num(kLeft) << "\" y1=\"" << num(frame.sy(y)) << "\" x2=\""
            << num(kLeft + plot_w) << "\" y2=\"" << num(frame.sy(y)) << "\"/>\n";
    }
    for (const double x : x_ticks) {
        svg << "<line x1=\"" << num(layout.sx(x)) << "\" y1=\"" << num(frame.top) << "\" x2=\""
            << num(layout.sx(x)) << "\" y2=\"" << num(frame.bottom) << "\"/>\n";
    }
    svg << "</g>\n<g class=\"y-ticks\" text-anchor=\"end\" fill=\"#333\">\n";
    for (const double y : y_ticks) {
        svg << "<text x=\"" << num(kLeft - 6) << "\" y=\"" << num(frame.sy(y) + 4) << "\">"
            << tick_label(y, y_step) << "</text>\n";
    }
    svg << "</g>\n";
    if (p + 1 == plot.panels.size()) {
        svg << "<g class=\"x-ticks\" text-anchor=\"middle\" fill=\"#333\">\n";
        for (const double x : x_ticks) {
            svg << "<text x=\"" << num(layout.sx(x)) << "\" y=\"" << num(frame.bottom + 16) << "\">"
                << tick_label(x, x_step) << "</text>\n";
        }
        svg << "</g>\n<text x=\"" << num(kLeft + plot_w / 2) << "\" y=\"" << num(frame.bottom + 38)
            << "\" text-anchor=\"middle\">" << escape(plot.x_label) << "</text>\n";
    }
    svg << "<text transform=\"translate(" << num(22) << ' ' << num((frame.top + frame.bottom) / 2)
        << ") rotate(-90)\" text-anchor=\"middle\">" << escape(plot.panels[p].y_label)
        << "</text>\n";
    if (frame.yr.lo < 0.0 && frame.yr.hi > 0.0) {
        svg << "<line x1=\"" << num(kLeft) << "\" y1=\"" << num(frame.sy(0.0)) << "\" x2=\""
            << num(kLeft + plot_w) << "\" y2=\"" << num(frame.sy(0.0))
            << "\" stroke=\"#999\" stroke-width=\"1\"/>\n";
    }
}

// One polyline per series of panel `p`, clipped to the panel.
void write_series(std::ostringstream& svg, const PlotPanel& panel, const Layout& layout,
                  const PanelFrame& frame, std::size_t p) {
    for (const auto& series : panel.series) {
        svg << "<polyline class=\"series\" data-series=\"" << escape(series.name)
            << "\" clip-path=\"url(#clip-" << p << ")\" fill=\"none\" stroke=\""
            << escape(series.color) << "\" stroke-width=\"1.8\""
            << (series.dashed ? " stroke-dasharray=\"6 4\"" : "") << " points=\"";
        const std::size_t n = std::min(series.x.size(), series.y.size());
        for (std::size_t i = 0; i < n; ++i) {
            if (std::isfinite(series.x[i]) && std::isfinite(series.y[i])) {
                svg << num(layout.sx(series.x[i])) << ',' << num(frame.sy(series.y[i])) << ' ';
            }
        }
        svg << "\"/>\n";
    }
}

// Panel `p` as one group: clip path, axes, series and frame.
void write_panel(std::ostringstream& svg, const Plot& plot, const Layout& layout, std::size_t p) {
    const PanelFrame frame(plot, p);
    svg << "<g class=\"panel\" id=\"panel-" << p << "\">\n"
        << "<clipPath id=\"clip-" << p << "\"><rect x=\"" << num(kLeft) << "\" y=\""
        << num(frame.top) << "\" width=\"" << num(layout.plot_w) << "\" height=\""
        << num(plot.panel_height) << "\"/></clipPath>\n";
    write_axes(svg, plot, layout, frame, p);
    write_series(svg, plot.panels[p], layout, frame, p);
    svg << "<rect x=\"" << num(kLeft) << "\" y=\"" << num(frame.top) << "\" width=\""
        << num(layout.plot_w) << "\" height=\"" << num(plot.panel_height)
        << "\" fill=\"none\" stroke=\"#444\" stroke-width=\"1\"/>\n</g>\n";
}

// Markers over every panel, labelled above the first.
void write_markers(std::ostringstream& svg, const Plot& plot, const Layout& layout) {
    const double panels_bottom = layout.height - kBottom;
    svg << "<g id=\"markers\" fill=\"#555\" font-size=\"11\">\n";
    for (const auto& marker : plot.markers) {
        const double x = layout.sx(marker.x);
        svg << "<line x1=\"" << num(x) << "\" y1=\"" << num(kTop - 8) << "\" x2=\"" << num(x)
            << "\" y2=\"" << num(panels_bottom) << "\" stroke=\"#888\" stroke-width=\"1\" "
            << "stroke-dasharray=\"3 3\"/>\n<text x=\"" << num(x + 3) << "\" y=\"" << num(kTop - 10)
            << "\">" << escape(marker.label) << "</text>\n";
    }
    svg << "</g>\n";
}

}  // namespace

std::string render_svg(const Plot& plot) {
    const Layout layout(plot);
    std::ostringstream svg;
    write_heading(svg, plot, layout);
    write_legend(svg, plot);
    for (std::size_t p = 0; p < plot.panels.size(); ++p) {
        write_panel(svg, plot, layout, p);
    }
    write_markers(svg, plot, layout);
    svg << "</svg>\n";
    return svg.str();
}

}  // namespace oxl_tool
