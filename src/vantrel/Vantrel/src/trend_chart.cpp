// The trend chart: draws the TrendModel, asks the TrendLoader for history, takes its answers.
#include "vantrel/trend_chart.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <limits>
#include <utility>

#include <QAccessible>
#include <QAccessibleWidget>
#include <QComboBox>
#include <QDateTime>
#include <QHBoxLayout>
#include <QLabel>
#include <QList>
#include <QPainter>
#include <QPen>
#include <QPointF>
#include <QTimer>
#include <QVBoxLayout>
#include <QtCharts/QAbstractSeries>
#include <QtCharts/QChart>
#include <QtCharts/QDateTimeAxis>
#include <QtCharts/QLegend>
#include <QtCharts/QLegendMarker>
#include <QtCharts/QLineSeries>
#include <QtCharts/QScatterSeries>
#include <QtCharts/QValueAxis>

namespace vantrel::desktop {

namespace {

// How often the window looks for an answer while a read is out.
constexpr int kPollMs = 50;

QString q(const std::string& text) {
    return QString::fromStdString(text);
}

qreal msecs(TrendClock::time_point t) {
    return static_cast<qreal>(
        std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count());
}

// Distinct hues for up to eight tags; red is kept for the marks of samples that are not Good.
QColor line_color(std::size_t index) {
    static const QColor colors[] = {QColor(0x1f, 0x77, 0xb4), QColor(0x2c, 0xa0, 0x2c),
                                    QColor(0x94, 0x67, 0xbd), QColor(0xff, 0x7f, 0x0e),
                                    QColor(0x17, 0xbe, 0xcf), QColor(0x8c, 0x56, 0x4b),
                                    QColor(0xbc, 0xbd, 0x22), QColor(0x7f, 0x7f, 0x7f)};
    return colors[index % std::size(colors)];
}

// The chart as one object with a name and a description. Its drawing surface (the view's
// viewport, which shares its focus) is left out: a screen reader would otherwise land on a
// nameless child of the chart.
class TrendViewAccessible : public QAccessibleWidget {
  public:
    explicit TrendViewAccessible(TrendView* view) : QAccessibleWidget(view, QAccessible::Chart) {}
    int childCount() const override { return 0; }
    QAccessibleInterface* child(int) const override { return nullptr; }
    int indexOfChild(const QAccessibleInterface*) const override { return -1; }
};

QAccessibleInterface* trend_view_accessible(const QString&, QObject* object) {
    if (auto* view = qobject_cast<TrendView*>(object)) {
        return new TrendViewAccessible(view);
    }
    return nullptr;
}

void show_in_legend(QChart* chart, QAbstractSeries* series, bool shown) {
    for (QLegendMarker* marker : chart->legend()->markers(series)) {
        marker->setVisible(shown);
    }
}

}  // namespace

TrendChart::TrendChart(std::shared_ptr<korrin::TsdbClient> client, QWidget* parent)
    : QWidget(parent), loader_(std::make_unique<TrendLoader>(std::move(client))) {
    static const bool accessible_factory_installed = [] {
        QAccessible::installFactory(trend_view_accessible);
        return true;
    }();
    (void)accessible_factory_installed;

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* controls = new QHBoxLayout();
    auto* range_label = new QLabel("Trend range:", this);
    range_combo_ = new QComboBox(this);
    range_combo_->setObjectName("trend_range_combo");
    range_combo_->setAccessibleName(range_label->text());
    range_label->setBuddy(range_combo_);
    for (const auto& info : trend_ranges()) {
        range_combo_->addItem(info.label);
    }
    connect(range_combo_, &QComboBox::currentIndexChanged, this, &TrendChart::set_range_index);
    controls->addWidget(range_label);
    controls->addWidget(range_combo_);
    state_label_ = new QLabel(this);
    state_label_->setObjectName("trend_state_label");
    controls->addWidget(state_label_, 1);
    layout->addLayout(controls);

    chart_ = new QChart();
    chart_->legend()->setAlignment(Qt::AlignRight);
    chart_->setMargins(QMargins(4, 4, 4, 4));
    time_axis_ = new QDateTimeAxis(chart_);
    time_axis_->setFormat("HH:mm:ss");
    time_axis_->setTickCount(7);
    value_axis_ = new QValueAxis(chart_);
    chart_->addAxis(time_axis_, Qt::AlignBottom);
    chart_->addAxis(value_axis_, Qt::AlignLeft);
    view_ = new TrendView(chart_, this);
    view_->setObjectName("trend_view");
    view_->setRenderHint(QPainter::Antialiasing);
    view_->setMinimumHeight(200);
    layout->addWidget(view_, 1);
    QWidget::setTabOrder(range_combo_, view_);

    poll_timer_ = new QTimer(this);
    poll_timer_->setInterval(kPollMs);
    connect(poll_timer_, &QTimer::timeout, this, &TrendChart::poll);
    redraw();
}

TrendChart::~TrendChart() {
    // The loader's thread ends (its read cancelled) before the chart it feeds goes.
    loader_.reset();
}

void TrendChart::show_tags(std::vector<std::string> tags, const korrin::TsdbConfig& cfg) {
    if (tags == model_.tags() && cfg == cfg_ && model_.error().empty()) {
        return;  // the same selection of the same database again: the lines are current
    }
    cfg_ = cfg;
    model_.select(std::move(tags));
    rebuild_series();
    request_history();
    redraw();
}

void TrendChart::add_cycle(const korrin::CycleResults& cycle) {
    const auto now = TrendClock::now();
    model_.add_cycle(cycle, now);
    model_.trim(now);
    if (model_.revision() != drawn_revision_) {
        redraw();
    }
}

void TrendChart::set_range_index(int index) {
    if (index < 0 || index >= static_cast<int>(trend_ranges().size())) {
        return;
    }
    model_.set_range(trend_ranges()[static_cast<std::size_t>(index)].range);
    request_history();
    redraw();
}

void TrendChart::request_history() {
    if (model_.tags().empty()) {
        return;
    }
    loader_->request(model_.generation(), cfg_, model_.history_query(TrendClock::now()));
    poll_timer_->start();
}

void TrendChart::poll() {
    for (auto& answer : loader_->take()) {
        if (answer.error.empty()) {
            model_.add_history(answer.generation, answer.samples);
        } else {
            model_.history_failed(answer.generation, std::move(answer.error));
        }
    }
    if (!loader_->busy()) {
        poll_timer_->stop();
    }
    if (model_.revision() != drawn_revision_) {
        model_.trim(TrendClock::now());
        redraw();
    }
}

std::vector<QLineSeries*> TrendChart::lines_of(const std::string& tag) const {
    for (const auto& drawn : drawn_) {
        if (drawn.tag == tag) {
            std::vector<QLineSeries*> out;
            std::copy_if(drawn.lines.begin(), drawn.lines.end(), std::back_inserter(out),
                         [](QLineSeries* s) { return s->count() > 0; });
            return out;
        }
    }
    return {};
}

QScatterSeries* TrendChart::marks_of(const std::string& tag) const {
    for (const auto& drawn : drawn_) {
        if (drawn.tag == tag) {
            return drawn.marks;
        }
    }
    return nullptr;
}

void TrendChart::rebuild_series() {
    chart_->removeAllSeries();
    drawn_.clear();
    for (std::size_t i = 0; i < model_.tags().size(); ++i) {
        TagSeries drawn;
        drawn.tag = model_.tags()[i];
        drawn.marks = new QScatterSeries();
        drawn.marks->setName(q(drawn.tag) + " not Good");
        drawn.marks->setMarkerShape(QScatterSeries::MarkerShapeTriangle);
        drawn.marks->setMarkerSize(9);
        drawn.marks->setColor(Qt::red);
        drawn.marks->setBorderColor(Qt::red);
        chart_->addSeries(drawn.marks);
        drawn.marks->attachAxis(time_axis_);
        drawn.marks->attachAxis(value_axis_);
        drawn_.push_back(std::move(drawn));
    }
}

void TrendChart::redraw() {
    drawn_revision_ = model_.revision();
    const auto series = model_.series();
    double low = std::numeric_limits<double>::infinity();
    double high = -low;
    for (const auto& line : series) {
        for (const auto& segment : line.segments) {
            for (const auto& p : segment) {
                low = std::min(low, p.value);
                high = std::max(high, p.value);
            }
        }
    }
    if (low > high) {
        low = 0;
        high = 1;
    }
    const double pad = high > low ? (high - low) * 0.05 : std::max(1.0, std::abs(high) * 0.05);
    low -= pad;
    high += pad;

    for (std::size_t i = 0; i < series.size() && i < drawn_.size(); ++i) {
        auto& drawn = drawn_[i];
        const auto& line = series[i];
        while (drawn.lines.size() < line.segments.size()) {
            auto* s = new QLineSeries();
            s->setName(q(drawn.tag));
            QPen pen(line_color(i));
            pen.setWidthF(1.5);
            s->setPen(pen);
            chart_->addSeries(s);
            s->attachAxis(time_axis_);
            s->attachAxis(value_axis_);
            drawn.lines.push_back(s);
        }
        for (std::size_t k = 0; k < drawn.lines.size(); ++k) {
            QList<QPointF> points;
            if (k < line.segments.size()) {
                points.reserve(static_cast<qsizetype>(line.segments[k].size()));
                for (const auto& p : line.segments[k]) {
                    points.append(QPointF(msecs(p.time), p.value));
                }
            }
            drawn.lines[k]->replace(points);
            // One legend entry per tag, however many gaps break its line.
            show_in_legend(chart_, drawn.lines[k], k == 0);
        }
        // A sample that is not Good has no value worth drawing: it is marked on the bottom
        // edge, where no plausible value sits.
        QList<QPointF> marks;
        marks.reserve(static_cast<qsizetype>(line.not_good.size()));
        for (const auto t : line.not_good) {
            marks.append(QPointF(msecs(t), low));
        }
        drawn.marks->replace(marks);
        show_in_legend(chart_, drawn.marks, !marks.isEmpty());
    }

    const auto now = TrendClock::now();
    const auto& info = trend_range_info(model_.range());
    time_axis_->setFormat(info.span > std::chrono::hours(1) ? "HH:mm" : "HH:mm:ss");
    time_axis_->setRange(
        QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(msecs(now - info.span))),
        QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(msecs(now))));
    value_axis_->setRange(low, high);

    QString state;
    if (model_.tags().empty()) {
        state = "Select rows of the tag table to see their trend.";
    } else if (model_.loading()) {
        state = "Loading history…";
    } else if (!model_.error().empty()) {
        state = "History could not be read: " + q(model_.error());
    }
    state_label_->setText(state);
    chart_->setTitle(model_.tags().empty() ? QString() : q(model_.accessible_name()));
    view_->setAccessibleName(q(model_.accessible_name()));
    view_->setAccessibleDescription(q(model_.accessible_description()));
}

}  // namespace vantrel::desktop
