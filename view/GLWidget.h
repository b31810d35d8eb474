#pragma once
// The central OpenGL view. It reads the scene on every repaint and never
// owns data; navigation, picking and legends come with the drawing routines.

#include <QGLWidget>

class GLWidget : public QGLWidget {
    Q_OBJECT
public:
    explicit GLWidget(QWidget *parent = nullptr);

protected:
    void initializeGL() override;
    void resizeGL(int width, int height) override;
    void paintGL() override;
};
