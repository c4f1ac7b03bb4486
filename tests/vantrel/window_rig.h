// A main window wired to the shared fakes, in a scratch working folder with its own config.ini,
// and dialogs that answer from a script and record what they were shown.
#pragma once

#include <deque>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <QComboBox>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QStatusBar>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "fakes/fake_opc_library.h"
#include "fakes/fake_tsdb_client.h"
#include "vantrel/dialogs.h"
#include "vantrel/main_widget.h"

namespace vantrel_test {

namespace fakes = vantrel::test_fakes;
using vantrel::desktop::MainWidget;
using vantrel::desktop::MainWidgetDeps;

struct ShownBox {
    std::string kind;  // "warning", "critical", "question", "file", "save", "menu"
    bool has_parent = false;
    std::string title;
    std::string text;
};

class ScriptedDialogs : public vantrel::desktop::Dialogs {
  public:
    std::vector<ShownBox> shown;
    std::deque<QString> file_answers;  // empty: cancelled
    QMessageBox::StandardButton question_answer = QMessageBox::No;
    int menu_choice = -1;  // index of the action to choose; -1 dismisses

    QString get_open_file_name(QWidget* parent, const QString& caption, const QString& dir,
                               const QString& filter) override {
        shown.push_back(
            {"file", parent != nullptr, caption.toStdString(), (dir + "|" + filter).toStdString()});
        if (file_answers.empty()) {
            return {};
        }
        QString answer = file_answers.front();
        file_answers.pop_front();
        return answer;
    }
    QString get_save_file_name(QWidget* parent, const QString& caption, const QString& dir,
                               const QString& filter) override {
        shown.push_back(
            {"save", parent != nullptr, caption.toStdString(), (dir + "|" + filter).toStdString()});
        if (file_answers.empty()) {
            return {};
        }
        QString answer = file_answers.front();
        file_answers.pop_front();
        return answer;
    }
    void warning(QWidget* parent, const QString& title, const QString& text) override {
        shown.push_back({"warning", parent != nullptr, title.toStdString(), text.toStdString()});
    }
    void critical(QWidget* parent, const QString& title, const QString& text) override {
        shown.push_back({"critical", parent != nullptr, title.toStdString(), text.toStdString()});
    }
    QMessageBox::StandardButton question(QWidget* parent, const QString& title, const QString& text,
                                         QMessageBox::StandardButtons,
                                         QMessageBox::StandardButton) override {
        shown.push_back({"question", parent != nullptr, title.toStdString(), text.toStdString()});
        return question_answer;
    }
    QAction* exec_menu(QMenu& menu, const QPoint&, QAction*) override;

    std::vector<ShownBox> of_kind(const std::string& kind) const {
        std::vector<ShownBox> out;
        for (const auto& box : shown) {
            if (box.kind == kind) {
                out.push_back(box);
            }
        }
        return out;
    }
};

// The window's parts, found by object name as the accessibility interface and a user's script
// find them; the window keeps its widgets to itself.
struct WindowParts {
    QComboBox* tsdb_combo = nullptr;
    QComboBox* opc_type_combo = nullptr;
    QLineEdit* host_input = nullptr;
    QLineEdit* port_input = nullptr;
    vantrel::desktop::ServerComboBox* server_combo = nullptr;
    QLabel* status_label = nullptr;
    QPushButton* import_button = nullptr;
    QPushButton* browse_button = nullptr;
    QPushButton* collect_button = nullptr;
    vantrel::desktop::PaginatedTableWidget* paginated_table = nullptr;
    QStatusBar* status_bar = nullptr;
    QLabel* db_status_label = nullptr;
    QLabel* write_count_label = nullptr;
    vantrel::desktop::OPCStatusBridge* status_bridge = nullptr;
    vantrel::desktop::DBStatusBridge* db_status_bridge = nullptr;
};

// Fails the calling test (by throwing) when a part is missing, so a renamed widget shows up as
// its name rather than as a null dereference.
WindowParts parts_of(const MainWidget& w);

// Runs the event loop until the condition holds or the time is up.
template <class Pred>
bool process_until(Pred pred, int timeout_ms = 10000) {
    QElapsedTimer timer;
    timer.start();
    while (!pred()) {
        if (timer.elapsed() > timeout_ms) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

inline void write_file(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary);
    out << bytes;
}

inline std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct WindowRig {
    QTemporaryDir dir;
    std::shared_ptr<fakes::FakeTsdbClient> db = std::make_shared<fakes::FakeTsdbClient>();
    std::shared_ptr<fakes::FakeOpcScript> opc = std::make_shared<fakes::FakeOpcScript>();
    std::shared_ptr<ScriptedDialogs> dialogs = std::make_shared<ScriptedDialogs>();
    std::shared_ptr<vantrel::korrin::CycleQueue> queue =
        std::make_shared<vantrel::korrin::CycleQueue>();

    std::filesystem::path path() const { return dir.path().toStdString(); }
    std::filesystem::path ini() const { return path() / "config.ini"; }

    void write_config(const std::string& vantrel_section = "opc_type = OPC DA\n",
                      const std::string& dbname = "tsdb_default") {
        write_file(ini(),
                   "[TSDBConnection]\nhost = dbhost\nport = 5432\nuser = collector\n"
                   "password = secret\ndbname = " +
                       dbname + "\n\n[Vantrel]\n" + vantrel_section);
    }

    MainWidgetDeps deps() const {
        MainWidgetDeps d;
        d.tsdb_client = db;
        d.opc_library_factory = fakes::fake_factory(opc);
        d.dialogs = dialogs;
        d.working_dir = path();
        d.data_deque = queue;
        d.sample_interval = 0.05;
        return d;
    }

    std::unique_ptr<MainWidget> make() { return std::make_unique<MainWidget>(deps()); }

    // A tag file in the scratch folder.
    QString csv(const std::string& name, const std::string& bytes) const {
        write_file(path() / name, bytes);
        return QString::fromStdString((path() / name).string());
    }
};

}  // namespace vantrel_test
