// The regression models: least squares against hand-solved systems, the
// stepwise selection, support-vector and network fits of a smooth
// function, and the seeded split.

#include "RegressionModels.h"

#include <QtTest>

#include <cmath>
#include <random>

class TestRegression : public QObject {
    Q_OBJECT
private slots:
    void leastSquares();
    void stepwiseKeepsTheTrueVariables();
    void svrAndAnnFitASmoothFunction();
    void splitSizesAndSeed();
};

void TestRegression::leastSquares()
{
    // y on x = 1..4: slope Sxy / Sxx = 7 / 5, intercept 4 - 1.4 * 2.5.
    const double x[] = {1, 2, 3, 4}, y[] = {2, 3, 5, 6};
    CLinearRegressionModel ols;
    QVERIFY(ols.TrainingData(x, y, 4, 1));
    QCOMPARE(ols.coefficients.size(), size_t(1));
    QVERIFY(std::fabs(ols.coefficients[0] - 1.4) < 1e-12);
    QVERIFY(std::fabs(ols.intercept - 0.5) < 1e-12);
    // Test rows: predictions 3.3 and 7.5 against 3 and 8.
    const double tx[] = {2, 5}, ty[] = {3, 8};
    QVERIFY(ols.CalcAccuracy(tx, ty, 2, 1));
    QVERIFY(std::fabs(ols.rmse - std::sqrt((0.09 + 0.25) / 2)) < 1e-12);
    QVERIFY(std::fabs(ols.r - 1.0) < 1e-12);  // two points always correlate fully

    // Two columns, exact: y = 1 + 2 a - 3 b.
    const double X2[] = {0, 0, 1, 0, 0, 1, 1, 1, 2, 3};
    const double y2[] = {1, 3, -2, 0, -4};
    QVERIFY(ols.TrainingData(X2, y2, 5, 2));
    QVERIFY(std::fabs(ols.intercept - 1) < 1e-12 && std::fabs(ols.coefficients[0] - 2) < 1e-12 &&
            std::fabs(ols.coefficients[1] + 3) < 1e-12);

    // A repeated column: the QR model refuses it, the fallback takes the
    // minimum-norm solution, which splits the slope 1.4 evenly.
    const double dup[] = {1, 1, 2, 2, 3, 3, 4, 4};
    QVERIFY(!ols.TrainingData(dup, y, 4, 2));
    QVERIFY(!ols.CalcAccuracy(tx, ty, 2, 1));
    QVERIFY(std::isnan(ols.rmse));
    LinearRegres_2 fallback;
    QVERIFY(fallback.TrainingData(dup, y, 4, 2));
    QVERIFY(std::fabs(fallback.coefficients[0] - 0.7) < 1e-9 && std::fabs(fallback.coefficients[1] - 0.7) < 1e-9);
    QVERIFY(std::fabs(fallback.intercept - 0.5) < 1e-9);
    // Fewer rows than columns + 1.
    QVERIFY(!ols.TrainingData(X2, y2, 2, 2));
}

void TestRegression::stepwiseKeepsTheTrueVariables()
{
    // Tail of F(1, 10) at its 5 % critical value 4.9646; F(3, 20) at 3.0984.
    QVERIFY(std::fabs(FDistributionUpperTail(4.9646, 1, 10) - 0.05) < 1e-4);
    QVERIFY(std::fabs(FDistributionUpperTail(3.0984, 3, 20) - 0.05) < 1e-4);

    std::mt19937 rng(7);
    std::normal_distribution<double> g(0.0, 1.0);
    const int n = 80, m = 8;
    std::vector<double> X(n * m), y(n);
    for (int i = 0; i < n; ++i) {
        for (int j = 0; j < m; ++j)
            X[i * m + j] = g(rng);
        X[i * m + 5] = X[i * m + 0] + 0.3 * g(rng);  // a correlated decoy
        y[i] = 3 + 2 * X[i * m + 0] - 1.5 * X[i * m + 3] + 0.5 * g(rng);
    }
    CSteppedRegressionModel step;
    QVERIFY(step.TrainingData(X.data(), y.data(), n, m));
    // The true variables, not the decoy; a pure-noise column may pass at
    // the 5 % level by chance (here column 6 does), so that is allowed once.
    const auto has = [&](int j) { return std::count(step.kept.begin(), step.kept.end(), j) == 1; };
    QVERIFY(has(0) && has(3) && !has(5));
    QVERIFY(step.kept.size() <= 3);
    QVERIFY(std::is_sorted(step.kept.begin(), step.kept.end()));
    QCOMPARE(step.coefficients.size(), size_t(m));
    QVERIFY(std::fabs(step.coefficients[0] - 2) < 0.2 && std::fabs(step.coefficients[3] + 1.5) < 0.2);
    QCOMPARE(step.coefficients[5], 0.0);
    // Pure noise: nothing enters and training fails.
    for (double &v : y)
        v = g(rng);
    CSteppedRegressionModel none;
    none.enterP = 0.001;
    QVERIFY(!none.TrainingData(X.data(), y.data(), n, m));
}

