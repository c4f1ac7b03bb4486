// The main window against the fakes: construction and the database choice, the connection
// switch, status lines, discovery, the context menu and keyboard access.
#include <thread>

#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTableView>
#include <QTest>

#include <gtest/gtest.h>

#include "common/ini.h"
#include "vantrel/discovery.h"
#include "vantrel/window_logic.h"
#include "window_rig.h"

namespace vantrel_test {
namespace {

using vantrel::desktop::status_style_sheet;

TEST(MainWidgetStart, OpensTheConfiguredDatabaseOnceAndShowsItInTheTitle) {
    WindowRig rig;
    rig.db->available_dbs = {"postgres", "plant", "tsdb_default"};
    rig.write_config(
        "opc_type = OPC UA\nopc_port = 4841\nopc_host = plc-gw\n"
        "opc_schema = opc.tcp://plc-gw:4840\n",
        "plant");
    auto w = rig.make();
    EXPECT_EQ(w->windowTitle().toStdString(), "OPC Data Widget [TSDB connected: dbhost/plant]");
    EXPECT_EQ(rig.db->configs.size(), 1u) << "selecting the first entry must not connect twice";
    EXPECT_EQ(rig.db->configs.at(0).dbname, "plant");
    EXPECT_EQ(rig.db->configs.at(0).user, "collector");
    EXPECT_EQ(parts_of(*w).tsdb_combo->currentText(), "plant");
    EXPECT_EQ(parts_of(*w).db_status_label->text(), "DB Status: Connected");
    EXPECT_EQ(parts_of(*w).db_status_label->styleSheet(), "color: green");
    EXPECT_EQ(parts_of(*w).status_label->text(), "Status: Unconnected");
    EXPECT_EQ(parts_of(*w).write_count_label->text(), "Current: 0 | Total: 0 records");
    EXPECT_EQ(parts_of(*w).write_count_label->styleSheet(), "color: blue");
    // The port shows the type's default, not the file's 4841.
    EXPECT_EQ(parts_of(*w).opc_type_combo->currentText(), "OPC UA");
    EXPECT_EQ(parts_of(*w).port_input->text(), "4840");
    EXPECT_TRUE(parts_of(*w).port_input->isEnabled());
    EXPECT_EQ(parts_of(*w).host_input->text(), "plc-gw");
    EXPECT_EQ(parts_of(*w).server_combo->currentText(), "opc.tcp://plc-gw:4840");
    EXPECT_EQ(parts_of(*w).server_combo->count(), 0);
    EXPECT_EQ(parts_of(*w).collect_button->text(), "Start Collecting");
    EXPECT_TRUE(rig.dialogs->shown.empty());
}

TEST(MainWidgetStart, FallsBackToTsdbDefaultThenToTheFirstDatabase) {
    {
        WindowRig rig;
        rig.db->available_dbs = {"alpha", "tsdb_default"};
        rig.write_config("", "missing");
        auto w = rig.make();
        EXPECT_EQ(parts_of(*w).tsdb_combo->currentText(), "tsdb_default");
        EXPECT_EQ(w->tsdb_cfg().dbname, "tsdb_default");
    }
    {
        WindowRig rig;
        rig.db->available_dbs = {"alpha", "beta"};
        rig.write_config("", "");
        auto w = rig.make();
        EXPECT_EQ(parts_of(*w).tsdb_combo->currentText(), "alpha");
        EXPECT_EQ(w->tsdb_cfg().dbname, "alpha");
        EXPECT_EQ(rig.db->configs.size(), 1u);
        EXPECT_EQ(w->windowTitle().toStdString(), "OPC Data Widget [TSDB connected: dbhost/alpha]");
    }
    EXPECT_EQ(vantrel::desktop::choose_database_index({}, "x"), std::nullopt);
}

// The text a failed construction gives the operator.
std::string construction_error(WindowRig& rig) {
    try {
        rig.make();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "<constructed>";
}

TEST(MainWidgetStart, FailsWithTheOperatorsTextWhenItCannotStart) {
    {
        WindowRig rig;  // no config.ini at all
        EXPECT_EQ(construction_error(rig), "Configuration file not found: " + rig.ini().string());
        EXPECT_EQ(rig.db->calls["fetch_available_tsdbs"], 0);
    }
    {
        WindowRig rig;
        rig.write_config();
        rig.db->available_dbs = {};
        EXPECT_EQ(construction_error(rig), "No available TSDB databases found.");
    }
    {
        WindowRig rig;
        rig.write_config("", "plant");
        rig.db->available_dbs = {"plant"};
        rig.db->refuse_dbnames = {"plant"};
        EXPECT_EQ(construction_error(rig), "Failed to connect to TSDB database: plant");
        const auto boxes = rig.dialogs->of_kind("critical");
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].title, "TSDB Connection Failed");
        EXPECT_EQ(boxes[0].text.rfind("Failed to connect to plant:\n", 0), 0u) << boxes[0].text;
    }
    {
        WindowRig rig;
        rig.write_config("opc_type = OPC UA\nopc_port = 48a1\n");
        EXPECT_THROW(rig.make(), vantrel::common::IniError);
    }
}

TEST(MainWidgetDatabase, AFailedSwitchClosesTheOldConnectionAndKeepsTheTitle) {
    WindowRig rig;
    rig.db->available_dbs = {"tsdb_default", "broken", "other"};
    rig.write_config();
    auto w = rig.make();
    rig.db->refuse_dbnames = {"broken"};
    parts_of(*w).tsdb_combo->setCurrentText("broken");
    EXPECT_EQ(rig.db->closed, 1) << "the old connection is closed before the new attempt";
    EXPECT_EQ(w->windowTitle().toStdString(),
              "OPC Data Widget [TSDB connected: dbhost/tsdb_default]");
    EXPECT_EQ(parts_of(*w).db_status_label->text(), "DB Status: Connection failed");
    EXPECT_EQ(parts_of(*w).db_status_label->styleSheet(), "color: red");
    const auto boxes = rig.dialogs->of_kind("critical");
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_TRUE(boxes[0].has_parent);
    EXPECT_EQ(boxes[0].text.rfind("Failed to connect to broken:\n", 0), 0u);
    EXPECT_EQ(parts_of(*w).tsdb_combo->currentText(), "broken");

    parts_of(*w).tsdb_combo->setCurrentText("other");
    EXPECT_EQ(w->windowTitle().toStdString(), "OPC Data Widget [TSDB connected: dbhost/other]");
    EXPECT_EQ(parts_of(*w).db_status_label->text(), "DB Status: Connected");
    EXPECT_EQ(w->tsdb_cfg().dbname, "other");
}

TEST(MainWidgetStatus, ColoursTheOpcStatusByItsFirstKeyword) {
    EXPECT_EQ(status_style_sheet("DA source DISCONNECTED"), "color: red");
    EXPECT_EQ(status_style_sheet("UA source connected"), "color: green");
    EXPECT_EQ(status_style_sheet("Write success"), "color: green");
    EXPECT_EQ(status_style_sheet("Read UA error: timeout"), "color: red");
    EXPECT_EQ(status_style_sheet("Reconnect attempt failed"), "color: red");
    EXPECT_EQ(status_style_sheet("Retry in 5 s"), "color: orange");
    EXPECT_EQ(status_style_sheet("Collecting"), "color: orange");
    EXPECT_EQ(status_style_sheet(""), "color: gray");
    EXPECT_EQ(status_style_sheet("Idle"), "color: gray");

    WindowRig rig;
    rig.write_config();
    auto w = rig.make();
    w->update_status_label("UA Source Disconnected");
    EXPECT_EQ(parts_of(*w).status_label->text(), "Status: UA Source Disconnected");
    EXPECT_EQ(parts_of(*w).status_label->styleSheet(), "color: red");
}

TEST(MainWidgetStatus, FiguresShowTheMeanTimesSinceTheLastRefresh) {
    vantrel::korrin::EngineMetrics m;
    vantrel::desktop::FigureMarks marks;
    EXPECT_EQ(vantrel::desktop::figures_text(m, marks, ""),
              "Cycles: 0 (0 late)\nRead time: -\nWrite time: -\nBuffered samples: 0\n"
              "Last error: none");
    m.cycles.add(3);
    m.cycles_late.add(1);
    m.read_seconds.observe(0.010);
    m.read_seconds.observe(0.030);
    m.write_seconds.observe(0.005);
    m.buffered_samples.set(42);
    EXPECT_EQ(vantrel::desktop::figures_text(m, marks, "Read UA error: timeout"),
              "Cycles: 3 (1 late)\nRead time: 20.0 ms\nWrite time: 5.0 ms\n"
              "Buffered samples: 42\nLast error: Read UA error: timeout");
    m.read_seconds.observe(0.002);  // only the cycles since the last refresh count
    const QString next = vantrel::desktop::figures_text(m, marks, "");
    EXPECT_TRUE(next.contains("Read time: 2.0 ms\nWrite time: 5.0 ms")) << next.toStdString();
}

TEST(MainWidgetStatus, WriteCountShowsTheLastBatchAgainstTheLoadedTags) {
    WindowRig rig;
    rig.write_config();
    auto w = rig.make();
    vantrel::desktop::TableRows rows(300, vantrel::desktop::TableRow{"", "t", "", "", ""});
    parts_of(*w).paginated_table->set_data(std::move(rows));
    emit parts_of(*w).db_status_bridge->db_write_status(true, 25);
    EXPECT_EQ(parts_of(*w).write_count_label->text(), "Current: 25 | Total: 300 records");
    EXPECT_EQ(parts_of(*w).db_status_label->text(), "DB Status: Writing successfully");
    emit parts_of(*w).db_status_bridge->db_write_status(false, 0);
    EXPECT_EQ(parts_of(*w).write_count_label->text(), "Current: 25 | Total: 300 records");
    EXPECT_EQ(parts_of(*w).db_status_label->text(), "DB Status: Write failed");
    EXPECT_EQ(parts_of(*w).db_status_label->styleSheet(), "color: red");
    w->_reset_write_count_display();
    EXPECT_EQ(parts_of(*w).write_count_label->text(), "Current: 0 | Total: 300 records");
}

TEST(MainWidgetStatus, BridgesQueueReportsFromOtherThreadsOntoTheWindowsThread) {
    WindowRig rig;
    rig.write_config();
    auto w = rig.make();
    std::thread collector([&] {
        emit parts_of(*w).status_bridge->status_changed("UA source connected");
        emit parts_of(*w).db_status_bridge->db_write_status(true, 3);
    });
    collector.join();
    EXPECT_EQ(parts_of(*w).status_label->text(), "Status: Unconnected")
        << "nothing runs on the collector";
    ASSERT_TRUE(
        process_until([&] { return parts_of(*w).status_label->text() != "Status: Unconnected"; }));
    EXPECT_EQ(parts_of(*w).status_label->text(), "Status: UA source connected");
    ASSERT_TRUE(process_until(
        [&] { return parts_of(*w).db_status_label->text() == "DB Status: Writing successfully"; }));

    emit parts_of(*w).status_bridge->status_changed("Stopped");  // on the window's thread: at once
    EXPECT_EQ(parts_of(*w).status_label->text(), "Status: Stopped");
}

TEST(MainWidgetControls, PortFieldFollowsTheOpcType) {
    WindowRig rig;
    rig.write_config("opc_type = OPC DA\n");
    auto w = rig.make();
    EXPECT_EQ(parts_of(*w).port_input->text(), "0");
    EXPECT_FALSE(parts_of(*w).port_input->isEnabled());
    parts_of(*w).opc_type_combo->setCurrentText("OPC UA");
    EXPECT_EQ(parts_of(*w).port_input->text(), "4840");
    EXPECT_TRUE(parts_of(*w).port_input->isEnabled());
    parts_of(*w).port_input->setText("4999");
    parts_of(*w).opc_type_combo->setCurrentText("OPC DA");
    EXPECT_EQ(parts_of(*w).port_input->text(), "0");
    EXPECT_FALSE(parts_of(*w).port_input->isEnabled());

    w->_set_controls_enabled(false);
    EXPECT_FALSE(parts_of(*w).host_input->isEnabled());
    EXPECT_FALSE(parts_of(*w).tsdb_combo->isEnabled());
    EXPECT_FALSE(parts_of(*w).import_button->isEnabled());
    EXPECT_TRUE(parts_of(*w).collect_button->isEnabled());
    w->_set_controls_enabled(true);
    EXPECT_TRUE(parts_of(*w).server_combo->isEnabled());
    EXPECT_FALSE(parts_of(*w).port_input->isEnabled()) << "OPC DA keeps the port field disabled";

    // Enter in the schema field never adds the typed text as an item.
    parts_of(*w).server_combo->lineEdit()->setText("opc.tcp://typed:4840");
    QTest::keyClick(parts_of(*w).server_combo->lineEdit(), Qt::Key_Return);
    EXPECT_EQ(parts_of(*w).server_combo->count(), 0);
    EXPECT_EQ(parts_of(*w).server_combo->currentText(), "opc.tcp://typed:4840");
}

TEST(MainWidgetDiscovery, ListsTheServersTheLibraryFindsAndSaysHowMany) {
    WindowRig rig;
    rig.write_config("opc_type = OPC UA\n");
    auto w = rig.make();
    rig.opc->server_names = {"opc.tcp://a:4840", "opc.tcp://b:4840", "opc.tcp://c:4841"};
    parts_of(*w).host_input->setText("  plc-gw  ");
    parts_of(*w).port_input->setText("4841");
    w->enumerate_servers();
    ASSERT_EQ(parts_of(*w).server_combo->count(), 3);
    EXPECT_EQ(parts_of(*w).server_combo->itemText(0), "opc.tcp://a:4840");
    EXPECT_EQ(parts_of(*w).server_combo->itemText(2), "opc.tcp://c:4841");
    EXPECT_EQ(w->opc_servers_info().size(), 3);
    EXPECT_EQ(parts_of(*w).status_label->text(), "Status: Found 3 OPC UA Servers");
    EXPECT_EQ(parts_of(*w).status_label->styleSheet(), "color: green");
    ASSERT_EQ(rig.opc->discoveries.size(), 1u);
    EXPECT_EQ(rig.opc->discoveries[0].hostname, "plc-gw");
    EXPECT_EQ(rig.opc->discoveries[0].port, 4841);
    EXPECT_EQ(rig.opc->discoveries[0].capacity, 16u);
    EXPECT_EQ(rig.opc->libraries_destroyed, 1);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);

