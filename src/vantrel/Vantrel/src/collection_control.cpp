// The window's tag import, registration and collection control: the slots behind the two
// buttons, the 200 ms queue drain and the close handling.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <exception>
#include <functional>
#include <stdexcept>
#include <string>
#include <unordered_set>
#include <utility>

#include <QCloseEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QTableView>
#include <QTimer>

#include "common/shown_text.h"
#include "desktop_log.h"
#include "korrin/folder_lock.h"
#include "korrin/registration.h"
#include "korrin/settings.h"
#include "korrin/tag_list.h"
#include "lumvane/logging.h"
#include "vantrel/main_widget.h"
#include "vantrel/trend_chart.h"
#include "vantrel/window_logic.h"

namespace vantrel::desktop {

namespace {

QString q(const std::string& text) {
    return QString::fromStdString(text);
}

QVariant dbid_cell(const std::optional<std::int64_t>& id) {
    return id ? QVariant(static_cast<qlonglong>(*id)) : QVariant(QString());
}

}  // namespace

korrin::TsdbConnection& MainWidget::connection_or_throw() {
    if (!tsdb_conn_) {
        throw std::runtime_error(
            "Not connected to a TSDB database: choose a database in "
            "\"TSDB name:\" that connects, then try again.");
    }
    return *tsdb_conn_;
}

void MainWidget::import_tags_from_csv() {
    const QString path =
        dialogs_->get_open_file_name(this, "Choose CSV file", QString(), "CSV Files (*.csv)");
    if (path.isEmpty()) {
        return;
    }
    tag_csv_path_ = path.toStdString();

    korrin::LoadedTagList loaded;
    try {
        loaded = korrin::load_tag_list(path.toStdString());
    } catch (const korrin::TagListColumnsError&) {
        dialogs_->warning(this, "Error", "CSV 文件中缺少 FullTagName 或 Description 列");
        return;
    } catch (const std::exception& e) {
        dialogs_->warning(this, "Error", "无法读取 CSV 文件：\n" + q(e.what()));
        return;
    }
    if (loaded.tags.empty()) {
        dialogs_->warning(this, "Error", "CSV 文件中没有有效的标签数据");
        return;
    }
    log()->info("Loaded {} tags from {} (encoding: {})", loaded.tags.size(), path.toStdString(),
                loaded.encoding);
    fill_tag_table(loaded.tags, loaded.lines);
}

void MainWidget::fill_tag_table(const korrin::TagList& tags,
                                const std::vector<std::size_t>& lines) {
    for (const auto& duplicate : korrin::duplicate_tags(tags, lines)) {
        log()->warn("{}", korrin::duplicate_tag_warning(duplicate));
    }

    // Samples of an earlier collection belong to the old list.
    data_deque->clear();
    std::lock_guard<std::recursive_mutex> guard(data_lock_);
    std::vector<std::string> names;
    names.reserve(tags.size());
    for (const auto& tag : tags) {
        names.push_back(tag.first);
    }
    const auto ids = korrin::lookup_tag_ids(*client_, connection_or_throw(), names);
    TableRows rows;
    rows.reserve(tags.size());
    for (std::size_t i = 0; i < tags.size(); ++i) {
        rows.push_back(TableRow{dbid_cell(i < ids.size() ? ids[i] : std::nullopt), q(tags[i].first),
                                q(tags[i].second), QString(), QString()});
    }
    const auto count = rows.size();
    paginated_table_->set_data(std::move(rows));
    // Names and descriptions decide how wide the columns need to be; values are still empty
    // here, so their column gets room for a number.
    auto* table = paginated_table_->table;
    table->resizeColumnsToContents();
    table->setColumnWidth(3, std::max(table->columnWidth(3), 140));
    write_count_label_->setText(QStringLiteral("Current: 0 | Total: %1 records").arg(count));
}

korrin::SourceInfo MainWidget::source_record(const QString& selected_schema) const {
    korrin::SourceInfo record;
    record.source_name = "vantrel";
    record.endpoint = selected_schema.toStdString();
    record.status = korrin::SourceStatus::ACTIVE;
    record.protocol = opc_type_combo_->currentText() == "OPC UA" ? korrin::SourceProtocol::OPC_UA
                                                                 : korrin::SourceProtocol::OPC_DA;
    // Only a new record takes these; an existing one is used as it is.
    record.source_type = "OPC_Collector";
    record.interval_msec = 1000;
    const std::string protocol(korrin::value(record.protocol));
    record.description = {{"created_by", "Vantrel4"},
                          {"endpoint", record.endpoint},
                          {"protocol", protocol.empty() ? "Unknown" : protocol}};
    return record;
}

std::optional<std::int64_t> MainWidget::_ensure_source(const QString& selected_schema) {
    const auto outcome =
        korrin::ensure_source(*client_, connection_or_throw(), source_record(selected_schema));
    if (!outcome.source_id) {
        return std::nullopt;
    }
    if (outcome.existing) {
        log()->info("Found existing source with ID: {}", *outcome.source_id);
    } else {
        log()->info("Inserted new source with ID: {}", *outcome.source_id);
    }
    return outcome.source_id;
}

void MainWidget::_sync_tags_with_source(std::int64_t source_id) {
    std::lock_guard<std::recursive_mutex> guard(data_lock_);
    auto& rows = paginated_table_->all_data;
    korrin::TagList tags;
    tags.reserve(rows.size());
    for (const auto& row : rows) {
        tags.emplace_back(row.size() > 1 ? row[1].toString().toStdString() : std::string(),
                          row.size() > 2 ? row[2].toString().toStdString() : std::string());
    }
    const auto outcomes = korrin::sync_tags(*client_, connection_or_throw(), source_id, tags);
    for (std::size_t i = 0; i < outcomes.size() && i < rows.size(); ++i) {
        const auto& outcome = outcomes[i];
        // A name of kilobytes would make each of these lines as long.
        const std::string name = common::shown_text(tags[i].first);
        if (outcome.tag_id) {
            rows[i][0] = static_cast<qlonglong>(*outcome.tag_id);
        }
        switch (outcome.action) {
            case korrin::TagAction::inserted:
                log()->info("Inserted tag '{}' with source_id: {}", name, source_id);
                break;
            case korrin::TagAction::insert_failed:
                log()->error("Failed to insert tag '{}'", name);
                break;
            case korrin::TagAction::updated:
                log()->info("Updated tag '{}' with source_id: {}", name, source_id);
                break;
            case korrin::TagAction::update_failed:
                log()->warn("Failed to update source info for tag '{}'", name);
                break;
        }
    }
    paginated_table_->set_data(std::move(rows));
}

std::optional<QString> MainWidget::_get_selected_schema_or_warn() {
    const QString schema = server_combo_->currentText().trimmed();
    if (schema.isEmpty()) {
        dialogs_->warning(this, "Error", "Please select an OPC server schema.");
        return std::nullopt;
    }
    return schema;
}

void MainWidget::_save_collection_config(const QString& host, const QString& opc_schema) {
    CollectionConfig cfg;
    cfg.dbname = tsdb_cfg_.dbname;
    cfg.opc_host = host.toStdString();
    cfg.opc_schema = opc_schema.toStdString();
    cfg.opc_type = opc_type_combo_->currentText().toStdString();
    cfg.opc_port = port_input_->text().toStdString();
    cfg.tag_csv_path = tag_csv_path_;
    save_collection_config(ini_path_, cfg);
    log()->info("Configuration saved to {}. OPC Schema: {}", ini_path_.string(), cfg.opc_schema);
}

std::vector<std::string> MainWidget::_current_tags() {
    std::lock_guard<std::recursive_mutex> guard(data_lock_);
    const auto& rows = paginated_table_->all_data;
    std::vector<std::string> names;
    names.reserve(rows.size());
    std::unordered_set<std::string> seen;
    for (const auto& row : rows) {
        std::string name = row.size() > 1 ? row[1].toString().toStdString() : std::string();
        // A name listed twice is still one tag: read and written once per cycle; the merge
        // shows its value in every row that names it.
        if (seen.insert(name).second) {
            names.push_back(std::move(name));
        }
    }
    return names;
}

std::function<void(korrin::TsdbClient&, korrin::TsdbConnection&)> MainWidget::later_registration(
    const QString& selected_schema) {
    korrin::TagList tags;
    {
        std::lock_guard<std::recursive_mutex> guard(data_lock_);
        for (const auto& row : paginated_table_->all_data) {
            tags.emplace_back(row.size() > 1 ? row[1].toString().toStdString() : std::string(),
                              row.size() > 2 ? row[2].toString().toStdString() : std::string());
        }
    }
    // Runs on the collector's thread: it touches neither the window nor its connection.
    return [record = source_record(selected_schema), tags = std::move(tags)](
               korrin::TsdbClient& client, korrin::TsdbConnection& conn) {
        const auto source = korrin::ensure_source(client, conn, record);
        if (!source.source_id) {
            throw std::runtime_error("the database refused the source record");
        }
        if (source.existing) {
            log()->info("Found existing source with ID: {}", *source.source_id);
        } else {
            log()->info("Inserted new source with ID: {}", *source.source_id);
        }
        std::size_t failed = 0;
        for (const auto& outcome : korrin::sync_tags(client, conn, *source.source_id, tags)) {
            failed += outcome.tag_id ? 0 : 1;
        }
        log()->info("Registered {} tags with source_id: {} ({} failed)", tags.size() - failed,
                    *source.source_id, failed);
    };
}

void MainWidget::_create_and_start_collector(
    const QString& opc_schema, korrin::TagSupplier get_tags_func,
    std::function<void(korrin::TsdbClient&, korrin::TsdbConnection&)> registration) {
    auto* status = status_bridge_;
    auto* db_status = db_status_bridge_;
    korrin::OPCCollector::Options options{
        .opc_schema = opc_schema.toStdString(),
        .get_tags_func = std::move(get_tags_func),
        .data_deque = data_deque,
        .tsdb_cfg = tsdb_cfg_,
        .sample_interval = deps_.sample_interval,
        .batch_size = deps_.batch_size,
        // Emitted on the collector thread, delivered queued on the window's thread.
        .status_notify =
            [status](const std::string& text) {
                emit status->status_changed(QString::fromStdString(text));
            },
        .db_status_notify =
            [db_status](bool success, std::int64_t count) {
                emit db_status->db_write_status(success, static_cast<int>(count));
            },
    };
    if (deps_.opc_library_factory) {
        options.opc_library_factory = deps_.opc_library_factory;
    }
    options.tsdb_client = client_;
    options.timestamp_mode = store_settings_.timestamp;
    options.subscribe = acquisition_.subscribed();
    options.every_change = acquisition_.every_change();
    options.buffer_dir = store_settings_.buffer_dir;
    options.buffer_max_bytes = store_settings_.buffer_max_bytes;
    options.mark_outages = store_settings_.mark_outages;
    options.registration = std::move(registration);
    options.metrics = metrics_;
    start_metrics_server();
    collect_thread_ = std::make_unique<korrin::OPCCollector>(std::move(options));
    collect_thread_->start();
}

void MainWidget::start_metrics_server() {
    if (!metrics_listen_.enabled() || metrics_server_) {
        return;
    }
    try {
        metrics_server_ = std::make_unique<korrin::MetricsServer>(metrics_listen_, metrics_);
        log()->info("Serving metrics on http://{}/metrics and the health check on /health",
                    metrics_server_->address());
    } catch (const std::exception& e) {
        // The window collects without it: the operator sees why and may fix the setting.
        log()->error("{}", e.what());
        dialogs_->warning(this, "Metrics Endpoint", QString::fromStdString(e.what()));
    }
}

void MainWidget::refresh_figures() {
    const QString text = figures_text(*metrics_, figure_marks_, last_error_);
    status_bar_->setToolTip(text);
    status_bar_->setAccessibleDescription(text);
}

void MainWidget::start_collecting() {
    if (collect_thread_ && collect_thread_->is_alive()) {
        _stop_collecting();
        return;
    }
    _reset_write_count_display();
    QString host = host_input_->text().trimmed();
    if (host.isEmpty()) {
        host = q(korrin::local_host_name());
    }
    const auto schema = _get_selected_schema_or_warn();
    if (!schema) {
        return;
    }
    std::optional<std::int64_t> source_id;
    bool register_later = false;
    try {
        source_id = _ensure_source(*schema);
    } catch (const korrin::TsdbError& e) {
        if (!store_settings_.start_without_database || !korrin::database_unreachable(e)) {
            throw;
        }
        log()->warn(
            "The database cannot be reached ({}): collecting into the buffer until it answers, "
            "then registering the source and the tags (start_without_database = true)",
            e.what());
        register_later = true;
    }
    if (!register_later && (!source_id || *source_id == 0)) {
        dialogs_->warning(this, "Error", "Failed to insert source information.");
        return;
    }
    if (total_rows() == 0) {
        dialogs_->warning(this, "Error",
                          "No tags available for collection. Please import a CSV file first.");
        return;
    }
    // A start that failed part-way leaves the window idle, so the operator can correct the
    // input and try again.
    const auto back_to_idle = [this] {
        stop_and_join_collector();
        collect_button_->setText("Start Collecting");
        _set_controls_enabled(true);
    };
    try {
        if (!register_later) {
            _sync_tags_with_source(*source_id);
        }
        _set_controls_enabled(false);
        _save_collection_config(host, *schema);
        _create_and_start_collector(
            *schema, [this] { return _current_tags(); },
            register_later ? later_registration(*schema) : nullptr);
    } catch (const korrin::FolderInUse& e) {
        // The operator's to mend (another collector on this buffer folder), not a fault.
        back_to_idle();
        dialogs_->warning(this, "Error", QString::fromStdString(e.what()));
        return;
    } catch (...) {
        // The error itself still reaches the error handler.
        back_to_idle();
        throw;
    }
    collect_button_->setText("Stop Collecting");
}

void MainWidget::stop_and_join_collector() {
    if (collect_thread_) {
        if (collect_thread_->is_alive()) {
            collect_thread_->stop();
            collect_thread_->join();
        }
        collect_thread_.reset();
    }
}

void MainWidget::_stop_collecting() {
    stop_and_join_collector();
    collect_button_->setText("Start Collecting");
    _set_controls_enabled(true);
    if (tsdb_conn_) {
        set_db_status("DB Status: Connected", kStyleGood);
    }
    _reset_write_count_display();
}

void MainWidget::process_queue() {
    const std::vector<korrin::CycleResults> drained = data_deque->drain();
    if (drained.empty()) {
        return;
    }
    // The trend keeps every cycle: its line has a point per cycle, not per refresh.
    for (const auto& cycle : drained) {
        trend_chart_->add_cycle(cycle);
    }
    std::lock_guard<std::recursive_mutex> guard(data_lock_);
    auto& all_data = paginated_table_->all_data;
    // Every merge rewrites every row, so only the newest cycle decides what is shown.
    _merge_results(drained.back(), all_data);
    paginated_table_->set_data(std::move(all_data), true, true);
    refresh_figures();
}

void MainWidget::_merge_results(const korrin::CycleResults& results, TableRows& all_data) {
    merge_results(results, all_data);
}

void MainWidget::closeEvent(QCloseEvent* event) {
    if (collect_thread_ && collect_thread_->is_alive()) {
        const auto answer =
            dialogs_->question(this, "Confirm Exit",
                               "Data collection is still running. Are you sure you want to exit?",
                               QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
        if (answer != QMessageBox::Yes) {
            event->ignore();
            return;
        }
        stop_and_join_collector();
    }
    queue_timer_->stop();
    if (tsdb_conn_) {
        try {
            auto conn = std::move(tsdb_conn_);
            conn->close();
        } catch (const std::exception& e) {
            std::printf("An error occurred while closing TSDB connection: %s\n", e.what());
            std::fflush(stdout);
        }
    }
    event->accept();
}

}  // namespace vantrel::desktop
