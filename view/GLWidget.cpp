#include "GLWidget.h"

#include "BitmapFont.h"
#include "ScenceControl.h"

#include <GL/glu.h>

#include <QCursor>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPixmap>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>

namespace {
constexpr int kLeft = 1, kRight = 2, kMiddle = 4;

int buttonCode(Qt::MouseButton b)
{
    switch (b) {
    case Qt::LeftButton: return kLeft;
    case Qt::RightButton: return kRight;
    case Qt::MiddleButton: return kMiddle;
    default: return 0;
    }
}

QCursor toolCursor(const char *image)
{
    const QPixmap pixmap(image);
    return QCursor(pixmap, pixmap.width() / 2, pixmap.height() / 2);
}
}  // namespace

// The pictures (icons, cursors) are compiled into this static library.
static void initResources() { Q_INIT_RESOURCE(verdanta); }

GLWidget::GLWidget(ScenceControl *scene, QWidget *parent)
    : QGLWidget(QGLFormat(QGL::DoubleBuffer | QGL::DepthBuffer), parent), scene_(scene)
{
    initResources();
    setMinimumSize(200, 150);
    setAutoFillBackground(false);
    setFocusPolicy(Qt::WheelFocus);
    setMouseTracking(true);
    legendHeightColours = {QColor(255, 0, 0),   QColor(210, 105, 30), QColor(255, 255, 0), QColor(0, 128, 0),
                           QColor(0, 255, 0),   QColor(30, 144, 255), QColor(0, 0, 255),   QColor(75, 0, 130),
                           QColor(199, 21, 133), QColor(25, 25, 112)};
    classNames = QStringList{"Default", "Ground", "Low Vegetation", "Medium Vegetation", "High Vegetation", "Building",
                  "Low Point(noise)", "Model Key-point(mass point)", "Water", "Overlap", "Other"};
    if (scene_) {
        connect(scene_, &ScenceControl::isScaleRateChanged, this, &GLWidget::ChangedScaleRate);
        connect(scene_, &ScenceControl::isUpdate, this, &GLWidget::ChangedRMUpdate);
        connect(scene_, &ScenceControl::isChangedIntensity, this, &GLWidget::ChangedIntennsity);
    }
}

void GLWidget::setLabels(QLabel *hint, QLabel *coordinate)
{
    hintLabel = hint;
    coordinateLabel = coordinate;
}

void GLWidget::setHeightLegend(float high, float low, double maxZ, double minZ)
{
    legendHeightHigh = high;
    legendHeightLow = low;
    legendMaxZ = maxZ;
    legendMinZ = minZ;
}

void GLWidget::setLegendVisible(bool visible)
{
    legendShown = visible;
    update();
}

void GLWidget::setEyeDistance(int d)
{
    zTrans = d * 0.01 - 10;
    emit EyeDisChanged(d);
    update();
}

void GLWidget::ChangedScaleRate(float s) { scale = s; }
void GLWidget::ChangedRMUpdate() { updateGL(); }

void GLWidget::ChangedIntennsity()
{
    legendIntensityMax = scene_->intensityMax;
    legendIntensityMin = scene_->intensityMin;
    legendIntensityHigh = scene_->intensityHigh;
    legendIntensityLow = scene_->intensityLow;
    update();
}

void GLWidget::selectZoomIn()
{
    zoomInTool = true;
    zoomOutTool = panTool = navigationOff = false;
}

void GLWidget::selectZoomOut()
{
    zoomOutTool = true;
    zoomInTool = panTool = navigationOff = false;
}

void GLWidget::selectPan()
{
    panTool = true;
    zoomInTool = zoomOutTool = navigationOff = false;
}

void GLWidget::selectNone()
{
    zoomInTool = zoomOutTool = panTool = navigationOff = false;
    setCursor(Qt::ArrowCursor);
}

void GLWidget::fullExtent()
{
    navigationOff = true;  // the active tool, if any, stays selected
    ResetView();
}