    // Discovering again replaces the items; they never accumulate.
    w->enumerate_servers();
    EXPECT_EQ(parts_of(*w).server_combo->count(), 3);

    // A port that is not all digits asks for port 0; so does OPC DA whatever the field says.
    parts_of(*w).port_input->setText("48a1");
    w->enumerate_servers();
    EXPECT_EQ(rig.opc->discoveries.back().port, 0);
    parts_of(*w).opc_type_combo->setCurrentText("OPC DA");
    parts_of(*w).port_input->setText("4840");
    parts_of(*w).host_input->setText("");
    rig.opc->server_names = {};
    w->enumerate_servers();
    EXPECT_EQ(rig.opc->discoveries.back().port, 0);
    EXPECT_EQ(rig.opc->discoveries.back().hostname, "");
    EXPECT_EQ(parts_of(*w).server_combo->count(), 0);
    EXPECT_TRUE(w->opc_servers_info().isEmpty());
    EXPECT_EQ(parts_of(*w).status_label->text(), "Status: No OPC DA Server found");
    EXPECT_EQ(parts_of(*w).status_label->styleSheet(), "color: red");
    EXPECT_TRUE(rig.dialogs->shown.empty());
}

TEST(MainWidgetDiscovery, ReadsNoMoreThanSixteenDescriptors) {
    std::vector<std::string> names;
    for (int i = 0; i < 20; ++i) {
        names.push_back("opc.tcp://h" + std::to_string(i) + ":4840");
    }
    auto opc = std::make_shared<fakes::FakeOpcScript>();
    opc->server_names = names;
    opc->discovery_count = 20;
    const auto found =
        vantrel::desktop::enumerate_opc_servers(fakes::fake_factory(opc), "h", 16, 4840);
    EXPECT_EQ(found.size(), 16u);
    EXPECT_EQ(found.back(), "opc.tcp://h15:4840");
}

