#include "RegressionModels.h"

#include <Eigen/Dense>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <random>

void RandomSplitDataSet(const double *X, const double *y, int n, int m, int nTest, uint32_t seed,
                        std::vector<double> &testX, std::vector<double> &testY, std::vector<double> &trainX,
                        std::vector<double> &trainY)
{
    nTest = std::max(0, std::min(nTest, n));
    std::vector<int> order(static_cast<size_t>(std::max(n, 0)));
    std::iota(order.begin(), order.end(), 0);
    // A Fisher-Yates shuffle on a fixed generator: std::shuffle's use of
    // the generator differs between standard libraries, this does not.
    std::mt19937 rng(seed);
    for (int i = n - 1; i > 0; --i) {
        const int j = static_cast<int>(rng() % static_cast<uint32_t>(i + 1));
        std::swap(order[i], order[j]);
    }
    std::vector<char> isTest(static_cast<size_t>(std::max(n, 0)), 0);
    for (int k = 0; k < nTest; ++k)
        isTest[order[k]] = 1;
    testX.clear();
    testY.clear();
    trainX.clear();
    trainY.clear();
    for (int i = 0; i < n; ++i) {
        std::vector<double> &xs = isTest[i] ? testX : trainX;
        xs.insert(xs.end(), X + static_cast<size_t>(i) * m, X + static_cast<size_t>(i + 1) * m);
        (isTest[i] ? testY : trainY).push_back(y[i]);
    }
}

void AccuracyOf(const std::vector<double> &observed, const std::vector<double> &predicted, double &rmse, double &r)
{
    const size_t n = std::min(observed.size(), predicted.size());
    if (n == 0) {
        rmse = r = std::numeric_limits<double>::quiet_NaN();
        return;
    }
    double se = 0, mo = 0, mp = 0;
    for (size_t i = 0; i < n; ++i) {
        se += (observed[i] - predicted[i]) * (observed[i] - predicted[i]);
        mo += observed[i];
        mp += predicted[i];
    }
    rmse = std::sqrt(se / double(n));
    mo /= double(n);
    mp /= double(n);
    double sop = 0, soo = 0, spp = 0;
    for (size_t i = 0; i < n; ++i) {
        sop += (observed[i] - mo) * (predicted[i] - mp);
        soo += (observed[i] - mo) * (observed[i] - mo);
        spp += (predicted[i] - mp) * (predicted[i] - mp);
    }
    r = n < 2 || soo <= 0 || spp <= 0 ? std::numeric_limits<double>::quiet_NaN() : sop / std::sqrt(soo * spp);
}

bool CRegressionModel::CalcAccuracy(const double *X, const double *y, int n, int m)
{
    observed.assign(y, y + std::max(n, 0));
    predicted.clear();
    if (!trained_) {
        rmse = r = std::numeric_limits<double>::quiet_NaN();
        return false;
    }
    for (int i = 0; i < n; ++i)
        predicted.push_back(PredictData(X + static_cast<size_t>(i) * m, m));
    AccuracyOf(observed, predicted, rmse, r);
    return true;
}

// ---- least squares ------------------------------------------------------------------

