// The desktop's single window: database chooser, OPC type, host, port and schema inputs,
// import and collect buttons, the paginated tag table and the status lines. It owns the shared
// queue and locks that it lends to the collector it starts.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <QComboBox>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QWidget>

#include "korrin/acquisition.h"
#include "korrin/cycle_queue.h"
#include "korrin/metrics.h"
#include "korrin/metrics_server.h"
#include "korrin/opc_collector.h"
#include "korrin/opc_library.h"
#include "korrin/sample_buffer.h"
#include "korrin/tag_list.h"
#include "korrin/tsdb_client.h"
#include "korrin/types.h"
#include "vantrel/dialogs.h"
#include "vantrel/paginated_table.h"
#include "vantrel/window_logic.h"

class QCloseEvent;
class QLabel;
class QLineEdit;
class QModelIndex;
class QPushButton;
class QStatusBar;
class QTimer;

namespace vantrel::desktop {

class TrendChart;

// Carries OPC status texts from the collector thread to the window.
class OPCStatusBridge : public QObject {
    Q_OBJECT
  public:
    using QObject::QObject;
  signals:
    void status_changed(const QString& status);
};

// The database status signal bridge: write outcomes from the collector thread to the window.
class DBStatusBridge : public QObject {
    Q_OBJECT
  public:
    using QObject::QObject;
  signals:
    void db_write_status(bool success, int count);
};

// The schema chooser: opening its list runs discovery first (the window's override_showPopup).
class ServerComboBox : public QComboBox {
    Q_OBJECT
  public:
    using QComboBox::QComboBox;
    void showPopup() override;
    // The ordinary list, without discovery.
    void show_plain_popup() { QComboBox::showPopup(); }
  signals:
    void popup_requested();
};

// What tests substitute; empty members mean the real thing.
struct MainWidgetDeps {
    std::shared_ptr<korrin::TsdbClient> tsdb_client;
    korrin::OpcLibraryFactory opc_library_factory;
    std::shared_ptr<Dialogs> dialogs;                  // empty: the process-wide seam
    std::optional<std::filesystem::path> working_dir;  // empty: the current directory
    // The queue the collector fills and the queue timer drains; empty: a new one of 300 cycles.
    std::shared_ptr<korrin::CycleQueue> data_deque;
    // Collector timing; the window's own values are 1.0 s and batches of 200.
    double sample_interval = 1.0;
    int batch_size = 200;
};

class MainWidget : public QWidget {
    Q_OBJECT
  public:
    // Reads config.ini, lists the databases and connects to one. Throws std::runtime_error
    // with the operator's text when it cannot ("Configuration file not found: ...", ...).
    explicit MainWidget(MainWidgetDeps deps = {});
    ~MainWidget() override;

    std::optional<std::int64_t> _ensure_source(const QString& selected_schema);
    void _sync_tags_with_source(std::int64_t source_id);
    // The source record _ensure_source finds or inserts.
    korrin::SourceInfo source_record(const QString& selected_schema) const;
    // For a collection started while the database is away (start_without_database): registers
    // the source and the table's tags as they are now, on the collector's first connection.
    std::function<void(korrin::TsdbClient&, korrin::TsdbConnection&)> later_registration(
        const QString& selected_schema);
    std::optional<QString> _get_selected_schema_or_warn();
    void _save_collection_config(const QString& host, const QString& opc_schema);
    void _create_and_start_collector(
        const QString& opc_schema, korrin::TagSupplier get_tags_func,
        std::function<void(korrin::TsdbClient&, korrin::TsdbConnection&)> registration = {});
    // The tag names of the table in table order; called on the collector thread.
    std::vector<std::string> _current_tags();
    void _merge_results(const korrin::CycleResults& results, TableRows& all_data);

    // What the window holds, to observe; it changes only through the steps above and below.
    const korrin::TsdbConfig& tsdb_cfg() const { return tsdb_cfg_; }
    // Null while no database is connected.
    const korrin::TsdbConnection* tsdb_conn() const { return tsdb_conn_.get(); }
    // The file of the last import; none before one.
    const std::optional<std::string>& tag_csv_path() const { return tag_csv_path_; }
    const QStringList& opc_servers_info() const { return opc_servers_info_; }
    // Null while nothing is collected.
    const korrin::OPCCollector* collect_thread() const { return collect_thread_.get(); }
    const std::vector<std::string>& available_dbs() const { return available_dbs_; }
    // The figures of every collector this window ran (counters add up over the runs).
    const korrin::EngineMetrics& metrics() const { return *metrics_; }
    // Serving them while metrics_listen is set and a collector has started; null otherwise.
    const korrin::MetricsServer* metrics_server() const { return metrics_server_.get(); }

