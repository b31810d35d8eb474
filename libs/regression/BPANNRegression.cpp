// A small feed-forward network trained by back-propagation.
//
// Layout: the scaled inputs, one hidden layer of `hiddenUnits` tanh units,
// one linear output. Inputs are scaled to [0, 1] by their training minima
// and maxima (constant columns left out), the target is standardised.
// Training is online (one update per sample, the samples shuffled every
// epoch by a seeded generator) with the learning rate and momentum given,
// and a small weight decay against over-fitting the few plots a model
// usually has. It stops when the training loss has not fallen by
// `tolerance` of its value over `patience` epochs, or after `maxEpochs`.

#include "RegressionModels.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <random>

bool CBPANNRegModel::TrainingData(const double *X, const double *y, int n, int m)
{
    trained_ = false;
    epochsRun = 0;
    if (n < 2 || m < 1 || hiddenUnits < 1) {
        error = "too few rows";
        return false;
    }
    double mean = 0, sd = 1;
    if (!PrepareScaled(scaling, X, y, n, m, mean, sd, error))
        return false;
    const int in = m - scaling.constantCount, h = hiddenUnits;
    yMean_ = mean;
    yScale_ = sd;
    inputs_ = in;

    std::vector<double> xs(static_cast<size_t>(n) * in), ts(static_cast<size_t>(n)), row;
    for (int i = 0; i < n; ++i) {
        scaling.apply(X + static_cast<size_t>(i) * m, row);
        std::copy(row.begin(), row.end(), xs.begin() + static_cast<long>(i) * in);
        ts[i] = (y[i] - mean) / sd;
    }
    std::mt19937 rng(seed);
    // Uniform starting weights of about 1 / sqrt(fan-in).
    auto uniform = [&rng](double limit) {
        return limit * (2.0 * (static_cast<double>(rng()) / 4294967295.0) - 1.0);
    };
    w1_.resize(static_cast<size_t>(h) * in);
    b1_.assign(static_cast<size_t>(h), 0.0);
    w2_.resize(static_cast<size_t>(h));
    for (double &w : w1_)
        w = uniform(1.0 / std::sqrt(double(in)));
    for (double &w : w2_)
        w = uniform(1.0 / std::sqrt(double(h)));
    b2_ = 0;
    std::vector<double> dw1(w1_.size(), 0.0), db1(b1_.size(), 0.0), dw2(w2_.size(), 0.0);
    double db2 = 0;
    std::vector<double> hidden(static_cast<size_t>(h)), delta(static_cast<size_t>(h));
    std::vector<int> order(static_cast<size_t>(n));
    std::iota(order.begin(), order.end(), 0);

    auto forward = [&](const double *x) {
        double out = b2_;
        for (int u = 0; u < h; ++u) {
            double s = b1_[u];
            const double *w = w1_.data() + static_cast<size_t>(u) * in;
            for (int j = 0; j < in; ++j)
                s += w[j] * x[j];
            hidden[u] = std::tanh(s);
            out += w2_[u] * hidden[u];
        }
        return out;
    };
    auto loss = [&] {
        double se = 0;
        for (int i = 0; i < n; ++i) {
            const double e = forward(xs.data() + static_cast<size_t>(i) * in) - ts[i];
            se += e * e;
        }
        return se / n;
    };

    const double rate = learningRate, mom = momentum;
    std::vector<double> history;
    for (int epoch = 0; epoch < maxEpochs; ++epoch) {
        for (int i = n - 1; i > 0; --i)
            std::swap(order[i], order[rng() % static_cast<uint32_t>(i + 1)]);
        for (int s : order) {
            const double *x = xs.data() + static_cast<size_t>(s) * in;
            const double e = forward(x) - ts[s];
            for (int u = 0; u < h; ++u)
                delta[u] = e * w2_[u] * (1.0 - hidden[u] * hidden[u]);
            for (int u = 0; u < h; ++u) {
                dw2[u] = mom * dw2[u] - rate * (e * hidden[u] + weightDecay * w2_[u]);
                w2_[u] += dw2[u];
            }
            db2 = mom * db2 - rate * e;
            b2_ += db2;
            for (int u = 0; u < h; ++u) {
                double *w = w1_.data() + static_cast<size_t>(u) * in;
                double *dw = dw1.data() + static_cast<size_t>(u) * in;
                for (int j = 0; j < in; ++j) {
                    dw[j] = mom * dw[j] - rate * (delta[u] * x[j] + weightDecay * w[j]);
                    w[j] += dw[j];
                }
                db1[u] = mom * db1[u] - rate * delta[u];
                b1_[u] += db1[u];
            }
        }
        const double l = loss();
        epochsRun = epoch + 1;
        if (!std::isfinite(l)) {
            error = "the training diverged; try a smaller learning rate";
            return false;
        }
        history.push_back(l);
        if (static_cast<int>(history.size()) > patience &&
            history[history.size() - 1 - patience] - l <= tolerance * history[history.size() - 1 - patience])
            break;
    }
    trained_ = true;
    return true;
}

double CBPANNRegModel::PredictData(const double *row, int m) const
{
    if (!trained_ || static_cast<size_t>(m) != scaling.flags.size())
        return std::nan("");
    std::vector<double> x;
    scaling.apply(row, x);
    double out = b2_;
    const int h = static_cast<int>(w2_.size());
    for (int u = 0; u < h; ++u) {
        double s = b1_[u];
        const double *w = w1_.data() + static_cast<size_t>(u) * inputs_;
        for (int j = 0; j < inputs_; ++j)
            s += w[j] * x[j];
        out += w2_[u] * std::tanh(s);
    }
    return yMean_ + yScale_ * out;
}
