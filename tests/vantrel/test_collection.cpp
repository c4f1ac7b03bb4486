// The window's tag import, registration and collection control against the fakes.
#include <cmath>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <QCloseEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

#include <unistd.h>

#include "common/ini.h"
#include "korrin/folder_lock.h"
#include "vantrel/window_logic.h"
#include "window_rig.h"

namespace vantrel_test {
namespace {

namespace korrin = vantrel::korrin;
using vantrel::desktop::TableRows;

constexpr const char* kSchema = "opc.da://localhost/Vantrel.Simulation.1";

std::string cell(const MainWidget& w, std::size_t row, std::size_t col) {
    return parts_of(w).paginated_table->all_data.at(row).at(col).toString().toStdString();
}

struct Collecting : ::testing::Test {
    WindowRig rig;
    std::unique_ptr<MainWidget> w;

    void SetUp() override {
        rig.write_config(std::string("opc_type = OPC DA\nopc_schema = ") + kSchema +
                         "\nbatch_size = 77\n\n[Site]\nowner = plant 7\n");
        w = rig.make();
    }

    void import(const std::string& bytes) {
        rig.dialogs->file_answers.push_back(rig.csv("tags.csv", bytes));
        w->import_tags_from_csv();
    }
};

TEST_F(Collecting, ImportReadsUtf8BeforeGbkAndLooksUpKnownTags) {
    rig.db->add_tag("Demo.Count1", 41);
    rig.queue->push({});
    import(
        "FullTagName,Description,Unit\n"
        "  Demo.Tag1 ,锅炉温度 ,°C\n"
        "Demo.Count1,计数器\n"
        "   ,blank name is skipped\n"
        "Demo.Tag1,duplicate kept\n"
        "Demo.Bad\n");
    const auto files = rig.dialogs->of_kind("file");
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].title, "Choose CSV file");
    EXPECT_EQ(files[0].text, "|CSV Files (*.csv)");
    EXPECT_TRUE(rig.dialogs->of_kind("warning").empty());

    ASSERT_EQ(parts_of(*w).paginated_table->all_data.size(), 4u);
    EXPECT_EQ(cell(*w, 0, 0), "");
    EXPECT_EQ(cell(*w, 0, 1), "Demo.Tag1");
    EXPECT_EQ(cell(*w, 0, 2), "锅炉温度") << "UTF-8 that is also valid GBK reads as UTF-8";
    EXPECT_EQ(cell(*w, 1, 0), "41");
    EXPECT_EQ(cell(*w, 2, 2), "duplicate kept");
    EXPECT_EQ(cell(*w, 3, 1), "Demo.Bad");
    EXPECT_EQ(cell(*w, 3, 2), "");
    EXPECT_EQ(cell(*w, 3, 3), "");
    EXPECT_TRUE(rig.queue->empty());
    EXPECT_EQ(parts_of(*w).write_count_label->text(), "Current: 0 | Total: 4 records");
    EXPECT_EQ(parts_of(*w).paginated_table->current_page, 1);
    EXPECT_EQ(w->tag_csv_path(), (rig.path() / "tags.csv").string());
    EXPECT_EQ(rig.db->calls["insert_new_tag"], 0) << "an import registers nothing";
}

TEST_F(Collecting, ImportReadsGbkFiles) {
    // "锅炉温度,一号泵" saved as GBK.
    import(
        "FullTagName,Description\nBoiler.T,\xb9\xf8\xc2\xaf\xce\xc2\xb6\xc8\n"
        "Pump.1,\xd2\xbb\xba\xc5\xb1\xc3\n");
    ASSERT_EQ(parts_of(*w).paginated_table->all_data.size(), 2u);
    EXPECT_EQ(cell(*w, 0, 2), "锅炉温度");
    EXPECT_EQ(cell(*w, 1, 2), "一号泵");
}

