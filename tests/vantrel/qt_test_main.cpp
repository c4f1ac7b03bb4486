// main() of the desktop's test programs: a private runtime folder, the offscreen platform and the
// program's own application object (so that errors escaping a slot reach the handler as they do in
// the program), then GoogleTest.
#include <cstdlib>
#include <filesystem>
#include <string>

#include <QByteArray>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "vantrel/application.h"

int main(int argc, char** argv) {
    // Qt wants a runtime folder of mode 0700 that belongs to us; never share the user's.
    QTemporaryDir runtime_dir;
    if (runtime_dir.isValid()) {
        std::filesystem::permissions(runtime_dir.path().toStdString(),
                                     std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::replace);
        qputenv("XDG_RUNTIME_DIR", runtime_dir.path().toLocal8Bit());
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    vantrel::desktop::VantrelApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
