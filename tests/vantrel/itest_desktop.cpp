// The window on the real parts: the private PostgreSQL of the libpq environment, the node-opcua
// test server, and the vantrel program itself for what happens before any window exists.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTableView>
#include <QTreeView>
#include <QtCharts/QLineSeries>
#include <QtCharts/QScatterSeries>

#include <gtest/gtest.h>

#include "common/ini.h"
#include "korrin/tag_list.h"
#include "opcua_test_server.h"
#include "pg_session.h"
#include "vantrel/application.h"
#include "vantrel/browse_dialog.h"
#include "vantrel/trend_chart.h"
#include "window_rig.h"

namespace vantrel_test {
namespace {

using vantrel::test::OpcUaTestServer;
using vantrel::test::PgSession;
using vantrel::test::ScratchDatabase;

std::string env(const char* name, const char* fallback = "") {
    const char* value = std::getenv(name);
    return value ? value : fallback;
}

// The real client, counting the connections the window opens.
class CountingClient : public vantrel::korrin::TsdbClient {
  public:
    std::shared_ptr<vantrel::korrin::TsdbClient> real = vantrel::korrin::default_tsdb_client();
    int connects = 0;

    std::unique_ptr<vantrel::korrin::TsdbConnection> get_conn(
        const vantrel::korrin::TsdbConfig& cfg) override {
        ++connects;
        return real->get_conn(cfg);
    }
    bool ping(vantrel::korrin::TsdbConnection& c) override { return real->ping(c); }
    std::vector<std::string> fetch_available_tsdbs(
        const vantrel::korrin::TsdbConfig& cfg) override {
        return real->fetch_available_tsdbs(cfg);
    }
    std::vector<vantrel::korrin::SourceInfo> get_sources(
        vantrel::korrin::TsdbConnection& c, const vantrel::korrin::SourceFilter& f) override {
        return real->get_sources(c, f);
    }
    vantrel::korrin::OperationResult insert_new_source(vantrel::korrin::TsdbConnection& c,
                                                       vantrel::korrin::SourceInfo& i) override {
        return real->insert_new_source(c, i);
    }
    std::optional<vantrel::korrin::TagInfo> get_tag(vantrel::korrin::TsdbConnection& c,
                                                    const std::string& n) override {
        return real->get_tag(c, n);
    }
    vantrel::korrin::OperationResult insert_new_tag(vantrel::korrin::TsdbConnection& c,
                                                    const vantrel::korrin::TagInfo& t) override {
        return real->insert_new_tag(c, t);
    }
    vantrel::korrin::OperationResult update_tag_fields(
        vantrel::korrin::TsdbConnection& c, const std::string& n,
        const vantrel::korrin::TagFields& f) override {
        return real->update_tag_fields(c, n, f);
    }
    std::pair<bool, std::size_t> write_tsdata(vantrel::korrin::TsdbConnection& c,
                                              std::span<const std::int64_t> ids,
                                              std::span<const vantrel::korrin::Value> values,
                                              std::span<const std::string> qualities) override {
        return real->write_tsdata(c, ids, values, qualities);
    }
};

class DesktopOnRealParts : public ::testing::Test {
  protected:
    void SetUp() override {
        if (env("PGHOST").empty()) {
            GTEST_SKIP() << "no PostgreSQL in the libpq environment (scripts/test exports one)";
        }
        vantrel::desktop::set_app_dialogs(rig.dialogs);
    }
    void TearDown() override { vantrel::desktop::set_app_dialogs(nullptr); }

    void write_config(const std::string& dbname, const std::string& vantrel_section,
                      const std::string& port = env("PGPORT")) {
        write_file(rig.ini(),
                   "[TSDBConnection]\nhost = " + env("PGHOST") + "\nport = " + port +
                       "\nuser = " + env("PGUSER") + "\npassword = " + env("PGPASSWORD") +
                       "\ndbname = " + dbname + "\n\n[Vantrel]\n" + vantrel_section +
                       "\n[VantrelLogging]\nlog_dir = " + (rig.path() / "logs").string() + "\n");
    }

