// The server browse dialog against the fake library: the tree filled branch by branch on the
// dialog's own thread, the filter, check boxes by keyboard, cancelling, and the checked
// variables reaching the table (ids looked up) or a tag list file the loader reads back.
#include <thread>
#include <vector>

#include <QAccessible>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTreeView>

#include <gtest/gtest.h>

#include "korrin/tag_list.h"
#include "vantrel/browse_dialog.h"
#include "vantrel/browse_model.h"
#include "window_rig.h"

namespace vantrel_test {
namespace {

namespace korrin = vantrel::korrin;
using vantrel::desktop::BrowseDialog;
using vantrel::desktop::BrowseFilterModel;
using vantrel::desktop::BrowseTreeModel;

constexpr const char* kUaSchema = "opc.tcp://127.0.0.1:4840";

korrin::OpcBrowsedNode folder(const std::string& name, const std::string& id) {
    return {.is_variable = false,
            .namespace_index = 2,
            .identifier = id,
            .browse_path = name,
            .display_name = name};
}

korrin::OpcBrowsedNode variable(const std::string& name, const std::string& id,
                                const std::string& description, bool listed = true) {
    return {.is_variable = true,
            .namespace_index = 2,
            .identifier = id,
            .full_tag_name = "2:" + id,
            .browse_path = name,
            .display_name = name,
            .description = description,
            .data_type = "Double",
            .listed_by_default = listed};
}

// Objects holds a plant folder and one variable; the plant folder two variables and a
// variable the collector cannot store.
void script_plant(fakes::FakeOpcScript& opc) {
    opc.browse_children["0:i=85"] = {folder("Plant", "Plant"),
                                     variable("Uptime", "Uptime", "Server uptime")};
    opc.browse_children["2:Plant"] = {variable("Temp", "Plant.Temp", "温度, \"main\""),
                                      variable("Flow", "Plant.Flow", ""),
                                      variable("Name", "Plant.Name", "text", false)};
}

korrin::OpcBrowseResult done_with(std::vector<korrin::OpcBrowsedNode> nodes) {
    korrin::OpcBrowseResult r;
    r.nodes = std::move(nodes);
    return r;
}

TEST(BrowseTreeModel, FillsBranchesOnRequestAndHandsOnTheCheckedVariablesInTreeOrder) {
    BrowseTreeModel model;
    std::vector<QPersistentModelIndex> asked;
    QObject::connect(&model, &BrowseTreeModel::branch_requested,
                     [&](const QModelIndex& i) { asked.emplace_back(i); });
    EXPECT_TRUE(model.hasChildren());
    model.fetchMore({});
    model.fetchMore({});  // a branch whose browse runs is not asked for twice
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(model.start_of({}).identifier, "i=85");

    model.set_children(
        {}, done_with({folder("Plant", "Plant"), folder("Empty", "Empty"),
                       variable("Uptime", "Uptime", "up"), variable("Blob", "Blob", "", false)}));
    ASSERT_EQ(model.rowCount(), 3) << "a variable a tag list would not hold is left out";
    const QModelIndex plant = model.index(0, 0);
    const QModelIndex empty = model.index(1, 0);
    EXPECT_EQ(model.start_of(plant).namespace_index, 2);
    EXPECT_EQ(model.start_of(plant).identifier, "Plant");
    EXPECT_TRUE(model.canFetchMore(plant));
    EXPECT_FALSE(model.hasChildren(model.index(2, 0)));
    EXPECT_FALSE(model.flags(plant).testFlag(Qt::ItemIsUserCheckable));
    EXPECT_TRUE(model.flags(model.index(2, 0)).testFlag(Qt::ItemIsUserCheckable));

    // A failed or cancelled browse is not asked for again by itself (a view would at once,
    // undoing a cancel), only when the branch is opened again.
    model.fetchMore(empty);
    korrin::OpcBrowseResult cut;
    cut.complete = false;
    model.set_children(empty, cut);
    EXPECT_FALSE(model.canFetchMore(empty));
    EXPECT_TRUE(model.hasChildren(empty));
    const auto asked_before = asked.size();
    model.browse_again(empty);
    ASSERT_EQ(asked.size(), asked_before + 1);
    EXPECT_EQ(asked.back(), QPersistentModelIndex(empty));
    model.set_children(empty, done_with({}));
    EXPECT_FALSE(model.hasChildren(empty)) << "a browsed branch without nodes has no expander";

    model.fetchMore(plant);
    model.set_children(plant, done_with({variable("Temp", "Plant.Temp", "t"),
                                         variable("Flow", "Plant.Flow", "f")}));
    EXPECT_EQ(model.variable_count(), 3u);
    ASSERT_EQ(model.rowCount(plant), 2);
    EXPECT_EQ(model.index(1, BrowseTreeModel::TagColumn, plant).data().toString(), "2:Plant.Flow");
    EXPECT_EQ(model.index(1, 0, plant).data(BrowseTreeModel::PathRole).toString(), "Plant/Flow");

    EXPECT_FALSE(model.setData(plant, Qt::Checked, Qt::CheckStateRole));
    ASSERT_TRUE(model.setData(model.index(1, 0, plant), Qt::Checked, Qt::CheckStateRole));
    ASSERT_TRUE(model.setData(model.index(2, 0), Qt::Checked, Qt::CheckStateRole));
    const auto checked = model.checked_variables();
    ASSERT_EQ(checked.size(), 2u);
    EXPECT_EQ(checked[0].full_tag_name, "2:Plant.Flow");
    EXPECT_EQ(checked[0].browse_path, "Plant/Flow") << "paths run from the Objects folder";
    EXPECT_EQ(checked[1].full_tag_name, "2:Uptime");
}

TEST(BrowseTreeModel, FilterKeepsMatchesTheirBranchesAndBranchesNotYetBrowsed) {
    BrowseTreeModel model;
    BrowseFilterModel filter;
    filter.setSourceModel(&model);
    model.fetchMore({});
    model.set_children({}, done_with({folder("Plant", "Plant"), folder("Later", "Later"),
                                      variable("Uptime", "Uptime", "")}));
    const QModelIndex plant = model.index(0, 0);
    model.fetchMore(plant);
    model.set_children(
        plant, done_with({variable("Temp", "Plant.Temp", ""), variable("Flow", "Plant.Flow", "")}));

    filter.set_filter_text("  flow ");
    ASSERT_EQ(filter.rowCount(), 2) << "Plant (holds Flow) and Later (not browsed yet)";
    const QModelIndex shown_plant = filter.index(0, 0);
    EXPECT_EQ(shown_plant.data().toString(), "Plant");
    ASSERT_EQ(filter.rowCount(shown_plant), 1);
    EXPECT_EQ(filter.index(0, 0, shown_plant).data().toString(), "Flow");

    filter.set_filter_text("2:uptime");  // by tag
    ASSERT_EQ(filter.rowCount(), 2);
    EXPECT_EQ(filter.index(1, 0).data().toString(), "Uptime");
    filter.set_filter_text("");
    EXPECT_EQ(filter.rowCount(), 3);
}

TEST(BrowsedTagList, RowsAreTrimmedAsAnImportReadsThemAndTheCsvLoadsBack) {
    QTemporaryDir dir;
    const std::filesystem::path file = dir.path().toStdString() + "/picked.csv";
    std::vector<korrin::OpcBrowsedNode> picked = {
        variable("Temp", "Plant.Temp", " 温度, \"main\" "),
        variable("Flow", "Plant.Flow", "line one\nline two"), folder("Plant", "Plant")};
    picked[0].browse_path = "Plant/Temp";

    const auto rows = vantrel::desktop::tag_rows(picked);
    ASSERT_EQ(rows.size(), 2u) << "only variables become tags";
    EXPECT_EQ(rows[0], (korrin::TagPair{"2:Plant.Temp", "温度, \"main\""}));

    write_file(file, "old content");
    vantrel::desktop::save_tag_list_csv(file, picked);
    const auto loaded = korrin::load_tag_list(file);
    ASSERT_EQ(loaded.tags.size(), 2u);
    EXPECT_EQ(loaded.tags[0], rows[0]);
    EXPECT_EQ(loaded.tags[1], (korrin::TagPair{"2:Plant.Flow", "line one\nline two"}));
    EXPECT_EQ(read_file(file).substr(0, 44), "FullTagName,Description,DataType,BrowsePath\n");
    EXPECT_NE(read_file(file).find(",Double,Plant/Temp\n"), std::string::npos);

    // A folder that cannot take the file leaves nothing half-written behind.
    EXPECT_THROW(
        vantrel::desktop::save_tag_list_csv(dir.path().toStdString() + "/no/such/x.csv", picked),
        std::runtime_error);
}

struct BrowseDialogTest : ::testing::Test {
    WindowRig rig;
    std::unique_ptr<MainWidget> w;

