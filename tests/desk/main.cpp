// The desk's tests run with a real (offscreen) Qt application, on a screen large enough for the
// window's designed size (the offscreen platform's own screen is 800 x 600), whether ctest or a
// developer starts them; a platform already named in the environment is kept.
#include <gtest/gtest.h>

#include <QApplication>

namespace {
QtMessageHandler g_default = nullptr;
// The offscreen platform says these for every top-level window and popup menu; they tell nothing about
// the desk.
void Filter(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (message.contains(QLatin1String("propagateSizeHints")) ||
        message.contains(QLatin1String("This plugin does not support")))
        return;
    if (g_default) g_default(type, context, message);
}
}  // namespace

int main(int argc, char** argv) {
    g_default = qInstallMessageHandler(Filter);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen:configfile=" TARVIX_SOURCE_DIR "/tests/desk/screen.json");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
