#pragma once
// The About box: version, rights notice, and links to the web site and the
// acknowledgements of the open-source libraries Verdanta is built on.

#include <QDialog>

namespace Ui {
class HelpAbout;
}

class HelpAbout : public QDialog {
    Q_OBJECT
public:
    explicit HelpAbout(QWidget *parent = nullptr);
    ~HelpAbout() override;

public slots:
    void openUrl(const QString &link);

private:
    Ui::HelpAbout *ui;
};