    MainWidgetDeps real_deps() const {
        MainWidgetDeps deps;
        deps.working_dir = rig.path();
        deps.dialogs = rig.dialogs;
        return deps;
    }

    WindowRig rig;
};

TEST_F(DesktopOnRealParts, ChoosesTheConfiguredDatabaseElseTsdbDefault) {
    const ScratchDatabase configured("vantrel_desktop_it");
    write_config(configured.name(), "opc_type = OPC DA\n");
    {
        auto counting = std::make_shared<CountingClient>();
        auto deps = real_deps();
        deps.tsdb_client = counting;
        MainWidget w(deps);
        EXPECT_EQ(counting->connects, 1) << "one connection attempt at start-up";
        EXPECT_EQ(parts_of(w).tsdb_combo->currentText().toStdString(), configured.name());
        EXPECT_EQ(w.windowTitle().toStdString(), "OPC Data Widget [TSDB connected: " +
                                                     env("PGHOST") + "/" + configured.name() + "]");
        for (const auto& name : w.available_dbs()) {
            EXPECT_NE(name.rfind("template", 0), 0u) << "templates are never offered";
        }
    }
    write_config("no_such_database_here", "opc_type = OPC DA\n");
    MainWidget w(real_deps());
    EXPECT_EQ(parts_of(w).tsdb_combo->currentText(), "tsdb_default");
    EXPECT_EQ(parts_of(w).db_status_label->text(), "DB Status: Connected");
    EXPECT_TRUE(rig.dialogs->shown.empty());
}

TEST_F(DesktopOnRealParts, AnUnreachableServerStopsTheStartWithApplicationError) {
    // A loopback port nobody listens on stands for a stopped PostgreSQL.
    write_config("tsdb_default", "opc_type = OPC DA\n", "1");
    EXPECT_EQ(vantrel::desktop::build_main_window(real_deps()), nullptr);
    const auto boxes = rig.dialogs->of_kind("critical");
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].title, "Application Error");
    EXPECT_FALSE(boxes[0].has_parent);
    EXPECT_EQ(boxes[0].text.rfind("Failed to start the application: ", 0), 0u) << boxes[0].text;
    EXPECT_EQ(boxes[0].text.find(env("PGPASSWORD")), std::string::npos);
    EXPECT_EQ(QApplication::topLevelWidgets().size(), 0) << "no window is left behind";
}

TEST_F(DesktopOnRealParts, DiscoversTheTestServerAndReportsAClosedPort) {
    if (!OpcUaTestServer::installed()) {
        GTEST_SKIP() << "node-opcua is not installed in tests/opcua-server";
    }
    OpcUaTestServer server;
    server.start();
    write_config("tsdb_default", "opc_type = OPC UA\nopc_host = 127.0.0.1\n");
    MainWidget w(real_deps());
    parts_of(w).port_input->setText(QString::number(server.port()));
    w.enumerate_servers();
    ASSERT_GE(parts_of(w).server_combo->count(), 1)
        << parts_of(w).status_label->text().toStdString();
    EXPECT_TRUE(parts_of(w).status_label->text().startsWith("Status: Found "));
    EXPECT_TRUE(parts_of(w).status_label->text().endsWith(" OPC UA Servers"));
    EXPECT_EQ(parts_of(w).status_label->styleSheet(), "color: green");
    EXPECT_NE(parts_of(w).server_combo->itemText(0).indexOf(QString::number(server.port())), -1);

    server.stop();
    w.enumerate_servers();
    EXPECT_EQ(parts_of(w).status_label->text(), "Status: Failed to enumerate OPC UA Servers");
    EXPECT_EQ(parts_of(w).status_label->styleSheet(), "color: red");
    EXPECT_EQ(rig.dialogs->of_kind("critical").size(), 1u);
    EXPECT_EQ(rig.dialogs->of_kind("critical")[0].title, "Enumeration Error");
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    EXPECT_EQ(parts_of(w).server_combo->count(), 0);
}

