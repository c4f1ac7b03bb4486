#include "window_rig.h"

#include <QMenu>

namespace vantrel_test {

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

}  // namespace vantrel_test