TEST_F(Collecting, ImportRefusalsLeaveTheTableAsItWas) {
    import("FullTagName,Description\nKeep.Me,x\n");
    ASSERT_EQ(parts_of(*w).paginated_table->all_data.size(), 1u);

    w->import_tags_from_csv();  // cancelled: nothing changes
    EXPECT_EQ(w->tag_csv_path(), (rig.path() / "tags.csv").string());

    rig.dialogs->file_answers.push_back(rig.csv("cols.csv", "Name,Description\nA,b\n"));
    w->import_tags_from_csv();
    rig.dialogs->file_answers.push_back(rig.csv("blank.csv", "FullTagName,Description\n  ,b\n"));
    w->import_tags_from_csv();
    rig.dialogs->file_answers.push_back(
        rig.csv("bytes.csv", "FullTagName,Description\n\xff\xff\n"));
    w->import_tags_from_csv();
    rig.dialogs->file_answers.push_back(QString::fromStdString((rig.path() / "gone.csv").string()));
    w->import_tags_from_csv();

    const auto warnings = rig.dialogs->of_kind("warning");
    ASSERT_EQ(warnings.size(), 4u);
    for (const auto& box : warnings) {
        EXPECT_EQ(box.title, "Error");
        EXPECT_TRUE(box.has_parent);
    }
    EXPECT_EQ(warnings[0].text, "CSV 文件中缺少 FullTagName 或 Description 列");
    EXPECT_EQ(warnings[1].text, "CSV 文件中没有有效的标签数据");
    EXPECT_EQ(warnings[2].text.rfind("无法读取 CSV 文件：\n", 0), 0u) << warnings[2].text;
    EXPECT_EQ(warnings[3].text.rfind("无法读取 CSV 文件：\n", 0), 0u) << warnings[3].text;
    EXPECT_NE(warnings[3].text.find("gone.csv"), std::string::npos);
    ASSERT_EQ(parts_of(*w).paginated_table->all_data.size(), 1u);
    EXPECT_EQ(cell(*w, 0, 1), "Keep.Me");
    EXPECT_EQ(w->tag_csv_path(), (rig.path() / "gone.csv").string())
        << "the path is kept even when the file could not be read";
}

TEST_F(Collecting, StartRefusesInOrderBeforeTouchingAnything) {
    parts_of(*w).server_combo->setCurrentText("   ");
    w->start_collecting();
    ASSERT_EQ(rig.dialogs->of_kind("warning").size(), 1u);
    EXPECT_EQ(rig.dialogs->of_kind("warning")[0].text, "Please select an OPC server schema.");
    EXPECT_EQ(rig.db->calls["get_sources"], 0);

    // An empty table: the source is still looked up and created, then the start is refused.
    parts_of(*w).server_combo->setCurrentText(kSchema);
    w->start_collecting();
    ASSERT_EQ(rig.dialogs->of_kind("warning").size(), 2u);
    EXPECT_EQ(rig.dialogs->of_kind("warning")[1].text,
              "No tags available for collection. Please import a CSV file first.");
    EXPECT_EQ(rig.db->sources.size(), 1u);
    EXPECT_EQ(w->collect_thread(), nullptr);
    EXPECT_EQ(parts_of(*w).collect_button->text(), "Start Collecting");

    // A refused source.
    import("FullTagName,Description\nDemo.Tag1,x\n");
    rig.db->refuse_source = true;
    parts_of(*w).opc_type_combo->setCurrentText(
        "OPC UA");  // another protocol: a new source is needed
    w->start_collecting();
    EXPECT_EQ(rig.dialogs->of_kind("warning").back().text, "Failed to insert source information.");
    EXPECT_EQ(w->collect_thread(), nullptr);
}

