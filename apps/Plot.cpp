#include "Plot.h"

#include <QFileInfo>
#include <QFont>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QImage>
#include <QImageWriter>
#include <QPainter>
#include <QPainterPath>
#include <QRegularExpression>
#include <cmath>
#include <complex>

#include "Cli.h"
#include "tonewright/SoundOutputFile.h"

namespace plot {

namespace colors {
QColor level() { return QColor(40, 90, 170); }
QColor region() { return QColor(200, 60, 40); }
QColor noise() { return QColor(0, 0, 0, 38); }
QColor slope() { return QColor(240, 160, 20, 90); }
QColor bands() { return QColor(40, 90, 170); }
QColor spectrum() { return QColor(60, 150, 70); }
QColor reference() { return QColor(200, 60, 40); }
QColor response() { return QColor(120, 50, 160); }
}  // namespace colors

bool available() { return qobject_cast<QGuiApplication*>(QCoreApplication::instance()) != nullptr; }

bool parseSize(const QString& text, int* width, int* height) {
    const QRegularExpressionMatch m = QRegularExpression("^\\s*(\\d{1,5})\\s*[xX]\\s*(\\d{1,5})\\s*$").match(text);
    if (!m.hasMatch()) return false;
    const int w = m.captured(1).toInt(), h = m.captured(2).toInt();
    if (w < 320 || h < 240 || w > 8000 || h > 8000) return false;
    *width = w;
    *height = h;
    return true;
}


double responseDb(const std::vector<std::shared_ptr<SoundTools::Filter>>& filters, double f, double rate) {
    // H(z) = gain * B(z) / A(z) at z = e^{jw}, coefficients in powers of z^-1.
    const std::complex<double> zInv = std::polar(1.0, -2.0 * M_PI * f / rate);
    std::complex<double> h(1.0, 0.0);
    for (const auto& filter : filters) {
        if (!filter) continue;
        const std::valarray<double>& b = filter->getBCoeff();
        const std::valarray<double>& a = filter->getACoeff();
        std::complex<double> num(0, 0), den(0, 0), p(1, 0);
        for (size_t k = 0; k < std::max(b.size(), a.size()); ++k) {
            if (k < b.size()) num += b[k] * p;
            if (k < a.size()) den += a[k] * p;
            p *= zInv;
        }
        if (std::abs(den) == 0) return -INFINITY;
        h *= filter->getGain() * num / den;
    }
    const double m = std::abs(h);
    return m > 0 ? 20.0 * std::log10(m) : -INFINITY;
}

namespace {

// Tick positions: "nice" steps for linear axes, 1-2-5 per decade for log axes.
std::vector<double> ticks(double lo, double hi, bool log, int approx) {
    std::vector<double> t;
    if (!(hi > lo)) return t;
    if (log) {
        for (double decade = std::pow(10.0, std::floor(std::log10(lo))); decade <= hi; decade *= 10)
            for (double m : {1.0, 2.0, 5.0}) {
                const double v = decade * m;
                if (v >= lo * 0.999 && v <= hi * 1.001) t.push_back(v);
            }
        return t;
    }
    const double raw = (hi - lo) / std::max(1, approx);
    const double mag = std::pow(10.0, std::floor(std::log10(raw)));
    double step = mag;
    for (double m : {1.0, 2.0, 2.5, 5.0, 10.0})
        if (raw <= m * mag) {
            step = m * mag;
            break;
        }
    for (double v = std::ceil(lo / step) * step; v <= hi + step * 1e-9; v += step) t.push_back(std::fabs(v) < step * 1e-9 ? 0.0 : v);
    return t;
}

QString tickText(double v, bool log) {
    if (log) return v >= 1000 ? QString::number(v / 1000.0) + "k" : QString::number(v);
    if (std::fabs(v) >= 3600 * 2 && std::fmod(v, 60) == 0) return QString::number(v / 60) + "m";
    return QString::number(v, 'g', 6);
}

class Mapper {
public:
    Mapper(const Panel& p, const QRectF& r) : mP(p), mR(r) {}
    double x(double v) const {
        double f;
        if (mP.logX) {
            if (v <= 0) v = mP.xMin;
            f = (std::log10(v) - std::log10(mP.xMin)) / (std::log10(mP.xMax) - std::log10(mP.xMin));
        } else {
            f = (v - mP.xMin) / (mP.xMax - mP.xMin);
        }
        return mR.left() + f * mR.width();
    }
    double y(double v) const { return mR.bottom() - (v - mP.yMin) / (mP.yMax - mP.yMin) * mR.height(); }

private:
    const Panel& mP;
    QRectF mR;
};

void drawPanel(QPainter& g, const Panel& p, const QRectF& area) {
    const QFontMetrics fm(g.font());
    const double left = 64, right = 16, top = fm.height() + 10, bottom = fm.height() * 2 + 12;
    const QRectF plotRect(area.left() + left, area.top() + top, area.width() - left - right,
                          area.height() - top - bottom);
    if (plotRect.width() < 10 || plotRect.height() < 10) return;
    Panel q = p;
    if (!(q.xMax > q.xMin)) q.xMax = q.xMin + 1;
    if (!(q.yMax > q.yMin)) q.yMax = q.yMin + 1;
    if (q.logX && q.xMin <= 0) q.xMin = 1;
    const Mapper m(q, plotRect);

    // Title and legend on the line above the plot.
    g.setPen(Qt::black);
    QFont bold = g.font();
    bold.setBold(true);
    g.save();
    g.setFont(bold);
    g.drawText(QPointF(plotRect.left(), area.top() + fm.ascent() + 4), q.title);
    g.restore();
    std::vector<std::pair<QString, QColor>> legend = q.legend;
    for (const Series& s : q.series)
        if (!s.name.isEmpty()) legend.emplace_back(s.name, s.color);
    double lx = plotRect.right();
    for (auto it = legend.rbegin(); it != legend.rend(); ++it) {
        const double w = fm.horizontalAdvance(it->first);
        lx -= w;
        g.setPen(Qt::black);
        g.drawText(QPointF(lx, area.top() + fm.ascent() + 4), it->first);
        lx -= 18;
        QColor c = it->second;
        c.setAlpha(std::max(c.alpha(), 120));
        g.fillRect(QRectF(lx, area.top() + 4 + fm.ascent() / 2.0 - 4, 12, 8), c);
        lx -= 14;
    }

    g.fillRect(plotRect, Qt::white);
    g.save();
    g.setClipRect(plotRect);
    for (const Span& s : q.spans) {
        const double x0 = m.x(s.x0), x1 = m.x(s.x1);
        g.fillRect(QRectF(QPointF(std::min(x0, x1), plotRect.top()), QPointF(std::max(x0, x1) + 0.5, plotRect.bottom())),
                   s.color);
    }
    // Grid.
    g.setPen(QPen(QColor(220, 220, 220), 1));
    const std::vector<double> xt = ticks(q.xMin, q.xMax, q.logX, int(plotRect.width() / 90));
    const std::vector<double> yt = ticks(q.yMin, q.yMax, false, int(plotRect.height() / 40));
    for (double v : xt) g.drawLine(QPointF(m.x(v), plotRect.top()), QPointF(m.x(v), plotRect.bottom()));
    for (double v : yt) g.drawLine(QPointF(plotRect.left(), m.y(v)), QPointF(plotRect.right(), m.y(v)));

    g.setRenderHint(QPainter::Antialiasing, true);
    for (const Segment& s : q.segments) {
        if (!std::isfinite(s.y)) continue;
        g.setPen(QPen(s.color, s.width, Qt::SolidLine, Qt::FlatCap));
        g.drawLine(QPointF(m.x(s.x0), m.y(s.y)), QPointF(m.x(s.x1), m.y(s.y)));
    }
    for (const Series& s : q.series) {
        g.setPen(QPen(s.color, s.width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        QPainterPath path;
        bool open = false;
        const size_t n = std::min(s.x.size(), s.y.size());
        for (size_t i = 0; i < n; ++i) {
            // Silence (-inf) and gaps (NaN) break the line.
            const double yv = std::isfinite(s.y[i]) ? std::max(s.y[i], q.yMin - (q.yMax - q.yMin)) : NAN;
            if (!std::isfinite(yv) || !std::isfinite(s.x[i])) {
                open = false;
                continue;
            }
            const QPointF pt(m.x(s.x[i]), m.y(yv));
            if (!open) {
                path.moveTo(pt);
                open = true;
            } else if (s.steps) {
                path.lineTo(QPointF(pt.x(), path.currentPosition().y()));
                path.lineTo(pt);
            } else {
                path.lineTo(pt);
            }
            if (s.steps && (i + 1 == n) && i > 0) path.lineTo(QPointF(m.x(q.xMax), pt.y()));
        }
        g.drawPath(path);
        if (s.markers) {
            g.setBrush(s.color);
            for (size_t i = 0; i < n; ++i)
                if (std::isfinite(s.y[i])) g.drawEllipse(QPointF(m.x(s.x[i]), m.y(s.y[i])), 3, 3);
            g.setBrush(Qt::NoBrush);
        }
    }
    g.restore();

    // Frame, tick labels, axis names.
    g.setPen(QPen(QColor(90, 90, 90), 1));
    g.drawRect(plotRect);
    g.setPen(Qt::black);
    for (double v : xt) {
        const QString t = tickText(v, q.logX);
        g.drawText(QPointF(m.x(v) - fm.horizontalAdvance(t) / 2.0, plotRect.bottom() + fm.ascent() + 3), t);
    }
    for (double v : yt) {
        const QString t = tickText(v, false);
        g.drawText(QPointF(plotRect.left() - fm.horizontalAdvance(t) - 5, m.y(v) + fm.ascent() / 2.0 - 1), t);
    }
    g.drawText(QPointF(plotRect.center().x() - fm.horizontalAdvance(q.xLabel) / 2.0,
                       plotRect.bottom() + fm.height() + fm.ascent() + 5),
               q.xLabel);
    g.save();
    g.translate(area.left() + fm.ascent() + 2, plotRect.center().y() + fm.horizontalAdvance(q.yLabel) / 2.0);
    g.rotate(-90);
    g.drawText(QPointF(0, 0), q.yLabel);
    g.restore();
    if (!q.note.isEmpty()) {
        g.setPen(QColor(70, 70, 70));
        g.drawText(QPointF(plotRect.right() - fm.horizontalAdvance(q.note) - 6, plotRect.top() + fm.ascent() + 4), q.note);
    }
}

}  // namespace

Figure::Figure(int width, int height) : mWidth(width), mHeight(height) {}

QImage Figure::render() const {
    QImage image(mWidth, mHeight, QImage::Format_RGB32);
    image.fill(QColor(248, 248, 248));
    QPainter g(&image);
    QFont font = g.font();
    // Text grows with the picture, within readable bounds.
    font.setPixelSize(std::max(11, std::min(18, mWidth / 90)));
    g.setFont(font);
    double total = 0;
    for (const Panel& p : mPanels) total += p.weight > 0 ? p.weight : 1.0;
    double y = 0;
    for (const Panel& p : mPanels) {
        const double h = mHeight * (p.weight > 0 ? p.weight : 1.0) / (total > 0 ? total : 1.0);
        drawPanel(g, p, QRectF(0, y, mWidth, h));
        y += h;
    }
    g.end();
    return image;
}

bool Figure::save(const QString& path, QString* error) const {
    if (!available()) {
        if (error) *error = "pictures need the offscreen GUI platform, which is not set up";
        return false;
    }
    // Like every output, under a temporary name until it is complete.
    SoundOutputFile file(path);
    if (!file.ok()) {
        if (error) *error = cli::lastError();
        return false;
    }
    QImageWriter writer(file.path(), "png");
    if (!writer.write(render())) {
        if (error) *error = writer.errorString();
        return false;
    }
    if (!file.commit(cli::options().overwrite)) {
        if (error) *error = cli::lastError();
        return false;
    }
    return true;
}

bool isPictureName(const QString& name) { return QFileInfo(name).suffix().toLower() == "png"; }

}  // namespace plot
