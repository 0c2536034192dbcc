#include "scopeview.h"

#include <QFont>
#include <QFontMetrics>
#include <QPainter>
#include <QPolygonF>

#include <algorithm>
#include <cmath>

namespace scope {

namespace {

const QColor background(12, 16, 20);
const QColor gridLine(44, 52, 60);
const QColor axisLine(78, 88, 98);
const QColor border(96, 106, 116);
const QColor titleText(200, 206, 212);
const QColor quietText(140, 148, 156);
const QColor triggeredText(120, 220, 120);
const QColor untriggeredText(236, 180, 72);

constexpr int margin = 8;
constexpr int minorTicks = 5;

QFont scopeFont()
{
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(13);
    return font;
}

int lineHeight()
{
    return QFontMetrics(scopeFont()).height() + 3;
}

Column columnOf(const Capture& capture, int index)
{
    return Column{capture.volts.data() + index, capture.frames, int(capture.channels.size())};
}

QString channelName(int channel)
{
    return QStringLiteral("К%1").arg(channel);
}

QString measurementLine(const Trace& trace, const ScopeSettings& settings)
{
    const Measurement& m = trace.measurement;
    const QString frequency = std::isnan(m.frequency) ? QStringLiteral("—") : engineering(m.frequency, QStringLiteral("Гц"), 5);
    return QStringLiteral("%1   %2/дел    Частота %3    Размах %4    Среднее %5")
        .arg(channelName(trace.channel), engineering(settings.voltsPerDivisionOf(trace.channel), QStringLiteral("В")),
             frequency, engineering(m.peakToPeak, QStringLiteral("В"), 4), engineering(m.mean, QStringLiteral("В"), 4));
}

// The trace as a line through its frames; with many frames per pixel column, the span each column
// covers (so that nothing between the pixels is lost).
void drawTrace(QPainter& painter, const QRect& grid, const ScopeFrame& frame, const Trace& trace, double voltsPerDivision)
{
    const double pixelsPerFrame = double(grid.width()) / frame.windowFrames;
    const double pixelsPerVolt = double(grid.height()) / divisionsUp / voltsPerDivision;
    const double middle = grid.top() + grid.height() / 2.0;
    auto y = [&](double v) { return std::clamp(middle - v * pixelsPerVolt, double(grid.top() - 4), double(grid.bottom() + 4)); };
    auto x = [&](int64_t j) { return grid.left() + (double(j) - frame.leadFrames) * pixelsPerFrame; };
    const int64_t n = trace.volts.size();
    if (pixelsPerFrame >= 0.5) {
        QPolygonF line;
        line.reserve(int(n));
        for (int64_t j = 0; j < n; ++j)
            line.append(QPointF(x(j), y(trace.volts.at(int(j)))));
        painter.drawPolyline(line);
        return;
    }
    int64_t j = 0;
    double previous = trace.volts.first();
    for (int column = 0; column < grid.width() && j < n; ++column) {
        double low = previous;
        double high = previous;
        for (; j < n && x(j) < grid.left() + column + 1; ++j) {
            low = std::min(low, trace.volts.at(int(j)));
            high = std::max(high, trace.volts.at(int(j)));
            previous = trace.volts.at(int(j));
        }
        painter.drawLine(QPointF(grid.left() + column, y(high)), QPointF(grid.left() + column, y(low)));
    }
}

void drawGrid(QPainter& painter, const QRect& grid)
{
    const double dx = double(grid.width()) / divisionsAcross;
    const double dy = double(grid.height()) / divisionsUp;
    painter.setPen(QPen(gridLine, 1, Qt::DotLine));
    for (int i = 1; i < divisionsAcross; ++i)
        painter.drawLine(QPointF(grid.left() + i * dx, grid.top()), QPointF(grid.left() + i * dx, grid.bottom()));
    for (int i = 1; i < divisionsUp; ++i)
        painter.drawLine(QPointF(grid.left(), grid.top() + i * dy), QPointF(grid.right(), grid.top() + i * dy));
    const QPointF centre(grid.left() + grid.width() / 2.0, grid.top() + grid.height() / 2.0);
    painter.setPen(QPen(axisLine, 1));
    painter.drawLine(QPointF(grid.left(), centre.y()), QPointF(grid.right(), centre.y()));
    painter.drawLine(QPointF(centre.x(), grid.top()), QPointF(centre.x(), grid.bottom()));
    for (int i = 0; i <= divisionsAcross * minorTicks; ++i) {
        const double tx = grid.left() + i * dx / minorTicks;
        painter.drawLine(QPointF(tx, centre.y() - 3), QPointF(tx, centre.y() + 3));
    }
    for (int i = 0; i <= divisionsUp * minorTicks; ++i) {
        const double ty = grid.top() + i * dy / minorTicks;
        painter.drawLine(QPointF(centre.x() - 3, ty), QPointF(centre.x() + 3, ty));
    }
    painter.setPen(QPen(border, 1));
    painter.drawRect(grid.adjusted(0, 0, -1, -1));
}

// A small filled triangle pointing right (at the level) or down (at the trigger time).
void drawMark(QPainter& painter, const QPointF& tip, bool down, const QColor& colour)
{
    const double s = 6;
    const QPolygonF mark = down ? QPolygonF({tip, tip + QPointF(-s, -s), tip + QPointF(s, -s)})
                                : QPolygonF({tip, tip + QPointF(-s, -s), tip + QPointF(-s, s)});
    painter.setPen(Qt::NoPen);
    painter.setBrush(colour);
    painter.drawPolygon(mark);
    painter.setBrush(Qt::NoBrush);
}

} // namespace

QString engineering(double value, const QString& unit, int digits)
{
    static const struct
    {
        int power;
        const char* prefix;
    } prefixes[] = {{6, "М"}, {3, "к"}, {0, ""}, {-3, "м"}, {-6, "мк"}, {-9, "н"}};
    int power = 0;
    const double size = std::fabs(value);
    if (size > 0 && std::isfinite(size)) {
        power = -9;
        for (const auto& p : prefixes) {
            if (size >= std::pow(10.0, p.power) * 0.99995) {
                power = p.power;
                break;
            }
        }
    }
    const char* prefix = "";
    for (const auto& p : prefixes) {
        if (p.power == power)
            prefix = p.prefix;
    }
    const double scaled = value / std::pow(10.0, power);
    QString number;
    if (digits <= 0) {
        number = QString::number(scaled, 'g', 6);
    } else {
        const int whole = std::fabs(scaled) >= 1 ? int(std::floor(std::log10(std::fabs(scaled)))) + 1 : 1;
        number = QString::number(scaled, 'f', std::max(0, digits - whole));
    }
    if (number.startsWith(QLatin1Char('-'))
        && std::none_of(number.begin(), number.end(), [](QChar c) { return c >= QLatin1Char('1') && c <= QLatin1Char('9'); }))
        number.remove(0, 1);  // no "-0.000"
    return number + QLatin1Char(' ') + QString::fromUtf8(prefix) + unit;
}

QColor channelColor(int channel)
{
    static const QColor colours[] = {QColor(250, 226, 60),  QColor(64, 214, 240),  QColor(240, 96, 200),
                                     QColor(96, 230, 96),   QColor(250, 150, 50),  QColor(140, 150, 255),
                                     QColor(255, 90, 90),   QColor(230, 230, 230)};
    return colours[(channel - 1) & 7];
}

QString moduleTitle(const ModuleInfo& module)
{
    return QStringLiteral("%1 · слот %2 · %3").arg(module.crate).arg(module.slot).arg(module.name);
}

int triggerChannelFor(const ModuleInfo& module, const ScopeSettings& settings)
{
    if (module.enabled.contains(settings.triggerChannel))
        return settings.triggerChannel;
    return module.enabled.isEmpty() ? 0 : module.enabled.first();
}

ScopeFrame messageFrame(const QString& title, const QString& state)
{
    ScopeFrame frame;
    frame.title = title;
    frame.state = state;
    return frame;
}

ScopeFrame makeFrame(const ModuleInfo& module, const Capture& capture, const ScopeSettings& settings)
{
    ScopeFrame frame = messageFrame(moduleTitle(module), QString());
    frame.rate = module.outputRate;
    if (!module.running) {
        // The outputs hold their last levels: a level across the whole screen per channel, for the
        // enabled channels, or without a configuration for every channel that is not at 0 V.
        QVector<int> shown = module.enabled;
        if (!module.configured) {
            for (int channel = 1; channel <= module.outputs.size(); ++channel) {
                if (module.outputs.at(channel - 1) != 0.0)
                    shown.append(channel);
            }
        }
        frame.state = !module.configured      ? QStringLiteral("Модуль не настроен")
                      : module.enabled.isEmpty() ? QStringLiteral("Нет включённых каналов")
                                                 : QStringLiteral("Вывод остановлен");
        frame.windowFrames = 1.0;
        for (int channel : shown) {
            Trace trace;
            trace.channel = channel;
            const double level = module.outputs.value(channel - 1);
            trace.volts = {level, level};
            trace.measurement.mean = level;
            frame.traces.append(trace);
        }
        return frame;
    }
    const double length = settings.windowSeconds() * module.outputRate;
    frame.windowFrames = length;
    if (capture.frames < 2 || capture.channels.isEmpty()) {
        frame.state = QStringLiteral("Нет сыгранных кадров");
        return frame;
    }
    frame.triggerChannel = triggerChannelFor(module, settings);
    const int triggerColumn = capture.channels.indexOf(frame.triggerChannel);
    Window window;
    if (triggerColumn >= 0)
        window = placeWindow(columnOf(capture, triggerColumn), length, settings.triggerLevel);
    else
        window.origin = std::max(0.0, double(capture.frames - 1) - length);
    frame.triggered = window.triggered;
    frame.state = window.triggered ? QStringLiteral("Синхр.") : QStringLiteral("Авто");
    const int64_t first = int64_t(std::floor(window.origin));
    const int64_t count = std::min<int64_t>(capture.frames - first, int64_t(std::ceil(window.origin + length)) - first + 1);
    frame.leadFrames = window.origin - double(first);
    // Measured over the frames inside the window; the mean over each channel's whole periods in it.
    const int64_t inside = int64_t(std::ceil(window.origin));
    const int64_t insideCount = std::min<int64_t>(capture.frames, int64_t(std::ceil(window.origin + length))) - inside;
    for (int i = 0; i < capture.channels.size(); ++i) {
        const Column column = columnOf(capture, i);
        Trace trace;
        trace.channel = capture.channels.at(i);
        trace.volts.resize(int(count));
        for (int64_t j = 0; j < count; ++j)
            trace.volts[int(j)] = column[first + j];
        trace.measurement = measure(column, inside, insideCount, module.outputRate);
        frame.traces.append(trace);
    }
    return frame;
}

QRect gridRect(const QRect& area, int traceCount)
{
    const int line = lineHeight();
    const int top = area.top() + margin + line + margin / 2;
    const int bottom = area.bottom() - margin - traceCount * line - margin / 2;
    // Whole pixels per division, so that every grid line is as sharp as the next.
    const int width = std::max(divisionsAcross, (area.width() - 2 * margin) / divisionsAcross * divisionsAcross);
    const int height = std::max(divisionsUp, (bottom - top) / divisionsUp * divisionsUp);
    return QRect(area.left() + (area.width() - width) / 2, top, width, height);
}

void drawScope(QPainter& painter, const QRect& area, const ScopeFrame& frame, const ScopeSettings& settings)
{
    painter.save();
    painter.fillRect(area, background);
    painter.setFont(scopeFont());
    const int line = lineHeight();
    const QRect grid = gridRect(area, frame.traces.size());

    // Title line: the module, the rate and time base, and how the traces were taken.
    const QRect title(area.left() + margin, area.top() + margin, area.width() - 2 * margin, line);
    painter.setPen(titleText);
    painter.drawText(title, Qt::AlignLeft | Qt::AlignVCenter, frame.title);
    QString timeBase = engineering(settings.secondsPerDivision, QStringLiteral("с")) + QStringLiteral("/дел");
    if (frame.rate > 0)
        timeBase = QStringLiteral("%1 выб/с    %2").arg(frame.rate, 0, 'f', 0).arg(timeBase);
    painter.drawText(title, Qt::AlignHCenter | Qt::AlignVCenter, timeBase);
    QString state = frame.state;
    if (frame.triggerChannel > 0) {
        state += QStringLiteral("   %1 ↑ %2").arg(channelName(frame.triggerChannel),
                                                 engineering(settings.triggerLevel, QStringLiteral("В")));
    }
    painter.setPen(frame.triggered ? triggeredText : frame.triggerChannel > 0 ? untriggeredText : quietText);
    painter.drawText(title, Qt::AlignRight | Qt::AlignVCenter, state);

    drawGrid(painter, grid);
    if (frame.traces.isEmpty()) {
        painter.setPen(quietText);
        painter.drawText(grid, Qt::AlignCenter, frame.state);
    }

    painter.save();
    painter.setClipRect(grid);
    painter.setRenderHint(QPainter::Antialiasing, false);
    for (const Trace& trace : frame.traces) {
        painter.setPen(QPen(channelColor(trace.channel), 2, Qt::SolidLine, Qt::FlatCap, Qt::RoundJoin));
        drawTrace(painter, grid, frame, trace, settings.voltsPerDivisionOf(trace.channel));
    }
    painter.restore();

    if (frame.triggerChannel > 0) {
        const QColor colour = channelColor(frame.triggerChannel);
        const double pixelsPerVolt = double(grid.height()) / divisionsUp / settings.voltsPerDivisionOf(frame.triggerChannel);
        const double levelY = std::clamp(grid.top() + grid.height() / 2.0 - settings.triggerLevel * pixelsPerVolt,
                                         double(grid.top()), double(grid.bottom()));
        painter.setRenderHint(QPainter::Antialiasing, true);
        drawMark(painter, QPointF(grid.left() - 1, levelY), false, colour);
        if (frame.triggered)
            drawMark(painter, QPointF(grid.left() + grid.width() / 2.0, grid.top() - 1), true, colour);
    }

    // One line of measurements per trace under the grid.
    int y = grid.bottom() + margin / 2 + 1;
    for (const Trace& trace : frame.traces) {
        painter.setPen(channelColor(trace.channel));
        painter.drawText(QRect(area.left() + margin, y, area.width() - 2 * margin, line), Qt::AlignLeft | Qt::AlignVCenter,
                         measurementLine(trace, settings));
        y += line;
    }
    painter.restore();
}

} // namespace scope