void GLWidget::ResetView()
{
    if (isValid()) {
        makeCurrent();
        glViewport(0, 0, width(), height());
        glMatrixMode(GL_PROJECTION);
        glLoadIdentity();
        gluPerspective(45.0, height() > 0 ? double(width()) / height() : 1.0, 1.0, 10000.0);
        glMatrixMode(GL_MODELVIEW);
    }
    xRot = yRot = zRot = 0;
    xTrans = yTrans = 0;
    zTrans = -1500;
    update();
}

double GLWidget::clampEye(double z) { return std::min(kNearest, std::max(kFarthest, z)); }

// ---- GL -----------------------------------------------------------------------

void GLWidget::initializeGL()
{
    if (initialised)
        return;
    initialised = true;
    glShadeModel(GL_SMOOTH);
    glClearColor(0.0f, 0.0f, 0.0f, 0.8f);
    glClearDepth(1.0);
    glEnable(GL_DEPTH_TEST);
    glDepthFunc(GL_LEQUAL);
    glHint(GL_PERSPECTIVE_CORRECTION_HINT, GL_NICEST);
    const GLfloat ambient[] = {0.5f, 0.5f, 0.5f, 1.0f}, diffuse[] = {1, 1, 1, 1}, position[] = {0, 0, 2, 1};
    glLightfv(GL_LIGHT1, GL_AMBIENT, ambient);
    glLightfv(GL_LIGHT1, GL_DIFFUSE, diffuse);
    glLightfv(GL_LIGHT1, GL_POSITION, position);
    glEnable(GL_LIGHT1);
    viewWidth = width();
    viewHeight = height();
}

void GLWidget::resizeGL(int w, int h)
{
    glViewport(0, 0, w, h);
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    gluPerspective(45.0, h > 0 ? double(w) / h : 1.0, 1.0, 10000.0);
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
    viewWidth = w;
    viewHeight = h;
}

void GLWidget::applyTransform(bool cloud)
{
    glLoadIdentity();
    glTranslated(xTrans, yTrans, zTrans);
    if (cloud)
        glRotated(xRot, 1, 0, 0);
    glRotated(yRot, 0, 1, 0);
    glRotated(zRot, 0, 0, 1);
    glScalef(scale, scale, scale);
}

void GLWidget::paintGL()
{
    makeCurrent();
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    if (!scene_)
        return;
    const int kind = scene_->sceneKind;
    const bool cloud = kind == LasCloud;
    glMatrixMode(GL_MODELVIEW);
    glPushMatrix();
    if (cloud)
        glEnable(GL_DEPTH_TEST);
    applyTransform(cloud);
    switch (kind) {
    case LasCloud: scene_->DrawPointCloud(scene_->colorMode); break;
    case Vector: scene_->DrawShape(); break;
    case Raster: scene_->DrawRaster(scene_->rasterStyle); break;
    case Table: scene_->DrawTablePoints(scene_->tablePoints); break;
    case Overlap: scene_->DrawOverlap(); break;
    default: break;
    }
    glPopMatrix();
    pick();
    drawGizmo(cloud);

    glViewport(0, 0, viewWidth, viewHeight);
    glMatrixMode(GL_PROJECTION);
    glPushMatrix();
    glLoadIdentity();
    gluOrtho2D(0, viewWidth, 0, viewHeight);
    glMatrixMode(GL_MODELVIEW);
    glPushMatrix();
    glLoadIdentity();
    drawLegend();
    glPopMatrix();
    glMatrixMode(GL_PROJECTION);
    glPopMatrix();
    glMatrixMode(GL_MODELVIEW);
    glFlush();
}

