// verdanta-guide: writes the user guide, UserGuide.pdf, from the hand-written
// chapters in docs/guide/ and from the tool declarations themselves, so the
// reference of every tool (menu entry, parameters, defaults, limits, help and
// command line) is the one the dialogs and verdanta-cli use.
//
//   verdanta-guide --chapters DIR --form MainWindow.ui -o UserGuide.pdf [--html FILE]
//
// Chapters are the DIR/*.html files in name order, each opening with <h1>.
// They may hold these markers, replaced here:
//   {{tool-reference}}   a section per tool of the registry
//   {{pending-tools}}    the menu entries whose tools are still to come
//   {{cli-tools}}        the table of verdanta-cli subcommands
//   {{cli-reference}}    the --help text of every tool
//   {{action:NAME}}      a menu entry of the main window by its action name,
//                        marked when its tool is still to come
//   {{version}}          the program's version
// The PDF is A4 with a table of contents and page numbers, written with
// Qt's own PDF writer, so no other tool is needed to build it.

#include "ToolRegistry.h"

#include <QAbstractTextDocumentLayout>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QMap>
#include <QPainter>
#include <QPdfWriter>
#include <QRegularExpression>
#include <QTextBlock>
#include <QSet>
#include <QTextCursor>
#include <QTextTable>
#include <QTextDocument>
#include <QTextStream>
#include <QXmlStreamReader>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>

#ifndef VERDANTA_VERSION
#define VERDANTA_VERSION "1.0"
#endif