TEST_F(Collecting, RegistrationReusesTheSourceOfTheSchemaAndMovesTags) {
    rig.db->add_tag("Shared.Tag", 7, 99);  // registered by another source earlier
    rig.db->refuse_tags = {"Refused.Tag"};
    import("FullTagName,Description\nShared.Tag,新描述\nRefused.Tag,x\nNew.Tag,\n");

    const auto first = w->_ensure_source(kSchema);
    ASSERT_TRUE(first);
    const auto again = w->_ensure_source(kSchema);
    EXPECT_EQ(again, first);
    const auto other = w->_ensure_source("opc.da://other/Vantrel.Simulation.1");
    EXPECT_NE(other, first);
    parts_of(*w).opc_type_combo->setCurrentText("OPC UA");
    const auto ua = w->_ensure_source(kSchema);
    EXPECT_NE(ua, first) << "the protocol is part of a source's identity";
    ASSERT_EQ(rig.db->sources.size(), 3u);
    const auto& created = rig.db->sources.at(0);
    EXPECT_EQ(created.source_name, "vantrel");
    EXPECT_EQ(created.source_type, "OPC_Collector");
    EXPECT_EQ(created.interval_msec, 1000);
    EXPECT_EQ(created.description,
              (korrin::Description{
                  {"created_by", "Vantrel4"}, {"endpoint", kSchema}, {"protocol", "OPC_DA"}}));

    w->_sync_tags_with_source(*first);
    EXPECT_EQ(cell(*w, 0, 0), "7");
    EXPECT_EQ(cell(*w, 1, 0), "") << "a refused insert keeps an empty DBID";
    EXPECT_FALSE(cell(*w, 2, 0).empty());
    const auto& moved = rig.db->tags.at("Shared.Tag");
    EXPECT_EQ(moved.source_id, first);
    EXPECT_EQ(moved.description, (korrin::Description{{"desc", "新描述"}}));
    EXPECT_TRUE(rig.db->tags.at("New.Tag").description.empty());
}

TEST_F(Collecting, RunsStopsAndRunsAgainWithValuesInTheTable) {
    import("FullTagName,Description\nDemo.Tag1,a\nDemo.Tag2,b\n");
    parts_of(*w).port_input->setText("0x1");
    w->start_collecting();
    ASSERT_NE(w->collect_thread(), nullptr);
    EXPECT_EQ(parts_of(*w).collect_button->text(), "Stop Collecting");
    EXPECT_FALSE(parts_of(*w).import_button->isEnabled());
    EXPECT_FALSE(parts_of(*w).tsdb_combo->isEnabled());
    EXPECT_TRUE(parts_of(*w).collect_button->isEnabled());

    ASSERT_TRUE(process_until([&] { return cell(*w, 1, 4) == "Good"; }));
    EXPECT_EQ(cell(*w, 0, 3), "1.5");
    ASSERT_TRUE(rig.db->wait_until([&] { return !rig.db->writes.empty(); }));
    ASSERT_TRUE(process_until(
        [&] { return parts_of(*w).db_status_label->text() == "DB Status: Writing successfully"; }));
    EXPECT_EQ(parts_of(*w).write_count_label->text(), "Current: 2 | Total: 2 records");
    // Under the fake's lock: the collector is still reading, and adding to these.
    EXPECT_EQ(rig.opc->locked([&] { return rig.opc->creates.at(0).schema; }), kSchema);
    EXPECT_EQ(rig.opc->locked([&] { return rig.opc->reads.at(0).size(); }), 2u);

    // The settings went back to config.ini, every other key kept.
    const auto ini = vantrel::common::IniFile::read_file(rig.ini());
    EXPECT_EQ(ini.get("Vantrel", "opc_schema"), kSchema);
    EXPECT_EQ(ini.get("Vantrel", "opc_port"), "0x1") << "written as typed";
    EXPECT_EQ(ini.get("Vantrel", "tag_csv_path"), (rig.path() / "tags.csv").string());
    EXPECT_EQ(ini.get("Vantrel", "batch_size"), "77");
    EXPECT_EQ(ini.get("Site", "owner"), "plant 7");
    EXPECT_EQ(ini.get("TSDBConnection", "password"), "secret");

    w->start_collecting();  // the same button stops
    EXPECT_EQ(w->collect_thread(), nullptr);
    EXPECT_EQ(parts_of(*w).collect_button->text(), "Start Collecting");
    EXPECT_TRUE(parts_of(*w).import_button->isEnabled());
    EXPECT_FALSE(parts_of(*w).port_input->isEnabled());
    EXPECT_EQ(parts_of(*w).db_status_label->text(), "DB Status: Connected");
    EXPECT_EQ(parts_of(*w).db_status_label->styleSheet(), "color: green");
    EXPECT_EQ(parts_of(*w).write_count_label->text(), "Current: 0 | Total: 2 records");

    const auto reads = rig.opc->locked([&] { return rig.opc->reads.size(); });
    w->start_collecting();
    ASSERT_NE(w->collect_thread(), nullptr);
    EXPECT_TRUE(rig.opc->wait_for_reads(reads + 1));
    w->_stop_collecting();
    EXPECT_EQ(rig.db->opened, rig.db->closed + 1) << "only the window's own connection stays open";
}

