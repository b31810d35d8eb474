// Support-vector regression through libsvm.

#include "RegressionModels.h"

#include <svm.h>

#include <cmath>
#include <mutex>

namespace {

// libsvm prints its progress on standard output unless told otherwise.
void quiet(const char *) {}

}  // namespace

struct CSVMRegressionModel::Impl {
    svm_model *model = nullptr;
    // The training rows stay alive as long as the model, which points into
    // them for its support vectors.
    std::vector<svm_node> nodes;
    double yMean = 0, yScale = 1;
    int kept = 0;
};

CSVMRegressionModel::CSVMRegressionModel() : impl_(new Impl) {}

CSVMRegressionModel::~CSVMRegressionModel()
{
    if (impl_->model)
        svm_free_and_destroy_model(&impl_->model);
    delete impl_;
}

int CSVMRegressionModel::supportVectors() const { return impl_->model ? svm_get_nr_sv(impl_->model) : 0; }

bool CSVMRegressionModel::TrainingData(const double *X, const double *y, int n, int m)
{
    static std::once_flag silenced;
    std::call_once(silenced, [] { svm_set_print_string_function(quiet); });
    trained_ = false;
    if (impl_->model)
        svm_free_and_destroy_model(&impl_->model);
    if (n < 2 || m < 1) {
        error = "too few rows";
        return false;
    }
    // The target standardised, so that the tube width and the cost mean
    // the same whatever the unit of the measurement.
    double mean = 0, sd = 1;
    if (!PrepareScaled(scaling, X, y, n, m, mean, sd, error))
        return false;
    impl_->kept = m - scaling.constantCount;
    impl_->yMean = mean;
    impl_->yScale = sd;

    const int k = impl_->kept;
    impl_->nodes.assign(static_cast<size_t>(n) * (k + 1), svm_node{-1, 0.0});
    std::vector<svm_node *> rows(static_cast<size_t>(n));
    std::vector<double> targets(static_cast<size_t>(n)), scaled;
    for (int i = 0; i < n; ++i) {
        scaling.apply(X + static_cast<size_t>(i) * m, scaled);
        svm_node *row = impl_->nodes.data() + static_cast<size_t>(i) * (k + 1);
        for (int j = 0; j < k; ++j)
            row[j] = svm_node{j + 1, scaled[j]};
        rows[i] = row;
        targets[i] = (y[i] - mean) / sd;
    }
    svm_problem problem;
    problem.l = n;
    problem.y = targets.data();
    problem.x = rows.data();
    svm_parameter p{};
    p.svm_type = parameters.svmType == 4 ? NU_SVR : EPSILON_SVR;
    p.kernel_type = parameters.kernelType;
    p.degree = parameters.degree;
    p.gamma = parameters.gamma;
    p.coef0 = parameters.coef0;
    p.cache_size = parameters.cacheSize;
    p.eps = parameters.eps;
    p.C = parameters.C;
    p.nr_weight = 0;
    p.weight_label = nullptr;
    p.weight = nullptr;
    p.nu = parameters.nu;
    p.p = parameters.p;
    p.shrinking = parameters.shrinking;
    p.probability = 0;
    if (const char *why = svm_check_parameter(&problem, &p)) {
        error = why;
        return false;
    }
    impl_->model = svm_train(&problem, &p);
    // svm_train copies the targets it needs but keeps pointers to the rows.
    trained_ = impl_->model != nullptr;
    if (!trained_)
        error = "libsvm could not train the model";
    return trained_;
}

double CSVMRegressionModel::PredictData(const double *row, int m) const
{
    if (!impl_->model || static_cast<size_t>(m) != scaling.flags.size())
        return std::nan("");
    std::vector<double> scaled;
    scaling.apply(row, scaled);
    std::vector<svm_node> x(scaled.size() + 1, svm_node{-1, 0.0});
    for (size_t j = 0; j < scaled.size(); ++j)
        x[j] = svm_node{static_cast<int>(j) + 1, scaled[j]};
    return impl_->yMean + impl_->yScale * svm_predict(impl_->model, x.data());
}