void GLWidget::pick()
{
    const int kind = scene_->sceneKind;
    const bool hasData = (kind == LasCloud && scene_->lasReader) || (kind == Vector && scene_->shapeReader) ||
                         (kind == Raster && scene_->rasterReader) || kind == Table || kind == Overlap;
    picked = false;
    if (!hasData)
        return;
    glPushMatrix();
    applyTransform(kind == LasCloud);
    GLint *viewport = pickViewport;
    GLdouble *model = pickModel, *projection = pickProjection;
    glGetIntegerv(GL_VIEWPORT, viewport);
    glGetDoublev(GL_MODELVIEW_MATRIX, model);
    glGetDoublev(GL_PROJECTION_MATRIX, projection);
    glPopMatrix();
    const float winX = pointerX, winY = static_cast<float>(viewport[3] - pointerY);
    GLfloat depth = 1.0f;
    glReadPixels(static_cast<GLint>(winX), static_cast<GLint>(winY), 1, 1, GL_DEPTH_COMPONENT, GL_FLOAT, &depth);
    if (gluUnProject(winX, winY, depth, model, projection, viewport, &pickedX, &pickedY, &pickedZ) != GL_TRUE)
        return;
    picked = true;
    auto f = [](double v) { return QString::number(v, 'f', 4); };
    switch (kind) {
    case LasCloud: {
        const double x = pickedX + scene_->centerX, y = pickedY + scene_->centerY;
        double z = pickedZ + scene_->centerZ;
        // Below the lowest displayed point the pointer is over the
        // background. The points' own minimum: a header's Z bounds may miss
        // part of the points.
        if (z < scene_->minZd - 1e-6 * std::max(1.0, std::abs(scene_->minZd)))
            z = 0;
        coordinateText = QString("X:%1Y:%2Z:%3").arg(f(x), f(y), f(z));
        break;
    }
    case Vector:
        coordinateText = QString("X:%1Y:%2").arg(f(pickedX + scene_->shapeCenterX), f(pickedY + scene_->shapeCenterY));
        break;
    case Raster:
        coordinateText = QString("X:%1,Y:%2").arg(f(pickedX + scene_->rasterCenterX), f(pickedY + scene_->rasterCenterY));
        break;
    case Table:
        coordinateText = QString("X:%1,Y:%2").arg(f(pickedX + scene_->tableCenterX), f(pickedY + scene_->tableCenterY));
        break;
    default:
        coordinateText = QString("X:%1Y:%2").arg(f(pickedX + scene_->tableCenterX), f(pickedY + scene_->tableCenterY));
        break;
    }
    if (coordinateLabel)
        coordinateLabel->setText(coordinateText);
}

void GLWidget::drawGizmo(bool cloud)
{
    glDisable(GL_TEXTURE_2D);
    glViewport(static_cast<int>(0.8 * viewWidth), static_cast<int>(0.75 * viewHeight),
               static_cast<int>(0.2 * viewWidth), static_cast<int>(0.2 * viewHeight));
    glPushMatrix();
    glLoadIdentity();
    glTranslated(0, 0, -1000);
    if (cloud)
        glRotated(xRot, 1, 0, 0);
    glRotated(yRot, 0, 1, 0);
    glRotated(zRot, 0, 0, 1);
    glLineWidth(1.5f);
    glColor3ub(255, 0, 0);
    glBegin(GL_LINES);
    glVertex2f(0, 0);
    glVertex2f(300, 0);
    glEnd();
    glBegin(GL_LINE_STRIP);
    glVertex2f(255, 30);
    glVertex2f(300, 0);
    glVertex2f(255, -30);
    glEnd();
    glRasterPos2f(305, 0);
    BitmapFont::draw("X");
    glColor3ub(0, 255, 0);
    glBegin(GL_LINES);
    glVertex2f(0, 0);
    glVertex2f(0, 300);
    glEnd();
    glBegin(GL_LINE_STRIP);
    glVertex2f(-30, 255);
    glVertex2f(0, 300);
    glVertex2f(30, 255);
    glEnd();
    glColor3ub(0, 250, 0);
    glRasterPos2f(0, 305);
    BitmapFont::draw("Y");
    if (cloud) {
        glDisable(GL_DEPTH_TEST);
        glColor3ub(0, 0, 255);
        glBegin(GL_LINES);
        glVertex3f(0, 0, 0);
        glVertex3f(0, 0, 300);
        glEnd();
        glBegin(GL_LINE_STRIP);
        glVertex3f(-30, 0, 255);
        glVertex3f(0, 0, 300);
        glVertex3f(30, 0, 255);
        glEnd();
        glRasterPos3f(0, 0, 305);
        BitmapFont::draw("Z");
    }
    glLineWidth(1.0f);
    glPopMatrix();
}

