#pragma once
// Drives a tool dialog in tests: picks its inputs, and walks a table of
// field values through OK, checking the message each one gives and what the
// field holds afterwards.

#include "PromptRecorder.h"
#include "ToolDialog.h"

#include <QComboBox>
#include <QLineEdit>
#include <QtTest>

#include <vector>

// Offers `files` to the dialog and picks each of them as an input.
inline void choose(ToolDialog &d, const QStringList &files)
{
    d.setCandidates(files);
    for (int i = 0; i < files.size(); ++i)
        d.inputCombo()->setCurrentIndex(i);
}

// One press of OK after `option` ("-o": the output) is set to `value`: the
// prompts shown must be `message` alone, and the field must then hold
// `after` (not checked when left out).
struct Step {
    QString option, value, message, after;
};

inline void walk(ToolDialog &d, PromptRecorder &prompts, const std::vector<Step> &steps)
{
    for (const Step &st : steps) {
        QLineEdit *edit = st.option == "-o" ? d.outputEdit() : d.field(st.option);
        if (st.option == "-o")
            edit->setText(st.value);
        else
            d.setValue(st.option, st.value);
        const QString what = st.option + "=" + st.value;
        QCOMPARE(pressOk(d, prompts).join("|") + " after " + what, st.message + " after " + what);
        if (!st.after.isNull())
            QCOMPARE((edit ? edit->text() : d.value(st.option)) + " after " + what, st.after + " after " + what);
        QCOMPARE(d.result(), 0);
    }
}
