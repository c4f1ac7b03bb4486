#include "vantrel/main_widget.h"

#include <algorithm>
#include <exception>
#include <stdexcept>
#include <system_error>
#include <utility>

#include <QAccessible>
#include <QAccessibleWidget>
#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QFileInfo>
#include <QFrame>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QSpacerItem>
#include <QStatusBar>
#include <QTableView>
#include <QTimer>
#include <QVBoxLayout>

#include <cstdio>

#include "common/ini.h"
#include "desktop_log.h"
#include "korrin/opc_security.h"
#include "korrin/settings.h"
#include "lumvane/logging.h"
#include "vantrel/discovery.h"
#include "vantrel/trend_chart.h"
#include "vantrel/window_logic.h"

namespace vantrel::desktop {

namespace {

constexpr const char* kTitleNotConnected = "OPC Data Widget [TSDB NOT connected!!]";

QString q(const std::string& text) {
    return QString::fromStdString(text);
}

std::string s(const QString& text) {
    return text.toStdString();
}

// The window icon beside the program, else where an installed copy keeps it: in the prefix
// the program runs from (cmake --install --prefix may differ from the configured prefix),
// then in the configured data folder.
QIcon window_icon() {
    const QString dir = QCoreApplication::applicationDirPath();
    for (const QString& path : {dir + QStringLiteral("/pics/collector_icon.ico"),
                                dir + QStringLiteral("/../share/vantrel/collector_icon.ico"),
                                QStringLiteral(VANTREL_DATA_DIR "/collector_icon.ico")}) {
        if (QFileInfo::exists(path)) {
            return QIcon(path);
        }
    }
    return QIcon();
}

// A plain top-level QWidget reads as a filler to screen readers; this one is the application's
// window, so it says so (and its title is announced on focus).
QAccessibleInterface* main_window_accessible(const QString&, QObject* object) {
    if (auto* window = qobject_cast<MainWidget*>(object)) {
        return new QAccessibleWidget(window, QAccessible::Window);
    }
    return nullptr;
}

// A label that names its input, for sighted users and for screen readers alike.
QLabel* buddy_label(const QString& text, QWidget* input, int width, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setFixedWidth(width);
    label->setBuddy(input);
    input->setAccessibleName(text);
    return label;
}

}  // namespace

void ServerComboBox::showPopup() {
    emit popup_requested();
}

MainWidget::MainWidget(MainWidgetDeps deps)
    : QWidget(nullptr),
      deps_(std::move(deps)),
      client_(deps_.tsdb_client ? deps_.tsdb_client : korrin::default_tsdb_client()),
      dialogs_(deps_.dialogs ? deps_.dialogs : app_dialogs_ptr()),
      data_deque(deps_.data_deque ? deps_.data_deque : std::make_shared<korrin::CycleQueue>()) {
    static const bool accessible_factory_installed = [] {
        QAccessible::installFactory(main_window_accessible);
        return true;
    }();
    (void)accessible_factory_installed;
    setWindowIcon(window_icon());
    setWindowTitle(kTitleNotConnected);

    std::error_code ec;
    const auto cwd = deps_.working_dir ? *deps_.working_dir : std::filesystem::current_path();
    ini_path_ = cwd / "config.ini";
    if (!std::filesystem::is_regular_file(ini_path_, ec)) {
        const std::string message = "Configuration file not found: " + ini_path_.string();
        log()->error("{}", message);
        throw std::runtime_error(message);
    }

    const auto ini = common::IniFile::read_file(ini_path_);
    const korrin::Settings settings =
        korrin::read_settings(ini, {.config_dir = cwd, .strictness = korrin::Strictness::desktop});
    tsdb_cfg_ = settings.tsdb;
    const std::string& opc_type = settings.opc.opc_type;
    const std::string& opc_host = settings.opc.opc_host;
    const std::string& opc_schema = settings.opc.opc_schema;
    korrin::apply_ua_security(settings.security);
    korrin::apply_acquisition(settings.acquisition);
    acquisition_ = settings.acquisition;
    store_settings_ = settings.store;
    metrics_listen_ = settings.metrics_listen;

    available_dbs_ = client_->fetch_available_tsdbs(tsdb_cfg_);
    if (available_dbs_.empty()) {
        throw std::runtime_error("No available TSDB databases found.");
    }

    build_layout(opc_type, opc_host, opc_schema);
    open_initial_database();
    opc_type_changed(opc_type_combo_->currentText());

    queue_timer_ = new QTimer(this);
    connect(queue_timer_, &QTimer::timeout, this, &MainWidget::process_queue);
    queue_timer_->start(200);
    // Room for the five columns, a page of rows and the trend; the layout alone would make it
    // cramped.
    resize(960, 760);
}

MainWidget::~MainWidget() {
    // The collector uses the bridges: it must end before they go.
    stop_and_join_collector();
    if (tsdb_conn_) {
        try {
            tsdb_conn_->close();
        } catch (...) {
        }
    }
}

void MainWidget::build_layout(const std::string& opc_type, const std::string& opc_host,
                              const std::string& opc_schema) {
    auto* main_layout = new QVBoxLayout(this);

    // Row 1: database and OPC type.
    auto* row1 = new QHBoxLayout();
    tsdb_combo_ = new QComboBox(this);
    tsdb_combo_->setObjectName("tsdb_combo");
    row1->addWidget(buddy_label("TSDB name:", tsdb_combo_, 160, this));
    tsdb_combo_->setEditable(false);
    tsdb_combo_->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    for (const auto& name : available_dbs_) {
        tsdb_combo_->addItem(q(name));
    }
    connect(tsdb_combo_, &QComboBox::currentTextChanged, this, &MainWidget::reconnect_tsdb);
    row1->addWidget(tsdb_combo_);
    row1->addItem(new QSpacerItem(20, 20, QSizePolicy::Expanding, QSizePolicy::Minimum));
    opc_type_combo_ = new QComboBox(this);
    opc_type_combo_->setObjectName("opc_type_combo");
    row1->addWidget(buddy_label("OPC Type:", opc_type_combo_, 80, this));
    opc_type_combo_->addItems({"OPC DA", "OPC UA"});
    opc_type_combo_->setCurrentText(q(opc_type));
    opc_type_combo_->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    connect(opc_type_combo_, &QComboBox::currentTextChanged, this, &MainWidget::opc_type_changed);
    row1->addWidget(opc_type_combo_);
    main_layout->addLayout(row1);

    // Row 2: host and port.
    auto* row2 = new QHBoxLayout();
    host_input_ = new QLineEdit(this);
    host_input_->setObjectName("host_input");
    row2->addWidget(buddy_label("OPC IP:", host_input_, 160, this));
    host_input_->setPlaceholderText(q("e.g. " + korrin::local_host_name()));
    host_input_->setText(q(opc_host));
    row2->addWidget(host_input_);
    row2->addItem(new QSpacerItem(20, 20, QSizePolicy::Fixed, QSizePolicy::Minimum));
    port_input_ = new QLineEdit(this);
    port_input_->setObjectName("port_input");
    row2->addWidget(buddy_label("Port:", port_input_, 50, this));
    port_input_->setFixedWidth(80);
    port_input_->setPlaceholderText("0");
    port_input_->setText(opc_type_combo_->currentText() == "OPC DA" ? "0" : "4840");
    row2->addWidget(port_input_);
    main_layout->addLayout(row2);

    // Row 3: the schema chooser, filled by discovery whenever its list opens.
    auto* row3 = new QHBoxLayout();
    server_combo_ = new ServerComboBox(this);
    server_combo_->setObjectName("server_combo");
    row3->addWidget(buddy_label("OPC Schema:", server_combo_, 160, this));
    server_combo_->setEditable(true);
    // Focus lands in the combo box's own line edit: it must speak the label too.
    server_combo_->lineEdit()->setAccessibleName("OPC Schema:");
    server_combo_->setCurrentText(q(opc_schema));
    server_combo_->setInsertPolicy(QComboBox::NoInsert);
    server_combo_->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    connect(server_combo_->view(), &QAbstractItemView::pressed, this, &MainWidget::server_selected);
    connect(server_combo_, &ServerComboBox::popup_requested, this, &MainWidget::override_showPopup);
    row3->addWidget(server_combo_);
    main_layout->addLayout(row3);

    auto* separator = new QFrame(this);
    separator->setFrameShape(QFrame::HLine);
    separator->setFrameShadow(QFrame::Sunken);
    main_layout->addWidget(separator);

    status_label_ = new QLabel("Status: Unconnected", this);
    status_label_->setObjectName("status_label");
    status_label_->setStyleSheet(kStyleIdle);
    main_layout->addWidget(status_label_);

    auto* buttons = new QHBoxLayout();
    import_button_ = new QPushButton("Import CSV Tag List", this);
    import_button_->setObjectName("import_button");
    connect(import_button_, &QPushButton::clicked, this, &MainWidget::import_tags_from_csv);
    buttons->addWidget(import_button_);
    browse_button_ = new QPushButton("Browse Server…", this);
    browse_button_->setObjectName("browse_button");
    connect(browse_button_, &QPushButton::clicked, this, &MainWidget::open_browse_dialog);
    buttons->addWidget(browse_button_);
    collect_button_ = new QPushButton("Start Collecting", this);
    collect_button_->setObjectName("collect_button");
    collect_button_->setEnabled(true);
    connect(collect_button_, &QPushButton::clicked, this, &MainWidget::start_collecting);
    buttons->addWidget(collect_button_);
    main_layout->addLayout(buttons);

    paginated_table_ = new PaginatedTableWidget(
        QStringList{"DBID", "Tag Name", "Description", "Value", "Quality"}, this);
    paginated_table_->setObjectName("paginated_table");
    auto* table = paginated_table_->table;
    // Whole rows, one or several (Shift, Ctrl): the trend below shows the selected tags.
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->setSelectionMode(QAbstractItemView::ExtendedSelection);
    table->setContextMenuPolicy(Qt::CustomContextMenu);
    table->horizontalHeader()->setStretchLastSection(true);
    connect(table, &QTableView::customContextMenuRequested, this, &MainWidget::show_context_menu);
    main_layout->addWidget(paginated_table_, 3);

    trend_chart_ = new TrendChart(client_, this);
    trend_chart_->setObjectName("trend_chart");
    // A new page or a new tag list resets the model, which clears the selection silently.
    connect(table->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &MainWidget::show_selected_trend);
    connect(paginated_table_->table_model, &QAbstractItemModel::modelReset, this,
            &MainWidget::show_selected_trend);
    main_layout->addWidget(trend_chart_, 2);

    status_bar_ = new QStatusBar(this);
    status_bar_->setObjectName("status_bar");
    db_status_label_ = new QLabel("DB Status: Not connected", this);
    db_status_label_->setObjectName("db_status_label");
    db_status_label_->setStyleSheet(kStyleIdle);
    status_bar_->addWidget(db_status_label_);
    write_count_label_ = new QLabel("Current: 0 | Total: 0 records", this);
    write_count_label_->setObjectName("write_count_label");
    write_count_label_->setStyleSheet("color: blue");
    status_bar_->addPermanentWidget(write_count_label_);
    // The collector's figures, for a pointer resting on the bar and for screen readers.
    status_bar_->setAccessibleName("Collection figures");
    main_layout->addWidget(status_bar_);

    status_bridge_ = new OPCStatusBridge(this);
    status_bridge_->setObjectName("status_bridge");
    connect(status_bridge_, &OPCStatusBridge::status_changed, this,
            &MainWidget::update_status_label);
    db_status_bridge_ = new DBStatusBridge(this);
    db_status_bridge_->setObjectName("db_status_bridge");
    connect(db_status_bridge_, &DBStatusBridge::db_write_status, this,
            &MainWidget::update_db_status);

    // Keyboard order follows the layout: inputs top to bottom, buttons, then the table.
    QWidget::setTabOrder(tsdb_combo_, opc_type_combo_);
    QWidget::setTabOrder(opc_type_combo_, host_input_);
    QWidget::setTabOrder(host_input_, port_input_);
    QWidget::setTabOrder(port_input_, server_combo_);
    QWidget::setTabOrder(server_combo_, import_button_);
    QWidget::setTabOrder(import_button_, browse_button_);
    QWidget::setTabOrder(browse_button_, collect_button_);
    QWidget::setTabOrder(collect_button_, table);
    QWidget::setTabOrder(paginated_table_->last_page_button,
                         trend_chart_->findChild<QComboBox*>("trend_range_combo"));
}

void MainWidget::open_initial_database() {
    const auto idx = choose_database_index(available_dbs_, tsdb_cfg_.dbname);
    if (!idx) {
        throw std::runtime_error(
            "No valid TSDB database found in configuration or available databases.");
    }
    // The selection must not fire the switch: the one connection attempt is the call below.
    const bool previous = tsdb_combo_->blockSignals(true);
    tsdb_combo_->setCurrentIndex(*idx);
    tsdb_combo_->blockSignals(previous);
    tsdb_cfg_.dbname = s(tsdb_combo_->itemText(*idx));
    reconnect_tsdb(q(tsdb_cfg_.dbname));
    if (!tsdb_conn_) {
        const std::string message = "Failed to connect to TSDB database: " + tsdb_cfg_.dbname;
        log()->error("{}", message);
        throw std::runtime_error(message);
    }
}

void MainWidget::set_db_status(const QString& text, const char* style) {
    db_status_label_->setText(text);
    db_status_label_->setStyleSheet(style);
}

int MainWidget::total_rows() {
    std::lock_guard<std::recursive_mutex> guard(data_lock_);
    return static_cast<int>(paginated_table_->all_data.size());
}

bool MainWidget::reconnect_tsdb(const QString& db_name) {
    try {
        if (tsdb_conn_) {
            auto old = std::move(tsdb_conn_);
            old->close();
        }
        if (tsdb_cfg_.dbname != s(db_name)) {
            tsdb_cfg_.dbname = s(db_name);
        }
        tsdb_conn_ = client_->get_conn(tsdb_cfg_);
        if (!tsdb_conn_) {
            throw std::runtime_error("Failed to create TSDB connection object.");
        }
        setWindowTitle(
            q("OPC Data Widget [TSDB connected: " + tsdb_cfg_.host + "/" + tsdb_cfg_.dbname + "]"));
        log()->info("Connected to TSDB database: {}", tsdb_cfg_.dbname);
        set_db_status("DB Status: Connected", kStyleGood);
        // The trend reads the database just chosen.
        if (trend_chart_ != nullptr) {
            show_selected_trend();
        }
        return true;
    } catch (const std::exception& e) {
        log()->error("TSDB connection error: {}", e.what());
        dialogs_->critical(this, "TSDB Connection Failed",
                           q("Failed to connect to " + tsdb_cfg_.dbname + ":\n" + e.what()));
        set_db_status("DB Status: Connection failed", kStyleBad);
        return false;
    }
}

void MainWidget::update_status_label(const QString& status) {
    // A source disconnected on a stop is no error; a failure says so in its words.
    if (status.contains("error", Qt::CaseInsensitive) ||
        status.contains("failed", Qt::CaseInsensitive)) {
        last_error_ = status;
    }
    status_label_->setStyleSheet(status_style_sheet(status));
    // Subscribed, the line also says how many items the server reports on.
    const auto live = collect_thread_ ? collect_thread_->live_items() : std::nullopt;
    const QString subscribed =
        live ? QStringLiteral(" (subscribed, %1 items live)").arg(*live) : QString();
    status_label_->setText("Status: " + status + subscribed);
}

void MainWidget::update_db_status(bool success, int count) {
    // While the disk buffer holds samples, the line says how many wait for the database.
    const std::uint64_t buffered = collect_thread_ ? collect_thread_->buffered_sample_count() : 0;
    const QString waiting =
        buffered > 0 ? QStringLiteral(" (%1 samples buffered)").arg(buffered) : QString();
    if (success) {
        set_db_status("DB Status: Writing successfully" + waiting, kStyleGood);
        write_count_label_->setText(
            QStringLiteral("Current: %1 | Total: %2 records").arg(count).arg(total_rows()));
    } else {
        set_db_status("DB Status: Write failed" + waiting, kStyleBad);
        last_error_ = QStringLiteral("Write to the database failed");
    }
}

void MainWidget::_reset_write_count_display() {
    write_count_label_->setText(QStringLiteral("Current: 0 | Total: %1 records").arg(total_rows()));
}

void MainWidget::opc_type_changed(const QString& opc_type) {
    if (opc_type == "OPC DA") {
        port_input_->setText("0");
        port_input_->setEnabled(false);
    } else if (opc_type == "OPC UA") {
        port_input_->setText("4840");
        port_input_->setEnabled(true);
    }
}

void MainWidget::override_showPopup() {
    enumerate_servers();
    server_combo_->show_plain_popup();
}

void MainWidget::show_context_menu(const QPoint& pos) {
    auto* table = paginated_table_->table;
    const QModelIndex index = table->indexAt(pos);
    if (!index.isValid()) {
        return;
    }
    QMenu menu(this);
    QAction* copy_action = menu.addAction("Copy Cell");
    QAction* chosen = dialogs_->exec_menu(menu, table->viewport()->mapToGlobal(pos));
    if (chosen == copy_action) {
        QApplication::clipboard()->setText(table->model()->data(index, Qt::DisplayRole).toString());
    }
}

void MainWidget::_set_controls_enabled(bool enabled) {
    host_input_->setEnabled(enabled);
    port_input_->setEnabled(enabled && opc_type_combo_->currentText() == "OPC UA");
    server_combo_->setEnabled(enabled);
    import_button_->setEnabled(enabled);
    browse_button_->setEnabled(enabled);
    tsdb_combo_->setEnabled(enabled);
    opc_type_combo_->setEnabled(enabled);
}

void MainWidget::enumerate_servers() {
    const std::string host = s(host_input_->text().trimmed());
    const int port = port_from_text(port_input_->text());
    const QString type = opc_type_combo_->currentText();
    server_combo_->clear();
    opc_servers_info_.clear();
    try {
        status_label_->setText("Status: Enumerating " + type + " Servers ...");
        status_label_->setStyleSheet(kStyleBusy);
        QApplication::setOverrideCursor(Qt::WaitCursor);
        // Each type asks the library for its own kind only: a UA search on a closed local
        // port must fail, not report the local DA simulation as a UA server.
        const bool da = type == "OPC DA";
        const auto servers =
            enumerate_opc_servers(deps_.opc_library_factory, host, 16, da ? 0 : port,
                                  da ? korrin::QEV_RTSOURCE_DA : korrin::QEV_RTSOURCE_UA);
        if (!servers.empty()) {
            for (const auto& name : servers) {
                opc_servers_info_.append(q(name));
            }
            server_combo_->addItems(opc_servers_info_);
            status_label_->setText(QStringLiteral("Status: Found %1 %2 Servers")
                                       .arg(opc_servers_info_.size())
                                       .arg(type));
            status_label_->setStyleSheet(kStyleGood);
        } else {
            status_label_->setText("Status: No " + type + " Server found");
            status_label_->setStyleSheet(kStyleBad);
        }
    } catch (const std::exception& e) {
        status_label_->setText("Status: Failed to enumerate " + type + " Servers");
        status_label_->setStyleSheet(kStyleBad);
        QApplication::restoreOverrideCursor();
        dialogs_->critical(this, "Enumeration Error",
                           "Failed to enumerate " + type + " servers:\n\n" + q(e.what()));
        return;
    }
    QApplication::restoreOverrideCursor();
}

void MainWidget::server_selected(const QModelIndex& index) {
    server_combo_->setCurrentIndex(index.row());
}

void MainWidget::show_selected_trend() {
    auto* table = paginated_table_->table;
    std::vector<int> rows;
    for (const QModelIndex& index : table->selectionModel()->selectedRows()) {
        rows.push_back(index.row());
    }
    std::sort(rows.begin(), rows.end());
    std::vector<std::string> tags;
    for (const int row : rows) {
        const QString tag = table->model()->index(row, 1).data().toString();
        if (!tag.isEmpty()) {
            tags.push_back(s(tag));
        }
    }
    trend_chart_->show_tags(std::move(tags), tsdb_cfg_);
}

}  // namespace vantrel::desktop