TEST(MainWidgetDiscovery, AFailureShowsOneBoxRestoresTheCursorAndReleasesTheLibrary) {
    WindowRig rig;
    rig.write_config("opc_type = OPC UA\n");
    auto w = rig.make();
    rig.opc->server_names = {"opc.tcp://old:4840"};
    w->enumerate_servers();
    rig.opc->discovery_error = "cannot reach the OPC UA server at opc.tcp://x:4840";
    w->enumerate_servers();
    EXPECT_EQ(parts_of(*w).status_label->text(), "Status: Failed to enumerate OPC UA Servers");
    EXPECT_EQ(parts_of(*w).status_label->styleSheet(), "color: red");
    EXPECT_EQ(parts_of(*w).server_combo->count(), 0);
    EXPECT_TRUE(w->opc_servers_info().isEmpty());
    const auto boxes = rig.dialogs->of_kind("critical");
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].title, "Enumeration Error");
    EXPECT_EQ(boxes[0].text,
              "Failed to enumerate OPC UA servers:\n\n"
              "cannot reach the OPC UA server at opc.tcp://x:4840");
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    EXPECT_EQ(rig.opc->libraries_destroyed, 2);

    // A name that is not UTF-8 is a failure too.
    rig.opc->discovery_error.reset();
    rig.opc->server_names = {std::string("opc.tcp://\xff\xfe:4840")};
    w->enumerate_servers();
    EXPECT_EQ(rig.dialogs->of_kind("critical").size(), 2u);
    EXPECT_EQ(rig.opc->libraries_destroyed, 3);
}