  public slots:
    bool reconnect_tsdb(const QString& db_name);
    void update_status_label(const QString& status);
    void update_db_status(bool success, int count);
    void _reset_write_count_display();
    void opc_type_changed(const QString& opc_type);
    void override_showPopup();
    void show_context_menu(const QPoint& pos);
    void _set_controls_enabled(bool enabled);
    void enumerate_servers();
    void server_selected(const QModelIndex& index);
    void import_tags_from_csv();
    // "Browse Server…": the server of the schema chooser in a dialog (browse_dialog.h).
    void open_browse_dialog();
    // The dialog's choice joins the table's tags, as an import of the whole list would.
    void add_browsed_tags(const vantrel::korrin::TagList& tags);
    void start_collecting();
    void _stop_collecting();
    void process_queue();
    // The trend follows the table's selected rows (mouse or keyboard).
    void show_selected_trend();

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    void build_layout(const std::string& opc_type, const std::string& opc_host,
                      const std::string& opc_schema);
    void open_initial_database();
    void set_db_status(const QString& text, const char* style);
    int total_rows();
    korrin::TsdbConnection& connection_or_throw();
    void stop_and_join_collector();
    // The table becomes these tags with their database ids: what an import does after reading.
    void fill_tag_table(const korrin::TagList& tags, const std::vector<std::size_t>& lines);
    // The status bar's tooltip (and accessible description): the figures, with the table.
    void refresh_figures();
    // Starts the endpoint of metrics_listen once; a failure is shown and collection goes on.
    void start_metrics_server();

    std::filesystem::path ini_path_;
    korrin::TsdbConfig tsdb_cfg_;
    korrin::StoreSettings store_settings_;     // row times and the disk buffer, from config.ini
    korrin::AcquisitionSettings acquisition_;  // read or subscribed, from config.ini
    korrin::MetricsListen metrics_listen_;     // from config.ini; off when empty
    std::unique_ptr<korrin::TsdbConnection> tsdb_conn_;
    std::optional<std::string> tag_csv_path_;
    QStringList opc_servers_info_;
    std::unique_ptr<korrin::OPCCollector> collect_thread_;
    std::vector<std::string> available_dbs_;
    std::recursive_mutex data_lock_;

    // Tests and the accessibility interface reach these by their object names, which are the
    // names below without the trailing underscore.
    QComboBox* tsdb_combo_ = nullptr;
    QComboBox* opc_type_combo_ = nullptr;
    QLineEdit* host_input_ = nullptr;
    QLineEdit* port_input_ = nullptr;
    ServerComboBox* server_combo_ = nullptr;
    QLabel* status_label_ = nullptr;
    QPushButton* import_button_ = nullptr;
    QPushButton* browse_button_ = nullptr;
    QPushButton* collect_button_ = nullptr;
    PaginatedTableWidget* paginated_table_ = nullptr;
    TrendChart* trend_chart_ = nullptr;
    QStatusBar* status_bar_ = nullptr;
    QLabel* db_status_label_ = nullptr;
    QLabel* write_count_label_ = nullptr;
    OPCStatusBridge* status_bridge_ = nullptr;
    DBStatusBridge* db_status_bridge_ = nullptr;
    QTimer* queue_timer_ = nullptr;

    MainWidgetDeps deps_;
    std::shared_ptr<korrin::TsdbClient> client_;
    std::shared_ptr<Dialogs> dialogs_;
    const std::shared_ptr<korrin::CycleQueue> data_deque;
    const std::shared_ptr<korrin::EngineMetrics> metrics_ =
        std::make_shared<korrin::EngineMetrics>();
    FigureMarks figure_marks_;
    QString last_error_;  // the last OPC error or failed write, for the figures
    std::unique_ptr<korrin::MetricsServer> metrics_server_;
};

}  // namespace vantrel::desktop
