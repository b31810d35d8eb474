#pragma once
// Regression models between plot metrics and a field measurement.
//
// Every model takes its training matrix row by row (n rows of m values) and
// the n targets, predicts one row at a time, and measures itself on a test
// set: the root-mean-square error and Pearson's correlation coefficient R
// between the observed and predicted values. No Qt, no output.
//
// - CLinearRegressionModel: ordinary least squares with an intercept by a
//   column-pivoting QR decomposition; training fails when the design is
//   rank deficient at the given tolerance.
// - LinearRegres_2: the fallback, the minimum-norm least-squares solution
//   (complete orthogonal decomposition), which exists for any design.
// - CSteppedRegressionModel: forward-backward stepwise selection by partial
//   F tests, a variable enters at p < 0.05 and leaves at p > 0.10; the kept
//   variables get their least-squares coefficients, the others 0.
// - CSVMRegressionModel: libsvm's epsilon-SVR or nu-SVR on the columns
//   scaled to [0, 1] by the minima and maxima set before training, constant
//   columns left out; the target is standardised for training.
// - CBPANNRegModel: one hidden layer of tanh units and a linear output,
//   trained by back-propagation with momentum on scaled inputs and a
//   standardised target.

#include <cstdint>
#include <string>
#include <vector>

// Assigns the n rows at random to a test set of nTest rows and a training
// set of the others; the same seed gives the same sets. Rows keep their
// original order within each set.
void RandomSplitDataSet(const double *X, const double *y, int n, int m, int nTest, uint32_t seed,
                        std::vector<double> &testX, std::vector<double> &testY, std::vector<double> &trainX,
                        std::vector<double> &trainY);

// RMSE and Pearson's R of predictions against observations (R is NaN when
// either side is constant or n < 2).
void AccuracyOf(const std::vector<double> &observed, const std::vector<double> &predicted, double &rmse,
                double &r);

class CRegressionModel {
public:
    virtual ~CRegressionModel() = default;
    // X row-major n x m, y n values.
    virtual bool TrainingData(const double *X, const double *y, int n, int m) = 0;
    virtual double PredictData(const double *row, int m) const = 0;
    // Predicts the test rows and sets rmse and r; false when not trained.
    bool CalcAccuracy(const double *X, const double *y, int n, int m);

    double rmse = 0.0, r = 0.0;
    // The test set's observed and predicted values of the last accuracy call.
    std::vector<double> observed, predicted;
    std::string error;  // why training failed

protected:
    bool trained_ = false;
};

class CLinearRegressionModel : public CRegressionModel {
public:
    explicit CLinearRegressionModel(double tolerance = 1e-6) : tolerance_(tolerance) {}
    bool TrainingData(const double *X, const double *y, int n, int m) override;
    double PredictData(const double *row, int m) const override;

    double intercept = 0.0;
    std::vector<double> coefficients;  // one per column

protected:
    double tolerance_;
};

class LinearRegres_2 : public CLinearRegressionModel {
public:
    using CLinearRegressionModel::CLinearRegressionModel;
    bool TrainingData(const double *X, const double *y, int n, int m) override;
};

class CSteppedRegressionModel : public CLinearRegressionModel {
public:
    bool TrainingData(const double *X, const double *y, int n, int m) override;

    double enterP = 0.05, removeP = 0.10;
    std::vector<int> kept;  // the selected columns, ascending
};

// The upper tail P(F > f) of the F distribution with d1 and d2 degrees of
// freedom.
double FDistributionUpperTail(double f, double d1, double d2);

// Scaling of the columns to [0, 1] by their training minima and maxima;
// columns whose minimum equals their maximum are left out.
struct ColumnScaling {
    std::vector<double> minima, maxima;
    std::vector<int> flags;  // 1 kept, 0 constant
    int constantCount = 0;

    void fit(const double *X, int n, int m);
    // The scaled values of the kept columns of one row.
    void apply(const double *row, std::vector<double> &out) const;
};

// What the scaled models do before training: fits `scaling` to X unless it
// was set for these m columns, and takes the target's mean and (population)
// standard deviation. False with `error` set when every column is constant
// or the target is, which leaves nothing to learn.
bool PrepareScaled(ColumnScaling &scaling, const double *X, const double *y, int n, int m, double &mean, double &sd,
                   std::string &error);

struct SVMParameters {
    int svmType = 3;     // 3 epsilon-SVR, 4 nu-SVR
    int kernelType = 2;  // 0 linear, 1 polynomial, 2 RBF, 3 sigmoid (libsvm's codes)
    int degree = 3;
    double gamma = 0.1, coef0 = 0.0, cacheSize = 100.0, eps = 0.001, C = 1.0;
    double nu = 0.5, p = 0.1;
    int shrinking = 1;
};

class CSVMRegressionModel : public CRegressionModel {
public:
    CSVMRegressionModel();
    ~CSVMRegressionModel() override;
    CSVMRegressionModel(const CSVMRegressionModel &) = delete;
    CSVMRegressionModel &operator=(const CSVMRegressionModel &) = delete;

    bool TrainingData(const double *X, const double *y, int n, int m) override;
    double PredictData(const double *row, int m) const override;

    SVMParameters parameters;
    ColumnScaling scaling;  // fitted by TrainingData unless set beforehand
    int supportVectors() const;

private:
    struct Impl;
    Impl *impl_;
};

class CBPANNRegModel : public CRegressionModel {
public:
    bool TrainingData(const double *X, const double *y, int n, int m) override;
    double PredictData(const double *row, int m) const override;

    double momentum = 0.3, learningRate = 0.1;
    int hiddenUnits = 6;
    int maxEpochs = 4000;
    // Training stops when the loss has not fallen by this share over
    // `patience` epochs.
    double tolerance = 1e-4;
    int patience = 100;
    double weightDecay = 1e-4;
    uint32_t seed = 1;
    int epochsRun = 0;
    ColumnScaling scaling;

private:
    std::vector<double> w1_, b1_, w2_;  // hidden x inputs, hidden, hidden
    double b2_ = 0, yMean_ = 0, yScale_ = 1;
    int inputs_ = 0;
};