namespace {

void fail(const QString &text)
{
    std::fprintf(stderr, "verdanta-guide: %s\n", text.toLocal8Bit().constData());
    std::exit(1);
}

QString esc(const QString &s) { return s.toHtmlEscaped(); }

// ---- the main window's menus, read from its form ------------------------------

struct MenuEntry {
    QString text;  // the action's text, e.g. "Generating DEM"
    QString path;  // the menus above it, e.g. "Models > Generating Digital Models"
};

struct Form {
    QMap<QString, MenuEntry> actions;  // by action name
    QStringList toolMenuActions;       // the actions of the tool menus, in menu order
};

QString plain(QString text) { return text.remove('&'); }

Form readForm(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        fail("cannot read the form " + path);
    struct Element {
        QString tag, name, cls;
    };
    QVector<Element> stack;
    QMap<QString, QString> menuTitle, menuParent, actionText, actionMenu;
    QStringList menuOrder;                  // menus in the order they are met
    QMap<QString, QStringList> menuItems;   // addaction names (actions and submenus) per menu
    QString property;
    QXmlStreamReader xml(&file);
    auto enclosing = [&](const QString &tag, const QString &cls = QString()) -> const Element * {
        for (int i = stack.size() - 1; i >= 0; --i)
            if (stack[i].tag == tag && (cls.isEmpty() || stack[i].cls == cls))
                return &stack[i];
        return nullptr;
    };
    while (!xml.atEnd()) {
        xml.readNext();
        if (xml.isStartElement()) {
            const auto a = xml.attributes();
            const Element e{xml.name().toString(), a.value("name").toString(), a.value("class").toString()};
            if (e.tag == "widget" && e.cls == "QMenu") {
                const Element *outer = enclosing("widget", "QMenu");
                menuParent[e.name] = outer ? outer->name : QString();
                menuOrder << e.name;
            } else if (e.tag == "addaction") {
                if (const Element *menu = enclosing("widget", "QMenu")) {
                    menuItems[menu->name] << e.name;
                    actionMenu.insert(e.name, menu->name);
                }
            } else if (e.tag == "property") {
                property = e.name;
            } else if (e.tag == "string" && !stack.isEmpty() && stack.last().tag == "property") {
                const QString text = xml.readElementText();
                const Element &owner = stack[stack.size() - 2];
                if (owner.tag == "action" && property == "text")
                    actionText[owner.name] = text;
                else if (owner.tag == "widget" && owner.cls == "QMenu" && property == "title")
                    menuTitle[owner.name] = text;
                continue;  // readElementText consumed the end element
            }
            stack << e;
        } else if (xml.isEndElement() && !stack.isEmpty()) {
            stack.removeLast();
        }
    }
    if (xml.hasError())
        fail(path + ": " + xml.errorString());

    Form form;
    for (auto it = actionText.cbegin(); it != actionText.cend(); ++it) {
        QStringList menus;
        for (QString m = actionMenu.value(it.key()); !m.isEmpty(); m = menuParent.value(m))
            menus.prepend(plain(menuTitle.value(m)));
        form.actions.insert(it.key(), {plain(it.value()), menus.join(" > ")});
    }
    // The tool menus, walked as the user sees them.
    std::function<void(const QString &)> walk = [&](const QString &menu) {
        for (const QString &item : menuItems.value(menu)) {
            if (menuTitle.contains(item))
                walk(item);
            else if (item != "separator")
                form.toolMenuActions << item;
        }
    };
    for (const char *top : {"menuStat", "menuData_Preparation", "menuModels", "menuSegmentation"})
        walk(top);
    return form;
}

// ---- generated parts -------------------------------------------------------------------

const Tool *toolOfAction(const QString &action)
{
    for (const Tool *t : ToolRegistry::tools())
        if (t->spec.action == action)
            return t;
    return nullptr;
}

QString menuLocation(const Form &form, const Tool &tool)
{
    const auto it = form.actions.constFind(tool.spec.action);
    if (it != form.actions.cend() && !it->path.isEmpty())
        return it->path + " > " + it->text;
    return tool.spec.menu + " > " + tool.spec.title;  // an action not in the form: as declared
}

QString anchorOf(const Tool &tool) { return "tool-" + tool.spec.name; }

// The dialog's help page, without its own heading (the section has one).
QString helpBody(const QString &help)
{
    QString body = help;
    body.remove(QRegularExpression("<h[1-6][^>]*>.*?</h[1-6]>", QRegularExpression::CaseInsensitiveOption |
                                                                    QRegularExpression::DotMatchesEverythingOption));
    return body.trimmed();
}

// A dialog message on one line, as the user reads it in the message box.
QString messageText(const QString &message) { return esc(ToolChecks::cliMessage(message)); }

QString kindText(const ParamSpec &p)
{
    switch (p.kind) {
    case ParamSpec::Number: return "number";
    case ParamSpec::Text: return "text";
    case ParamSpec::File: return "file";
    case ParamSpec::Choice: return "choice";
    case ParamSpec::Flag: return "check box";
    case ParamSpec::Raster: return "raster (layer or file)";
    case ParamSpec::List: return p.listFields.isEmpty() ? "list (chosen entries)" : "list (" + p.listFields.join(", ") + ")";
    case ParamSpec::Set: return "check boxes";
    }
    return QString();
}

QString defaultText(const ParamSpec &p)
{
    if (p.kind == ParamSpec::Flag)
        return p.defaultValue == "1" ? "on" : "off";
    if (p.kind == ParamSpec::Choice)
        return esc(p.defaultValue.isEmpty() ? p.items.value(0) : p.defaultValue);
    return p.defaultValue.isEmpty() ? QString("none") : esc(p.defaultValue);
}

QString limitsText(const ParamSpec &p)
{
    QStringList parts;
    if (p.kind == ParamSpec::Number) {
        if (!p.invalidMessage.isEmpty()) {
            const QString reset = p.resetValue.isEmpty() ? p.defaultValue : p.resetValue;
            parts << QString("must be %1 0; an invalid value is set back to %2")
                         .arg(p.allowZero ? "at least" : "greater than", esc(reset));
        }
        if (p.rangeMax >= p.rangeMin)
            parts << QString("expected from %1 to %2 (outside it a warning is shown, the value is kept)")
                         .arg(p.rangeMin)
                         .arg(p.rangeMax);
    }
    if (p.kind == ParamSpec::Choice) {
        QStringList items;
        for (const QString &i : p.items)
            items << esc(i.trimmed());
        parts << "one of: " + items.join(", ");
    }
    if (p.kind == ParamSpec::List)
        parts << (p.listFileOption.isEmpty() ? QString("repeatable")
                                             : "repeatable, or from a text file with --" + p.listFileOption);
    if (p.kind == ParamSpec::Set) {
        QStringList items;
        for (int i = 0; i < p.items.size(); ++i)
            items << esc(p.itemValues.value(i)) + " " + esc(p.items[i]);
        parts << "after " + esc(p.valuePrefix) + ", any of: " + items.join(", ");
    }
    if (!p.emptyMessage.isEmpty())
        parts << "required";
    if (!p.hiddenWhenOption.isEmpty()) {
        parts << QString("hidden while --%1 is %2").arg(esc(p.hiddenWhenOption), esc(p.hiddenWhenValue.trimmed()));
    }
    return parts.isEmpty() ? QString("&#8212;") : parts.join("; ");
}

QString messagesText(const ParamSpec &p)
{
    QStringList parts;
    if (!p.emptyMessage.isEmpty())
        parts << "&#8220;" + messageText(p.emptyMessage) + "&#8221;";
    if (!p.invalidMessage.isEmpty())
        parts << "&#8220;" + messageText(p.invalidMessage) + "&#8221;";
    if (!p.rangeMessage.isEmpty())
        parts << "&#8220;" + messageText(p.rangeMessage) + "&#8221;";
    if (p.kind == ParamSpec::List && !p.listFields.isEmpty())
        parts << "&#8220;" + messageText(p.listFormatMessage) + "&#8221;";
    return parts.join("<br/>");
}

// The output name the dialog proposes for an input NAME, asked of the tool
// itself; empty when it proposes none.
QString proposedName(const Tool &tool)
{
    const ToolSpec &s = tool.spec;
    const QString folder = QDir::cleanPath(QDir::tempPath());
    ToolRequest r;
    for (const ParamSpec &p : s.params)
        r.values[p.option] = p.kind == ParamSpec::Raster ? folder + "/NAME.tif" : p.defaultValue;
    if (s.lasInputs)
        r.inputs << folder + "/NAME.las";
    const QString proposed = tool.defaultOutput ? tool.defaultOutput(s, r) : ToolChecks::defaultOutput(s, r.inputs);
    const QString name = QFileInfo(proposed).fileName();
    return name.contains("NAME") ? name : QString();
}

QString outputText(const Tool &tool)
{
    const ToolSpec &s = tool.spec;
    const QString name = proposedName(tool);
    const QString naming =
        name.isEmpty() ? QString()
                       : " For an input <code>NAME</code> the dialog proposes <code>" + esc(name) + "</code> beside it.";
    switch (s.output) {
    case OutputKind::File:
        return "one file (<code>" + esc(s.extension) + "</code>)." + naming;
    case OutputKind::Folder:
        return "a folder that receives the output files (<code>" + esc(s.extension) + "</code>).";
    case OutputKind::FilePerInput:
        return "for one input a file (<code>" + esc(s.extension) +
               "</code>), for several a folder that receives one file per input." + naming;
    }
    return QString();
}

QString inputText(const Tool &tool)
{
    const ToolSpec &s = tool.spec;
    QStringList rasters;
    for (const ParamSpec &p : s.params)
        if (p.kind == ParamSpec::Raster)
            rasters << esc(p.label.trimmed());
    if (s.lasInputs)
        return "one or more LAS files, from the project&#8217;s LAS layers or a file dialog (" +
               esc(s.inputFilter) + ").";
    return "the rasters " + rasters.join(" and ") +
           ", each chosen from the project&#8217;s raster layers or a file dialog (GeoTIFF).";
}

QString toolReference(const Form &form)
{
    QString html;
    for (const Tool *tool : ToolRegistry::tools()) {
        const ToolSpec &s = tool->spec;
        html += QString("<h2><a name=\"%1\"></a>%2</h2>\n").arg(anchorOf(*tool), esc(s.title));
        html += "<table class=\"facts\" cellspacing=\"0\" cellpadding=\"3\">";
        auto row = [&](const QString &key, const QString &value) {
            html += "<tr><td class=\"key\">" + key + "</td><td>" + value + "</td></tr>";
        };
        row("Menu", "<b>" + esc(menuLocation(form, *tool)) + "</b>");
        row("Command line", "<code>verdanta-cli " + esc(s.name) + "</code> &#8212; " + esc(s.summary));
        row("Input", inputText(*tool));
        row("Output", outputText(*tool));
        if (!tool->confirmation.isEmpty())
            row("Question", "before the run: &#8220;" + esc(tool->confirmation) +
                                "&#8221; (No ends the run; on the command line <code>--yes</code> answers it)");
        if (tool->combinesInputs)
            row("Question", "before joining inputs under different coordinate systems into one output "
                            "(answered by <code>--yes</code> on the command line)");
        html += "</table>\n";
        html += helpBody(s.help) + "\n";
        if (!s.params.isEmpty()) {
            html += "<table class=\"params\" width=\"100%\" cellspacing=\"0\" cellpadding=\"3\">"
                    "<tr><th>Parameter</th><th>Option</th><th>Kind</th><th>Default</th>"
                    "<th>Limits</th><th>Messages</th></tr>";
            for (const ParamSpec &p : s.params) {
                const QString option = p.option == s.positionalParam ? QString("(the input)")
                                                                     : "<code>--" + esc(p.option) + "</code>";
                html += "<tr><td>" + esc(p.label.trimmed()) + "</td><td>" + option + "</td><td>" + kindText(p) +
                        "</td><td>" + defaultText(p) + "</td><td>" + limitsText(p) + "</td><td>" +
                        messagesText(p) + "</td></tr>";
            }
            html += "</table>\n";
        } else {
            html += "<p>The tool has no parameters besides its inputs and output.</p>\n";
        }
        // What OK says with nothing filled in: the tool's own first check.
        ToolRequest blank;
        for (const ParamSpec &p : s.params)
            blank.values[p.option] = p.defaultValue;
        QStringList outputs;
        const CheckResult first = ToolChecks::prepare(*tool, blank, outputs);
        if (!first.message.isEmpty())
            html += "<p>OK with no input says &#8220;" + messageText(first.message) + "&#8221;.</p>\n";
        else if (!first.ok)
            html += "<p>OK with no input or no output does nothing.</p>\n";
    }
    return html;
}

QString pendingTools(const Form &form)
{
    QStringList items;
    for (const QString &action : form.toolMenuActions) {
        if (toolOfAction(action))
            continue;
        const MenuEntry e = form.actions.value(action);
        items << "<li>" + esc(e.path + " > " + e.text) + "</li>";
    }
    if (items.isEmpty())
        return "<p>Every entry of the tool menus has its tool.</p>";
    return "<p>These menu entries are shown greyed out; their tools arrive in a later release:</p><ul>" +
           items.join("\n") + "</ul>";
}

QString cliTools()
{
    QString html = "<table class=\"params\" cellspacing=\"0\" cellpadding=\"3\"><tr><th>TOOL</th><th>What it does</th>"
                   "<th>Dialog</th></tr>";
    html += "<tr><td><code>info</code></td><td>print the properties of LAS, GeoTIFF, shapefile and CSV "
            "files</td><td>&#8212;</td></tr>";
    for (const Tool *t : ToolRegistry::tools())
        html += "<tr><td><code>" + esc(t->spec.name) + "</code></td><td>" + esc(t->spec.summary) + "</td><td>" +
                esc(t->spec.title) + "</td></tr>";
    return html + "</table>";
}

QString cliReference()
{
    QString html;
    QStringList done;  // dialogs that share one command list it once
    for (const Tool *t : ToolRegistry::tools()) {
        if (done.contains(t->spec.name))
            continue;
        done << t->spec.name;
        html += "<h2>verdanta-cli " + esc(t->spec.name) + "</h2>\n";
        html += "<pre>Usage: " + esc(ToolChecks::usage(*t).trimmed()) + "</pre>\n";
    }
    return html;
}

QString actionMarker(const Form &form, const QString &action)
{
    const auto it = form.actions.constFind(action);
    if (it == form.actions.cend())
        fail("the chapters name the action " + action + ", which the main window does not have");
    const QString place = esc(it->path.isEmpty() ? it->text : it->path + " > " + it->text);
    if (const Tool *t = toolOfAction(action))
        return QString("<b>%1</b> (%2; <code>verdanta-cli %3</code>)").arg(esc(it->text), place, esc(t->spec.name));
    return QString("<b>%1</b> (%2) <i>[arrives in a later release]</i>").arg(esc(it->text), place);
}

QString expand(QString html, const Form &form)
{
    html.replace("{{tool-reference}}", toolReference(form));
    html.replace("{{pending-tools}}", pendingTools(form));
    html.replace("{{cli-tools}}", cliTools());
    html.replace("{{cli-reference}}", cliReference());
    html.replace("{{version}}", VERDANTA_VERSION);
    static const QRegularExpression marker("\\{\\{action:([A-Za-z0-9_]+)\\}\\}");
    for (auto m = marker.match(html); m.hasMatch(); m = marker.match(html))
        html.replace(m.capturedStart(), m.capturedLength(), actionMarker(form, m.captured(1)));
    if (html.contains("{{"))
        fail("an unknown marker is left: " + html.mid(html.indexOf("{{"), 40));
    return html;
}

// ---- the document -------------------------------------------------------------------------

struct Heading {
    int level;
    QString text;
};

QString readChapter(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly | QIODevice::Text))
        fail("cannot read " + path);
    QString html = QString::fromUtf8(f.readAll());
    // Only the body of a full page counts.
    const int body = html.indexOf("<body", 0, Qt::CaseInsensitive);
    if (body >= 0) {
        html = html.mid(html.indexOf('>', body) + 1);
        const int end = html.indexOf("</body>", 0, Qt::CaseInsensitive);
        if (end >= 0)
            html.truncate(end);
    }
    return html;
}