// The status bar carries the collector's figures, refreshed with the table, for a pointer and
// for screen readers alike; the status lines themselves stay as they were.
TEST_F(Collecting, TheStatusBarCarriesTheFiguresWithTheTable) {
    import("FullTagName,Description\nDemo.Tag1,a\nDemo.Tag2,b\n");
    w->start_collecting();
    ASSERT_TRUE(process_until([&] { return w->metrics().samples_stored.value() >= 4; }));
    ASSERT_TRUE(
        process_until([&] { return parts_of(*w).status_bar->toolTip().startsWith("Cycles: "); }));
    w->_stop_collecting();
    const QString figures = parts_of(*w).status_bar->toolTip();
    EXPECT_EQ(parts_of(*w).status_bar->accessibleName(), "Collection figures");
    EXPECT_EQ(parts_of(*w).status_bar->accessibleDescription(), figures);
    EXPECT_TRUE(figures.contains("\nRead time: ")) << figures.toStdString();
    EXPECT_TRUE(figures.contains(" ms\nWrite time: ")) << figures.toStdString();
    EXPECT_TRUE(figures.endsWith("Buffered samples: 0\nLast error: none")) << figures.toStdString();
    EXPECT_EQ(w->metrics_server(), nullptr) << "metrics_listen is not set";
}

// The operator sees why the server could not be opened on the status line, not only that it
// could not.
TEST_F(Collecting, TheStatusLineShowsWhyTheSourceCouldNotBeCreated) {
    import("FullTagName,Description\nDemo.Tag1,a\n");
    rig.opc->locked([&] {
        rig.opc->create_fails = true;
        rig.opc->create_error = "the only DA server available is the built-in simulation";
        return 0;
    });
    // Each status the line showed, read right after the window's own slot set it: the line
    // moves on to the back-off text within the same cycle.
    QStringList shown;
    QObject::connect(parts_of(*w).status_bridge, &vantrel::desktop::OPCStatusBridge::status_changed,
                     w.get(), [&] { shown << parts_of(*w).status_label->text(); });
    w->start_collecting();
    const QString expected =
        "Status: Reconnect DA error: Create OPC DA Source failed: the only DA server available "
        "is the built-in simulation";
    ASSERT_TRUE(process_until([&] { return shown.contains(expected); }))
        << shown.join("\n").toStdString();
    w->_stop_collecting();
}

// Subscribed, the status line also says how many items the server reports on, and follows that
// number as it changes.
TEST_F(Collecting, TheStatusLineSaysSubscribedWithTheLiveItems) {
    rig.write_config(
        "opc_type = OPC UA\nopc_schema = opc.tcp://plc:4840\n"
        "acquisition = subscribe\nstore = latest\n");
    w = rig.make();
    import("FullTagName,Description\n2:Demo.Tag1,a\n2:Demo.Tag2,b\n2:Demo.Tag3,c\n");
    rig.opc->locked([&] { return rig.opc->live_items = 3; });
    w->start_collecting();
    ASSERT_TRUE(rig.opc->wait_for_creates(1));
    EXPECT_EQ(rig.opc->locked([&] { return rig.opc->creates.at(0).support_subscribe; }), 1);
    const auto shows = [&](const QString& text) {
        return process_until([&] { return parts_of(*w).status_label->text() == text; });
    };
    EXPECT_TRUE(shows("Status: Read 3 tags, 0 bad. (subscribed, 3 items live)"))
        << parts_of(*w).status_label->text().toStdString();
    rig.opc->locked([&] { return rig.opc->live_items = 2; });
    EXPECT_TRUE(shows("Status: Read 3 tags, 0 bad. (subscribed, 2 items live)"))
        << parts_of(*w).status_label->text().toStdString();
    w->_stop_collecting();
}

