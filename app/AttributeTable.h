#pragma once
// Shows a CSV table layer: the header line gives the columns; the first
// 1000 rows load at once and further rows as the user scrolls near the end.

#include <QTableWidget>
#include <QWidget>

class AttributeTable : public QWidget {
    Q_OBJECT
public:
    AttributeTable(const QString &path, const QString &title, QWidget *parent = nullptr);

    QTableWidget *table() const { return table_; }
    static constexpr int kFirstRows = 1000;

public slots:
    void UpdateTable(int value);

private:
    void appendRow(const QStringList &fields);

    QString path_;
    QTableWidget *table_;
};
