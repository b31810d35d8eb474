#pragma once
// The two small dialogs of the segmentation views: the tree table to colour
// a cloud by (InPutCSV), and the CHM and tree table to overlay (Overlap).

#include <QDialog>
#include <QStringList>

class QComboBox;
class QLineEdit;
class QTextBrowser;

class InPutCSV : public QDialog {
    Q_OBJECT
public:
    explicit InPutCSV(QWidget *parent = nullptr);
    QString path() const { return path_; }
    QLineEdit *pathEdit() const { return edit_; }

private slots:
    void on_OpenFile_clicked();
    void on_CancelBtn_clicked();
    void on_OKBtn_clicked();

private:
    QLineEdit *edit_;
    QString path_;
};

// What the overlap dialog hands back.
struct OverlapChoice {
    QString chmPath, tablePath;
    int xIndex = 0, yIndex = 1;
};

class Overlap : public QDialog {
    Q_OBJECT
public:
    Overlap(const QStringList &rasters, const QStringList &tables, QWidget *parent = nullptr);
    OverlapChoice choice() const { return choice_; }

public slots:
    void AddItems();

private slots:
    void on_OkBtn_clicked();
    void on_CancelBtn_clicked();
    void on_HelpBtn_clicked();
    void on_comboBoxchm_currentIndexChanged(int index);
    void on_comboBoxcsv_currentIndexChanged(int index);
    void on_comboBox_X_currentIndexChanged(int index);
    void on_comboBox_Y_currentIndexChanged(int index);

private:
    QStringList rasters_, tables_, fields_;
    QComboBox *chm_, *csv_, *x_, *y_;
    QTextBrowser *help_;
    OverlapChoice choice_;
};
