#include "HelpAbout.h"
#include "ui_HelpAbout.h"

#include "Prompt.h"

#include <QCoreApplication>
#include <QUrl>

HelpAbout::HelpAbout(QWidget *parent) : QDialog(parent), ui(new Ui::HelpAbout)
{
    ui->setupUi(this);
    connect(ui->WebSite, &QLabel::linkActivated, this, &HelpAbout::openUrl);
    connect(ui->Acknowledge, &QLabel::linkActivated, this, &HelpAbout::openUrl);
    connect(ui->closeButton, &QPushButton::clicked, this, &QDialog::close);
}

HelpAbout::~HelpAbout() { delete ui; }

void HelpAbout::openUrl(const QString &link)
{
    // A link without a scheme names a file beside the program.
    QUrl url(link);
    if (url.scheme().isEmpty())
        url = QUrl::fromLocalFile(QCoreApplication::applicationDirPath() + "/" + link);
    Prompt::openUrl(url);
}