void GLWidget::drawLegend()
{
    if (!legendShown || scene_->sceneKind != LasCloud || scene_->colorMode < 0 || scene_->colorMode > 4)
        return;
    glDisable(GL_DEPTH_TEST);
    auto swatch = [](int k, const QColor &c) {
        glColor3ub(c.red(), c.green(), c.blue());
        glRectf(10, 10 + 20 * k, 30, 30 + 20 * k);
    };
    auto label = [](float y, const QString &text) {
        glColor3ub(255, 0, 0);
        glRasterPos2f(45, y);
        BitmapFont::draw(text);
    };
    auto tick = [](float y) {
        glColor3ub(255, 0, 0);
        glBegin(GL_LINES);
        glVertex2f(30, y);
        glVertex2f(40, y);
        glEnd();
    };
    auto bands = [&](float low, float high, double first, double last, bool grey) {
        const float step = (high - low) * 0.1f;
        for (int k = 0; k < 10; ++k) {
            if (grey) {
                const int g = static_cast<int>(std::floor(k * step * 255 / (high - low)));
                swatch(k, QColor(g, g, g));
            } else {
                swatch(k, legendHeightColours[k]);
            }
        }
        for (int k = 0; k <= 10; ++k) {
            tick(10 + 20 * k);
            const double v = k == 0 ? first : k == 10 ? last : low + k * step;
            label(5 + 20 * k, QString::number(v, 'f', 2));
        }
    };
    switch (scene_->colorMode) {
    case Height:
        if (legendHeightHigh >= -20000 && legendHeightLow >= -20000)
            bands(legendHeightLow, legendHeightHigh, legendMinZ, legendMaxZ, false);
        break;
    case Intensity:
        if (legendIntensityMax >= -20000 && legendIntensityMin >= -20000 && legendIntensityMax != 0 &&
            legendIntensityMax != legendIntensityMin)
            bands(legendIntensityLow, legendIntensityHigh, legendIntensityMin, legendIntensityMax, true);
        break;
    case Return:
        for (int k = 0; k < 4; ++k) {
            const auto &c = scene_->rampColors[10 + k];
            swatch(k, QColor(int(c[0]), int(c[1]), int(c[2])));
            tick(20 + 20 * k);
            label(15 + 20 * k, QString("Return Num%1").arg(k + 1));
        }
        break;
    case Class:
        for (int k = 0; k <= 10; ++k) {
            const auto &c = scene_->classColors[k + 1];
            swatch(k, QColor(int(c[0]), int(c[1]), int(c[2])));
            tick(20 + 20 * k);
            label(15 + 20 * k, classNames[k]);
        }
        break;
    default:
        break;
    }
}

// ---- navigation -------------------------------------------------------------------

void GLWidget::mousePressEvent(QMouseEvent *event)
{
    pressX = event->x();
    pressY = event->y();
    pressButton = buttonCode(event->button());
    if (zoomInTool || zoomOutTool)
        return;
    if (panTool) {
        if (pressButton == kLeft) {
            savedFirst = xTrans;
            savedSecond = yTrans;
        }
        return;
    }
    switch (pressButton) {
    case kLeft: savedFirst = zRot; savedSecond = xRot; break;
    case kRight: savedFirst = xTrans; savedSecond = yTrans; break;
    case kMiddle: savedFirst = yRot; savedSecond = zTrans; break;
    default: break;
    }
}

