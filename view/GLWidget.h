#pragma once
// The central OpenGL view. It reads the scene on every repaint and never
// owns data; the main window hands it the scene and the legend values.

#include <QGLWidget>

class ScenceControl;

class GLWidget : public QGLWidget {
    Q_OBJECT
public:
    explicit GLWidget(ScenceControl *scene, QWidget *parent = nullptr);

    ScenceControl *scene() const { return scene_; }

    // The height legend: the 95 % and 5 % percentiles and the extremes.
    void setHeightLegend(float high, float low, double maxZ, double minZ);
    float legendHigh() const { return legendHigh_; }
    float legendLow() const { return legendLow_; }
    double legendMaxZ() const { return legendMaxZ_; }
    double legendMinZ() const { return legendMinZ_; }
    void setLegendVisible(bool visible);
    bool legendVisible() const { return legendVisible_; }

    // Returns the camera to the whole dataset.
    void fullExtent();

protected:
    void initializeGL() override;
    void resizeGL(int width, int height) override;
    void paintGL() override;

private:
    ScenceControl *scene_;
    float legendHigh_ = 0, legendLow_ = 0;
    double legendMaxZ_ = 0, legendMinZ_ = 0;
    bool legendVisible_ = false;
};