TEST(MainWidgetDiscovery, OpeningTheSchemaListDiscoversFirst) {
    WindowRig rig;
    rig.write_config("opc_type = OPC UA\n");
    auto w = rig.make();
    w->show();
    rig.opc->server_names = {"opc.tcp://a:4840"};
    parts_of(*w).server_combo->showPopup();
    EXPECT_EQ(rig.opc->discoveries.size(), 1u);
    EXPECT_EQ(parts_of(*w).server_combo->count(), 1);
    EXPECT_TRUE(parts_of(*w).server_combo->view()->isVisible());
    parts_of(*w).server_combo->hidePopup();
}

TEST(MainWidgetTable, CopyCellPutsTheCellOnTheClipboard) {
    WindowRig rig;
    rig.write_config();
    auto w = rig.make();
    w->resize(900, 600);
    w->show();
    parts_of(*w).paginated_table->set_data({{12, "Demo.Tag1", "锅炉温度", 3.5, "Good"}});
    auto* table = parts_of(*w).paginated_table->table;
    const QModelIndex cell = table->model()->index(0, 2);
    const QPoint inside = table->visualRect(cell).center();
    rig.dialogs->menu_choice = 0;
    w->show_context_menu(inside);
    ASSERT_EQ(rig.dialogs->of_kind("menu").size(), 1u);
    EXPECT_EQ(rig.dialogs->of_kind("menu")[0].text, "Copy Cell");
    EXPECT_EQ(QApplication::clipboard()->text(), QString::fromUtf8("锅炉温度"));

    // Dismissed: the clipboard stays; below the last row: no menu at all.
    QApplication::clipboard()->setText("kept");
    rig.dialogs->menu_choice = -1;
    w->show_context_menu(inside);
    EXPECT_EQ(QApplication::clipboard()->text(), "kept");
    w->show_context_menu(QPoint(5, table->viewport()->height() - 2));
    EXPECT_EQ(rig.dialogs->of_kind("menu").size(), 2u);
}

