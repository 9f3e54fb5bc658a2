#pragma once
// Pictures of the command-line host: figures of stacked panels drawn with QtGui
// on an image in memory and saved as PNG. No display is needed: main() creates
// a GUI application on the offscreen platform when a job is asked for a picture
// (--plot), which gives the painter its fonts.
//
// A panel has a title, two axes (the x axis linear or logarithmic), shaded
// spans along x, horizontal bands, vertical marks and line series; the figure
// stacks its panels from top to bottom with their share of the height.
//
// Threading: draw on the main thread (fonts are not shared across threads).
#include <QColor>
#include <QString>
#include <memory>
#include <vector>

#include "tonewright/SoundFilter.h"

class QImage;

namespace plot {

struct Series {
    QString name;  // legend text (empty: not in the legend)
    QColor color;
    std::vector<double> x, y;
    double width = 1.5;
    bool steps = false;    // hold each value until the next x
    bool markers = false;  // a dot at each point
};

// A shaded stretch [x0, x1] over the whole height of the panel.
struct Span {
    double x0 = 0, x1 = 0;
    QColor color;
};

// A horizontal segment [x0, x1] at height y (band levels, region levels).
struct Segment {
    double x0 = 0, x1 = 0, y = 0;
    QColor color;
    double width = 2.0;
};

struct Panel {
    QString title;
    QString xLabel, yLabel;
    double xMin = 0, xMax = 1, yMin = 0, yMax = 1;
    bool logX = false;
    double weight = 1.0;  // share of the figure's height
    std::vector<Span> spans;
    std::vector<Segment> segments;
    std::vector<Series> series;
    // Legend entries for spans and segments (series carry their own).
    std::vector<std::pair<QString, QColor>> legend;
    QString note;  // a line of text in the top-right corner
};

class Figure {
public:
    Figure(int width, int height);
    void addPanel(Panel panel) { mPanels.push_back(std::move(panel)); }
    QImage render() const;
    // Renders and writes a PNG (atomically, see OutputFiles.h); false with a
    // readable cause.
    bool save(const QString& path, QString* error) const;

private:
    int mWidth, mHeight;
    std::vector<Panel> mPanels;
};

// Whether pictures can be drawn (a GUI application object exists).
bool available();
// Whether a picture may carry this name: PNG data goes under ".png" only.
bool isPictureName(const QString& name);
// Parses "WIDTHxHEIGHT"; sizes from 320x240 to 8000x8000.
bool parseSize(const QString& text, int* width, int* height);

// Magnitude response in dB of filters in cascade at f Hz, from their
// coefficients and gains, for the sample rate `rate`.
double responseDb(const std::vector<std::shared_ptr<SoundTools::Filter>>& filters, double f, double rate);

// Colours shared by the pictures, so that the same thing looks the same.
namespace colors {
QColor level();
QColor region();
QColor noise();
QColor slope();
QColor bands();
QColor spectrum();
QColor reference();
QColor response();
}  // namespace colors

}  // namespace plot
