#include "vantrel/application.h"

#include <cxxabi.h>

#include <cstdlib>
#include <memory>
#include <typeinfo>

#include <QFont>
#include <QScreen>

#include "desktop_log.h"
#include "lumvane/logging.h"

namespace vantrel::desktop {

namespace {

std::string demangled(const char* name) {
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> text(
        abi::__cxa_demangle(name, nullptr, nullptr, &status), std::free);
    return status == 0 && text ? std::string(text.get()) : std::string(name);
}

// The dynamic type of the error in flight, or "unknown" for something that is not a class.
std::string current_exception_type() {
    const std::type_info* type = abi::__cxa_current_exception_type();
    return type ? demangled(type->name()) : std::string("unknown");
}

}  // namespace

VantrelApplication::VantrelApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool VantrelApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (...) {
        qt_exception_hook(std::current_exception());
        return false;
    }
}

std::string format_error_report(const std::string& exctype, const std::string& value,
                                const std::string& tb) {
    std::string report = tb;
    if (!report.empty() && report.back() != '\n') {
        report += '\n';
    }
    report += exctype + ": " + value + "\n";
    return report;
}

void qt_exception_hook(const std::string& exctype, const std::string& value,
                       const std::string& tb) {
    const std::string report = format_error_report(exctype, value, tb);
    // The trace follows the log line, as in any other error report.
    log()->error("Unhandled exception\n{}", report.substr(0, report.size() - 1));
    app_dialogs().critical(nullptr, "Unexpected Error", QString::fromStdString(report));
}

void qt_exception_hook(std::exception_ptr error) {
    std::string type = "unknown";
    std::string message;
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        type = demangled(typeid(e).name());
        message = e.what();
    } catch (...) {
        type = current_exception_type();
        message = "an error that carries no message";
    }
    // C++ keeps no trace of where an error was thrown: the report is its last line alone.
    qt_exception_hook(type, message, std::string());
}

double scaled_point_size(int point_size, double dpi) {
    return point_size * (dpi / 96.0);
}

void adjust_font_for_dpi(QApplication& app) {
    const QScreen* screen = app.primaryScreen();
    if (screen == nullptr) {
        return;
    }
    QFont font = app.font();
    // A font sized in pixels has no point size to scale (-1); leave it alone.
    if (font.pointSize() <= 0) {
        return;
    }
    font.setPointSizeF(scaled_point_size(font.pointSize(), screen->logicalDotsPerInch()));
    app.setFont(font);
}

int exec_app(QApplication& app) {
    return app.exec();
}

std::unique_ptr<MainWidget> build_main_window(MainWidgetDeps deps) {
    try {
        auto window = std::make_unique<MainWidget>(std::move(deps));
        window->show();
        return window;
    } catch (const std::exception& e) {
        log()->error("Error occurred while starting the application: {}", e.what());
        app_dialogs().critical(
            nullptr, "Application Error",
            QString::fromStdString(std::string("Failed to start the application: ") + e.what()));
        return nullptr;
    }
}

int run_desktop(int& argc, char** argv, MainWidgetDeps deps) {
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    QGuiApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QGuiApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
#endif
    // Qt 6 always scales for high-density screens; the two attributes above do nothing there.
    VantrelApplication app(argc, argv);
    adjust_font_for_dpi(app);

    const auto window = build_main_window(std::move(deps));
    if (!window) {
        return 1;
    }
    return exec_app(app);
}

}  // namespace vantrel::desktop