    void SetUp() override {
        rig.write_config(std::string("opc_type = OPC UA\nopc_schema = ") + kUaSchema + "\n");
        script_plant(*rig.opc);
        w = rig.make();
    }

    BrowseDialog* open_dialog() {
        parts_of(*w).browse_button->click();
        return w->findChild<BrowseDialog*>("browse_dialog");
    }

    // Whether the dialog closed and went: WA_DeleteOnClose deletes it on the next turn.
    bool dialog_gone() {
        return process_until([&] {
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
            return w->findChild<BrowseDialog*>("browse_dialog") == nullptr;
        });
    }

    QTreeView* tree(BrowseDialog* d) { return d->findChild<QTreeView*>("browse_tree"); }

    static bool rows_shown(QTreeView* t, int n, const QModelIndex& parent = {}) {
        return process_until([&] { return t->model()->rowCount(parent) == n; });
    }
};

TEST_F(BrowseDialogTest, OpensOnTheWindowsSchemaAndAddsCheckedVariablesAsAnImportWould) {
    rig.db->add_tag("2:Plant.Temp", 77);
    rig.dialogs->file_answers.push_back(
        rig.csv("tags.csv", "FullTagName,Description\nKept.Tag,from the file\n"));
    w->import_tags_from_csv();
    ASSERT_EQ(parts_of(*w).paginated_table->all_data.size(), 1u);

    BrowseDialog* d = open_dialog();
    ASSERT_NE(d, nullptr);
    EXPECT_TRUE(d->isVisible());
    QTreeView* t = tree(d);
    ASSERT_TRUE(rows_shown(t, 2));
    ASSERT_TRUE(rig.opc->wait_for_browses(1));
    {
        std::lock_guard lock(rig.opc->mutex);
        EXPECT_EQ(rig.opc->creates.at(0).schema, kUaSchema);
        EXPECT_EQ(rig.opc->creates.at(0).source_type, korrin::QEV_RTSOURCE_UA);
        EXPECT_EQ(rig.opc->browses.at(0).max_depth, 1) << "one level per opened branch";
    }

    // Keyboard: down to Plant, Right opens it, down to Temp, Space checks it, Enter adds.
    t->setFocus();
    t->setCurrentIndex(t->model()->index(0, 0));
    QTest::keyClick(t, Qt::Key_Right);
    const QModelIndex plant = t->model()->index(0, 0);
    ASSERT_TRUE(rows_shown(t, 2, plant)) << "Name is not listed: the collector cannot store text";
    t->setCurrentIndex(t->model()->index(0, 0, plant));
    QTest::keyClick(t, Qt::Key_Space);
    EXPECT_EQ(t->model()->index(0, 0, plant).data(Qt::CheckStateRole).toInt(), Qt::Checked);
    t->model()->setData(t->model()->index(1, 0), Qt::Checked, Qt::CheckStateRole);  // Uptime
    QTest::keyClick(t, Qt::Key_Return);

    ASSERT_TRUE(dialog_gone()) << "Add Selected closes the dialog";
    const auto& rows = parts_of(*w).paginated_table->all_data;
    ASSERT_EQ(rows.size(), 3u) << "the chosen variables join the imported tags";
    EXPECT_EQ(rows[0][1].toString(), "Kept.Tag");
    EXPECT_EQ(rows[1][0].toLongLong(), 77) << "known tags get their id";
    EXPECT_EQ(rows[1][1].toString(), "2:Plant.Temp");
    EXPECT_EQ(rows[1][2].toString(), "温度, \"main\"");
    EXPECT_EQ(rows[2][0].toString(), "");
    EXPECT_EQ(rows[2][2].toString(), "Server uptime");
    EXPECT_EQ(parts_of(*w).write_count_label->text(), "Current: 0 | Total: 3 records");
    EXPECT_TRUE(rig.dialogs->of_kind("warning").empty());
}

TEST_F(BrowseDialogTest, ALongBrowseShowsProgressCanBeCancelledAndOpenedAgain) {
    auto gate = std::make_shared<fakes::ReadGate>();
    rig.opc->browse_gate = gate;
    BrowseDialog* d = open_dialog();
    auto* cancel = d->findChild<QPushButton*>("browse_cancel_button");
    auto* status = d->findChild<QLabel*>("browse_status_label");
    ASSERT_TRUE(rig.opc->wait_for_browses(1));
    ASSERT_TRUE(process_until([&] { return status->text() == "Browsing… 1 nodes found"; }))
        << status->text().toStdString();
    EXPECT_TRUE(cancel->isEnabled());
    EXPECT_TRUE(w->isEnabled()) << "the window is not held while the server answers";

    cancel->click();
    EXPECT_EQ(status->text(), "Browsing cancelled");
    EXPECT_FALSE(cancel->isEnabled());
    gate->open();  // the running browse sees the cancel at its next step
    QTest::qWait(50);
    EXPECT_EQ(tree(d)->model()->rowCount(), 0) << "a cancelled browse shows nothing";

    d->tree_model().browse_again({});
    ASSERT_TRUE(rows_shown(tree(d), 2));
    EXPECT_EQ(status->text(), "1 variables listed");

    // Closing while a browse runs ends it and joins the thread.
    rig.opc->locked([&] {
        rig.opc->browse_gate = std::make_shared<fakes::ReadGate>();
        return 0;
    });
    auto late_gate = rig.opc->locked([&] { return rig.opc->browse_gate; });
    tree(d)->expand(tree(d)->model()->index(0, 0));
    ASSERT_TRUE(rig.opc->wait_for_browses(3));
    // The server answers only after the dialog began to close: the close waits for the
    // thread, whose browse then stops as cancelled.
    std::thread server([late_gate] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        late_gate->open();
    });
    d->findChild<QPushButton*>("browse_close_button")->click();
    server.join();
    ASSERT_TRUE(dialog_gone());
    rig.opc->locked([&] {
        EXPECT_EQ(rig.opc->libraries_destroyed, rig.opc->libraries_created);
        EXPECT_EQ(rig.opc->sources_destroyed, 1);
        return 0;
    });
}

TEST_F(BrowseDialogTest, FailuresAndRefusalsAreShownNotSwallowed) {
    // A DA schema cannot be browsed.
    parts_of(*w).server_combo->setEditText("opc.da://host/Sim.Server");
    parts_of(*w).browse_button->click();
    EXPECT_EQ(w->findChild<BrowseDialog*>("browse_dialog"), nullptr);
    ASSERT_EQ(rig.dialogs->of_kind("warning").size(), 1u);

    // An unreachable server says why, and the branch can be tried again.
    parts_of(*w).server_combo->setEditText(kUaSchema);
    rig.opc->locked([&] {
        rig.opc->create_fails = true;
        rig.opc->create_error = "connection refused";
        return 0;
    });
    BrowseDialog* d = open_dialog();
    auto* status = d->findChild<QLabel*>("browse_status_label");
    ASSERT_TRUE(process_until([&] { return status->text().startsWith("Browse failed"); }));
    EXPECT_EQ(status->text().toStdString(), std::string("Browse failed: cannot connect to ") +
                                                kUaSchema + ": connection refused");
    rig.opc->locked([&] { return rig.opc->create_fails = false; });
    d->tree_model().browse_again({});
    ASSERT_TRUE(rows_shown(tree(d), 2));

    // Nothing checked: Add and Save refuse; a save cancelled writes nothing.
    d->add_selected();
    d->save_as_csv();
    EXPECT_EQ(rig.dialogs->of_kind("warning").size(), 3u);
    tree(d)->model()->setData(tree(d)->model()->index(1, 0), Qt::Checked, Qt::CheckStateRole);
    d->save_as_csv();
    EXPECT_EQ(rig.dialogs->of_kind("save").size(), 1u);
    const QString file = QString::fromStdString((rig.path() / "browsed.csv").string());
    rig.dialogs->file_answers.push_back(file);
    d->save_as_csv();
    EXPECT_EQ(korrin::load_tag_list(file.toStdString()).tags,
              (korrin::TagList{{"2:Uptime", "Server uptime"}}));
    EXPECT_EQ(rig.dialogs->of_kind("warning").size(), 3u);
    d->reject();
}

TEST_F(BrowseDialogTest, EveryControlIsNamedAndTheButtonFollowsTheWindowsState) {
    BrowseDialog* d = open_dialog();
    EXPECT_EQ(d->windowTitle(), "Browse Server");
    for (const char* name : {"browse_filter_input", "browse_tree", "browse_cancel_button",
                             "browse_add_button", "browse_save_button", "browse_close_button"}) {
        auto* widget = d->findChild<QWidget*>(name);
        ASSERT_NE(widget, nullptr) << name;
        const auto* accessible = QAccessible::queryAccessibleInterface(widget);
        ASSERT_NE(accessible, nullptr) << name;
        EXPECT_FALSE(accessible->text(QAccessible::Name).isEmpty()) << name;
    }
    // Tab runs filter, tree, then the buttons (Cancel only while a browse runs).
    ASSERT_TRUE(rows_shown(tree(d), 2));
    QApplication::setActiveWindow(d);
    auto* filter = d->findChild<QWidget*>("browse_filter_input");
    filter->setFocus();
    ASSERT_TRUE(process_until([&] { return filter->hasFocus(); }, 2000));
    const std::vector<QWidget*> stops = {tree(d), d->findChild<QWidget*>("browse_add_button"),
                                         d->findChild<QWidget*>("browse_save_button"),
                                         d->findChild<QWidget*>("browse_close_button")};
    for (std::size_t i = 0; i < stops.size(); ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        EXPECT_EQ(QApplication::focusWidget(), stops[i]) << "tab stop " << i + 1;
    }
    EXPECT_TRUE(d->findChild<QPushButton*>("browse_add_button")->isDefault());
    d->reject();
    ASSERT_TRUE(dialog_gone());

    auto* button = parts_of(*w).browse_button;
    EXPECT_EQ(button->text(), "Browse Server…");
    w->_set_controls_enabled(false);
    EXPECT_FALSE(button->isEnabled());
    w->_set_controls_enabled(true);
    EXPECT_TRUE(button->isEnabled());
}

}  // namespace
}  // namespace vantrel_test
