#include "commandline.h"
#include "startup.h"

#include <QApplication>
#include <QFontDatabase>
#include <QIcon>

namespace
{

const char* const kUsage =
    "usage: brenvik-updater [-h | --help | --version]\n"
    "Puts the firmware release that travels with it on a Brenvik fitness console attached by\n"
    "USB, keeping the console's users' settings. Switch the console on, connect it, and follow\n"
    "the window: \"Next\" connects to the console found, \"Update\" starts the update.\n"
    "  -h, --help show this help and exit\n"
    "  --version  show the version and exit\n"
    "Qt's own options (such as -platform offscreen) are accepted as well.\n";

// The windows place their widgets at fixed positions that were measured with an 8-point dialog
// font as wide as Arial. Use that size, and a font of those widths where one is installed, so
// that texts fit their places instead of being cut off.
void useFormFont()
{
    QFont font = QApplication::font();
    font.setPointSize(8);
    const QStringList installed = QFontDatabase().families();
    for (const char* family : {"Liberation Sans", "Arimo", "Arial"}) {
        if (installed.contains(QLatin1String(family))) {
            font.setFamily(QLatin1String(family));
            break;
        }
    }
    QApplication::setFont(font);
}

} // namespace

int main(int argc, char* argv[])
{
    // Answered before the application object, which would need a display.
    if (CommandLine::answer(argc, argv, "brenvik-updater", kUsage))
        return 0;
    // The pictures live in a static library; without this nothing would pull them in.
    Q_INIT_RESOURCE(resources);

    // The windows draw nothing with OpenGL. Without this the X11 platform loads the GL driver
    // stack at start (Mesa's software renderer alone keeps about 50 MiB resident); the user can
    // still ask for it by setting the variable.
    if (!qEnvironmentVariableIsSet("QT_XCB_GL_INTEGRATION"))
        qputenv("QT_XCB_GL_INTEGRATION", "none");

    QApplication app(argc, argv);
    // What the executable's icon is elsewhere: the icon of every window, and the link to the
    // menu entry (brenvik-updater.desktop) for the desktop's task bar.
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icon/base_icon")));
    QGuiApplication::setDesktopFileName(QStringLiteral("brenvik-updater"));
    useFormFont();
    int exitCode = 0;
    {
        Startup window;
        window.show();
        exitCode = app.exec();
    }
    return exitCode;
}
