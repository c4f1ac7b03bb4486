// The program's process-wide guards: the error report, font scaling, and errors escaping a
// slot while the event loop runs.
#include <stdexcept>

#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include "vantrel/application.h"
#include "window_rig.h"

namespace vantrel_test {
namespace {

using vantrel::desktop::format_error_report;
using vantrel::desktop::scaled_point_size;

TEST(ErrorReport, EndsWithTypeAndMessageAfterTheTrace) {
    EXPECT_EQ(format_error_report("std::runtime_error", "boom", ""), "std::runtime_error: boom\n");
    EXPECT_EQ(format_error_report("E", "m", "  at f()\n  at g()"), "  at f()\n  at g()\nE: m\n");
}

TEST(FontScaling, KeepsTheSizeAtNinetySixDotsPerInch) {
    EXPECT_DOUBLE_EQ(scaled_point_size(10, 96.0), 10.0);
    EXPECT_DOUBLE_EQ(scaled_point_size(9, 144.0), 13.5);
    EXPECT_DOUBLE_EQ(scaled_point_size(8, 120.0), 10.0);
    EXPECT_DOUBLE_EQ(scaled_point_size(10, 192.0), 20.0);
}

TEST(UncaughtErrors, EachEscapingErrorGivesOneBoxAndTheLoopGoesOn) {
    auto dialogs = std::make_shared<ScriptedDialogs>();
    vantrel::desktop::set_app_dialogs(dialogs);
    QPushButton button("Fail");
    int clicks = 0;
    QObject::connect(&button, &QPushButton::clicked, [&clicks] {
        ++clicks;
        if (clicks == 1) {
            throw std::out_of_range("row 7 is past the end");
        }
        throw 42;  // not even an exception class
    });
    button.show();
    QTest::mouseClick(&button, Qt::LeftButton);
    QTest::keyClick(&button, Qt::Key_Space);
    vantrel::desktop::set_app_dialogs(nullptr);

    EXPECT_EQ(clicks, 2) << "the button still works after the first error";
    const auto boxes = dialogs->of_kind("critical");
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].title, "Unexpected Error");
    EXPECT_FALSE(boxes[0].has_parent);
    EXPECT_EQ(boxes[0].text, "std::out_of_range: row 7 is past the end\n");
    EXPECT_EQ(boxes[1].text.rfind("int: ", 0), 0u) << boxes[1].text;
}

}  // namespace
}  // namespace vantrel_test