namespace {

using Matrix = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;

// The design [1, X[:, columns]] of the chosen columns.
Eigen::MatrixXd design(const double *X, int n, int m, const std::vector<int> &columns)
{
    Eigen::MatrixXd A(n, static_cast<int>(columns.size()) + 1);
    for (int i = 0; i < n; ++i) {
        A(i, 0) = 1.0;
        for (size_t k = 0; k < columns.size(); ++k)
            A(i, static_cast<int>(k) + 1) = X[static_cast<size_t>(i) * m + columns[k]];
    }
    return A;
}

bool allFinite(const double *v, size_t count)
{
    for (size_t i = 0; i < count; ++i)
        if (!std::isfinite(v[i]))
            return false;
    return true;
}

// Least squares of y on the chosen columns; false when the design is rank
// deficient. `rss` receives the residual sum of squares.
bool fitColumns(const double *X, const Eigen::VectorXd &y, int n, int m, const std::vector<int> &columns,
                double tolerance, Eigen::VectorXd &beta, double &rss)
{
    const Eigen::MatrixXd A = design(X, n, m, columns);
    Eigen::ColPivHouseholderQR<Eigen::MatrixXd> qr(A);
    qr.setThreshold(tolerance);
    if (qr.rank() < A.cols())
        return false;
    beta = qr.solve(y);
    rss = (A * beta - y).squaredNorm();
    return beta.allFinite();
}

// The regularised incomplete beta function I_x(a, b) by its continued
// fraction (modified Lentz).
double incompleteBeta(double a, double b, double x)
{
    if (x <= 0)
        return 0;
    if (x >= 1)
        return 1;
    const double front =
        std::exp(std::lgamma(a + b) - std::lgamma(a) - std::lgamma(b) + a * std::log(x) + b * std::log1p(-x));
    if (x > (a + 1) / (a + b + 2))
        return 1.0 - incompleteBeta(b, a, 1.0 - x);
    const double tiny = 1e-300;
    double f = 1, c = 1, d = 0;
    for (int i = 0; i <= 400; ++i) {
        const int k = i / 2;
        double num;
        if (i == 0)
            num = 1;
        else if (i % 2 == 0)
            num = k * (b - k) * x / ((a + 2 * k - 1) * (a + 2 * k));
        else
            num = -(a + k) * (a + b + k) * x / ((a + 2 * k) * (a + 2 * k + 1));
        d = 1 + num * d;
        d = std::fabs(d) < tiny ? tiny : d;
        d = 1 / d;
        c = 1 + num / c;
        c = std::fabs(c) < tiny ? tiny : c;
        const double cd = c * d;
        f *= cd;
        if (std::fabs(1.0 - cd) < 1e-12)
            break;
    }
    return front * (f - 1) / a;
}

}  // namespace

double FDistributionUpperTail(double f, double d1, double d2)
{
    if (!(f > 0))
        return 1.0;
    if (!std::isfinite(f))
        return 0.0;
    return incompleteBeta(d2 / 2.0, d1 / 2.0, d2 / (d2 + d1 * f));
}

bool CLinearRegressionModel::TrainingData(const double *X, const double *y, int n, int m)
{
    trained_ = false;
    if (n <= m || m < 1 || !allFinite(X, size_t(n) * m) || !allFinite(y, size_t(n))) {
        error = "too few rows for the columns, or values that are not finite";
        return false;
    }
    std::vector<int> all(static_cast<size_t>(m));
    std::iota(all.begin(), all.end(), 0);
    Eigen::VectorXd beta;
    double rss = 0;
    if (!fitColumns(X, Eigen::Map<const Eigen::VectorXd>(y, n), n, m, all, tolerance_, beta, rss)) {
        error = "the columns are linearly dependent";
        return false;
    }
    intercept = beta(0);
    coefficients.assign(beta.data() + 1, beta.data() + beta.size());
    trained_ = true;
    return true;
}

double CLinearRegressionModel::PredictData(const double *row, int m) const
{
    double v = intercept;
    for (int j = 0; j < m && j < static_cast<int>(coefficients.size()); ++j)
        v += coefficients[j] * row[j];
    return v;
}

bool LinearRegres_2::TrainingData(const double *X, const double *y, int n, int m)
{
    trained_ = false;
    if (n < 1 || m < 1 || !allFinite(X, size_t(n) * m) || !allFinite(y, size_t(n))) {
        error = "no rows, or values that are not finite";
        return false;
    }
    std::vector<int> all(static_cast<size_t>(m));
    std::iota(all.begin(), all.end(), 0);
    const Eigen::MatrixXd A = design(X, n, m, all);
    Eigen::CompleteOrthogonalDecomposition<Eigen::MatrixXd> cod(A);
    cod.setThreshold(tolerance_);
    const Eigen::VectorXd beta = cod.solve(Eigen::Map<const Eigen::VectorXd>(y, n));
    if (!beta.allFinite()) {
        error = "the least-squares solution is not finite";
        return false;
    }
    intercept = beta(0);
    coefficients.assign(beta.data() + 1, beta.data() + beta.size());
    trained_ = true;
    return true;
}