// A reading source's line says nothing of a subscription, whatever its library would say.
TEST_F(Collecting, TheStatusLineOfAReadingSourceSaysNothingOfSubscriptions) {
    import("FullTagName,Description\nDemo.Tag1,a\n");
    rig.opc->locked([&] { return rig.opc->live_items = 1; });
    w->start_collecting();
    ASSERT_TRUE(rig.opc->wait_for_reads(3));
    EXPECT_TRUE(process_until([&] {
        return parts_of(*w).status_label->text() == "Status: Read 1 tags, 0 bad.";
    })) << parts_of(*w).status_label->text().toStdString();
    w->_stop_collecting();
}

TEST_F(Collecting, TheQueueDrainShowsTheNewestCycle) {
    parts_of(*w).paginated_table->set_data(
        {{1, "A", "", "", ""}, {2, "B", "", "", ""}, {3, "C", "", "", ""}});
    QSignalSpy refreshes(parts_of(*w).paginated_table->table_model,
                         &QAbstractItemModel::dataChanged);
    w->process_queue();
    EXPECT_EQ(refreshes.count(), 0) << "an empty queue leaves the table alone";

    rig.queue->push({{"A", 1.0, "Good", {}}, {"B", 2.0, "Good", {}}});
    rig.queue->push({{"A", std::int64_t{10}, "Good", {}},
                     {"C", std::string("on"), "Bad", {}},
                     {"A", 11.5, "Uncertain", {}}});
    w->process_queue();
    EXPECT_TRUE(rig.queue->empty());
    EXPECT_EQ(refreshes.count(), 1);
    EXPECT_EQ(cell(*w, 0, 3), "11.5") << "the last sample of a tag wins";
    EXPECT_EQ(cell(*w, 0, 4), "Uncertain");
    EXPECT_TRUE(std::isnan(parts_of(*w).paginated_table->all_data[1][3].toDouble()))
        << "a tag missing from the newest cycle shows NaN";
    EXPECT_EQ(cell(*w, 1, 4), "uncertain");
    EXPECT_EQ(cell(*w, 2, 3), "on");
    EXPECT_EQ(cell(*w, 2, 4), "Bad");

    rig.queue->push({});
    w->process_queue();
    for (std::size_t row = 0; row < 3; ++row) {
        EXPECT_EQ(cell(*w, row, 4), "uncertain");
    }
}

TEST_F(Collecting, ClosingWhileCollectingAsksFirst) {
    import("FullTagName,Description\nDemo.Tag1,a\n");
    w->start_collecting();
    ASSERT_NE(w->collect_thread(), nullptr);

    rig.dialogs->question_answer = QMessageBox::No;
    QCloseEvent refused;
    QCoreApplication::sendEvent(w.get(), &refused);
    EXPECT_FALSE(refused.isAccepted());
    ASSERT_NE(w->collect_thread(), nullptr);
    EXPECT_TRUE(w->collect_thread()->is_alive());
    const auto questions = rig.dialogs->of_kind("question");
    ASSERT_EQ(questions.size(), 1u);
    EXPECT_EQ(questions[0].title, "Confirm Exit");
    EXPECT_EQ(questions[0].text,
              "Data collection is still running. Are you sure you want to exit?");

    rig.dialogs->question_answer = QMessageBox::Yes;
    QCloseEvent accepted;
    QCoreApplication::sendEvent(w.get(), &accepted);
    EXPECT_TRUE(accepted.isAccepted());
    EXPECT_EQ(w->collect_thread(), nullptr) << "the collector has ended before the window closes";
    EXPECT_EQ(w->tsdb_conn(), nullptr);
    EXPECT_EQ(rig.db->opened, rig.db->closed);
}

