#include "userdriver.h"
#include "modalanswerer.h"

#include <QApplication>
#include <QPushButton>
#include <cstdio>

UserDriver::UserDriver(QObject* parent)
    : QObject(parent), answerer(new ModalAnswerer(QMessageBox::Ok, this, 20))
{
    bool ok = false;
    const int limitS = qEnvironmentVariableIntValue("UPDATER_DRIVER_LIMIT_S", &ok);
    limitMs = (ok && limitS > 0 ? limitS : 300) * qint64(1000);
    report.setFileName(qEnvironmentVariable("UPDATER_DRIVER_REPORT"));
    if (!report.fileName().isEmpty())
        report.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text);
    clock.start();
    connect(&poll, &QTimer::timeout, this, &UserDriver::step);
    poll.start(50);
    connect(qApp, &QCoreApplication::aboutToQuit, this, [this] {
        step(); // a box answered just before the quit
        note(QStringLiteral("quit\t%1").arg(clock.elapsed() / 1000));
    });
}

void UserDriver::note(const QString& line)
{
    std::fprintf(stderr, "driver: %s\n", qPrintable(line));
    if (report.isOpen()) {
        report.write(line.toUtf8() + '\n');
        report.flush();
    }
}

QPushButton* UserDriver::enabledButton(const QString& text) const
{
    for (QWidget* top : QApplication::topLevelWidgets())
        for (QPushButton* b : top->findChildren<QPushButton*>())
            if (b->text() == text && b->isVisible() && b->isEnabled())
                return b;
    return nullptr;
}

void UserDriver::step()
{
    for (; boxesNoted < answerer->seen.size(); ++boxesNoted) {
        const ModalAnswerer::Seen& box = answerer->seen.at(boxesNoted);
        QString text = box.text;
        text.replace(QLatin1Char('\n'), QLatin1String("\\n"));
        note(QStringLiteral("box\t%1\t%2\t%3").arg(int(box.icon)).arg(box.title, text));
    }
    if (stage < 2) {
        const QString wanted = stage == 0 ? QStringLiteral("Next") : QStringLiteral("Update");
        if (QPushButton* b = enabledButton(wanted)) {
            note(QStringLiteral("pressed\t") + wanted);
            ++stage;
            b->click();
        }
    }
    if (clock.elapsed() > limitMs) {
        note(QStringLiteral("limit\t%1").arg(limitMs / 1000));
        poll.stop();
        QCoreApplication::exit(3);
    }
}

namespace
{
void startDriver()
{
    // Only in the windowed program: a plain QCoreApplication has no buttons to press.
    if (qobject_cast<QApplication*>(QCoreApplication::instance()))
        new UserDriver(QCoreApplication::instance());
}
} // namespace

Q_COREAPP_STARTUP_FUNCTION(startDriver)
