#ifndef STARTUPWIDGET_H
#define STARTUPWIDGET_H

#include <QWidget>

namespace Ui
{
class Startup;
}

// The welcome page: the console's picture, the version of the firmware package that travels
// with the updater, and how to plug the console in.
class StartupWidget : public QWidget
{
    Q_OBJECT

public:
    explicit StartupWidget(QWidget* parent = nullptr);
    ~StartupWidget() override;

    void setVersionText(const QString& text);

private:
    Ui::Startup* ui;
};

#endif // STARTUPWIDGET_H
