#pragma once
// The central OpenGL view. It shows the scene's one dataset, in 3-D for
// clouds and top-down for shapes, rasters and tables; it rotates, pans and
// zooms by mouse, wheel and keys, reads back the coordinate under the
// pointer, and draws an axis gizmo and a colour legend. It owns no data.

#include <QColor>
#include <QGLWidget>
#include <QStringList>

#include <array>

class QLabel;
class ScenceControl;

class GLWidget : public QGLWidget {
    Q_OBJECT
public:
    explicit GLWidget(ScenceControl *scene, QWidget *parent = nullptr);

    ScenceControl *scene() const { return scene_; }
    void setLabels(QLabel *hint, QLabel *coordinate);

    // The height legend: the 95 % and 5 % percentiles and the extremes.
    void setHeightLegend(float high, float low, double maxZ, double minZ);
    void setLegendVisible(bool visible);
    bool legendVisible() const { return legendShown; }

    // The navigation tools of the toolbar.
    void selectZoomIn();
    void selectZoomOut();
    void selectPan();
    void selectNone();
    // Full extent: navigation off, the active tool kept, the home position.
    void fullExtent();
    // The home position: no rotation or translation, eye distance 1500.
    void ResetView();

    // Camera and pick state, for the main window and tests.
    double xRot = 0, yRot = 0, zRot = 0;
    double xTrans = 0, yTrans = 0, zTrans = -1500;
    float scale = 1.0f;
    bool zoomInTool = false, zoomOutTool = false, panTool = false;
    bool navigationOff = false;
    double pickedX = 0, pickedY = 0, pickedZ = 0;
    bool picked = false;
    QString coordinateText;  // the last read-out
    // The transform of the last picking pass (that of the drawing).
    int pickViewport[4] = {0, 0, 0, 0};
    double pickModel[16] = {}, pickProjection[16] = {};

    float legendHeightHigh = 20000, legendHeightLow = -20000;
    double legendMaxZ = 0, legendMinZ = 0;
    float legendIntensityMax = 0, legendIntensityMin = 0, legendIntensityHigh = 0, legendIntensityLow = 0;
    std::array<QColor, 10> legendHeightColours;
    QStringList classNames;

    static constexpr double kNearest = -40, kFarthest = -9960;

signals:
    void xRotationChanged(int angle);
    void yRotationChanged(int angle);
    void zRotationChanged(int angle);
    void EyeDisChanged(int distance);
    void isLevelChanged(int level);
    void isRMChanged(bool isrmchanged);

public slots:
    void setXRotation(int) {}
    void setYRotation(int) {}
    void setZRotation(int) {}
    void setEyeDistance(int d);
    void ChangedScaleRate(float s);
    void ChangedRMUpdate();
    void ChangedIntennsity();

protected:
    void initializeGL() override;
    void resizeGL(int width, int height) override;
    void paintGL() override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void wheelEvent(QWheelEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    void applyTransform(bool cloud);
    void pick();
    void drawGizmo(bool cloud);
    void drawLegend();
    void drag(int buttons, int dx, int dy);
    static double clampEye(double z);

    ScenceControl *scene_;
    QLabel *hintLabel = nullptr;
    QLabel *coordinateLabel = nullptr;
    int pressX = 0, pressY = 0;
    int pressButton = 0;
    double savedFirst = 0, savedSecond = 0;
    float pointerX = 0;
    double pointerY = 0;
    int viewWidth = 600, viewHeight = 400;
    bool legendShown = false;
    bool initialised = false;
};