bool CSteppedRegressionModel::TrainingData(const double *X, const double *y, int n, int m)
{
    trained_ = false;
    kept.clear();
    if (n < 3 || m < 1 || !allFinite(X, size_t(n) * m) || !allFinite(y, size_t(n))) {
        error = "too few rows, or values that are not finite";
        return false;
    }
    const Eigen::Map<const Eigen::VectorXd> target(y, n);
    Eigen::VectorXd beta;
    double rss = (target.array() - target.mean()).square().sum();
    std::vector<int> in;
    // Each pass adds the best candidate by its partial F test, then removes
    // the worst kept variable; a variable may not re-enter in the pass it
    // left, and the passes are bounded, so the search cannot cycle forever.
    for (int pass = 0; pass < 4 * m + 4; ++pass) {
        bool changed = false;
        int best = -1;
        double bestP = enterP, bestRss = rss;
        for (int j = 0; j < m; ++j) {
            if (std::find(in.begin(), in.end(), j) != in.end())
                continue;
            std::vector<int> trial = in;
            trial.push_back(j);
            const int df = n - static_cast<int>(trial.size()) - 1;
            double trialRss;
            if (df < 1 || !fitColumns(X, target, n, m, trial, tolerance_, beta, trialRss))
                continue;
            const double f = trialRss > 0 ? (rss - trialRss) / (trialRss / df)
                                          : std::numeric_limits<double>::infinity();
            const double p = FDistributionUpperTail(f, 1, df);
            if (p < bestP || (p == bestP && best >= 0 && trialRss < bestRss)) {
                best = j;
                bestP = p;
                bestRss = trialRss;
            }
        }
        if (best >= 0) {
            in.push_back(best);
            rss = bestRss;
            changed = true;
        }
        // Removal: the kept variable with the largest p above the limit.
        int worst = -1;
        double worstP = removeP, worstRss = rss;
        const int df = n - static_cast<int>(in.size()) - 1;
        for (size_t k = 0; k < in.size() && in.size() > 1; ++k) {
            if (in[k] == best)
                continue;
            std::vector<int> trial = in;
            trial.erase(trial.begin() + static_cast<long>(k));
            double trialRss;
            if (!fitColumns(X, target, n, m, trial, tolerance_, beta, trialRss))
                continue;
            const double f = rss > 0 ? (trialRss - rss) / (rss / df) : std::numeric_limits<double>::infinity();
            const double p = FDistributionUpperTail(f, 1, df);
            if (p > worstP) {
                worst = static_cast<int>(k);
                worstP = p;
                worstRss = trialRss;
            }
        }
        if (worst >= 0) {
            in.erase(in.begin() + worst);
            rss = worstRss;
            changed = true;
        }
        if (!changed)
            break;
    }
    if (in.empty()) {
        error = "no variable is significant at p < 0.05";
        return false;
    }
    std::sort(in.begin(), in.end());
    if (!fitColumns(X, target, n, m, in, tolerance_, beta, rss)) {
        error = "the kept columns are linearly dependent";
        return false;
    }
    kept = in;
    intercept = beta(0);
    coefficients.assign(static_cast<size_t>(m), 0.0);
    for (size_t k = 0; k < in.size(); ++k)
        coefficients[in[k]] = beta(static_cast<int>(k) + 1);
    trained_ = true;
    return true;
}

// ---- column scaling ----------------------------------------------------------------

void ColumnScaling::fit(const double *X, int n, int m)
{
    minima.assign(static_cast<size_t>(m), 0.0);
    maxima.assign(static_cast<size_t>(m), 0.0);
    flags.assign(static_cast<size_t>(m), 0);
    constantCount = 0;
    for (int j = 0; j < m; ++j) {
        for (int i = 0; i < n; ++i) {
            const double v = X[static_cast<size_t>(i) * m + j];
            if (i == 0 || v < minima[j])
                minima[j] = v;
            if (i == 0 || v > maxima[j])
                maxima[j] = v;
        }
        flags[j] = minima[j] == maxima[j] ? 0 : 1;
        constantCount += flags[j] ? 0 : 1;
    }
}

void ColumnScaling::apply(const double *row, std::vector<double> &out) const
{
    out.clear();
    for (size_t j = 0; j < flags.size(); ++j)
        if (flags[j])
            out.push_back((row[j] - minima[j]) / (maxima[j] - minima[j]));
}

bool PrepareScaled(ColumnScaling &scaling, const double *X, const double *y, int n, int m, double &mean, double &sd,
                   std::string &error)
{
    if (scaling.minima.size() != static_cast<size_t>(m))
        scaling.fit(X, n, m);
    if (m - scaling.constantCount < 1) {
        error = "every column is constant";
        return false;
    }
    mean = 0;
    double var = 0;
    for (int i = 0; i < n; ++i)
        mean += y[i];
    mean /= n;
    for (int i = 0; i < n; ++i)
        var += (y[i] - mean) * (y[i] - mean);
    sd = std::sqrt(var / n);
    if (!(n > 0 && sd > 0 && std::isfinite(sd) && std::isfinite(mean))) {
        error = "the target is constant";
        return false;
    }
    return true;
}
