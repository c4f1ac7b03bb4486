#include "vantrel/dialogs.h"

#include <mutex>
#include <utility>

#include <QFileDialog>
#include <QMenu>
#include <QPoint>

namespace vantrel::desktop {

QString Dialogs::get_open_file_name(QWidget* parent, const QString& caption, const QString& dir,
                                    const QString& filter) {
    return QFileDialog::getOpenFileName(parent, caption, dir, filter);
}

QString Dialogs::get_save_file_name(QWidget* parent, const QString& caption, const QString& dir,
                                    const QString& filter) {
    return QFileDialog::getSaveFileName(parent, caption, dir, filter);
}

void Dialogs::warning(QWidget* parent, const QString& title, const QString& text) {
    QMessageBox::warning(parent, title, text);
}

void Dialogs::critical(QWidget* parent, const QString& title, const QString& text) {
    QMessageBox::critical(parent, title, text);
}

QMessageBox::StandardButton Dialogs::question(QWidget* parent, const QString& title,
                                              const QString& text,
                                              QMessageBox::StandardButtons buttons,
                                              QMessageBox::StandardButton default_button) {
    return QMessageBox::question(parent, title, text, buttons, default_button);
}

QAction* Dialogs::exec_menu(QMenu& menu, const QPoint& pos, QAction* action) {
    return menu.exec(pos, action);
}

namespace {

std::mutex& dialogs_mutex() {
    static std::mutex mutex;
    return mutex;
}

std::shared_ptr<Dialogs>& dialogs_slot() {
    static std::shared_ptr<Dialogs> dialogs = std::make_shared<Dialogs>();
    return dialogs;
}

}  // namespace

std::shared_ptr<Dialogs> app_dialogs_ptr() {
    std::lock_guard<std::mutex> guard(dialogs_mutex());
    return dialogs_slot();
}

Dialogs& app_dialogs() {
    return *app_dialogs_ptr();
}

void set_app_dialogs(std::shared_ptr<Dialogs> dialogs) {
    std::lock_guard<std::mutex> guard(dialogs_mutex());
    dialogs_slot() = dialogs ? std::move(dialogs) : std::make_shared<Dialogs>();
}

QAction* exec_menu(QMenu& menu, const QPoint& pos, QAction* action) {
    return app_dialogs().exec_menu(menu, pos, action);
}

}  // namespace vantrel::desktop
