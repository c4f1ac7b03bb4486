// The trend below the tag table: a range chooser and a chart of the selected tags. The chart
// shows what a TrendModel holds; history comes from a TrendLoader, taken on a timer of the
// window's thread, so the window never waits for the database.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <QWidget>
#include <QtCharts/QChartView>

#include "korrin/tsdb_client.h"
#include "korrin/types.h"
#include "vantrel/trend_loader.h"
#include "vantrel/trend_model.h"

class QComboBox;
class QLabel;
class QTimer;
QT_BEGIN_NAMESPACE
class QChart;
class QDateTimeAxis;
class QLineSeries;
class QScatterSeries;
class QValueAxis;
QT_END_NAMESPACE

namespace vantrel::desktop {

// The chart itself; a class of its own so that screen readers are told it is a chart.
class TrendView : public QChartView {
    Q_OBJECT
  public:
    using QChartView::QChartView;
};

class TrendChart : public QWidget {
    Q_OBJECT
  public:
    explicit TrendChart(std::shared_ptr<korrin::TsdbClient> client, QWidget* parent = nullptr);
    ~TrendChart() override;

    // Shows these tags (none: an empty chart) and reads their history from the database of
    // `cfg`, off this thread.
    void show_tags(std::vector<std::string> tags, const korrin::TsdbConfig& cfg);
    // Appends the selected tags' samples of a cycle the window has just shown.
    void add_cycle(const korrin::CycleResults& cycle);

    const TrendModel& model() const { return model_; }
    TrendView* view() const { return view_; }
    // The line series drawn for a tag (its runs between gaps), and its marks of samples that
    // were not Good; for tests.
    std::vector<QLineSeries*> lines_of(const std::string& tag) const;
    QScatterSeries* marks_of(const std::string& tag) const;

  public slots:
    void set_range_index(int index);
    // Takes the loader's answers; run by the poll timer while a read is out.
    void poll();

  private:
    void request_history();
    void rebuild_series();
    void redraw();

    TrendModel model_;
    korrin::TsdbConfig cfg_;
    std::unique_ptr<TrendLoader> loader_;

    QComboBox* range_combo_ = nullptr;
    QLabel* state_label_ = nullptr;
    TrendView* view_ = nullptr;
    QChart* chart_ = nullptr;
    QDateTimeAxis* time_axis_ = nullptr;
    QValueAxis* value_axis_ = nullptr;
    QTimer* poll_timer_ = nullptr;
    struct TagSeries {
        std::string tag;
        std::vector<QLineSeries*> lines;
        QScatterSeries* marks = nullptr;
    };
    std::vector<TagSeries> drawn_;
    std::uint64_t drawn_revision_ = 0;
};

}  // namespace vantrel::desktop