// The camera after a drag of (dx, dy) with a button, from the press values.
void GLWidget::drag(int button, int dx, int dy)
{
    const double W = std::max(1, width()), H = std::max(1, height());
    if (panTool) {
        if (button == kLeft) {
            xTrans = savedFirst - dx / W * 1500;
            yTrans = savedSecond + dy / H * 1500;
        }
        return;
    }
    switch (button) {
    case kLeft:
        zRot = savedFirst - dx / W * 100;
        xRot = savedSecond - dy / H * 100;
        break;
    case kMiddle:
        yRot = savedFirst - dx / W * 100;
        zTrans = savedSecond - dy / H * 100;
        break;
    case kRight:
        xTrans = savedFirst - dx / W * 1000;
        yTrans = savedSecond + dy / H * 1000;
        break;
    default:
        break;
    }
}

void GLWidget::mouseReleaseEvent(QMouseEvent *event)
{
    const int dx = pressX - event->x(), dy = pressY - event->y();
    const bool moved = dx != 0 || dy != 0;
    // A ZoomIn click brings the data closer, as a wheel notch forward does.
    if (zoomInTool)
        zTrans = clampEye(zTrans + 120);
    else if (zoomOutTool)
        zTrans = clampEye(zTrans - 120);
    else if (moved)
        drag(buttonCode(event->button()), dx, dy);
    update();
}

void GLWidget::mouseMoveEvent(QMouseEvent *event)
{
    pointerX = static_cast<float>(event->x());
    pointerY = event->y();
    const bool inside = rect().contains(event->pos());
    if (zoomInTool || zoomOutTool || panTool) {
        if (inside && !navigationOff) {
            const char *image = zoomInTool ? ":/res/ZoomInTool.png" : zoomOutTool ? ":/res/ZoomOutTool.png" : ":/res/PanTool.png";
            setCursor(toolCursor(image));
            if (hintLabel)
                hintLabel->setText(zoomInTool ? "ZoomIn" : zoomOutTool ? "ZoomOut" : "Pan");
        }
    } else if (!navigationOff) {
        setCursor(toolCursor(":/res/move.png"));
        if (hintLabel)
            hintLabel->setText("Left Button: Rotate; Right Button: Pan; Middle Wheel: Zoom;");
        const Qt::MouseButtons held = event->buttons();
        const int count = (held & Qt::LeftButton ? 1 : 0) + (held & Qt::RightButton ? 1 : 0) +
                          (held & Qt::MiddleButton ? 1 : 0);
        if (count == 1) {
            const int button = held & Qt::LeftButton ? kLeft : held & Qt::RightButton ? kRight : kMiddle;
            drag(button, pressX - event->x(), pressY - event->y());
        }
    }
    update();
}

void GLWidget::wheelEvent(QWheelEvent *event)
{
    const int delta = event->angleDelta().y();
    if (delta == 0)
        return;
    zTrans = clampEye(zTrans + delta * 0.5);
    update();
}

void GLWidget::keyPressEvent(QKeyEvent *event)
{
    switch (event->key()) {
    case Qt::Key_Left: xTrans -= 1; break;
    case Qt::Key_Right: xTrans += 1; break;
    case Qt::Key_Up: yTrans += 1; break;
    case Qt::Key_Down: yTrans -= 1; break;
    case Qt::Key_W:
        makeCurrent();
        glPolygonMode(GL_FRONT_AND_BACK, GL_LINE);
        break;
    case Qt::Key_S:
        makeCurrent();
        glPolygonMode(GL_FRONT_AND_BACK, GL_FILL);
        break;
    case Qt::Key_Escape:
        close();
        return;
    default:
        QGLWidget::keyPressEvent(event);
        return;
    }
    update();
}