TEST_F(DesktopOnRealParts, CollectsFromTheTestServerIntoPostgresql) {
    if (!OpcUaTestServer::installed()) {
        GTEST_SKIP() << "node-opcua is not installed in tests/opcua-server";
    }
    OpcUaTestServer server;
    server.start();
    const ScratchDatabase e2e("vantrel_desktop_e2e");
    write_config(e2e.name(), "opc_type = OPC UA\nopc_host = 127.0.0.1\n");
    PgSession check(e2e.name());
    auto w = std::make_unique<MainWidget>(real_deps());
    w->show();

    rig.dialogs->file_answers.push_back(rig.csv("ua-tags.csv",
                                                "FullTagName,Description\n"
                                                "2:Demo.Double,锅炉温度\n"
                                                "2:Demo.BadStatus,坏传感器\n"
                                                "2:Demo.UncertainStatus,上次可用值\n"
                                                "2:Demo.Count1,一号计数器\n"));
    w->import_tags_from_csv();
    ASSERT_EQ(parts_of(*w).paginated_table->all_data.size(), 4u);
    parts_of(*w).server_combo->setCurrentText(QString::fromStdString(server.endpoint()));
    w->start_collecting();
    ASSERT_NE(w->collect_thread(), nullptr);

    const auto cell = [&](std::size_t row, std::size_t col) {
        return parts_of(*w).paginated_table->all_data.at(row).at(col).toString().toStdString();
    };
    ASSERT_TRUE(process_until([&] { return cell(0, 4) == "Good"; }, 20000));
    EXPECT_EQ(cell(0, 3), "3.25");
    EXPECT_EQ(cell(1, 4), "Bad");
    EXPECT_EQ(cell(2, 4), "Uncertain");
    EXPECT_FALSE(cell(0, 0).empty()) << "registration filled the DBID";
    ASSERT_TRUE(process_until(
        [&] { return parts_of(*w).write_count_label->text() == "Current: 4 | Total: 4 records"; },
        20000));

    const auto count = [&] {
        return std::stoi(check.try_scalar("SELECT count(*) FROM chronq.tsdata").value_or("0"));
    };
    ASSERT_TRUE(process_until([&] { return count() >= 8; }, 20000));
    EXPECT_EQ(check.try_scalar(
                  "SELECT description->>'desc' FROM chronq.tags WHERE tag_name = '2:Demo.Double'"),
              "锅炉温度");
    EXPECT_EQ(check.try_scalar("SELECT count(*) FROM chronq.sources WHERE source_name = 'vantrel'"),
              "1");

    w->start_collecting();  // stop
    EXPECT_EQ(w->collect_thread(), nullptr);
    const int after_stop = count();
    rig.dialogs->question_answer = QMessageBox::Yes;
    EXPECT_TRUE(w->close());
    w.reset();
    EXPECT_EQ(count(), after_stop) << "nothing is written after the stop";

    const auto ini = vantrel::common::IniFile::read_file(rig.ini());
    EXPECT_EQ(ini.get("Vantrel", "opc_schema"), server.endpoint());
    EXPECT_EQ(ini.get("Vantrel", "tag_csv_path"), (rig.path() / "ua-tags.csv").string());
    EXPECT_EQ(ini.get("TSDBConnection", "password"), env("PGPASSWORD"));
}