TEST_F(Collecting, AStartThatFailsPartWayLeavesTheWindowIdle) {
    import("FullTagName,Description\nDemo.Tag1,a\n");
    rig.db->get_tag_error = "server closed the connection unexpectedly";
    EXPECT_THROW(w->start_collecting(), korrin::TsdbConnectionError);
    EXPECT_EQ(w->collect_thread(), nullptr);
    EXPECT_EQ(parts_of(*w).collect_button->text(), "Start Collecting");
    EXPECT_TRUE(parts_of(*w).import_button->isEnabled());
    EXPECT_TRUE(parts_of(*w).server_combo->isEnabled());

    // Through the button, the error reaches the handler and the window goes on.
    vantrel::desktop::set_app_dialogs(rig.dialogs);
    QTest::mouseClick(parts_of(*w).collect_button, Qt::LeftButton);
    QTest::mouseClick(parts_of(*w).collect_button, Qt::LeftButton);
    vantrel::desktop::set_app_dialogs(nullptr);
    const auto boxes = rig.dialogs->of_kind("critical");
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].title, "Unexpected Error");
    EXPECT_FALSE(boxes[0].has_parent);
    EXPECT_EQ(boxes[0].text,
              "vantrel::korrin::TsdbConnectionError: server closed the connection "
              "unexpectedly\n");
    EXPECT_TRUE(parts_of(*w).import_button->isEnabled());

    rig.db->get_tag_error.reset();
    w->start_collecting();
    EXPECT_NE(w->collect_thread(), nullptr) << "the operator can try again";
    w->_stop_collecting();
}

// Two collectors would interleave one buffer's files: the second start is refused with the
// reason, as an operator's error, and the window stays idle for another try.
TEST(CollectingBufferFolder, AFolderInUseRefusesTheStartWithTheReason) {
    WindowRig rig;
    const std::filesystem::path folder = rig.path() / "shared-buffer";
    rig.write_config(std::string("opc_type = OPC DA\nopc_schema = ") + kSchema +
                     "\nbuffer_dir = " + folder.string() + "\n");
    auto w = rig.make();
    rig.dialogs->file_answers.push_back(
        rig.csv("tags.csv", "FullTagName,Description\nDemo.Tag1,a\n"));
    w->import_tags_from_csv();
    {
        korrin::FolderLock other(folder);
        w->start_collecting();
        EXPECT_EQ(w->collect_thread(), nullptr);
        EXPECT_EQ(parts_of(*w).collect_button->text(), "Start Collecting");
        EXPECT_TRUE(parts_of(*w).import_button->isEnabled());
        const auto warnings = rig.dialogs->of_kind("warning");
        ASSERT_EQ(warnings.size(), 1u);
        EXPECT_EQ(warnings[0].title, "Error");
        EXPECT_EQ(warnings[0].text, "The buffer folder " + folder.string() +
                                        " is in use by another collector (process " +
                                        std::to_string(::getpid()) +
                                        "); give each collector its own buffer_dir.");
    }
    w->start_collecting();
    EXPECT_NE(w->collect_thread(), nullptr) << "the folder is free again";
    w->_stop_collecting();
}

// start_without_database: "Start Collecting" with the database away collects into the buffer
// and registers once the database answers; without the setting the failure stays an error.
TEST(CollectingWithoutDatabase, StartsIntoTheBufferAndRegistersOnceItAnswers) {
    WindowRig rig;
    rig.write_config(
        std::string("opc_type = OPC DA\nopc_schema = ") + kSchema +
        "\nstart_without_database = true\nbuffer_dir = " + (rig.path() / "buffer").string() + "\n");
    auto w = rig.make();
    rig.dialogs->file_answers.push_back(
        rig.csv("tags.csv", "FullTagName,Description\nDemo.Tag1,a\nDemo.Tag2,b\n"));
    w->import_tags_from_csv();
    rig.db->locked([&] {
        rig.db->sources_error = "server closed the connection unexpectedly";
        rig.db->connect_error =
            "connection to server at \"db\", port 5432 failed: Connection refused";
    });
    w->start_collecting();
    ASSERT_NE(w->collect_thread(), nullptr);
    EXPECT_EQ(parts_of(*w).collect_button->text(), "Stop Collecting");
    ASSERT_TRUE(rig.opc->wait_for_reads(2));
    EXPECT_EQ(rig.db->locked([&] { return rig.db->tags.size(); }), 0u);

    rig.db->locked([&] {
        rig.db->sources_error.reset();
        rig.db->connect_error.reset();
    });
    // The writer asks again after a pause of a second, registers, then writes the buffer back.
    ASSERT_TRUE(
        rig.db->wait_until([&] { return rig.db->tags.size() == 2 && !rig.db->writes.empty(); },
                           std::chrono::seconds(30)));
    w->_stop_collecting();
    EXPECT_EQ(rig.db->locked([&] { return rig.db->sources.size(); }), 1u);
}