QString styleSheet(const QString &sans, const QString &mono)
{
    return QString(
               "body { font-family: '%1'; font-size: 10pt; }"
               "h1 { font-size: 20pt; color: #1d4d2b; margin-top: 0px; margin-bottom: 12px; }"
               "h2 { font-size: 14pt; color: #1d4d2b; margin-top: 18px; margin-bottom: 6px; }"
               "h3 { font-size: 11pt; margin-top: 12px; margin-bottom: 4px; }"
               "p, li { margin-top: 3px; margin-bottom: 3px; }"
               "code, pre, kbd { font-family: '%2'; }"
               "pre { font-size: 8.5pt; white-space: pre-wrap; background-color: #f2f4f2; margin-top: 4px;"
               " margin-bottom: 8px; }"
               "table.params { border-collapse: collapse; margin-top: 6px; margin-bottom: 8px; }"
               "table.params td, table.params th { border: 1px solid #9aa89d; font-size: 8.5pt; }"
               "table.params th { background-color: #dfe8e0; }"
               "table.facts { margin-bottom: 6px; }"
               "td.key { font-weight: bold; color: #1d4d2b; padding-right: 10px; }"
               ".toc1 { font-weight: bold; }"
               ".small { font-size: 8.5pt; color: #555555; }")
        .arg(sans, mono);
}

