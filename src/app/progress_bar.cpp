#include "app/progress_bar.h"

#include <cmath>
#include <string>

#include "shell/runtime_error.h"

namespace qm::app {
namespace {

// Steps of the drawn bar: enough that no change of a percentage the run can
// show is lost to rounding on any width the window gives the bar.
constexpr int kSteps = 10000;

[[noreturn]] void Invalid(const char* what, float v) {
    throw NumberedError(kErrInvalidValue,
                        std::string("Invalid property value: ") + what + " = " + std::to_string(v));
}

}  // namespace

ProgressBarControl::ProgressBarControl(QWidget* parent) : QProgressBar(parent) {
    setRange(0, kSteps);
    setTextVisible(false);
    redraw();
}

void ProgressBarControl::SetMin(float min) {
    if (!(min < max_)) Invalid("Min", min);
    min_ = min;
    if (value_ < min_) value_ = min_;
    redraw();
}

void ProgressBarControl::SetMax(float max) {
    if (!(max > min_)) Invalid("Max", max);
    max_ = max;
    if (value_ > max_) value_ = max_;
    redraw();
}

void ProgressBarControl::SetValue(float value) {
    if (!(value >= min_ && value <= max_)) Invalid("Value", value);
    value_ = value;
    redraw();
}

void ProgressBarControl::SetValueLater(float value) {
    if (!(value >= min_ && value <= max_)) Invalid("Value", value);
    value_ = value;
    if (drawLater_) return;
    drawLater_ = true;
    QMetaObject::invokeMethod(
        this, [this] { ShowValue(); }, Qt::QueuedConnection);
}

void ProgressBarControl::ShowValue() {
    if (!drawLater_) return;
    drawLater_ = false;
    redraw();
}

void ProgressBarControl::redraw() {
    const double share = (static_cast<double>(value_) - min_) / (static_cast<double>(max_) - min_);
    const int steps = static_cast<int>(std::lround(share * kSteps));
    if (steps == value()) return;
    // QProgressBar repaints at once whenever the bar grows by a chunk; it is
    // drawn with the window's next paint instead, like every other control,
    // so a run setting it a thousand times a second repaints it at most once
    // a frame.
    setUpdatesEnabled(false);
    setValue(steps);
    setUpdatesEnabled(true);
}

}  // namespace qm::app
