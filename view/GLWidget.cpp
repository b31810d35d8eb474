#include "GLWidget.h"

#include "ScenceControl.h"

GLWidget::GLWidget(ScenceControl *scene, QWidget *parent)
    : QGLWidget(QGLFormat(QGL::DoubleBuffer | QGL::DepthBuffer), parent), scene_(scene)
{
    setMinimumSize(200, 150);
    if (scene_)
        connect(scene_, &ScenceControl::isUpdate, this, [this] { update(); });
}

void GLWidget::setHeightLegend(float high, float low, double maxZ, double minZ)
{
    legendHigh_ = high;
    legendLow_ = low;
    legendMaxZ_ = maxZ;
    legendMinZ_ = minZ;
}

void GLWidget::setLegendVisible(bool visible)
{
    legendVisible_ = visible;
    update();
}

void GLWidget::fullExtent() { update(); }

void GLWidget::initializeGL()
{
    glClearColor(0.0f, 0.0f, 0.0f, 1.0f);
    glEnable(GL_DEPTH_TEST);
}

void GLWidget::resizeGL(int width, int height) { glViewport(0, 0, width, height); }

void GLWidget::paintGL() { glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT); }