QString pickFamily(const QStringList &wanted, QFontDatabase::SystemFont fallback)
{
    const QStringList known = QFontDatabase().families();
    for (const QString &f : wanted)
        if (known.contains(f, Qt::CaseInsensitive))
            return f;
    return QFontDatabase::systemFont(fallback).family();
}

// The title page and the table of contents; `pages` holds the page of
// each heading, or nothing on the first pass.
QString frontMatter(const QVector<Heading> &headings, const QVector<int> &pages)
{
    QString html =
        "<p align=\"center\" style=\"font-size: 30pt; font-weight: bold; color: #1d4d2b; margin-top: 120px;\">"
        "Verdanta</p>"
        "<p align=\"center\" style=\"font-size: 16pt; margin-top: 6px;\">User Guide</p>"
        "<p align=\"center\" class=\"small\" style=\"margin-bottom: 60px;\">Version " VERDANTA_VERSION
        " &#8212; airborne LiDAR processing for forestry</p>"
        "<p style=\"font-size: 16pt; font-weight: bold; color: #1d4d2b; margin-bottom: 8px;\">Contents</p>"
        "<table width=\"100%\" cellspacing=\"0\" cellpadding=\"1\">";
    for (int i = 0; i < headings.size(); ++i) {
        const Heading &h = headings[i];
        const QString page = i < pages.size() ? QString::number(pages[i]) : QString("00");
        if (h.level == 1)
            html += QString("<tr><td class=\"toc1\" style=\"padding-top: 6px;\">%1</td>"
                            "<td class=\"toc1\" align=\"right\" style=\"padding-top: 6px;\">%2</td></tr>")
                        .arg(esc(h.text), page);
        else
            html += QString("<tr><td style=\"padding-left: 18px;\">%1</td><td align=\"right\">%2</td></tr>")
                        .arg(esc(h.text), page);
    }
    return html + "</table>";
}

