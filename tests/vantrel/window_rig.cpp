#include "window_rig.h"

#include <QMenu>

#include <stdexcept>
#include <string>

namespace vantrel_test {

namespace {

template <typename Part>
Part* part(const MainWidget& w, const char* name) {
    auto* found = w.findChild<Part*>(QLatin1String(name));
    if (found == nullptr) {
        throw std::runtime_error(std::string("the window has no part named ") + name);
    }
    return found;
}

}  // namespace

QAction* ScriptedDialogs::exec_menu(QMenu& menu, const QPoint&, QAction*) {
    std::vector<std::string> entries;
    for (auto* action : menu.actions()) {
        entries.push_back(action->text().toStdString());
    }
    shown.push_back({"menu", true, "", entries.empty() ? "" : entries.front()});
    const auto actions = menu.actions();
    if (menu_choice < 0 || menu_choice >= actions.size()) {
        return nullptr;
    }
    return actions[menu_choice];
}

WindowParts parts_of(const MainWidget& w) {
    using namespace vantrel::desktop;
    return {
        .tsdb_combo = part<QComboBox>(w, "tsdb_combo"),
        .opc_type_combo = part<QComboBox>(w, "opc_type_combo"),
        .host_input = part<QLineEdit>(w, "host_input"),
        .port_input = part<QLineEdit>(w, "port_input"),
        .server_combo = part<ServerComboBox>(w, "server_combo"),
        .status_label = part<QLabel>(w, "status_label"),
        .import_button = part<QPushButton>(w, "import_button"),
        .browse_button = part<QPushButton>(w, "browse_button"),
        .collect_button = part<QPushButton>(w, "collect_button"),
        .paginated_table = part<PaginatedTableWidget>(w, "paginated_table"),
        .status_bar = part<QStatusBar>(w, "status_bar"),
        .db_status_label = part<QLabel>(w, "db_status_label"),
        .write_count_label = part<QLabel>(w, "write_count_label"),
        .status_bridge = part<OPCStatusBridge>(w, "status_bridge"),
        .db_status_bridge = part<DBStatusBridge>(w, "db_status_bridge"),
    };
}

}  // namespace vantrel_test