TEST_F(DesktopOnRealParts, BrowsesTheTestServerIntoTheTableAndATagFile) {
    if (!OpcUaTestServer::installed()) {
        GTEST_SKIP() << "node-opcua is not installed in tests/opcua-server";
    }
    // A folder wider than one Browse answer: its branch needs continuation points.
    OpcUaTestServer server({.browse_nodes = 40, .max_references_per_node = 7});
    server.start();
    write_config("tsdb_default", "opc_type = OPC UA\nopc_host = 127.0.0.1\n");
    auto w = std::make_unique<MainWidget>(real_deps());
    parts_of(*w).server_combo->setCurrentText(QString::fromStdString(server.endpoint()));
    parts_of(*w).browse_button->click();
    auto* dialog = w->findChild<vantrel::desktop::BrowseDialog*>("browse_dialog");
    ASSERT_NE(dialog, nullptr);
    auto* tree = dialog->findChild<QTreeView*>("browse_tree");
    auto* status = dialog->findChild<QLabel*>("browse_status_label");
    auto* model = tree->model();

    // The row named so below the parent, once the branch's browse has answered.
    const auto child = [&](const QModelIndex& parent, const QString& name) {
        QModelIndex found;
        process_until(
            [&] {
                for (int r = 0; r < model->rowCount(parent); ++r) {
                    if (model->index(r, 0, parent).data().toString() == name) {
                        found = model->index(r, 0, parent);
                    }
                }
                return found.isValid();
            },
            20000);
        return found;
    };
    const QModelIndex browse = child({}, "Browse");
    ASSERT_TRUE(browse.isValid()) << status->text().toStdString();
    tree->expand(browse);
    const QModelIndex wide = child(browse, "Wide");
    const QModelIndex workshop = child(browse, QString::fromUtf8("车间"));
    const QModelIndex other = child(browse, "Other");
    ASSERT_TRUE(wide.isValid() && workshop.isValid() && other.isValid());
    tree->expand(wide);
    tree->expand(workshop);
    tree->expand(other);
    ASSERT_TRUE(process_until([&] { return model->rowCount(wide) == 40; }, 20000))
        << model->rowCount(wide) << " " << status->text().toStdString();
    const QModelIndex temperature = child(workshop, QString::fromUtf8("反应釜温度"));
    const QModelIndex pressure = child(workshop, QString::fromUtf8("压力表"));
    ASSERT_TRUE(temperature.isValid() && pressure.isValid());
    ASSERT_TRUE(process_until([&] { return !model->hasChildren(other); }, 20000))
        << "text, array and write-only variables are not listed";

    for (const QModelIndex& i : {temperature, pressure, model->index(0, 0, wide)}) {
        ASSERT_TRUE(model->setData(i, Qt::Checked, Qt::CheckStateRole));
    }
    const QString file = QString::fromStdString((rig.path() / "browsed.csv").string());
    rig.dialogs->file_answers.push_back(file);
    dialog->findChild<QPushButton*>("browse_save_button")->click();
    const auto saved = vantrel::korrin::load_tag_list(file.toStdString());
    ASSERT_EQ(saved.tags.size(), 3u);
    EXPECT_EQ(saved.tags[0].first, "2:Browse.Wide.0");
    EXPECT_EQ(saved.tags[1], (vantrel::korrin::TagPair{"2:Browse.车间.温度", "一号反应釜的温度"}));
    EXPECT_EQ(saved.tags[2], (vantrel::korrin::TagPair{"2:Browse.车间.压力", "压力表"}))
        << "without a Description the display name stands in";

    dialog->findChild<QPushButton*>("browse_add_button")->click();
    ASSERT_TRUE(process_until([&] {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        return w->findChild<vantrel::desktop::BrowseDialog*>("browse_dialog") == nullptr;
    }));
    const auto& rows = parts_of(*w).paginated_table->all_data;
    ASSERT_EQ(rows.size(), 3u);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(rows[i][1].toString().toStdString(), saved.tags[i].first);
        EXPECT_EQ(rows[i][2].toString().toStdString(), saved.tags[i].second);
    }
    EXPECT_TRUE(rig.dialogs->of_kind("warning").empty());
}