// The chapters' headings (the front matter has none) and their pages.
QVector<Heading> headingsOf(const QTextDocument &doc, QVector<int> *pages, double pageHeight)
{
    QVector<Heading> list;
    for (QTextBlock b = doc.begin(); b.isValid(); b = b.next()) {
        const int level = b.blockFormat().headingLevel();
        if (level < 1 || level > 2)
            continue;
        list << Heading{level, b.text().simplified()};
        if (pages) {
            // The middle of the heading: its top edge can lie a rounding
            // error above the page it starts.
            const QRectF r = doc.documentLayout()->blockBoundingRect(b);
            *pages << int((r.top() + r.height() / 2) / pageHeight) + 1;
        }
    }
    return list;
}

// The index, among the section headings (h2, h3), of the first one left at
// the foot of a page with no room for what follows it; -1 when none is.
int firstStrandedHeading(const QTextDocument &doc, double pageHeight)
{
    const double room = 70;  // a heading and about three lines of text
    int index = -1;
    for (QTextBlock b = doc.begin(); b.isValid(); b = b.next()) {
        const QTextBlockFormat format = b.blockFormat();
        if (format.headingLevel() < 2 || format.headingLevel() > 3)
            continue;
        ++index;
        if (format.pageBreakPolicy() & QTextFormat::PageBreak_AlwaysBefore)
            continue;
        const QRectF r = doc.documentLayout()->blockBoundingRect(b);
        const double pageEnd = (std::floor(r.top() / pageHeight) + 1) * pageHeight;
        double needed = r.bottom() + room;
        // A small table right under the heading (a tool's facts) goes with it.
        if (const QTextTable *table = QTextCursor(b.next()).currentTable()) {
            const QRectF t = doc.documentLayout()->frameBoundingRect(const_cast<QTextTable *>(table));
            if (t.height() < pageHeight / 3)
                needed = std::max(needed, t.bottom());
        }
        if (needed > pageEnd)
            return index;
    }
    return -1;
}