TEST(SaveCollectionConfig, KeepsOtherKeysAndWritesPathsThatReadBack) {
    QTemporaryDir dir;
    const std::filesystem::path ini = dir.path().toStdString() + "/config.ini";
    write_file(ini,
               "[TSDBConnection]\ndbname = old\nport = 5433\n\n[VantrelLogging]\nlevel = "
               "DEBUG\n\n[Vantrel]\ntag_csv_path = /kept.csv\n");
    vantrel::desktop::CollectionConfig cfg{.dbname = "  plant ",
                                           .opc_host = "host",
                                           .opc_schema = "opc.tcp://h:4840",
                                           .opc_type = "OPC UA",
                                           .opc_port = "48 40",
                                           .tag_csv_path = std::nullopt};
    vantrel::desktop::save_collection_config(ini, cfg);
    auto read = vantrel::common::IniFile::read_file(ini);
    EXPECT_EQ(read.get("TSDBConnection", "dbname"), "plant");
    EXPECT_EQ(read.get("TSDBConnection", "port"), "5433");
    EXPECT_EQ(read.get("VantrelLogging", "level"), "DEBUG");
    EXPECT_EQ(read.get("Vantrel", "tag_csv_path"), "/kept.csv") << "no import: left alone";
    EXPECT_EQ(read.get("Vantrel", "opc_port"), "48 40");

    cfg.tag_csv_path = "/data/100%_tags.csv";
    vantrel::desktop::save_collection_config(ini, cfg);
    read = vantrel::common::IniFile::read_file(ini);
    EXPECT_EQ(read.get("Vantrel", "tag_csv_path"), "/data/100%_tags.csv");
}

// The documented example is what operators start from: saving into it keeps every comment and
// blank line where it was.
TEST(SaveCollectionConfig, KeepsTheCommentsOfTheDocumentedExample) {
    QTemporaryDir dir;
    const std::filesystem::path ini = dir.path().toStdString() + "/config.ini";
    std::filesystem::copy_file(std::filesystem::path(VANTREL_EXAMPLES_DIR) / "config.ini", ini);
    const auto lines_without_values = [&ini] {
        std::ifstream in(ini);
        std::vector<std::string> kept;
        for (std::string line; std::getline(in, line);) {
            if (line.empty() || line.starts_with("#") || line.starts_with("[")) {
                kept.push_back(line);
            }
        }
        return kept;
    };
    const auto before = lines_without_values();
    vantrel::desktop::save_collection_config(ini, {.dbname = "plant",
                                                   .opc_host = "ops-pc",
                                                   .opc_schema = "opc.tcp://ops-pc:4841",
                                                   .opc_type = "OPC UA",
                                                   .opc_port = "4841",
                                                   .tag_csv_path = "50% tags.csv"});
    EXPECT_EQ(lines_without_values(), before);
    const auto read = vantrel::common::IniFile::read_file(ini);
    EXPECT_EQ(read.get("Vantrel", "tag_csv_path"), "50% tags.csv");
    EXPECT_EQ(read.get("Vantrel", "opc_port"), "4841");
    EXPECT_EQ(read.get("TSDBConnection", "dbname"), "plant");
}

}  // namespace
}  // namespace vantrel_test
