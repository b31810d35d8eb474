#include "BitmapFont.h"

#include <QFontDatabase>
#include <QFontMetrics>
#include <QGLContext>
#include <QGLWidget>
#include <QHash>
#include <QImage>
#include <QPainter>

#include <vector>

namespace BitmapFont {

namespace {

QFont glyphFont()
{
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setPixelSize(12);
    font.setStyleStrategy(QFont::NoAntialias);
    return font;
}

// One glyph as a bottom-up, MSB-first bitmap for glBitmap.
void compileGlyph(unsigned int list, QChar ch, const QFontMetrics &m)
{
    const int advance = m.horizontalAdvance(ch);
    const int width = qMax(1, advance), height = m.height();
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(Qt::black);
    if (ch.unicode() >= 32) {
        QPainter painter(&image);
        painter.setFont(glyphFont());
        painter.setPen(Qt::white);
        painter.drawText(0, m.ascent(), QString(ch));
    }
    const int stride = (width + 7) / 8;
    std::vector<GLubyte> bits(static_cast<size_t>(stride) * height, 0);
    for (int y = 0; y < height; ++y) {
        const QRgb *line = reinterpret_cast<const QRgb *>(image.constScanLine(height - 1 - y));
        for (int x = 0; x < width; ++x)
            if (qGray(line[x]) > 127)
                bits[static_cast<size_t>(y) * stride + x / 8] |= static_cast<GLubyte>(0x80 >> (x % 8));
    }
    glNewList(list, GL_COMPILE);
    glBitmap(width, height, 0.0f, static_cast<GLfloat>(m.descent()), static_cast<GLfloat>(advance), 0.0f,
             bits.data());
    glEndList();
}

}  // namespace

unsigned int listBase()
{
    // Display lists belong to a context: one set per context.
    static QHash<const QGLContext *, unsigned int> bases;
    const QGLContext *context = QGLContext::currentContext();
    auto it = bases.find(context);
    if (it != bases.end() && glIsList(it.value()))
        return it.value();
    const GLuint base = glGenLists(128);
    GLint alignment = 4;
    glGetIntegerv(GL_UNPACK_ALIGNMENT, &alignment);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    const QFontMetrics metrics(glyphFont());
    for (int c = 0; c < 128; ++c)
        compileGlyph(base + c, QChar(c), metrics);
    glPixelStorei(GL_UNPACK_ALIGNMENT, alignment);
    bases.insert(context, base);
    return base;
}

void draw(const QString &text)
{
    const GLuint base = listBase();
    for (QChar ch : text) {
        const ushort code = ch.unicode();
        if (code < 128)
            glCallList(base + code);
    }
}

int lineHeight() { return QFontMetrics(glyphFont()).height(); }

}  // namespace BitmapFont