// The body with a page break before the section headings of `breaks`.
QString withBreaks(const QString &body, const QSet<int> &breaks)
{
    static const QRegularExpression heading("<h[23](?=[\\s>])", QRegularExpression::CaseInsensitiveOption);
    QString html;
    int last = 0, index = 0;
    for (auto it = heading.globalMatch(body); it.hasNext(); ++index) {
        const auto m = it.next();
        html += body.mid(last, m.capturedEnd() - last);
        if (breaks.contains(index))
            html += " style=\"page-break-before: always;\"";
        last = m.capturedEnd();
    }
    return html + body.mid(last);
}

}  // namespace

int main(int argc, char **argv)
{
    // Lengths in the chapters are screen pixels at 96 per inch, whatever the display.
    QCoreApplication::setAttribute(Qt::AA_Use96Dpi);
    QGuiApplication app(argc, argv);
    QString chapters, formPath, output, htmlOut;
    const QStringList args = app.arguments().mid(1);
    for (int i = 0; i < args.size(); ++i) {
        const QString a = args[i];
        const QString value = i + 1 < args.size() ? args[i + 1] : QString();
        if (a == "--chapters")
            chapters = value;
        else if (a == "--form")
            formPath = value;
        else if (a == "-o")
            output = value;
        else if (a == "--html")
            htmlOut = value;
        else
            fail("unknown argument " + a +
                 "\nusage: verdanta-guide --chapters DIR --form MainWindow.ui -o UserGuide.pdf [--html FILE]");
        ++i;
    }
    if (chapters.isEmpty() || formPath.isEmpty() || output.isEmpty())
        fail("usage: verdanta-guide --chapters DIR --form MainWindow.ui -o UserGuide.pdf [--html FILE]");

    const Form form = readForm(formPath);
    const QFileInfoList files = QDir(chapters).entryInfoList({"*.html"}, QDir::Files, QDir::Name);
    if (files.isEmpty())
        fail("no chapters in " + chapters);
    QString body;
    for (const QFileInfo &f : files) {
        QString chapter = expand(readChapter(f.filePath()), form);
        // Every chapter starts on a new page.
        const int h1 = chapter.indexOf("<h1", 0, Qt::CaseInsensitive);
        if (h1 < 0)
            fail(f.fileName() + " does not open with <h1>");
        chapter.insert(h1 + 3, " style=\"page-break-before: always;\"");
        body += chapter + "\n";
    }

    QPdfWriter writer(output);
    writer.setTitle("Verdanta User Guide");
    writer.setCreator("verdanta-guide");
    writer.setPageSize(QPageSize(QPageSize::A4));
    writer.setPageMargins(QMarginsF(20, 18, 20, 12), QPageLayout::Millimeter);
    writer.setResolution(1200);
    // The document is laid out at 96 units per inch with unhinted metrics
    // and scaled onto the PDF, so what the layout measures is what is drawn.
    const double scale = writer.resolution() / 96.0;
    const double footer = 28;  // room for the page number, in layout units
    // Whole units: the layout's fixed-point positions then meet the page
    // edges exactly, and nothing is drawn a hair above its page.
    const QSizeF page(std::floor(writer.width() / scale), std::floor(writer.height() / scale - footer));

    const QString sans = pickFamily({"DejaVu Sans", "Segoe UI", "Arial"}, QFontDatabase::GeneralFont);
    const QString mono = pickFamily({"DejaVu Sans Mono", "Consolas", "Courier New"}, QFontDatabase::FixedFont);
    QTextDocument doc;
    doc.setUseDesignMetrics(true);
    // A letter spacing the eye cannot see keeps ligatures out, so that "fi"
    // stays two letters for searching and copying.
    QFont base(sans, 10);
    base.setLetterSpacing(QFont::AbsoluteSpacing, 0.02);
    doc.setDefaultFont(base);
    doc.setDefaultStyleSheet(styleSheet(sans, mono));
    doc.setDocumentMargin(0);
    doc.setPageSize(page);

    // The contents list has as many lines on every pass; its page numbers
    // settle after a pass or two.
    QVector<Heading> headings;
    QVector<int> pages;
    QSet<int> breaks;  // section headings moved to the next page
    for (int pass = 0; pass < 4; ++pass) {
        for (;;) {
            doc.setHtml("<html><body>" + frontMatter(headings, pages) + withBreaks(body, breaks) + "</body></html>");
            const int stranded = firstStrandedHeading(doc, page.height());
            if (stranded < 0 || breaks.contains(stranded))
                break;
            breaks.insert(stranded);
        }
        QVector<int> found;
        const QVector<Heading> now = headingsOf(doc, &found, page.height());
        const bool stable = pass > 0 && now.size() == headings.size() && found == pages;
        headings = now;
        pages = found;
        if (stable)
            break;
        if (pass == 3)
            fail("the page numbers of the contents do not settle");
    }
    if (!htmlOut.isEmpty()) {
        QFile f(htmlOut);
        if (f.open(QIODevice::WriteOnly | QIODevice::Text))
            f.write(doc.toHtml("utf-8").toUtf8());
    }

    QPainter painter;
    if (!painter.begin(&writer))
        fail("cannot write " + output);
    const int count = doc.pageCount();
    QFont numberFont(sans);
    numberFont.setPointSizeF(8.5);
    for (int i = 0; i < count; ++i) {
        if (i > 0)
            writer.newPage();
        painter.save();
        painter.scale(scale, scale);
        painter.translate(0, -i * page.height());
        // The clip stops half a unit short of the next page, so that a block
        // starting exactly there is not also written, clipped but still
        // searchable, at the foot of this page.
        doc.drawContents(&painter, QRectF(0, i * page.height(), page.width(), page.height() - 0.5));
        painter.restore();
        if (i > 0) {
            painter.setFont(numberFont);
            painter.setPen(QColor(0x55, 0x55, 0x55));
            painter.drawText(QRectF(0, page.height() * scale, writer.width(), footer * scale), Qt::AlignCenter,
                             QString::number(i + 1));
        }
    }
    painter.end();
    std::printf("Wrote %s (%d pages)\n", QFile::encodeName(output).constData(), count);
    return 0;
}