void TestRegression::svrAndAnnFitASmoothFunction()
{
    // y = sin(3a) + b^2 on [0, 1]^2 (a range of about 1.6) with a constant
    // third column, which both models must leave out.
    std::mt19937 rng(3);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    auto make = [&](int n, std::vector<double> &X, std::vector<double> &y) {
        X.resize(n * 3);
        y.resize(n);
        for (int i = 0; i < n; ++i) {
            X[i * 3] = u(rng);
            X[i * 3 + 1] = u(rng);
            X[i * 3 + 2] = 5.0;
            y[i] = 10 * (std::sin(3 * X[i * 3]) + X[i * 3 + 1] * X[i * 3 + 1]);
        }
    };
    std::vector<double> X, y, tx, ty;
    make(200, X, y);
    make(100, tx, ty);
    for (int type : {3, 4}) {
        CSVMRegressionModel svr;
        svr.parameters.svmType = type;
        svr.parameters.gamma = 1.0;
        svr.parameters.C = 10.0;
        QVERIFY(svr.TrainingData(X.data(), y.data(), 200, 3));
        QCOMPARE(svr.scaling.constantCount, 1);
        QVERIFY(svr.CalcAccuracy(tx.data(), ty.data(), 100, 3));
        qInfo("SVR type %d: RMSE %.3f, R %.4f", type, svr.rmse, svr.r);
        QVERIFY(svr.rmse < 0.5);  // 3 % of the range
        QVERIFY(svr.r > 0.99);
    }
    CBPANNRegModel ann;
    ann.seed = 11;
    QVERIFY(ann.TrainingData(X.data(), y.data(), 200, 3));
    QVERIFY(ann.CalcAccuracy(tx.data(), ty.data(), 100, 3));
    qInfo("ANN: RMSE %.3f, R %.4f after %d epochs", ann.rmse, ann.r, ann.epochsRun);
    QVERIFY(ann.rmse < 0.5);
    QVERIFY(ann.r > 0.99);
    // The same seed gives the same network.
    CBPANNRegModel again;
    again.seed = 11;
    QVERIFY(again.TrainingData(X.data(), y.data(), 200, 3));
    QCOMPARE(again.PredictData(tx.data(), 3), ann.PredictData(tx.data(), 3));
    // A constant target trains nothing.
    std::vector<double> flat(200, 4.0);
    QVERIFY(!CBPANNRegModel().TrainingData(X.data(), flat.data(), 200, 3));
    CSVMRegressionModel svr;
    QVERIFY(!svr.TrainingData(X.data(), flat.data(), 200, 3));
}

void TestRegression::splitSizesAndSeed()
{
    const int n = 23, m = 2;
    std::vector<double> X(n * m), y(n);
    for (int i = 0; i < n; ++i) {
        X[i * m] = i;
        X[i * m + 1] = -i;
        y[i] = i;
    }
    std::vector<double> a[4], b[4], c[4];
    RandomSplitDataSet(X.data(), y.data(), n, m, 6, 1, a[0], a[1], a[2], a[3]);
    RandomSplitDataSet(X.data(), y.data(), n, m, 6, 1, b[0], b[1], b[2], b[3]);
    RandomSplitDataSet(X.data(), y.data(), n, m, 6, 2, c[0], c[1], c[2], c[3]);
    QCOMPARE(a[0].size(), size_t(12));
    QCOMPARE(a[1].size(), size_t(6));
    QCOMPARE(a[2].size(), size_t(34));
    QCOMPARE(a[3].size(), size_t(17));
    for (int k = 0; k < 4; ++k)
        QCOMPARE(a[k], b[k]);
    QVERIFY(a[1] != c[1]);
    // Each sample in exactly one set, its row intact.
    std::vector<double> all = a[1];
    all.insert(all.end(), a[3].begin(), a[3].end());
    std::sort(all.begin(), all.end());
    for (int i = 0; i < n; ++i)
        QCOMPARE(all[i], double(i));
    for (size_t i = 0; i < a[1].size(); ++i)
        QCOMPARE(a[0][2 * i + 1], -a[1][i]);
}

QTEST_APPLESS_MAIN(TestRegression)
#include "test_regression.moc"
