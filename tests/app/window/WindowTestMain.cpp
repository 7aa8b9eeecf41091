// GoogleTest main for the window's tests: one QApplication for the whole run.
#include <gtest/gtest.h>

#include <QApplication>

#include "app/window/WindowProcess.h"

int main(int argc, char** argv)
{
    // CTest sets the platform; a run by hand (or the test listing) must not
    // need a display either.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    // As the program does; the Italian texts are each test's own business.
    adv::installFontSubstitutes();
    return RUN_ALL_TESTS();
}
