// The desktop program's start-up and its process-wide guards: the application object whose
// event dispatch hands escaping errors to qt_exception_hook, font scaling, and the start-up
// sequence itself.
#pragma once

#include <exception>
#include <memory>
#include <string>

#include <QApplication>

#include "vantrel/main_widget.h"

namespace vantrel::desktop {

// Catches whatever escapes an event handler or slot and passes it to qt_exception_hook; the
// event loop goes on.
class VantrelApplication : public QApplication {
    Q_OBJECT
  public:
    VantrelApplication(int& argc, char** argv);
    bool notify(QObject* receiver, QEvent* event) override;
};

// The uncaught-error handler: one ERROR log entry "Unhandled exception" with the error's type,
// message and trace, and one "Unexpected Error" box with the report. Returns; nothing is
// re-raised.
void qt_exception_hook(const std::string& exctype, const std::string& value, const std::string& tb);
// The same for an error in flight (call it from a catch block).
void qt_exception_hook(std::exception_ptr error);

// The report shown in the box: the trace (when there is one) followed by "Type: message",
// every line ending in a line break.
std::string format_error_report(const std::string& exctype, const std::string& value,
                                const std::string& tb);

// The font's point size at a screen's logical dots per inch: unchanged at 96.
double scaled_point_size(int point_size, double dpi);
void adjust_font_for_dpi(QApplication& app);

// Runs the event loop; its result unchanged.
int exec_app(QApplication& app);

// Builds and shows the main window; when that fails, logs the error, shows the "Application
// Error" box and gives nothing (the program then exits with status 1).
std::unique_ptr<MainWidget> build_main_window(MainWidgetDeps deps = {});

// The whole program after logging is set up: application, handler, font, window, event loop.
// Returns the exit status (1 when the window could not be built).
int run_desktop(int& argc, char** argv, MainWidgetDeps deps = {});

}  // namespace vantrel::desktop