TEST_F(DesktopOnRealParts, ASelectedRowShowsItsStoredHistoryWithGapsForBadSamples) {
    namespace korrin = vantrel::korrin;
    using namespace std::chrono_literals;
    const ScratchDatabase trend("vantrel_desktop_trend");
    write_config(trend.name(), "opc_type = OPC DA\n");
    auto w = std::make_unique<MainWidget>(real_deps());

    // Stored by an earlier collector: one sample 20 minutes ago, and four in the last five
    // minutes, one of them Bad.
    auto client = korrin::default_tsdb_client();
    auto conn = client->get_conn(trend.settings<korrin::TsdbConfig>());
    const auto registered = client->insert_new_tag(*conn, {.tag_name = "Boiler.Temp"});
    ASSERT_TRUE(registered.ok) << registered.message;
    const std::int64_t id = *registered.data->tag_id;
    const auto now = std::chrono::system_clock::now();
    const std::vector<std::chrono::system_clock::time_point> times{
        now - 20min, now - 5min, now - 4min, now - 3min, now - 2min};
    const std::vector<std::int64_t> ids(times.size(), id);
    const std::vector<korrin::Value> values{1.0, 2.0, 99.0, 3.0, 4.0};
    const std::vector<std::string> qualities{"Good", "Good", "Bad", "Good", "Good"};
    ASSERT_TRUE(client->write_tsdata_at(*conn, times, ids, values, qualities, nullptr).first);
    conn->close();

    rig.dialogs->file_answers.push_back(
        rig.csv("trend.csv", "FullTagName,Description\nBoiler.Temp,锅炉温度\nOther.Tag,x\n"));
    w->import_tags_from_csv();
    auto* table = parts_of(*w).paginated_table->table;
    auto* chart = w->findChild<vantrel::desktop::TrendChart*>("trend_chart");
    ASSERT_NE(chart, nullptr);
    table->selectRow(0);
    EXPECT_EQ(chart->view()->accessibleName(), "Trend: Boiler.Temp");

    const auto drawn = [&] {
        std::vector<std::vector<double>> out;
        for (auto* line : chart->lines_of("Boiler.Temp")) {
            out.emplace_back();
            for (const auto& p : line->points()) {
                out.back().push_back(p.y());
            }
        }
        return out;
    };
    ASSERT_TRUE(process_until([&] { return !chart->model().loading(); }, 20000));
    EXPECT_EQ(chart->model().error(), "");
    EXPECT_EQ(drawn(), (std::vector<std::vector<double>>{{2}, {3, 4}}))
        << "the last 10 minutes, broken at the Bad sample";
    EXPECT_EQ(chart->marks_of("Boiler.Temp")->count(), 1);

    auto* range = chart->findChild<QComboBox*>("trend_range_combo");
    range->setCurrentText("1 h");
    ASSERT_TRUE(process_until([&] { return !chart->model().loading(); }, 20000));
    EXPECT_EQ(drawn(), (std::vector<std::vector<double>>{{1}, {2}, {3, 4}}))
        << "the 15 minutes without a sample are a gap as well";
    // Minute buckets: each sample here lies in a minute of its own.
    range->setCurrentText("24 h");
    ASSERT_TRUE(process_until([&] { return !chart->model().loading(); }, 20000));
    EXPECT_EQ(drawn(), (std::vector<std::vector<double>>{{1}, {2}, {3, 4}}));
    EXPECT_EQ(chart->marks_of("Boiler.Temp")->count(), 1);
}

TEST(DesktopProgram, EndsWithTheLoggingErrorWhenThereIsNoConfigFile) {
    QTemporaryDir dir;
    QProcess program;
    program.setWorkingDirectory(dir.path());
    program.start(VANTREL_EXE, {});
    ASSERT_TRUE(program.waitForFinished(60000));
    EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(program.exitCode(), 1);
    const QString err = QString::fromUtf8(program.readAllStandardError());
    EXPECT_TRUE(err.contains(QString::fromUtf8("无法读取配置文件：config.ini")))
        << err.toStdString();
}

}  // namespace
}  // namespace vantrel_test
