// Every modal box, file dialog and pop-up menu the desktop opens goes through this seam, so
// that tests answer them with scripted replies and no modal loop ever blocks a test.
#pragma once

#include <memory>

#include <QMessageBox>
#include <QString>

class QAction;
class QMenu;
class QPoint;
class QWidget;

namespace vantrel::desktop {

class Dialogs {
  public:
    virtual ~Dialogs() = default;

    // The chosen path, or empty text when the operator cancelled.
    virtual QString get_open_file_name(QWidget* parent, const QString& caption, const QString& dir,
                                       const QString& filter);
    // The path to write to, or empty text when the operator cancelled.
    virtual QString get_save_file_name(QWidget* parent, const QString& caption, const QString& dir,
                                       const QString& filter);
    virtual void warning(QWidget* parent, const QString& title, const QString& text);
    virtual void critical(QWidget* parent, const QString& title, const QString& text);
    virtual QMessageBox::StandardButton question(QWidget* parent, const QString& title,
                                                 const QString& text,
                                                 QMessageBox::StandardButtons buttons,
                                                 QMessageBox::StandardButton default_button);
    // Runs the menu modally at the global position; the chosen entry or nullptr.
    virtual QAction* exec_menu(QMenu& menu, const QPoint& pos, QAction* action = nullptr);
};

// The process-wide seam: the real boxes unless a test installed its own.
Dialogs& app_dialogs();
std::shared_ptr<Dialogs> app_dialogs_ptr();
void set_app_dialogs(std::shared_ptr<Dialogs> dialogs);

// The module-level menu helper the table's context menu uses.
QAction* exec_menu(QMenu& menu, const QPoint& pos, QAction* action = nullptr);

}  // namespace vantrel::desktop
