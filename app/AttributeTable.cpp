#include "AttributeTable.h"

#include <QApplication>
#include <QFile>
#include <QScrollBar>
#include <QTextStream>
#include <QVBoxLayout>

AttributeTable::AttributeTable(const QString &path, const QString &title, QWidget *parent)
    : QWidget(parent), path_(path), table_(new QTableWidget(this))
{
    setWindowTitle(title);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(table_);
    resize(700, 500);

    QFile file(path);
    if (file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        QTextStream in(&file);
        const QStringList header = in.readLine().split(',');
        table_->setColumnCount(header.size());
        table_->setHorizontalHeaderLabels(header);
        while (!in.atEnd() && table_->rowCount() < kFirstRows)
            appendRow(in.readLine().split(','));
    }
    connect(table_->verticalScrollBar(), &QScrollBar::valueChanged, this, &AttributeTable::UpdateTable);
}

void AttributeTable::appendRow(const QStringList &fields)
{
    const int row = table_->rowCount();
    table_->insertRow(row);
    for (int c = 0; c < table_->columnCount() && c < fields.size(); ++c) {
        auto *item = new QTableWidgetItem(fields[c]);
        item->setTextAlignment(Qt::AlignCenter);
        table_->setItem(row, c, item);
    }
}

void AttributeTable::UpdateTable(int value)
{
    QScrollBar *bar = table_->verticalScrollBar();
    const int maximum = bar->maximum();
    const int t = static_cast<int>(0.9 * maximum);
    if (value < t)
        return;
    QFile file(path_);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return;
    QApplication::setOverrideCursor(Qt::WaitCursor);
    const int oldRows = table_->rowCount();
    QTextStream in(&file);
    in.readLine();  // the header
    for (int i = 0; i < oldRows && !in.atEnd(); ++i)
        in.readLine();  // rows already shown
    table_->blockSignals(true);
    while (!in.atEnd()) {
        const QStringList fields = in.readLine().split(',');
        if (fields.size() < table_->columnCount())
            break;
        appendRow(fields);
        if (table_->rowCount() - 1 + 2 > oldRows + (maximum - t))
            break;
    }
    table_->blockSignals(false);
    QApplication::restoreOverrideCursor();
}