TEST(MainWidgetAccess, InputsCarryTheirLabelsAndTabFollowsTheLayout) {
    WindowRig rig;
    rig.write_config("opc_type = OPC UA\n");
    auto w = rig.make();
    w->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(w.get()));
    EXPECT_EQ(parts_of(*w).host_input->accessibleName(), "OPC IP:");
    EXPECT_EQ(parts_of(*w).port_input->accessibleName(), "Port:");
    EXPECT_EQ(parts_of(*w).tsdb_combo->accessibleName(), "TSDB name:");
    EXPECT_EQ(parts_of(*w).opc_type_combo->accessibleName(), "OPC Type:");
    EXPECT_EQ(parts_of(*w).server_combo->accessibleName(), "OPC Schema:");
    auto* iface = QAccessible::queryAccessibleInterface(parts_of(*w).host_input);
    ASSERT_NE(iface, nullptr);
    EXPECT_EQ(iface->text(QAccessible::Name), "OPC IP:");
    EXPECT_EQ(parts_of(*w).server_combo->lineEdit()->accessibleName(), "OPC Schema:");
    auto* window = QAccessible::queryAccessibleInterface(w.get());
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(window->role(), QAccessible::Window) << "announced as a window, not a filler";

    const std::vector<QWidget*> expected = {parts_of(*w).tsdb_combo,
                                            parts_of(*w).opc_type_combo,
                                            parts_of(*w).host_input,
                                            parts_of(*w).port_input,
                                            parts_of(*w).server_combo,
                                            parts_of(*w).import_button,
                                            parts_of(*w).browse_button,
                                            parts_of(*w).collect_button,
                                            parts_of(*w).paginated_table->table};
    parts_of(*w).tsdb_combo->setFocus();
    ASSERT_TRUE(process_until([&] { return parts_of(*w).tsdb_combo->hasFocus(); }, 2000));
    for (std::size_t i = 1; i < expected.size(); ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QWidget* focus = QApplication::focusWidget();
        // An editable combo box hands its focus to its line edit.
        if (focus != nullptr && focus->parentWidget() == parts_of(*w).server_combo) {
            focus = parts_of(*w).server_combo;
        }
        EXPECT_EQ(focus, expected[i]) << "tab stop " << i;
    }
}

}  // namespace
}  // namespace vantrel_test
