#include "startupwidget.h"
#include "ui_startup.h"

#include <QPixmap>

StartupWidget::StartupWidget(QWidget* parent) : QWidget(parent), ui(new Ui::Startup)
{
    ui->setupUi(this);
    ui->labelpic->setPixmap(QPixmap(QStringLiteral(":/q-solenza_small")));
}

StartupWidget::~StartupWidget()
{
    delete ui;
}

void StartupWidget::setVersionText(const QString& text)
{
    ui->versionLabel_2->setText(text);
}
