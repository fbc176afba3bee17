#pragma once

#include <string>
#include <vector>

namespace oxl_tool {

/// One line of a plot: a name for the legend, a colour, and its points (NaN values are skipped).
struct PlotSeries {
    std::string name;
    std::string color;
    bool dashed = false;
    std::vector<double> x;
    std::vector<double> y;
};

/// One panel: its own y axis, shared x axis with the other panels.
struct PlotPanel {
    std::string y_label;
    std::vector<PlotSeries> series;
};

/// A vertical line across every panel at `x`, labelled at the top (a phase of an experiment).
struct PlotMarker {
    double x = 0.0;
    std::string label;
};

/// A plot of panels stacked over one x axis.
struct Plot {
    std::string title;
    std::string x_label;
    std::vector<PlotPanel> panels;
    std::vector<PlotMarker> markers;
    int width = 960;
    int panel_height = 170;
};

/// About `target` tick values covering `lo`..`hi`, spaced by 1, 2 or 5 times a power of ten,
/// ascending. A degenerate or non-finite range gives the single value `lo` (or 0).
std::vector<double> nice_ticks(double lo, double hi, int target);

/// The plot as a standalone SVG document: title, legend, one frame per panel with grid lines,
/// tick labels and axis labels, one polyline per series (clipped to its panel, marked with
/// `data-series="<name>"`), and the markers.
std::string render_svg(const Plot& plot);

}  // namespace oxl_tool
